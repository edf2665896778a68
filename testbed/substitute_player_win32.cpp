// The substitute player: stands in for the media player so that a general
// purpose plug-in can be loaded and driven under Wine. It owns the player's
// four windows, answers the plug-in's queries from a playlist, and follows a
// script.
//
//   substitute_player.exe SCRIPT RESULT
//
// The script has one command a line; blank lines and lines starting with '#'
// are skipped. Texts are bytes in the ANSI code page (1252) and go to the
// plug-in as they are; paths are UTF-8. Times are milliseconds.
//
//   version N                 what the version query answers (0x5012 unless set)
//   track PATH | TITLE | SECONDS [| artist=A] [| title=T] [| album=B]
//                             a playlist entry (the first is 0); metadata names
//                             match without case, and an entry without a name
//                             has no such field
//   load DLL                  loads the plug-in, fills its record, calls init
//   play INDEX                moves to the entry, plays and tells the playlist
//                             editor (WM_USER, 666, 0x4000xxxx); records whether
//                             the answer was the editor's own ("pe-answer ok")
//   notify                    tells the playlist editor again, changing nothing
//   pause | resume | stop
//   config | quit             the plug-in's entry points
//   unload                    FreeLibrary
//   destroy-pe                destroys the playlist editor window
//   unicode-pe                makes the playlist editor a Unicode window (as a
//                             Unicode player's is)
//   pe-text TEXT              sets the editor's caption to TEXT (UTF-8) through
//                             the wide calls and reads it back: records
//                             "pe-text kept" or "pe-text changed to ..."
//   plain-loop                the message loop stops calling IsDialogMessage
//   subclass-pe               subclasses the playlist editor with a procedure
//                             of the player's own that passes everything on,
//                             as another plug-in would after this one
//   quit-in-pe                the playlist editor's own procedure calls quit
//                             while handling a message
//   wait MS                   keeps answering for MS
//   wait-log TEXT MS          until the plug-in's log (Kelmar.log.txt beside the
//                             DLL, else in %APPDATA%\Kelmar) holds TEXT after
//                             the previous match (or after what earlier runs
//                             wrote); fails after MS
//   wait-ticks N MS           until the plug-in's timer has asked N more times
//                             (a tick is a query from another thread at least a
//                             second after the last one); fails the run after MS
//   wait-file PATH MS         until PATH exists (pairs two players); fails after MS
//   check-log TEXT            records whether the log holds TEXT now
//   watch-log PATH            the log wait-log reads in a run that loads no
//                             plug-in (from its current end)
//   hold-file PATH            opens the file as an antivirus or backup tool does,
//                             sharing reading and writing but not deletion, so
//                             that it cannot be replaced or deleted; records
//                             "held"
//   release-file              closes it again
//   module-state              records whether the plug-in's module is mapped
//   wait-module-gone MS       until it is not; records how long that took
//   bench-hook N              times N ignored messages through the plug-in's
//                             playlist editor hook, through a bare subclass and
//                             to a window without one
//   time-tracks N MS          plays the entries in turn N times, MS apart, and
//                             times each new-track message into the hook
//   time-calls N              times N ordinary messages through the hook and,
//                             when wait-window found a window, N of its
//                             ordinary messages and N refreshes (WM_TIMER 1)
//   resources MS              records the process's threads, handles and events
//                             among them, once threads and other handles are
//                             back to those recorded last or MS is up
//   note TEXT                 copies TEXT into the result
//
// The plug-in's own windows (its settings dialog) are driven by these; the
// window is the one the last wait-window found:
//
//   wait-window CAPTION MS    until a visible window of this process has the
//                             caption; records "window CAPTION #N", N counting
//                             distinct windows in order of first sight
//   windows CAPTION           records how many such windows there are
//   wait-closed MS            until the window is gone
//   read ID                   records "control ID enabled=E checked=C TEXT"
//   set ID [TEXT]             replaces the control's text
//   click ID                  ticks or clears a check box, then tells the
//                             window as a click does (a box the click opens is
//                             closed by the watcher)
//   key VK                    a key pressed and released in the control that
//                             has the focus, through this player's message loop
//   focus                     records "focus ID" of the control with the focus
//   wait-text ID TEXT MS      until the control's text holds TEXT ("\t" is a tab)
//   reg NAME                  records the plug-in's registry value:
//                             "reg NAME=TEXT", "reg NAME=#NUMBER" or "reg NAME -"
//   exit                      ends the run (so does the end of the script)
//
// Every wait keeps taking messages: the plug-in's timer thread asks the main
// window synchronously from its own thread.
//
// The result file gets one line per event: "loaded", "init N", "init took N
// us", "description TEXT", "pe-proc ours|subclass|other" (the editor's own
// procedure, the player's subclass, another's), "pe-answer ...", "box
// CAPTION|TEXT", "dialog CAPTION", "quit N ms", "unloaded", "module-gone ...",
// "bench-hook ...", "hook-answers ...", "time KIND n=N p50=.. us p99=.. us
// max=.. us", "resources threads=N handles=N events=N", "exit", and "error line N:
// ..." or "crash ..." when the run fails. The exit status is 0 unless the script
// failed (a bad line, a wait that timed out, a plug-in that did not load) or
// the process crashed (3).
//
// Message boxes are closed by a watcher thread, whichever thread shows them:
// the plug-in shows some on the player's thread (during init or config) and
// some on its request workers. Every 20 ms it looks for visible "#32770"
// windows of this process; one with the static text control 65535 is a message
// box: it records caption and text and presses No when there is one, else OK.
// Any other dialog is recorded; the plug-in's own (made from its module) are
// left to the script, the rest cancelled.
//
// Like a player that hosts modeless dialogs, the message loop passes each
// message to IsDialogMessage of the dialog it is for, so that Tab, Enter and
// Escape work in them; after "plain-loop" it no longer does, as in a host that
// leaves that to the dialogs.
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diagnostics/wide_path_win32.h"
#include "player/winamp_plugin.h"

namespace {

constexpr int kPlaying = 1;
constexpr int kPaused = 3;
constexpr int kStopped = 0;
constexpr int kStaticTextId = 0xFFFF;
constexpr DWORD kTickGapMs = 1000;
// Asks the playlist editor's own procedure to call the plug-in's quit.
constexpr UINT kQuitFromPlaylist = WM_APP + 1;

struct Track {
    std::string path;
    std::string title;
    int length = 0;
    std::vector<std::pair<std::string, std::string>> metadata;
};

struct Command {
    int line = 0;
    std::string verb;
    std::string argument;  // the rest of the line
};

// The result file, written from the main and the watcher thread.
std::mutex g_resultLock;
FILE* g_result = nullptr;

void Record(const std::string& event) {
    std::lock_guard<std::mutex> guard(g_resultLock);
    if (g_result) {
        std::fprintf(g_result, "%s\n", event.c_str());
        std::fflush(g_result);
    }
    std::printf("player: %s\n", event.c_str());
    std::fflush(stdout);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void CloseResult() {
    std::lock_guard<std::mutex> guard(g_resultLock);
    if (g_result) std::fclose(g_result);
    g_result = nullptr;
}

// Ends at once: a plug-in in a bad state must not hold the process in its
// unload code.
[[noreturn]] void Fail(int line, const std::string& why) {
    Record(Format("error line %d: ", line) + why);
    CloseResult();
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    Record(Format("crash 0x%08lx at %p",
                  static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                  info->ExceptionRecord->ExceptionAddress));
    CloseResult();
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// CR and LF would break the one-line-per-event result.
std::string OneLine(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

bool ParseNumber(const std::string& text, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtol(text.c_str(), &end, 0);
    return *end == '\0';
}

// "TEXT MS": the last word is the time, everything before it the text.
bool SplitTimeout(const std::string& argument, std::string* text, long* ms) {
    size_t space = argument.find_last_of(' ');
    if (space == std::string::npos) return false;
    *text = Trim(argument.substr(0, space));
    return !text->empty() && ParseNumber(argument.substr(space + 1), ms) && *ms >= 0;
}

bool Exists(const std::string& path) {
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

// The plug-in's module, for the watcher.
std::atomic<HMODULE> g_pluginModule{nullptr};

// Off after plain-loop: a host whose loop leaves dialogs to themselves.
bool g_dialogKeys = true;

bool IsDialog(HWND window) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    return std::string(className) == "#32770";
}

// Takes every message waiting for this thread, sent or posted. Keyboard input
// for a dialog goes through its navigation first.
void DrainMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
        if (g_dialogKeys && root && IsDialog(root) && IsDialogMessageA(root, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Keeps taking messages until done() or the time is up; true when done.
template <typename Done>
bool PumpUntil(DWORD timeoutMs, Done done) {
    DWORD start = GetTickCount();
    for (;;) {
        DrainMessages();
        if (done()) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        DWORD slice = std::min<DWORD>(50, timeoutMs - elapsed);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

class CSubstitutePlayer {
  public:
    bool CreateWindows();
    void Run(const std::vector<Command>& script);
    LRESULT Answer(WPARAM wParam, LPARAM lParam);

    HWND m_main = nullptr;
    HWND m_playlist = nullptr;

  private:
    void Execute(const Command& command);
    void Load(const Command& command);
    void Play(int index);
    // The new-track message; how long the plug-in took, in microseconds.
    double NewTrack();
    void TimeTracks(long count, long gapMs);
    void TimeCalls(long count);
    void Resources(long timeoutMs);
    int ElapsedMs() const;
    const Track* Find(const char* path) const;
    LRESULT ExtendedInfo(extendedFileInfoStruct* info) const;
    winampGeneralPurposePlugin* Plugin(const Command& command);
    void RecordProc();
    void BenchHook(long count);
    bool DriveWindow(const Command& command);
    HWND Control(const Command& command, long id);
    std::string ReadRegistry(const std::string& name) const;

    std::vector<Track> m_tracks;
    int m_version = 0x5012;
    int m_position = 0;
    int m_status = kStopped;
    DWORD m_playStart = 0;
    int m_playedMs = 0;  // before the current stretch of playing
    HMODULE m_dll = nullptr;
    std::string m_dllName;
    std::string m_logPath;
    size_t m_logCursor = 0;
    HANDLE m_held = INVALID_HANDLE_VALUE;  // the file hold-file opened
    winampGeneralPurposePlugin* m_plugin = nullptr;
    int m_ticks = 0;  // the plug-in timer's visits, counted in Answer
    DWORD m_lastTick = 0;
    HWND m_window = nullptr;      // the window wait-window found
    std::vector<HWND> m_windows;  // every one it found, in order
    long m_lastThreads = -1;      // what resources recorded last
    long m_lastOthers = -1;       // handles other than events

  public:
    void QuitPlugin(const Command& command);
};

CSubstitutePlayer g_player;

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WINAMP_WM_USER && window == g_player.m_main)
        return g_player.Answer(wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

// What the player's own windows answer a WM_USER message: made from its
// arguments, so that a hook that changes or swallows an answer shows.
LRESULT OwnAnswer(WPARAM wParam, LPARAM lParam) {
    return static_cast<LRESULT>(0x5EED0000u ^ static_cast<uint32_t>(wParam) ^
                                static_cast<uint32_t>(lParam));
}

// The playlist editor, the equaliser and the browser only exist to be found
// and hooked.
LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WINAMP_WM_USER) return OwnAnswer(wParam, lParam);
    if (message == kQuitFromPlaylist) {
        g_player.QuitPlugin(Command{});
        return 0;
    }
    return IsWindowUnicode(window) ? DefWindowProcW(window, message, wParam, lParam)
                                   : DefWindowProcA(window, message, wParam, lParam);
}

// Another's subclass of the playlist editor, installed after the plug-in's.
WNDPROC g_subclassNext = nullptr;
LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(g_subclassNext, window, message, wParam, lParam);
}

WNDPROC g_benchNext = nullptr;
LRESULT CALLBACK PassThroughProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcA(g_benchNext, window, message, wParam, lParam);
}

HWND CreateTopLevel(const char* className, WNDPROC procedure) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = className;
    if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return CreateWindowExA(0, className, className, WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Under Wine the first window of a process can fail while the desktop process
// of an earlier one is just ending: try again for a while.
bool CSubstitutePlayer::CreateWindows() {
    HWND equaliser = nullptr, browser = nullptr;
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (!m_main) m_main = CreateTopLevel(kMainWindowClass, MainProc);
        if (!m_playlist) m_playlist = CreateTopLevel(kPlaylistWindowClass, PlainProc);
        if (!equaliser) equaliser = CreateTopLevel(kEqualiserWindowClass, PlainProc);
        if (!browser) browser = CreateTopLevel(kBrowserWindowClass, PlainProc);
        if (m_main && m_playlist && equaliser && browser) return true;
        Sleep(250);
    }
    return false;
}

int CSubstitutePlayer::ElapsedMs() const {
    if (m_status != kPlaying) return m_playedMs;
    return m_playedMs + static_cast<int>(GetTickCount() - m_playStart);
}

const Track* CSubstitutePlayer::Find(const char* path) const {
    if (!path) return nullptr;
    for (const Track& track : m_tracks) {
        if (_stricmp(track.path.c_str(), path) == 0) return &track;
    }
    return nullptr;
}

LRESULT CSubstitutePlayer::ExtendedInfo(extendedFileInfoStruct* info) const {
    if (!info || !info->metadata || !info->ret || info->retlen == 0) return 0;
    const Track* track = Find(info->filename);
    if (!track) return 0;
    for (const auto& [name, value] : track->metadata) {
        if (_stricmp(name.c_str(), info->metadata) != 0) continue;
        size_t n = std::min<size_t>(value.size(), info->retlen - 1);
        value.copy(info->ret, n);
        info->ret[n] = '\0';
        return 1;
    }
    return 0;
}

LRESULT CSubstitutePlayer::Answer(WPARAM wParam, LPARAM lParam) {
    auto entry = [this](WPARAM index) -> const Track* {
        return index < m_tracks.size() ? &m_tracks[index] : nullptr;
    };
    switch (lParam) {
        case IPC_GETVERSION:
            return m_version;
        case IPC_ISPLAYING:
            // The plug-in's timer is the only one asking from another thread.
            if (InSendMessage() && GetTickCount() - m_lastTick >= kTickGapMs) {
                m_lastTick = GetTickCount();
                ++m_ticks;
            }
            return m_status;
        case IPC_GETOUTPUTTIME: {
            const Track* track = entry(static_cast<WPARAM>(m_position));
            if (wParam == 1) return track ? track->length : -1;
            if (wParam == 0) return m_status == kStopped ? 0 : ElapsedMs();
            return -1;
        }
        case IPC_GETLISTPOS:
            return m_position;
        case IPC_GETPLAYLISTFILE: {
            const Track* track = entry(wParam);
            return track ? reinterpret_cast<LRESULT>(track->path.c_str()) : 0;
        }
        case IPC_GETPLAYLISTTITLE: {
            const Track* track = entry(wParam);
            return track ? reinterpret_cast<LRESULT>(track->title.c_str()) : 0;
        }
        case IPC_INETAVAILABLE:
            return 1;
        case IPC_GET_EXTENDED_FILE_INFO:
            return ExtendedInfo(reinterpret_cast<extendedFileInfoStruct*>(wParam));
        default:
            return 0;
    }
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Microseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double CSubstitutePlayer::NewTrack() {
    LPARAM lParam =
        static_cast<LPARAM>((PE_NEW_TRACK_LPARAM_HIGH << 16) | static_cast<uint32_t>(m_position));
    LONGLONG start = Now();
    LRESULT answer = SendMessageA(m_playlist, WINAMP_WM_USER, PE_NEW_TRACK_WPARAM, lParam);
    double us = Microseconds(Now() - start);
    LRESULT own = OwnAnswer(PE_NEW_TRACK_WPARAM, lParam);
    Record(answer == own ? std::string("pe-answer ok")
                         : Format("pe-answer 0x%lx, own 0x%lx", static_cast<unsigned long>(answer),
                                  static_cast<unsigned long>(own)));
    return us;
}

void CSubstitutePlayer::Play(int index) {
    m_position = index;
    m_status = kPlaying;
    m_playStart = GetTickCount();
    m_playedMs = 0;
    Record(Format("play %d", m_position));
}

void CSubstitutePlayer::QuitPlugin(const Command& command) {
    DWORD start = GetTickCount();
    Plugin(command)->quit();
    Record(Format("quit %lu ms", GetTickCount() - start));
    RecordProc();
}

winampGeneralPurposePlugin* CSubstitutePlayer::Plugin(const Command& command) {
    if (!m_plugin) Fail(command.line, "no plug-in loaded");
    return m_plugin;
}

// Whether the playlist editor still runs our own procedure, or a hook.
void CSubstitutePlayer::RecordProc() {
    if (!IsWindow(m_playlist)) return;
    WNDPROC current = reinterpret_cast<WNDPROC>(IsWindowUnicode(m_playlist)
                                                    ? GetWindowLongPtrW(m_playlist, GWLP_WNDPROC)
                                                    : GetWindowLongPtrA(m_playlist, GWLP_WNDPROC));
    Record(current == PlainProc      ? "pe-proc ours"
           : current == SubclassProc ? "pe-proc subclass"
                                     : "pe-proc other");
}

void CSubstitutePlayer::Load(const Command& command) {
    if (m_dll) Fail(command.line, "a plug-in is loaded already");
    m_dll = LoadLibraryW(WidePath(command.argument).c_str());
    if (!m_dll) Fail(command.line, Format("load-failed %lu", GetLastError()));
    g_pluginModule = m_dll;
    // Through the generic function type: the export's real type is ours to know.
    auto get = reinterpret_cast<GetGeneralPurposePluginFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_dll, kGetGeneralPurposePluginName)));
    if (!get) Fail(command.line, Format("no %s export", kGetGeneralPurposePluginName));
    std::string full = ModuleFileName(m_dll);
    size_t slash = full.find_last_of("\\/");
    // The log is beside the DLL, or in the user's own folder when the DLL's
    // folder cannot be written.
    std::string beside = full.substr(0, slash + 1) + "Kelmar.log.txt";
    wchar_t appData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH);
    std::string user = Utf8Path(appData) + "\\Kelmar\\Kelmar.log.txt";
    m_dllName = full.substr(slash + 1);
    Record("loaded");

    m_plugin = get();
    if (!m_plugin) Fail(command.line, "the plug-in gave no record");
    Record(Format("record version 0x%x", m_plugin->version));
    m_plugin->hwndParent = m_main;
    m_plugin->hDllInstance = m_dll;
    // Only what this run writes counts for wait-log: init either starts the
    // log afresh (shorter than before) or appends to it.
    size_t besideBefore = ReadWholeFile(beside).size();
    size_t userBefore = ReadWholeFile(user).size();
    LONGLONG start = Now();
    int result = m_plugin->init();
    double us = Microseconds(Now() - start);
    bool isBeside = Exists(beside);
    m_logPath = isBeside ? beside : user;
    size_t before = isBeside ? besideBefore : userBefore;
    m_logCursor = ReadWholeFile(m_logPath).size() < before ? 0 : before;
    Record(Format("init %d", result));
    Record(Format("init took %.0f us", us));
    Record(std::string("description ") + (m_plugin->description ? m_plugin->description : ""));
    RecordProc();
}

// Nanoseconds a message, over one round; counts answers that are not the
// window's own.
double TimeMessages(HWND window, long count, long* wrong) {
    LONGLONG start = Now();
    for (long i = 0; i < count; ++i) {
        if (SendMessageA(window, WINAMP_WM_USER, 0, 0) != OwnAnswer(0, 0)) ++*wrong;
    }
    return Microseconds(Now() - start) * 1e3 / static_cast<double>(count);
}

// "time KIND n=N p50=.. us p99=.. us max=.. us" of one kind of call.
void RecordTimes(const char* kind, std::vector<double> us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    size_t n = us.size();
    Record(Format("time %s n=%u p50=%.1f us p99=%.1f us max=%.1f us", kind,
                  static_cast<unsigned>(n), us[n / 2], us[(n * 99 + 99) / 100 - 1], us[n - 1]));
}

void CSubstitutePlayer::TimeTracks(long count, long gapMs) {
    std::vector<double> us;
    for (long i = 0; i < count && !m_tracks.empty(); ++i) {
        Play(static_cast<int>(i % static_cast<long>(m_tracks.size())));
        us.push_back(NewTrack());
        PumpUntil(static_cast<DWORD>(gapMs), [] { return false; });
    }
    RecordTimes("track", us);
}

// A message sent to the window, timed; messages of other threads wait.
double TimedSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LONGLONG start = Now();
    SendMessageA(window, message, wParam, lParam);
    return Microseconds(Now() - start);
}

void CSubstitutePlayer::TimeCalls(long count) {
    std::vector<double> hook, dialog, refresh;
    for (long i = 0; i < count; ++i) {
        hook.push_back(TimedSend(m_playlist, WINAMP_WM_USER, static_cast<WPARAM>(i), 0));
        if (i % 64 == 0) DrainMessages();
    }
    if (m_window && IsWindow(m_window)) {
        // What a dialog gets from the pointer and its controls, round in turn.
        HWND edit = GetDlgItem(m_window, 1003);
        const struct {
            UINT message;
            WPARAM wParam;
            LPARAM lParam;
        } kOrdinary[] = {
            {WM_NCHITTEST, 0, MAKELPARAM(10, 10)},
            {WM_SETCURSOR, reinterpret_cast<WPARAM>(m_window), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)},
            {WM_MOUSEMOVE, 0, MAKELPARAM(10, 10)},
            {WM_COMMAND, MAKEWPARAM(1003, EN_CHANGE), reinterpret_cast<LPARAM>(edit)},
        };
        for (long i = 0; i < count; ++i) {
            const auto& m = kOrdinary[i % 4];
            dialog.push_back(TimedSend(m_window, m.message, m.wParam, m.lParam));
            refresh.push_back(TimedSend(m_window, WM_TIMER, 1, 0));
            DrainMessages();
        }
    }
    RecordTimes("hook", hook);
    RecordTimes("dialog", dialog);
    RecordTimes("refresh", refresh);
}

long ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    long count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// This process's handles, from the system's list (Wine's GetProcessHandleCount
// answers 0); -1 when it cannot be read. Events are counted apart.
long HandleCount(long* events) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    using QuerySystem = LONG(WINAPI*)(SYSTEM_INFORMATION_CLASS, void*, ULONG, ULONG*);
    using QueryObject = LONG(WINAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, void*, ULONG, ULONG*);
    auto querySystem = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    auto queryObject = reinterpret_cast<QueryObject>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtQueryObject")));
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<char> buffer(1 << 16);
    *events = 0;
    for (int attempt = 0; querySystem && queryObject && attempt < 8; ++attempt) {
        ULONG needed = 0;
        LONG status = querySystem(SystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) break;
        const auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
        long count = 0;
        for (ULONG i = 0; i < list->Count; ++i) {
            if (list->Handle[i].OwnerPid != GetCurrentProcessId()) continue;
            ++count;
            alignas(8) char type[512];
            HANDLE handle = reinterpret_cast<HANDLE>(uintptr_t{list->Handle[i].HandleValue});
            if (queryObject(handle, ObjectTypeInformation, type, sizeof(type), nullptr) == 0 &&
                std::wstring(reinterpret_cast<UNICODE_STRING*>(type)->Buffer,
                             reinterpret_cast<UNICODE_STRING*>(type)->Length / 2) == L"Event")
                ++*events;
        }
        return count;
    }
    return -1;
}

// Workers of the plug-in may still be ending: wait for the counts to settle
// back rather than for a fixed time.
void CSubstitutePlayer::Resources(long timeoutMs) {
    long threads = 0, handles = 0, events = 0;
    PumpUntil(static_cast<DWORD>(timeoutMs), [&] {
        threads = ThreadCount();
        handles = HandleCount(&events);
        return threads <= m_lastThreads && handles - events <= m_lastOthers;
    });
    m_lastThreads = threads;
    m_lastOthers = handles - events;
    Record(Format("resources threads=%ld handles=%ld events=%ld", threads, handles, events));
}

// The three windows take turns, and each keeps its best round, so that noise
// from other processes falls on all of them alike.
void CSubstitutePlayer::BenchHook(long count) {
    HWND plain = CreateTopLevel("Substitute Bench", PlainProc);
    HWND bare = CreateTopLevel("Substitute Bench", PlainProc);
    g_benchNext = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(bare, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PassThroughProc)));
    HWND windows[] = {m_playlist, bare, plain};
    double best[3] = {0, 0, 0};
    long wrong = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 3; ++i) {
            double ns = TimeMessages(windows[i], count / 5, &wrong);
            if (round == 0) continue;  // warming up
            if (round == 1 || ns < best[i]) best[i] = ns;
        }
    }
    DestroyWindow(bare);
    DestroyWindow(plain);
    Record(
        Format("bench-hook %ld messages: plug-in hook %.0f ns, bare subclass %.0f ns, no "
               "subclass %.0f ns a message",
               count, best[0], best[1], best[2]));
    Record(wrong == 0 ? std::string("hook-answers ok") : Format("hook-answers wrong %ld", wrong));
}

void CSubstitutePlayer::Execute(const Command& c) {
    const std::string& verb = c.verb;
    long number = 0;
    std::string text;
    if (verb == "version") {
        ParseNumber(c.argument, &number);
        m_version = static_cast<int>(number);
    } else if (verb == "track") {
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t bar = c.argument.find('|', start);
            fields.push_back(Trim(c.argument.substr(start, bar - start)));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        Track track;
        track.path = fields[0];
        track.title = fields[1];
        track.length = std::atoi(fields[2].c_str());
        for (size_t i = 3; i < fields.size(); ++i) {
            size_t equals = fields[i].find('=');
            track.metadata.emplace_back(fields[i].substr(0, equals), fields[i].substr(equals + 1));
        }
        m_tracks.push_back(track);
    } else if (verb == "load") {
        Load(c);
    } else if (verb == "play") {
        ParseNumber(c.argument, &number);
        if (number < 0 || static_cast<size_t>(number) >= m_tracks.size())
            Fail(c.line, "no such playlist entry");
        Play(static_cast<int>(number));
        NewTrack();
    } else if (verb == "notify") {
        Record("notify");
        NewTrack();
    } else if (verb == "pause") {
        if (m_status == kPlaying) m_playedMs = ElapsedMs();
        m_status = kPaused;
        Record("pause");
    } else if (verb == "resume") {
        if (m_status == kPaused) m_playStart = GetTickCount();
        m_status = kPlaying;
        Record("resume");
    } else if (verb == "stop") {
        m_status = kStopped;
        m_playedMs = 0;
        Record("stop");
    } else if (verb == "config") {
        Plugin(c)->config();
        Record("config returned");
    } else if (verb == "quit") {
        QuitPlugin(c);
    } else if (verb == "quit-in-pe") {
        Plugin(c);
        SendMessageA(m_playlist, kQuitFromPlaylist, 0, 0);
    } else if (verb == "subclass-pe") {
        g_subclassNext = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(m_playlist, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
        RecordProc();
    } else if (verb == "unload") {
        if (!m_dll) Fail(c.line, "no plug-in loaded");
        FreeLibrary(m_dll);
        m_dll = nullptr;
        m_plugin = nullptr;
        Record("unloaded");
    } else if (verb == "plain-loop") {
        g_dialogKeys = false;
    } else if (verb == "unicode-pe") {
        // The same class name, registered again as a Unicode class.
        DestroyWindow(m_playlist);
        UnregisterClassA(kPlaylistWindowClass, GetModuleHandleA(nullptr));
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = PlainProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = L"Winamp PE";
        RegisterClassW(&windowClass);
        m_playlist =
            CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200,
                            nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        if (!m_playlist || !IsWindowUnicode(m_playlist)) Fail(c.line, "no Unicode playlist window");
        Record("pe-unicode");
    } else if (verb == "pe-text") {
        std::wstring text = WidePath(c.argument);
        SetWindowTextW(m_playlist, text.c_str());
        wchar_t back[256] = {};
        GetWindowTextW(m_playlist, back, 255);
        Record(back == text ? std::string("pe-text kept") : "pe-text changed to " + Utf8Path(back));
    } else if (verb == "destroy-pe") {
        DestroyWindow(m_playlist);
        Record("pe-destroyed");
    } else if (verb == "wait") {
        ParseNumber(c.argument, &number);
        PumpUntil(static_cast<DWORD>(number), [] { return false; });
    } else if (verb == "wait-log") {
        SplitTimeout(c.argument, &text, &number);
        DWORD start = GetTickCount();
        bool seen = PumpUntil(static_cast<DWORD>(number), [&] {
            std::string log = ReadWholeFile(m_logPath);
            if (log.size() < m_logCursor) m_logCursor = 0;  // the log started afresh
            size_t at = log.find(text, m_logCursor);
            if (at == std::string::npos) return false;
            m_logCursor = at + text.size();
            return true;
        });
        if (!seen) Fail(c.line, "wait-log timed out: " + text);
        Record(Format("seen after %lu ms: ", GetTickCount() - start) + text);
    } else if (verb == "wait-ticks") {
        long timeout = 0;
        SplitTimeout(c.argument, &text, &timeout);
        ParseNumber(text, &number);
        int goal = m_ticks + static_cast<int>(number);
        if (!PumpUntil(static_cast<DWORD>(timeout), [&] { return m_ticks >= goal; }))
            Fail(c.line, "wait-ticks timed out");
        Record(Format("ticks %ld", number));
    } else if (verb == "wait-file") {
        SplitTimeout(c.argument, &text, &number);
        if (!PumpUntil(static_cast<DWORD>(number), [&] { return Exists(text); }))
            Fail(c.line, "wait-file timed out: " + text);
    } else if (verb == "check-log") {
        bool has = ReadWholeFile(m_logPath).find(c.argument) != std::string::npos;
        Record((has ? "log-has " : "log-lacks ") + c.argument);
    } else if (verb == "module-state") {
        Record(GetModuleHandleA(m_dllName.c_str()) ? "module-still-loaded" : "module-gone");
    } else if (verb == "wait-module-gone") {
        ParseNumber(c.argument, &number);
        DWORD start = GetTickCount();
        if (PumpUntil(static_cast<DWORD>(number),
                      [&] { return GetModuleHandleA(m_dllName.c_str()) == nullptr; })) {
            Record(Format("module-gone after %lu ms", GetTickCount() - start));
        } else {
            Record("module-still-loaded");
        }
    } else if (verb == "bench-hook") {
        Plugin(c);
        ParseNumber(c.argument, &number);
        BenchHook(number);
    } else if (verb == "time-tracks") {
        long gap = 0;
        SplitTimeout(c.argument, &text, &gap);
        ParseNumber(text, &number);
        TimeTracks(number, gap);
    } else if (verb == "time-calls") {
        Plugin(c);
        ParseNumber(c.argument, &number);
        TimeCalls(number);
    } else if (verb == "resources") {
        ParseNumber(c.argument, &number);
        Resources(number);
    } else if (verb == "note") {
        Record(c.argument);
    } else if (verb == "watch-log") {
        m_logPath = c.argument;
        m_logCursor = ReadWholeFile(m_logPath).size();
    } else if (verb == "hold-file") {
        m_held = CreateFileW(WidePath(c.argument).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_held == INVALID_HANDLE_VALUE) Fail(c.line, "cannot open " + c.argument);
        Record("held");
    } else if (verb == "release-file") {
        if (m_held != INVALID_HANDLE_VALUE) CloseHandle(m_held);
        m_held = INVALID_HANDLE_VALUE;
        Record("released");
    } else if (!DriveWindow(c)) {
        Fail(c.line, "unknown command");
    }
}

struct WindowSearch {
    std::string caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectCaptioned(HWND window, LPARAM search) {
    auto* s = reinterpret_cast<WindowSearch*>(search);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char text[256] = {};
    GetWindowTextA(window, text, sizeof(text));
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && s->caption == text)
        s->found.push_back(window);
    return TRUE;
}

std::vector<HWND> WindowsCaptioned(const std::string& caption) {
    WindowSearch search{caption, {}};
    EnumWindows(CollectCaptioned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string ControlText(HWND control) {
    int length = GetWindowTextLengthA(control);
    std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
    int n = GetWindowTextA(control, &text[0], static_cast<int>(text.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// "\t" in a script line stands for a tab.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 't') {
            out += '\t';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

HWND CSubstitutePlayer::Control(const Command& c, long id) {
    if (!m_window || !IsWindow(m_window)) Fail(c.line, "no window (wait-window first)");
    HWND control = GetDlgItem(m_window, static_cast<int>(id));
    if (!control) Fail(c.line, Format("no control %ld", id));
    return control;
}

std::string CSubstitutePlayer::ReadRegistry(const std::string& name) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kelmar\\Winamp Plugin", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return name + " -";
    char data[1024] = {};
    DWORD type = 0, size = sizeof(data) - 1;
    LONG status =
        RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return name + " -";
    if (type == REG_DWORD) {
        DWORD value = 0;
        std::memcpy(&value, data, sizeof(value));
        return Format("%s=#%ld", name.c_str(), static_cast<long>(value));
    }
    return name + "=" + std::string(data);
}

// The commands on the plug-in's windows (see the top of the file).
bool CSubstitutePlayer::DriveWindow(const Command& c) {
    const std::string& verb = c.verb;
    long number = 0;
    std::string text;
    std::string rest;  // after the first word
    size_t space = c.argument.find(' ');
    ParseNumber(c.argument.substr(0, space), &number);
    if (space != std::string::npos) rest = c.argument.substr(space + 1);
    if (verb == "wait-window") {
        SplitTimeout(c.argument, &text, &number);
        HWND found = nullptr;
        if (!PumpUntil(static_cast<DWORD>(number), [&] {
                std::vector<HWND> all = WindowsCaptioned(text);
                found = all.empty() ? nullptr : all.front();
                return found != nullptr;
            }))
            Fail(c.line, "wait-window timed out: " + text);
        m_window = found;
        auto known = std::find(m_windows.begin(), m_windows.end(), found);
        if (known == m_windows.end()) known = m_windows.insert(m_windows.end(), found);
        Record(
            Format("window %s #%d", text.c_str(), static_cast<int>(known - m_windows.begin()) + 1));
    } else if (verb == "windows") {
        Record(Format("windows %s %d", c.argument.c_str(),
                      static_cast<int>(WindowsCaptioned(c.argument).size())));
    } else if (verb == "wait-closed") {
        if (!PumpUntil(static_cast<DWORD>(number), [&] { return !IsWindow(m_window); }))
            Fail(c.line, "wait-closed timed out");
        Record("window closed");
    } else if (verb == "read") {
        HWND control = Control(c, number);
        Record(Format("control %ld enabled=%d checked=%d ", number,
                      IsWindowEnabled(control) ? 1 : 0,
                      static_cast<int>(SendMessageA(control, BM_GETCHECK, 0, 0))) +
               OneLine(ControlText(control)));
    } else if (verb == "set") {
        SetWindowTextA(Control(c, number), rest.c_str());
    } else if (verb == "click") {
        HWND control = Control(c, number);
        LONG style = GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK;
        if (style == BS_AUTOCHECKBOX) {
            bool ticked = SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
            SendMessageA(control, BM_SETCHECK, ticked ? BST_UNCHECKED : BST_CHECKED, 0);
        }
        Record(Format("click %ld", number));
        SendMessageA(m_window, WM_COMMAND, MAKEWPARAM(number, BN_CLICKED),
                     reinterpret_cast<LPARAM>(control));
    } else if (verb == "key") {
        HWND focus = GetFocus();
        if (!focus) Fail(c.line, "nothing has the focus");
        PostMessageA(focus, WM_KEYDOWN, static_cast<WPARAM>(number), 1);
        PostMessageA(focus, WM_KEYUP, static_cast<WPARAM>(number), 0xC0000001);
        DrainMessages();
    } else if (verb == "focus") {
        HWND focus = GetFocus();
        Record(Format("focus %d", focus ? GetDlgCtrlID(focus) : 0));
    } else if (verb == "wait-text") {
        long timeout = 0;
        SplitTimeout(rest, &text, &timeout);
        text = Unescape(text);
        HWND control = Control(c, number);
        DWORD start = GetTickCount();
        if (!PumpUntil(static_cast<DWORD>(timeout),
                       [&] { return ControlText(control).find(text) != std::string::npos; }))
            Fail(c.line, "wait-text timed out: " + OneLine(ControlText(control)));
        Record(Format("text after %lu ms: ", GetTickCount() - start) + OneLine(text));
    } else if (verb == "reg") {
        Record("reg " + ReadRegistry(c.argument));
    } else {
        return false;
    }
    return true;
}

void CSubstitutePlayer::Run(const std::vector<Command>& script) {
    for (const Command& command : script) {
        if (command.verb == "exit") break;
        Execute(command);
        DrainMessages();
    }
}

// The whole script is checked before anything runs, so that a slip shows at
// once and not after a minute of playing.
bool Check(const Command& c, std::string* why) {
    static const char* const kBare[] = {"notify", "pause",        "resume",     "stop",
                                        "config", "quit",         "unload",     "destroy-pe",
                                        "exit",   "subclass-pe",  "quit-in-pe", "module-state",
                                        "focus",  "release-file", "unicode-pe", "plain-loop"};
    static const char* const kNumber[] = {
        "version", "play", "wait", "wait-module-gone", "bench-hook", "time-calls", "resources"};
    long number = 0;
    std::string text;
    for (const char* verb : kBare) {
        if (c.verb == verb) return c.argument.empty() || (*why = "takes no argument", false);
    }
    for (const char* verb : kNumber) {
        if (c.verb == verb)
            return (ParseNumber(c.argument, &number) && number >= 0) ||
                   (*why = "needs a number", false);
    }
    if (c.verb == "wait-log" || c.verb == "wait-file" || c.verb == "wait-ticks" ||
        c.verb == "time-tracks") {
        if (!SplitTimeout(c.argument, &text, &number)) return *why = "needs TEXT MS", false;
        return (c.verb != "wait-ticks" && c.verb != "time-tracks") || ParseNumber(text, &number) ||
               (*why = "needs N MS", false);
    }
    if (c.verb == "load" || c.verb == "check-log" || c.verb == "note" || c.verb == "windows" ||
        c.verb == "reg" || c.verb == "watch-log" || c.verb == "hold-file" || c.verb == "pe-text")
        return !c.argument.empty() || (*why = "needs a text", false);
    if (c.verb == "wait-window")
        return SplitTimeout(c.argument, &text, &number) || (*why = "needs CAPTION MS", false);
    if (c.verb == "read" || c.verb == "click" || c.verb == "key" || c.verb == "wait-closed" ||
        c.verb == "set" || c.verb == "wait-text") {
        size_t space = c.argument.find(' ');
        if (!ParseNumber(c.argument.substr(0, space), &number))
            return *why = "needs a number", false;
        if (c.verb == "wait-text")
            return (space != std::string::npos &&
                    SplitTimeout(c.argument.substr(space + 1), &text, &number)) ||
                   (*why = "needs ID TEXT MS", false);
        return c.verb == "set" || space == std::string::npos || (*why = "takes one number", false);
    }
    if (c.verb == "track") {
        size_t bars = std::count(c.argument.begin(), c.argument.end(), '|');
        if (bars < 2) return *why = "needs PATH | TITLE | SECONDS", false;
        std::string rest = c.argument.substr(c.argument.find('|', c.argument.find('|') + 1) + 1);
        for (size_t bar = rest.find('|'); bar != std::string::npos; bar = rest.find('|', bar + 1)) {
            size_t next = rest.find('|', bar + 1);
            if (rest.substr(bar + 1, next - bar - 1).find('=') == std::string::npos)
                return *why = "metadata is NAME=VALUE", false;
        }
        return true;
    }
    *why = "unknown command '" + c.verb + "'";
    return false;
}

std::vector<Command> ReadScript(const char* path) {
    std::string bytes = ReadWholeFile(path);
    if (bytes.empty()) Fail(0, std::string("cannot read the script ") + path);
    std::vector<Command> script;
    size_t start = 0;
    for (int line = 1; start < bytes.size(); ++line) {
        size_t end = bytes.find('\n', start);
        std::string text = bytes.substr(start, end - start);
        start = end == std::string::npos ? bytes.size() : end + 1;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        text = Trim(text);
        if (text.empty() || text[0] == '#') continue;
        Command command;
        command.line = line;
        size_t space = text.find(' ');
        command.verb = text.substr(0, space);
        command.argument = space == std::string::npos ? "" : Trim(text.substr(space + 1));
        std::string why;
        if (!Check(command, &why)) Fail(line, why);
        script.push_back(command);
    }
    return script;
}

// The watcher that closes message boxes (see the top of the file).
std::atomic<bool> g_watching{true};

std::string WindowText(HWND window) {
    char text[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, &length);
    return text;
}

BOOL CALLBACK CollectDialogs(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    if (process == GetCurrentProcessId() && std::string(className) == "#32770" &&
        IsWindowVisible(window))
        reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
    return TRUE;
}

void WatchForBoxes() {
    std::set<HWND> handled;
    while (g_watching) {
        std::vector<HWND> dialogs;
        EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&dialogs));
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
                button = GetDlgItem(dialog, IDNO) ? IDNO : IDOK;
            } else {
                Record("dialog " + OneLine(caption));
                HINSTANCE maker =
                    reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
                if (maker && maker == g_pluginModule.load()) continue;
            }
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
        }
        Sleep(20);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: substitute_player.exe SCRIPT RESULT\n");
        return 2;
    }
    g_result = std::fopen(argv[2], "wb");
    if (!g_result) {
        std::fprintf(stderr, "substitute_player: cannot write %s\n", argv[2]);
        return 2;
    }
    SetUnhandledExceptionFilter(OnCrash);
    std::vector<Command> script = ReadScript(argv[1]);
    if (!g_player.CreateWindows())
        Fail(0, Format("cannot create the windows (%lu)", GetLastError()));
    std::thread watcher(WatchForBoxes);
    g_player.Run(script);
    g_watching = false;
    watcher.join();
    Record("exit");
    CloseResult();
    // As the player ends: whatever is still loaded gets its detach call.
    ExitProcess(0);
}
