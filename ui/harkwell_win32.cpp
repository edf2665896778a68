#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "diagnostics/debug.h"
#include "diagnostics/module_version.h"
#include "diagnostics/translate.h"
#include "diagnostics/wide_path_win32.h"
#include "engine/config_window.h"
#include "engine/playtally.h"
#include "engine/settings_store.h"
#include "engine/user_prompt.h"
#include "record/text_encoding.h"
#include "ui/harkwell.h"
#include "ui/plays_window_win32.h"
#include "ui/resource.h"
#include "ui/services_window_win32.h"
#include "ui/status_text.h"

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 5000;
// What a text field holds at most when typed into: as much as the next start
// reads back.
constexpr int kFieldLimit = static_cast<int>(kSettingsTextBuffer) - 1;

HINSTANCE g_module = nullptr;
// Calls into the dialog's code still on the player's stack (a warning box,
// the shell).
int g_depth = 0;
CHarkwell g_dialog;

// Which control shows which value: opening fills them, reading takes them back.
const struct {
    int id;
    std::string DialogValues::*value;
} kTextFields[] = {
    {IDC_USERNAME, &DialogValues::username},        {IDC_PASSWORD, &DialogValues::password},
    {IDC_LOG_SIZE, &DialogValues::logSize},         {IDC_PROXY_HOST, &DialogValues::proxyHost},
    {IDC_PROXY_PORT, &DialogValues::proxyPort},     {IDC_PROXY_USER, &DialogValues::proxyUser},
    {IDC_PROXY_PASSWORD, &DialogValues::proxyPass},
};
const struct {
    int id;
    bool DialogValues::*value;
} kCheckBoxes[] = {
    {IDC_ENABLE_PLUGIN, &DialogValues::enabled},
    {IDC_SHOW_ERRORS, &DialogValues::showErrors},
    {IDC_SKIP_STREAMS, &DialogValues::skipStreams},
    {IDC_LISTEN_RULE, &DialogValues::listenRule},
    {IDC_STREAM_SONGS, &DialogValues::streamSongs},
    {IDC_USE_PROXY, &DialogValues::useProxy},
    {IDC_USE_PROXY_AUTH, &DialogValues::useProxyAuth},
};

// Tab, Enter and Escape move through a dialog only when the message loop hands
// its keys to IsDialogMessage, and no player promises that. While one of the
// plug-in's windows exists, a hook on the messages this thread takes does it
// instead; a key it handled reaches the player's loop as a message that does
// nothing.
HHOOK g_keyHook = nullptr;
std::vector<HWND> g_keyWindows;

LRESULT CALLBACK KeyHook(int code, WPARAM wParam, LPARAM lParam) {
    MSG* message = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message >= WM_KEYFIRST &&
        message->message <= WM_KEYLAST) {
        // A copy: a key that closes a window takes it off the list.
        for (HWND window : std::vector<HWND>(g_keyWindows)) {
            if ((message->hwnd == window || IsChild(window, message->hwnd)) &&
                IsDialogMessageW(window, message)) {
                message->message = WM_NULL;
                message->wParam = 0;
                message->lParam = 0;
                break;
            }
        }
    }
    return CallNextHookEx(g_keyHook, code, wParam, lParam);
}

}  // namespace

INT_PTR GuardedDialogCall(const char* where, const std::function<INT_PTR()>& call) {
    struct Depth {
        Depth() { ++g_depth; }
        ~Depth() { --g_depth; }
    } depth;
    try {
        return call();
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, where, "Exception occurred - %s", e.what());
    } catch (...) {
        g_Debug.Log(DEBUG_ERROR, where, "Exception occurred - %s", "unknown");
    }
    return FALSE;
}

HINSTANCE DialogModule() {
    return g_module;
}

void HookDialogKeys(HWND window, bool on) {
    auto known = std::find(g_keyWindows.begin(), g_keyWindows.end(), window);
    if (on && known == g_keyWindows.end()) g_keyWindows.push_back(window);
    if (!on && known != g_keyWindows.end()) g_keyWindows.erase(known);
    if (!g_keyWindows.empty() && !g_keyHook) {
        // Wide, as the windows are: an ANSI hook would get its typed characters
        // in the code page, and hand them on to the Unicode window as such.
        g_keyHook = SetWindowsHookExW(WH_GETMESSAGE, &KeyHook, nullptr, GetCurrentThreadId());
    } else if (g_keyWindows.empty() && g_keyHook) {
        UnhookWindowsHookEx(g_keyHook);
        g_keyHook = nullptr;
    }
}

void CHarkwell::SetModule(HINSTANCE module) {
    g_module = module;
}

bool CHarkwell::InUse() {
    return g_depth > 0;
}

void CHarkwell::ReleaseModule() {
    g_dialog.Close();
    ClosePlaysWindow();
    g_module = nullptr;
}

bool ShowOpenConfigWindow() {
    if (!g_dialog.Exists()) return false;
    g_dialog.Show();
    return true;
}

bool OpenConfigWindow(CPlaytally* engine, void* owner) {
    return g_dialog.Create(engine, static_cast<HWND>(owner));
}

bool CHarkwell::Create(CPlaytally* engine, HWND owner) {
    if (!g_module) return false;
    m_engine = engine;
    // A Unicode window, so that titles in any script are shown as they are.
    HWND window = CreateDialogShown(g_module, IDD_CONFIG, owner, &CHarkwell::DialogProc,
                                    reinterpret_cast<LPARAM>(this));
    if (!window) return false;
    Show();
    return true;
}

void CHarkwell::Show() {
    ShowWindow(m_window, SW_SHOWNORMAL);
    SetForegroundWindow(m_window);
}

void CHarkwell::Close() {
    if (Exists()) DestroyWindow(m_window);
    m_window = nullptr;
}

INT_PTR CALLBACK CHarkwell::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CHarkwell* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CHarkwell*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        self->m_window = window;
    } else {
        self = reinterpret_cast<CHarkwell*>(GetWindowLongPtrA(window, DWLP_USER));
    }
    if (!self) return FALSE;
    return GuardedDialogCall("CHarkwell::DialogProc",
                             [&] { return self->OnMessage(message, wParam, lParam); });
}

INT_PTR CHarkwell::OnMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            HookDialogKeys(m_window, true);
            ShowConfig();
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));  // a click or Enter
            return TRUE;
        case WM_TIMER:
            if (wParam == kRefreshTimer) RefreshStats();
            return TRUE;
        case WM_CLOSE:
            Close();
            return TRUE;
        case WM_DESTROY:
            HookDialogKeys(m_window, false);
            KillTimer(m_window, kRefreshTimer);
            return TRUE;
        case WM_NCDESTROY:
            m_window = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

// Over the owner when it is on screen, else over the work area; kept inside the
// work area of the monitor the owner is on (of a minimised owner: where it
// was) either way.
void CentreOnOwner(HWND window) {
    HWND owner = GetWindow(window, GW_OWNER);
    RECT area = {};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoA(MonitorFromWindow(owner ? owner : window, MONITOR_DEFAULTTOPRIMARY),
                        &monitor)) {
        area = monitor.rcWork;
    } else {
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    }
    RECT over = area;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &over);
    RECT own = {};
    GetWindowRect(window, &own);
    LONG width = own.right - own.left, height = own.bottom - own.top;
    LONG x = over.left + (over.right - over.left - width) / 2;
    LONG y = over.top + (over.bottom - over.top - height) / 2;
    if (x + width > area.right) x = area.right - width;
    if (y + height > area.bottom) y = area.bottom - height;
    if (x < area.left) x = area.left;
    if (y < area.top) y = area.top;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CHarkwell::ShowConfig() {
    CentreOnOwner(m_window);
    for (const auto& field : kTextFields)
        SendDlgItemMessageA(m_window, field.id, EM_LIMITTEXT, kFieldLimit, 0);
    if (!m_engine) return;
    g_Debug.Log(DEBUG_DETAIL, "CHarkwell::ShowConfig", "Showing Config...");
    m_values = LoadDialogValues(*m_engine, &m_storedPassword, &m_note);
    m_logPath = g_Debug.IsEnabled() ? g_Debug.GetPath() : std::string();
    CModuleVersionInfo version;
    version.SetModule(g_module);
    m_versionLine = BuildVersionLine(m_engine->GetPluginName(), version.GetVersionText(),
                                     version.GetPrivateBuild());
    m_helpPath = m_engine->GetWorkingDir() + "kelmar.html";
    FillControls();
    SetShownText(IDC_APP_VERSION, m_versionLine);
    if (ReadDialogNumber(m_values.logSize) == 0)
        EnableWindow(GetDlgItem(m_window, IDC_VIEW_LOG), FALSE);
    EnableProxyEdits(IDC_USE_PROXY);
    EnableProxyEdits(IDC_USE_PROXY_AUTH);
    m_status.clear();  // a new window: its labels are empty
    m_lastSubmitted.clear();
    RefreshStats();
    SetTimer(m_window, kRefreshTimer, kRefreshMs, nullptr);
}

void CHarkwell::OnCommand(int id) {
    if (!m_engine && id != IDCANCEL) return;
    switch (id) {
        case IDOK:
            OnSave();
            break;
        case IDCANCEL:
            Close();
            break;
        case IDC_HELP:
            OpenOrWarn(m_helpPath, TR_TEXT("No help file is currently available."));
            break;
        case IDC_VIEW_LOG:
            OpenOrWarn(m_logPath,
                       TR_TEXT("Logging is currently disabled so no log file can be shown."));
            break;
        case IDC_PLAYS:
            OpenPlaysWindow(m_engine, GetWindow(m_window, GW_OWNER));
            break;
        case IDC_SERVICES:
            OpenServicesWindow(m_engine, m_window);
            break;
        case IDC_ENABLE_PLUGIN:
            ReadControls();
            ApplyEnableSwitch(*m_engine, m_values.enabled);
            break;
        case IDC_USE_PROXY:
        case IDC_USE_PROXY_AUTH:
            ReadControls();
            EnableProxyEdits(id);
            break;
        default:
            break;
    }
}

void CHarkwell::OnSave() {
    ReadControls();
    std::string refusal = SaveRefusal(m_values, m_engine->GetSettings().username);
    if (!refusal.empty()) {
        Warn(refusal.c_str());
        return;
    }
    SaveDialogValues(*m_engine, m_values, m_storedPassword);
    Close();
}

void CHarkwell::RefreshStats() {
    if (!m_engine) return;
    UpdateStatus();
    SetChangedText(IDC_LAST_SUBMITTED, BuildLastSubmitted(m_engine->GetLastSubmissions()),
                   &m_lastSubmitted);
}

void CHarkwell::SetChangedText(int id, std::string text, std::string* shown) {
    // Laying out a multi-line text again costs the player's thread milliseconds.
    if (text == *shown) return;
    SetShownText(id, text);
    *shown = std::move(text);
}

void CHarkwell::UpdateStatus() {
    CPlaytally* engine = m_engine;
    // The timer's latest connectivity check: making one here could hold up
    // the player for as long as a host lookup takes.
    SetChangedText(IDC_CACHE_STATS,
                   BuildStatusBlock(TakeStatusSnapshot(*engine),
                                    [engine] { return engine->LastConnected() != 0; }),
                   &m_status);
}

void CHarkwell::ReadControls() {
    for (const auto& field : kTextFields)
        m_values.*field.value = Text(field.id);
    for (const auto& box : kCheckBoxes)
        m_values.*box.value = IsDlgButtonChecked(m_window, box.id) == BST_CHECKED;
}

void CHarkwell::FillControls() {
    for (const auto& field : kTextFields)
        SetText(field.id, m_values.*field.value);
    for (const auto& box : kCheckBoxes)
        CheckDlgButton(m_window, box.id, m_values.*box.value ? BST_CHECKED : BST_UNCHECKED);
    SetShownText(IDC_LOGIN_NOTE, Tr(m_note));
}

void CHarkwell::EnableProxyEdits(int box) {
    bool server = box == IDC_USE_PROXY;
    BOOL on = server ? m_values.useProxy : m_values.useProxyAuth;
    EnableWindow(GetDlgItem(m_window, server ? IDC_PROXY_HOST : IDC_PROXY_USER), on);
    EnableWindow(GetDlgItem(m_window, server ? IDC_PROXY_PORT : IDC_PROXY_PASSWORD), on);
}

// The shell opens the file; a file it cannot open shows nothing.
void CHarkwell::OpenOrWarn(const std::string& path, const char* missing) {
    if (path.empty()) {
        Warn(missing);
    } else {
        ShellOpen(path);
    }
}

// Owned by the dialog, with the system's own caption.
void CHarkwell::Warn(const char* text) {
    MessageBoxW(m_window, WidePath(Tr(text)).c_str(), nullptr, MB_ICONWARNING);
}

// The whole text: a value longer than can be typed (set by hand in the
// registry) is saved back as it was, not cut.
std::string CHarkwell::Text(int id) const {
    HWND control = GetDlgItem(m_window, id);
    int length = control ? GetWindowTextLengthA(control) : 0;
    if (length <= 0) return std::string();
    std::vector<char> text(static_cast<size_t>(length) + 1);
    int n = GetWindowTextA(control, text.data(), length + 1);
    return std::string(text.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

// The settings' own texts stay in the code page, as they are stored.
void CHarkwell::SetText(int id, const std::string& text) {
    SetDlgItemTextA(m_window, id, text.c_str());
}

void CHarkwell::SetShownText(int id, const std::string& text) {
    SetDlgItemTextW(m_window, id, WidePath(Utf8OrAnsi(text)).c_str());
}
