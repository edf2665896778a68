// The verbs on the plug-in's own windows (its settings dialog, its Plays
// window): they act on the window the last wait-window found.
#include "testbed/substitute_player/player.h"

// After windows.h (from player.h), which it builds on.
#include <commctrl.h>

namespace {

std::vector<HWND> WindowsCaptioned(const std::string& caption) {
    std::vector<HWND> found;
    for (HWND window : OwnWindows()) {
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        if (caption == Utf8(text)) found.push_back(window);
    }
    return found;
}

std::string ControlText(HWND control) {
    std::wstring text(static_cast<size_t>(std::max(GetWindowTextLengthW(control), 0)) + 1, L'\0');
    text.resize(static_cast<size_t>(
        std::max(GetWindowTextW(control, &text[0], static_cast<int>(text.size())), 0)));
    return Utf8(text);
}

HWND Control(const Command& c) {
    if (!g_player.window || !IsWindow(g_player.window))
        Fail(c.line, "no window (wait-window first)");
    HWND control = GetDlgItem(g_player.window, static_cast<int>(c.number));
    if (!control) Fail(c.line, Format("no control %ld", c.number));
    return control;
}

// Records "window CAPTION #N", N counting distinct windows in order of first sight.
void WaitWindow(const Command& c) {
    HWND found = nullptr;
    if (!PumpUntil(c.ms, [&] {
            std::vector<HWND> all = WindowsCaptioned(c.text);
            found = all.empty() ? nullptr : all.front();
            return found != nullptr;
        }))
        Fail(c.line, "wait-window timed out: " + c.text);
    g_player.window = found;
    std::vector<HWND>& seen = g_player.windows;
    auto known = std::find(seen.begin(), seen.end(), found);
    if (known == seen.end()) known = seen.insert(seen.end(), found);
    Record(Format("window %s #%d", c.text.c_str(), static_cast<int>(known - seen.begin()) + 1));
}

// "\t" in the text stands for a tab.
void WaitText(const Command& c) {
    std::string text;
    for (size_t i = 0; i < c.text.size(); ++i) {
        bool tab = c.text.compare(i, 2, "\\t") == 0;
        text += tab ? '\t' : c.text[i];
        i += tab ? 1 : 0;
    }
    HWND control = Control(c);
    DWORD start = GetTickCount();
    if (!PumpUntil(c.ms, [&] { return ControlText(control).find(text) != std::string::npos; }))
        Fail(c.line, "wait-text timed out: " + OneLine(ControlText(control)));
    Record(Format("text after %lu ms: ", GetTickCount() - start) + OneLine(text));
}

// A list view's rows, each its cells' texts.
std::vector<std::vector<std::string>> ListRows(HWND list) {
    int columns = static_cast<int>(SendMessageW(
        reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0));
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::vector<std::string>> rows(static_cast<size_t>(std::max(count, 0)));
    for (int row = 0; row < count; ++row) {
        for (int column = 0; column < columns; ++column) {
            wchar_t text[1024] = {};
            LVITEMW item = {};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = 1024;
            SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
            rows[static_cast<size_t>(row)].push_back(Utf8(text));
        }
    }
    return rows;
}

// Selects the rows with a cell that holds the text (each of the texts
// "A|B" names), and no others.
void SelectRows(const Command& c) {
    HWND list = Control(c);
    std::vector<std::vector<std::string>> rows = ListRows(list);
    int selected = 0;
    for (size_t row = 0; row < rows.size(); ++row) {
        bool match = true;
        for (size_t at = 0, bar; at <= c.text.size(); at = bar + 1) {
            bar = std::min(c.text.find('|', at), c.text.size());
            std::string text = c.text.substr(at, bar - at);
            match = match &&
                    std::any_of(rows[row].begin(), rows[row].end(), [&](const std::string& cell) {
                        return cell.find(text) != std::string::npos;
                    });
        }
        LVITEMW state = {};
        state.stateMask = LVIS_SELECTED;
        state.state = match ? LVIS_SELECTED : 0;
        SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
        selected += match ? 1 : 0;
    }
    Record(Format("selected %d", selected));
}

// "reg NAME=TEXT", "reg NAME=#NUMBER" or "reg NAME -".
void ReadRegistry(const Command& c) {
    const std::string& name = c.argument;
    wchar_t data[1024] = {};
    DWORD type = 0, size = sizeof(data) - sizeof(wchar_t), number = 0;
    bool found =
        RegGetValueW(HKEY_CURRENT_USER, L"Software\\Kelmar\\Winamp Plugin", Wide(name).c_str(),
                     RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) == ERROR_SUCCESS;
    std::memcpy(&number, data, sizeof(number));
    Record(!found              ? "reg " + name + " -"
           : type == REG_DWORD ? Format("reg %s=#%ld", name.c_str(), static_cast<long>(number))
                               : "reg " + name + "=" + Utf8(data));
}

}  // namespace

const std::vector<Verb> kWindowVerbs = {
    {"wait-window", kCaptionMs, "CAPTION MS",
     "until a visible window of this process has the caption; the verbs below act on it",
     WaitWindow},
    {"windows", kText, "CAPTION", "records how many such windows there are",
     [](const Command& c) {
         Record(Format("windows %s %d", c.argument.c_str(),
                       static_cast<int>(WindowsCaptioned(c.argument).size())));
     }},
    {"wait-closed", kId, "MS", "until the window is gone",
     [](const Command& c) {
         if (!PumpUntil(c.number, [] { return !IsWindow(g_player.window); }))
             Fail(c.line, "wait-closed timed out");
         Record("window closed");
     }},
    {"read", kId, "ID", "records \"control ID enabled=E checked=C TEXT\"",
     [](const Command& c) {
         HWND control = Control(c);
         Record(Format("control %ld enabled=%d checked=%d ", c.number,
                       IsWindowEnabled(control) ? 1 : 0,
                       static_cast<int>(SendMessageA(control, BM_GETCHECK, 0, 0))) +
                OneLine(ControlText(control)));
     }},
    {"texts", kNone, "", "records the caption and each control's text, \"text ID: TEXT\"",
     [](const Command&) {
         Record("text caption: " + OneLine(ControlText(g_player.window)));
         for (HWND child = GetWindow(g_player.window, GW_CHILD); child;
              child = GetWindow(child, GW_HWNDNEXT)) {
             std::string text = ControlText(child);
             if (!text.empty()) Record(Format("text %d: ", GetDlgCtrlID(child)) + OneLine(text));
         }
     }},
    {"where", kNone, "", "records \"window at X,Y WxH\", its place on the screen",
     [](const Command&) {
         RECT r = {};
         GetWindowRect(g_player.window, &r);
         Record(Format("window at %ld,%ld %ldx%ld", r.left, r.top, r.right - r.left,
                       r.bottom - r.top));
     }},
    {"set", kIdText, "ID [TEXT]", "replaces the control's text",
     [](const Command& c) { SetWindowTextW(Control(c), Wide(c.text).c_str()); }},
    // A box the click opens is closed by the watcher.
    {"click", kId, "ID", "ticks or clears a check box, then tells the window as a click does",
     [](const Command& c) {
         HWND control = Control(c);
         if ((GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
             bool ticked = SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
             SendMessageA(control, BM_SETCHECK, ticked ? BST_UNCHECKED : BST_CHECKED, 0);
         }
         Record(Format("click %ld", c.number));
         SendMessageA(g_player.window, WM_COMMAND, MAKEWPARAM(c.number, BN_CLICKED),
                      reinterpret_cast<LPARAM>(control));
     }},
    // Through this player's message loop, as a typed key comes.
    {"key", kId, "VK", "a key pressed and released in the control with the focus",
     [](const Command& c) {
         HWND focus = GetFocus();
         if (!focus) Fail(c.line, "nothing has the focus");
         PostMessageA(focus, WM_KEYDOWN, static_cast<WPARAM>(c.number), 1);
         PostMessageA(focus, WM_KEYUP, static_cast<WPARAM>(c.number), 0xC0000001);
         DrainMessages();
     }},
    {"focus", kNone, "", "records \"focus ID\" of the control with the focus",
     [](const Command&) {
         HWND focus = GetFocus();
         Record(Format("focus %d", focus ? GetDlgCtrlID(focus) : 0));
     }},
    {"wait-text", kIdTextMs, "ID TEXT MS", "until the control's text holds TEXT (\\t: tab)",
     WaitText},
    {"layout", kText, "CAPTION",
     "checks the layout of the visible window with the caption: records \"layout problem "
     "CAPTION: WHAT\" for each label its control cuts off and each control that overlaps "
     "another, crosses a group box's frame or leaves the window, then \"layout CAPTION: N "
     "controls checked, P problems, WxH px at D dpi, FONT H px\" (the window's font as made)",
     [](const Command& c) {
         std::vector<HWND> found = WindowsCaptioned(c.argument);
         if (found.empty()) Fail(c.line, "no window " + c.argument);
         RecordLayout(found.front());
     }},
    {"extent", kIdText, "ID TEXT",
     "records \"extent ID WxH px: TEXT\", the text's extent on one line in the control's font",
     [](const Command& c) {
         SIZE extent = TextExtent(Control(c), Wide(c.text));
         Record(Format("extent %ld %ldx%ld px: ", c.number, extent.cx, extent.cy) + c.text);
     }},
    {"reg", kText, "NAME", "records the plug-in's registry value", ReadRegistry},
    {"rows", kId, "ID", "records the list's rows, \"row N: CELL | CELL...\"",
     [](const Command& c) {
         std::vector<std::vector<std::string>> rows = ListRows(Control(c));
         Record(Format("rows %d", static_cast<int>(rows.size())));
         for (size_t row = 0; row < rows.size(); ++row) {
             std::string line = Format("row %d:", static_cast<int>(row));
             for (const std::string& cell : rows[row])
                 line += " " + cell + " |";
             Record(OneLine(line.substr(0, line.size() - 2)));
         }
     }},
    {"select", kIdText, "ID TEXT[|TEXT]...",
     "selects the list's rows with a cell holding TEXT (each TEXT)", SelectRows},
    {"answer", kText, "yes|no...",
     "how the next message boxes with Yes and No are answered, the last word from then on",
     [](const Command& c) {
         std::vector<bool> answers;
         for (size_t at = 0, end = 0; at < c.argument.size(); at = end + 1) {
             end = std::min(c.argument.find(' ', at), c.argument.size());
             answers.push_back(c.argument.substr(at, end - at) == "yes");
         }
         AnswerBoxes(answers);
     }},
    {"save-as", kText, "PATH", "the next file dialog gets PATH and is confirmed",
     [](const Command& c) { SaveDialogsAs(c.argument); }},
    {"fill-next", kText, "CAPTION|ID=TEXT|...|BUTTON",
     "the plug-in's next such dialog (a modal one too) gets the texts, then the click; "
     "\"click=ID\" among them clicks there (the dialog answers before the next), \"layout\" "
     "checks the dialog's layout there (see layout), "
     "\"rows=ID:N\" among them waits first (a minute at most) for the list ID of the window "
     "found last to show N rows, and \"until=PATH\" holds the dialog (a minute at most) until "
     "PATH exists",
     [](const Command& c) { FillNextDialog(c.argument); }},
};
