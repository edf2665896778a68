// The timing verbs: what the plug-in's playlist editor hook and its windows
// cost the player's thread.
#include "testbed/substitute_player/player.h"

// After windows.h (from player.h), which it builds on.
#include <commctrl.h>

namespace {

WNDPROC g_benchNext = nullptr;
LRESULT CALLBACK PassThroughProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(g_benchNext, window, message, wParam, lParam);
}

// Nanoseconds a message, over one round; counts answers that are not the
// window's own.
double TimeMessages(HWND window, long count, long* wrong) {
    double us = Microseconds([&] {
        for (long i = 0; i < count; ++i) {
            if (SendMessageA(window, WINAMP_WM_USER, 0, 0) != OwnAnswer(0, 0)) ++*wrong;
        }
    });
    return us * 1e3 / static_cast<double>(count);
}

// A message sent to the window, timed; messages of other threads wait.
double TimedSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return Microseconds([&] { SendMessageA(window, message, wParam, lParam); });
}

// "time KIND n=N p50=.. us p99=.. us max=.. us" of one kind of call.
void RecordTimes(const char* kind, std::vector<double> us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    size_t n = us.size();
    Record(Format("time %s n=%u p50=%.1f us p99=%.1f us max=%.1f us", kind,
                  static_cast<unsigned>(n), us[n / 2], us[(n * 99 + 99) / 100 - 1], us[n - 1]));
}

// The three windows take turns, and each keeps its best round, so that noise
// from other processes falls on all of them alike.
void BenchHook(const Command& c) {
    Plugin(c);
    HWND plain = CreateTopLevel("Substitute Bench", PlainProc);
    HWND bare = CreateTopLevel("Substitute Bench", PlainProc);
    g_benchNext = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(bare, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PassThroughProc)));
    HWND windows[] = {g_player.playlist, bare, plain};
    double best[3] = {0, 0, 0};
    long wrong = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 3; ++i) {
            double ns = TimeMessages(windows[i], c.number / 5, &wrong);
            if (round == 0) continue;  // warming up
            if (round == 1 || ns < best[i]) best[i] = ns;
        }
    }
    DestroyWindow(bare);
    DestroyWindow(plain);
    Record(
        Format("bench-hook %ld messages: plug-in hook %.0f ns, bare subclass %.0f ns, no "
               "subclass %.0f ns a message",
               c.number, best[0], best[1], best[2]));
    Record(wrong == 0 ? std::string("hook-answers ok") : Format("hook-answers wrong %ld", wrong));
}

// The window is the one wait-window found, if any.
void TimeCalls(const Command& c) {
    Plugin(c);
    std::vector<double> hook, dialog, refresh;
    for (long i = 0; i < c.number; ++i) {
        hook.push_back(TimedSend(g_player.playlist, WINAMP_WM_USER, static_cast<WPARAM>(i), 0));
        if (i % 64 == 0) DrainMessages();
    }
    HWND window = g_player.window;
    if (window && IsWindow(window)) {
        // What a dialog gets from the pointer and its controls, round in turn.
        HWND edit = GetDlgItem(window, 1003);
        const UINT messages[] = {WM_NCHITTEST, WM_SETCURSOR, WM_MOUSEMOVE, WM_COMMAND};
        const WPARAM wParams[] = {0, reinterpret_cast<WPARAM>(window), 0,
                                  MAKEWPARAM(1003, EN_CHANGE)};
        const LPARAM lParams[] = {MAKELPARAM(10, 10), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE),
                                  MAKELPARAM(10, 10), reinterpret_cast<LPARAM>(edit)};
        for (long i = 0; i < c.number; ++i) {
            dialog.push_back(TimedSend(window, messages[i % 4], wParams[i % 4], lParams[i % 4]));
            refresh.push_back(TimedSend(window, WM_TIMER, 1, 0));
            DrainMessages();
        }
    }
    RecordTimes("hook", hook);
    RecordTimes("dialog", dialog);
    RecordTimes("refresh", refresh);
}

}  // namespace

const std::vector<Verb> kTimingVerbs = {
    {"bench-hook", kNumber, "N", "times N messages to the hook, a bare subclass and none",
     BenchHook},
    {"time-tracks", kCountMs, "N MS", "plays the entries in turn N times, MS apart, timed",
     [](const Command& c) {
         std::vector<double> us;
         for (long i = 0; i < c.number && !g_player.tracks.empty(); ++i) {
             Play(static_cast<int>(i % static_cast<long>(g_player.tracks.size())));
             us.push_back(NewTrack());
             PumpUntil(c.ms, [] { return false; });
         }
         RecordTimes("track", us);
     }},
    {"time-calls", kNumber, "N", "times N messages to the hook, the window and its refresh",
     TimeCalls},
    {"time-click", kId, "ID", "clicks the button as click does, timed",
     [](const Command& c) {
         HWND control = GetDlgItem(g_player.window, static_cast<int>(c.number));
         if (!control) Fail(c.line, Format("no control %ld", c.number));
         Record(Format("time click %ld %.0f us", c.number,
                       TimedSend(g_player.window, WM_COMMAND, MAKEWPARAM(c.number, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(control))));
     }},
    {"time-sort", kIdText, "ID COLUMN", "clicks the list's column header, timed",
     [](const Command& c) {
         NMLISTVIEW click = {};
         click.hdr.hwndFrom = GetDlgItem(g_player.window, static_cast<int>(c.number));
         click.hdr.idFrom = static_cast<UINT_PTR>(c.number);
         click.hdr.code = LVN_COLUMNCLICK;
         click.iItem = -1;
         click.iSubItem = std::atoi(c.text.c_str());
         if (!click.hdr.hwndFrom) Fail(c.line, Format("no control %ld", c.number));
         Record(Format("time sort %d %.0f us", click.iSubItem,
                       TimedSend(g_player.window, WM_NOTIFY, click.hdr.idFrom,
                                 reinterpret_cast<LPARAM>(&click))));
     }},
    {"longest-message", kNone, "", "records the longest a taken message took since the last time",
     [](const Command&) {
         Record(Format("longest message %.0f us, ", g_player.longestMessageUs) +
                g_player.longestMessage);
         g_player.longestMessageUs = 0;
         g_player.longestMessage.clear();
     }},
    {"time-copy", kText, "FROM TO", "copies a file (paths without spaces), timed",
     [](const Command& c) {
         size_t space = c.argument.find(' ');
         std::wstring from = Wide(c.argument.substr(0, space)),
                      to = Wide(c.argument.substr(space + 1));
         BOOL ok = FALSE;
         double us = Microseconds([&] { ok = CopyFileW(from.c_str(), to.c_str(), FALSE); });
         if (!ok || space == std::string::npos) Fail(c.line, "time-copy failed");
         Record(Format("time copy %.0f us", us));
     }},
};
