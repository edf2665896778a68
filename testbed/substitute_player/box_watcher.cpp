// The watcher that closes message boxes, whichever thread shows them: the
// plug-in shows some on the player's thread (during init or config) and some
// on its request workers. Every 20 ms it looks for visible "#32770" windows of
// this process; one with the static text control 65535 is a message box: it
// records "box CAPTION|TEXT" and presses No when there is one (Yes after
// "answer yes"; "answer yes no": Yes to the next, No from then on), else OK. Any other dialog is
// recorded ("dialog CAPTION"); the plug-in's own (made from its module) are left to the script, a
// file dialog after "save-as PATH" gets PATH and is confirmed, the rest cancelled.
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include "testbed/substitute_player/player.h"

// After windows.h (from player.h), which it builds on.
#include <commctrl.h>

std::atomic<HMODULE> g_pluginModule{nullptr};

namespace {

constexpr int kStaticTextId = 0xFFFF;

std::atomic<bool> g_watching{true};
std::mutex g_saveLock;
std::wstring g_savePath;  // under g_saveLock
std::string g_fill;       // under g_saveLock: the dialog to fill next, as FillNextDialog took it
std::vector<bool> g_answers{false};  // under g_saveLock: Yes or No, the last one for good
std::thread g_watcher;

constexpr int kFileNameEdit = 0x480, kFileNameCombo = 0x47c;  // edt1, cmb13

std::string WindowText(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        2000, &length);
    return Utf8(text);
}

// Fills the plug-in's dialog as FillNextDialog asked, once; false when it
// asked for no such dialog.
bool FillDialog(HWND dialog, const std::string& caption) {
    std::vector<std::string> parts;
    {
        std::lock_guard<std::mutex> guard(g_saveLock);
        for (size_t at = 0, bar; at <= g_fill.size(); at = bar + 1) {
            bar = std::min(g_fill.find('|', at), g_fill.size());
            parts.push_back(g_fill.substr(at, bar - at));
        }
        if (g_fill.empty() || parts.size() < 2 || parts[0] != caption) return false;
        g_fill.clear();
    }
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
        size_t equals = parts[i].find('=');
        if (parts[i].compare(0, 5, "rows=") == 0) {
            HWND list = GetDlgItem(g_player.window, std::atoi(parts[i].c_str() + 5));
            size_t colon = parts[i].find(':');
            long want = colon == std::string::npos ? 0 : std::atol(parts[i].c_str() + colon + 1);
            DWORD_PTR count = 0;
            for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(20)) {
                SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 2000, &count);
                if (static_cast<long>(count) >= want) break;
            }
            Record(Format("rows seen %ld", static_cast<long>(count)));
            continue;
        }
        if (parts[i].compare(0, 6, "click=") == 0) {
            // Answered before the next part: a note the click shows is there for it.
            int id = std::atoi(parts[i].c_str() + 6);
            Record(Format("fill click %d", id));
            SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)), SMTO_ABORTIFHUNG,
                                2000, nullptr);
            continue;
        }
        if (parts[i] == "layout") {
            RecordLayout(dialog);
            continue;
        }
        if (parts[i].compare(0, 6, "until=") == 0) {
            // The dialog stays as it is, for a picture, until the file is there.
            std::string path = parts[i].substr(6);
            DWORD start = GetTickCount();
            while (!Exists(path) && GetTickCount() - start < 60000)
                Sleep(20);
            Record(Exists(path) ? "held " + caption : "held " + caption + " (timed out)");
            continue;
        }
        std::wstring text = Wide(parts[i].substr(equals + 1));
        SendMessageTimeoutW(GetDlgItem(dialog, std::atoi(parts[i].c_str())), WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 2000,
                            nullptr);
    }
    int button = std::atoi(parts.back().c_str());
    Record("fill " + caption);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    return true;
}

bool NextAnswer() {
    std::lock_guard<std::mutex> guard(g_saveLock);
    bool yes = g_answers.front();
    if (g_answers.size() > 1) g_answers.erase(g_answers.begin());
    return yes;
}

void WatchForBoxes() {
    std::set<HWND> handled;
    while (g_watching) {
        std::vector<HWND> dialogs = OwnWindows();
        dialogs.erase(
            std::remove_if(dialogs.begin(), dialogs.end(), [](HWND w) { return !IsDialog(w); }),
            dialogs.end());
        // A closed box's handle may come back for a new one.
        std::set<HWND> open(dialogs.begin(), dialogs.end());
        for (auto it = handled.begin(); it != handled.end();)
            it = open.count(*it) ? std::next(it) : handled.erase(it);
        for (HWND dialog : dialogs) {
            if (!handled.insert(dialog).second) continue;
            std::string caption = WindowText(dialog);
            HWND label = GetDlgItem(dialog, kStaticTextId);
            int button = IDCANCEL;
            if (label) {
                Record("box " + OneLine(caption) + "|" + OneLine(WindowText(label)));
                button = !GetDlgItem(dialog, IDNO) ? IDOK : NextAnswer() ? IDYES : IDNO;
            } else {
                Record("dialog " + OneLine(caption));
                HINSTANCE maker =
                    reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
                if (maker && maker == g_pluginModule.load()) {
                    FillDialog(dialog, caption);
                    continue;
                }
                HWND name = GetDlgItem(dialog, kFileNameEdit);
                if (!name) name = GetDlgItem(dialog, kFileNameCombo);
                std::lock_guard<std::mutex> guard(g_saveLock);
                if (name && !g_savePath.empty()) {
                    SendMessageTimeoutW(name, WM_SETTEXT, 0,
                                        reinterpret_cast<LPARAM>(g_savePath.c_str()),
                                        SMTO_ABORTIFHUNG, 2000, nullptr);
                    g_savePath.clear();
                    button = IDOK;
                }
            }
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
        }
        Sleep(20);
    }
}

}  // namespace

void AnswerBoxes(const std::vector<bool>& answers) {
    std::lock_guard<std::mutex> guard(g_saveLock);
    if (!answers.empty()) g_answers = answers;
}

void SaveDialogsAs(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_saveLock);
    g_savePath = Wide(path);
}

void FillNextDialog(const std::string& request) {
    std::lock_guard<std::mutex> guard(g_saveLock);
    g_fill = request;
}

void StartBoxWatcher() {
    g_watcher = std::thread(WatchForBoxes);
}

void StopBoxWatcher() {
    g_watching = false;
    g_watcher.join();
}
