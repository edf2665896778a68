// The layout check: whether a window's labels fit their controls at this
// display scale, each measured in its control's own font, and whether the
// controls stay clear of each other, of their group boxes' frames and of the
// window's edges. It runs on the player's thread (the layout verb) and on the
// watcher's (a modal dialog that fill-next checks), so it reaches the
// controls by messages that give up on a hung window.
#include "testbed/substitute_player/player.h"

// After windows.h (from player.h), which it builds on.
#include <commctrl.h>

namespace {

LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &answer);
    return static_cast<LRESULT>(answer);
}

std::wstring TextOf(HWND window) {
    std::wstring text(static_cast<size_t>(Ask(window, WM_GETTEXTLENGTH)) + 1, L'\0');
    size_t length = static_cast<size_t>(
        Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0])));
    text.resize(std::min(length, text.size() - 1));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool IsClass(HWND window, const wchar_t* name) {
    return CompareStringOrdinal(ClassOf(window).c_str(), -1, name, -1, TRUE) == CSTR_EQUAL;
}

bool IsGroupBox(HWND window) {
    return IsClass(window, L"Button") &&
           (GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
}

// The control's rectangle in its parent's client area.
RECT PlaceOf(HWND control) {
    RECT place = {};
    GetWindowRect(control, &place);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&place), 2);
    return place;
}

std::string Show(const RECT& r) {
    return Format("(%ld,%ld)-(%ld,%ld)", r.left, r.top, r.right, r.bottom);
}

// "control ID "TEXT"", the text cut short: labels share the id -1.
std::string Name(HWND control) {
    std::string text = OneLine(Utf8(TextOf(control)));
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return Format("control %d \"", GetDlgCtrlID(control)) + text + "\"";
}

// A device context for measuring in a control's font, given back when it goes.
class Measure {
  public:
    explicit Measure(HWND control) : m_control(control), m_dc(GetDC(control)) {
        HFONT font = reinterpret_cast<HFONT>(Ask(control, WM_GETFONT));
        m_old = SelectObject(m_dc, font ? font : GetStockObject(SYSTEM_FONT));
        GetTextMetricsW(m_dc, &m_metrics);
    }
    ~Measure() {
        SelectObject(m_dc, m_old);
        ReleaseDC(m_control, m_dc);
    }
    Measure(const Measure&) = delete;
    Measure& operator=(const Measure&) = delete;

    // The text's extent as DrawTextW lays it out with FORMAT, its lines
    // broken to WIDTH with DT_WORDBREAK (a word wider than that widens it).
    SIZE Extent(const std::wstring& text, UINT format, LONG width = 0) {
        RECT box = {0, 0, width, 0};
        DrawTextW(m_dc, text.c_str(), static_cast<int>(text.size()), &box, format | DT_CALCRECT);
        return {box.right - box.left, box.bottom - box.top};
    }
    const TEXTMETRICW& Metrics() const { return m_metrics; }
    int Dpi() const { return GetDeviceCaps(m_dc, LOGPIXELSY); }
    // The face the font was made in (which may stand in for the one asked).
    std::string Face() {
        wchar_t face[LF_FACESIZE] = {};
        GetTextFaceW(m_dc, LF_FACESIZE, face);
        return Utf8(face);
    }

  private:
    HWND m_control;
    HDC m_dc;
    HGDIOBJ m_old;
    TEXTMETRICW m_metrics = {};
};

struct Check {
    std::vector<std::string> problems;
    void Problem(const std::string& what) { problems.push_back(what); }
};

// What a control with text needs of its client area, when it draws a text:
// the text's extent and the room the control keeps around it. False when it
// draws none (an image, a list, an owner-drawn button).
bool Needs(HWND control, const std::wstring& text, SIZE* need) {
    LONG style = GetWindowLongW(control, GWL_STYLE);
    RECT client = {};
    GetClientRect(control, &client);
    Measure measure(control);
    int edgeX = GetSystemMetrics(SM_CXEDGE), edgeY = GetSystemMetrics(SM_CYEDGE);
    if (IsClass(control, L"Button")) {
        UINT lines = style & BS_MULTILINE ? DT_WORDBREAK : DT_SINGLELINE;
        switch (style & BS_TYPEMASK) {
            case BS_PUSHBUTTON:
            case BS_DEFPUSHBUTTON: {
                // Its raised edge and the focus rectangle inside it.
                LONG padX = 2 * edgeX + 1, padY = edgeY + 1;
                SIZE extent = measure.Extent(text, lines, client.right - 2 * padX);
                *need = {extent.cx + 2 * padX, extent.cy + 2 * padY};
                return true;
            }
            case BS_CHECKBOX:
            case BS_AUTOCHECKBOX:
            case BS_3STATE:
            case BS_AUTO3STATE:
            case BS_RADIOBUTTON:
            case BS_AUTORADIOBUTTON: {
                // The box, the gap after it, and the focus rectangle round the text.
                LONG box = GetSystemMetrics(SM_CXMENUCHECK), gap = 2 * edgeX;
                SIZE extent = measure.Extent(text, lines, client.right - box - gap - 2);
                *need = {box + gap + extent.cx + 2,
                         std::max<LONG>(extent.cy, GetSystemMetrics(SM_CYMENUCHECK))};
                return true;
            }
            case BS_GROUPBOX: {
                // The caption sits on the frame, inset from its corners.
                SIZE extent = measure.Extent(text, DT_SINGLELINE);
                *need = {extent.cx + 2 * 4 * edgeX, extent.cy};
                return true;
            }
            default:
                return false;
        }
    }
    if (IsClass(control, L"Static")) {
        UINT format = DT_EXPANDTABS | (style & SS_NOPREFIX ? DT_NOPREFIX : 0);
        switch (style & SS_TYPEMASK) {
            case SS_LEFT:
            case SS_CENTER:
            case SS_RIGHT:
                *need = measure.Extent(text, format | DT_WORDBREAK, client.right);
                return true;
            case SS_LEFTNOWORDWRAP:  // its lines as they are, none broken
                *need = measure.Extent(text, format);
                return true;
            case SS_SIMPLE:
                *need = measure.Extent(text, format | DT_SINGLELINE);
                return true;
            default:
                return false;
        }
    }
    if (IsClass(control, L"Edit")) {
        // Inside its margins; a password shows its mask character instead.
        LRESULT margins = Ask(control, EM_GETMARGINS);
        LONG pad = LOWORD(margins) + HIWORD(margins) + 1;  // and the caret
        wchar_t mask = static_cast<wchar_t>(Ask(control, EM_GETPASSWORDCHAR));
        std::wstring shown = style & ES_PASSWORD && mask ? std::wstring(text.size(), mask) : text;
        UINT format = DT_NOPREFIX | DT_EXPANDTABS;
        if (!(style & ES_MULTILINE)) {
            SIZE extent = measure.Extent(shown, format | DT_SINGLELINE);
            *need = {extent.cx + pad, extent.cy};
        } else {
            SIZE extent =
                measure.Extent(shown, format | DT_WORDBREAK | DT_EDITCONTROL, client.right - pad);
            // One that scrolls only needs its width.
            *need = {extent.cx + pad, style & (WS_VSCROLL | ES_AUTOVSCROLL) ? 0 : extent.cy};
        }
        return true;
    }
    return false;
}

// A list view's column titles against their columns' widths.
void CheckColumns(Check& check, HWND list) {
    HWND header = reinterpret_cast<HWND>(Ask(list, LVM_GETHEADER));
    if (!header) return;
    Measure measure(header);
    // Its items keep three edges of room on either side of the text.
    LONG pad = 2 * 3 * GetSystemMetrics(SM_CXEDGE);
    int columns = static_cast<int>(Ask(header, HDM_GETITEMCOUNT));
    for (int column = 0; column < columns; ++column) {
        wchar_t text[256] = {};
        HDITEMW item = {};
        item.mask = HDI_TEXT | HDI_WIDTH | HDI_FORMAT;
        item.pszText = text;
        item.cchTextMax = 256;
        Ask(header, HDM_GETITEMW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&item));
        if (!text[0]) continue;
        SIZE extent = measure.Extent(text, DT_SINGLELINE | DT_NOPREFIX);
        // A sort arrow takes room of its own beside the text.
        LONG arrow = item.fmt & (HDF_SORTUP | HDF_SORTDOWN) ? extent.cy + 2 * pad / 3 : 0;
        if (extent.cx + pad + arrow > item.cxy)
            check.Problem(Format("%s column %d \"", Name(list).c_str(), column) + Utf8(text) +
                          Format("\" needs %ld px, has %d", extent.cx + pad + arrow, item.cxy));
    }
}

// The lines of a group box's frame (its top at the middle of its caption)
// and its caption, all of which the controls inside keep clear of. A box
// without a caption may carry a control on its top line, as its title.
void CheckFrame(Check& check, HWND group, const std::vector<HWND>& controls) {
    RECT frame = PlaceOf(group);
    std::wstring caption = TextOf(group);
    Measure measure(group);
    LONG edge = 2;  // an etched line
    LONG top = frame.top + measure.Metrics().tmHeight / 2 - 1;
    RECT title = {frame.left, frame.top, frame.left, frame.top};
    if (!caption.empty()) {
        SIZE extent = measure.Extent(caption, DT_SINGLELINE);
        LONG inset = 4 * GetSystemMetrics(SM_CXEDGE);
        title = {frame.left + inset / 2, frame.top, frame.left + inset + extent.cx + inset / 2,
                 frame.top + extent.cy};
    }
    const RECT lines[] = {{frame.left, top, frame.right, top + edge},
                          {frame.left, top, frame.left + edge, frame.bottom},
                          {frame.right - edge, top, frame.right, frame.bottom},
                          {frame.left, frame.bottom - edge, frame.right, frame.bottom}};
    for (HWND control : controls) {
        RECT place = PlaceOf(control), meet;
        // Another frame may touch this one: frames are only drawn lines.
        if (IsGroupBox(control) || !IntersectRect(&meet, &place, &frame)) continue;
        bool titleOnTop = caption.empty() && place.top >= frame.top && place.bottom > top &&
                          place.left >= frame.left + edge && place.right <= frame.right - edge;
        bool crosses = IntersectRect(&meet, &place, &title) != 0;
        for (size_t line = 0; line < 4; ++line)
            crosses = crosses ||
                      (IntersectRect(&meet, &place, &lines[line]) && !(line == 0 && titleOnTop));
        if (crosses)
            check.Problem(Name(control) + " " + Show(place) + " crosses the frame of " +
                          Name(group) + " " + Show(frame));
    }
}

std::vector<std::string> CheckLayout(HWND window, int* checked) {
    Check check;
    std::vector<HWND> controls;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (IsWindowVisible(child)) controls.push_back(child);
    RECT client = {};
    GetClientRect(window, &client);
    for (HWND control : controls) {
        RECT place = PlaceOf(control), inside;
        if (!IntersectRect(&inside, &place, &client) || !EqualRect(&inside, &place))
            check.Problem(Name(control) + " " + Show(place) + " leaves the window's client area " +
                          Show(client));
        std::wstring text = TextOf(control);
        SIZE need = {};
        if (IsClass(control, WC_LISTVIEWW)) CheckColumns(check, control);
        if (text.empty() || !Needs(control, text, &need)) continue;
        RECT room = {};
        GetClientRect(control, &room);
        if (need.cx > room.right || need.cy > room.bottom)
            check.Problem(Name(control) + Format(" needs %ldx%ld px, has %ldx%ld", need.cx, need.cy,
                                                 room.right, room.bottom));
    }
    for (size_t a = 0; a < controls.size(); ++a) {
        if (IsGroupBox(controls[a])) {
            CheckFrame(check, controls[a], controls);
            continue;
        }
        for (size_t b = a + 1; b < controls.size(); ++b) {
            RECT one = PlaceOf(controls[a]), other = PlaceOf(controls[b]), meet;
            if (!IsGroupBox(controls[b]) && IntersectRect(&meet, &one, &other))
                check.Problem(Name(controls[a]) + " " + Show(one) + " overlaps " +
                              Name(controls[b]) + " " + Show(other));
        }
    }
    *checked = static_cast<int>(controls.size());
    return check.problems;
}

}  // namespace

SIZE TextExtent(HWND control, const std::wstring& text) {
    return Measure(control).Extent(text, DT_SINGLELINE | DT_NOPREFIX);
}

void RecordLayout(HWND window) {
    int checked = 0;
    std::string caption = OneLine(Utf8(TextOf(window)));
    std::vector<std::string> problems = CheckLayout(window, &checked);
    RECT outer = {};
    GetWindowRect(window, &outer);
    Measure measure(window);
    for (const std::string& problem : problems)
        Record("layout problem " + caption + ": " + problem);
    Record("layout " + caption +
           Format(": %d controls checked, %d problems, %ldx%ld px at %d dpi, ", checked,
                  static_cast<int>(problems.size()), outer.right - outer.left,
                  outer.bottom - outer.top, measure.Dpi()) +
           measure.Face() + Format(" %ld px", measure.Metrics().tmHeight));
}
