// What the player's parts share: its windows and the plug-in it loaded
// (player.cpp), its message loop, files, clocks and the message-box watcher.
// Every part includes it, and with it what they all use.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "player/winamp_plugin.h"
#include "testbed/substitute_player/script.h"
#include "testbed/substitute_player/text.h"

enum { kStopped = 0, kPlaying = 1, kPaused = 3 };  // what the playing query answers

// A Unicode player's entry: its texts are UTF-16; the ANSI queries get the
// ANSI forms of path and title, kept with it.
struct Track {
    std::wstring path;
    std::wstring title;
    int length = 0;
    std::vector<std::pair<std::wstring, std::wstring>> metadata;
    std::string ansiPath = Ansi(path), ansiTitle = Ansi(title);
};

// What the player is and plays, and the plug-in it loaded.
struct Player {
    HWND main = nullptr;
    HWND playlist = nullptr;
    std::vector<Track> tracks;
    int version = 0x5012;
    int position = 0;
    int status = kStopped;
    DWORD playStart = 0;
    int playedMs = 0;  // before the current stretch of playing
    HMODULE dll = nullptr;
    std::string dllName;  // the module's file name, for the module verbs
    winampGeneralPurposePlugin* plugin = nullptr;
    std::string logPath;
    size_t logCursor = 0;
    HANDLE held = INVALID_HANDLE_VALUE;  // the file hold-file opened
    int ticks = 0;                       // the plug-in timer's visits, counted in Answer
    DWORD lastTick = 0;
    bool dialogKeys = true;  // off after plain-loop: a host that leaves dialogs to themselves
    WNDPROC subclassNext = nullptr;  // after subclass-pe
    HWND window = nullptr;           // the plug-in's window the last wait-window found
    double longestMessageUs = 0;     // the longest a taken message held this thread,
    std::string longestMessage;      // and which it was
    std::vector<HWND> windows;       // every one it found, in order
    // Titles retitle replaced, kept to the end: the plug-in's timer thread may
    // still be reading one a title query handed it.
    std::vector<std::wstring> formerTitles;
    std::vector<std::string> formerAnsiTitles;
};
extern Player g_player;

// Under Wine the first window of a process can fail while the desktop process
// of an earlier one is just ending: tries again for a while.
bool CreatePlayerWindows();
HWND CreateTopLevel(const char* className, WNDPROC procedure);
// The procedure of the playlist editor, the equaliser and the browser, which
// only exist to be found and hooked.
LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// What the player's own windows answer a WM_USER message: made from its
// arguments, so that a hook that changes or swallows an answer shows.
LRESULT OwnAnswer(WPARAM wParam, LPARAM lParam);
// Moves to the entry and plays it, recording "play N".
void Play(int index);
// The new-track message to the playlist editor; how long it took, in microseconds.
double NewTrack();
// The loaded plug-in's record; fails the command's line when there is none.
winampGeneralPurposePlugin* Plugin(const Command& command);
// The visible top-level windows of this process.
std::vector<HWND> OwnWindows();
bool IsDialog(HWND window);

// Takes every message waiting for this thread, sent or posted. Keyboard input
// for a dialog goes through its navigation first (unless plain-loop). The
// longest a message takes is kept for longest-message.
void DrainMessages();

// Keeps taking messages until done() or the time is up; true when done.
template <typename Done>
bool PumpUntil(long timeoutMs, Done done) {
    DWORD start = GetTickCount();
    for (;;) {
        DrainMessages();
        if (done()) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= static_cast<DWORD>(timeoutMs)) return false;
        DWORD slice = std::min<DWORD>(50, static_cast<DWORD>(timeoutMs) - elapsed);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

std::string ReadWholeFile(const std::string& path);
bool Exists(const std::string& path);

// How long the call took, in microseconds.
template <typename Call>
double Microseconds(Call call) {
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    call();
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
           static_cast<double>(frequency.QuadPart);
}

// layout_check.cpp: records "layout problem CAPTION: WHAT" for each label of
// the window that its control cuts off, in the control's own font, and each
// control that overlaps another, crosses a group box's frame or leaves the
// window; then "layout CAPTION: N controls checked, P problems, WxH px at D
// dpi, FONT H px" (the face and height the window's font was made in). Any
// thread may call it.
void RecordLayout(HWND window);
// The text's extent on one line in the control's font (and the fonts the
// system draws the characters that font lacks in).
SIZE TextExtent(HWND control, const std::wstring& text);

// box_watcher.cpp: closes message boxes, whichever thread shows them; the
// dialogs made from the plug-in's module are left to the script.
extern std::atomic<HMODULE> g_pluginModule;
void StartBoxWatcher();
// How the next message boxes with Yes and No are answered, one each, the
// last for all after it.
void AnswerBoxes(const std::vector<bool>& answers);
// The next file dialog gets this name and is confirmed.
void SaveDialogsAs(const std::string& path);
// The plug-in's next dialog with this caption gets these texts in these
// controls, then a click of the button: "CAPTION|ID=TEXT|...|BUTTON"; a
// "click=ID" among them clicks there, a "layout" checks the dialog's layout.
void FillNextDialog(const std::string& request);
void StopBoxWatcher();
