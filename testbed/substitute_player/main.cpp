// The substitute player: stands in for the media player so that a general
// purpose plug-in can be loaded and driven under Wine. It owns the player's
// four windows, answers the plug-in's queries from a playlist, and follows a
// script.
//
//   substitute_player.exe SCRIPT RESULT
//   substitute_player.exe --help
//
// The script has one command a line; blank lines and lines starting with '#'
// are skipped. The script and the result are UTF-8; like a Unicode player it
// keeps its texts as UTF-16, answers the wide queries with them and the ANSI
// ones with their ANSI forms. Times are milliseconds. The verbs,
// their arguments and what they do are the rows of the command table (see
// script.h); --help prints them, and so does a wrong command line. Every line
// is checked before anything runs.
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
// some on its request workers (see box_watcher.cpp).
//
// Like a player that hosts modeless dialogs, the message loop passes each
// message to IsDialogMessage of the dialog it is for, so that Tab, Enter and
// Escape work in them; after "plain-loop" it no longer does, as in a host that
// leaves that to the dialogs.
//
// The parts: player.cpp (the windows, their answers, the playlist, the plug-in
// and its log), script.cpp (reading, checking and running the script),
// window_driver.cpp (the plug-in's windows), box_watcher.cpp, process_info.cpp
// (module, threads, handles), timing.cpp (bench-hook, time-tracks, time-calls)
// and text.h (UTF-8 and UTF-16); each part has the rows of its verbs.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "testbed/substitute_player/player.h"

namespace {

std::mutex g_resultLock;
FILE* g_result = nullptr;

void CloseResult() {
    std::lock_guard<std::mutex> guard(g_resultLock);
    if (g_result) std::fclose(g_result);
    g_result = nullptr;
}

// Ends at once, with no detach calls: a plug-in in a bad state must not hold
// the process in its unload code.
[[noreturn]] void Abort(const std::string& event, UINT status) {
    Record(event);
    CloseResult();
    TerminateProcess(GetCurrentProcess(), status);
    ExitProcess(status);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    Abort(Format("crash 0x%08lx at %p",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress),
          3);
}

}  // namespace

void Record(const std::string& event) {
    std::lock_guard<std::mutex> guard(g_resultLock);
    if (g_result) {
        std::fprintf(g_result, "%s\n", event.c_str());
        std::fflush(g_result);
    }
    std::printf("player: %s\n", event.c_str());
    std::fflush(stdout);
}

std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void Fail(int line, const std::string& why) {
    Abort(Format("error line %d: ", line) + why, 1);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;
        std::fputs(Usage().c_str(), help ? stdout : stderr);
        return help ? 0 : 2;
    }
    g_result = std::fopen(argv[2], "wb");
    if (!g_result) {
        std::fprintf(stderr, "substitute_player: cannot write %s\n", argv[2]);
        return 2;
    }
    SetUnhandledExceptionFilter(OnCrash);
    std::vector<Command> script = ReadScript(argv[1]);
    if (!CreatePlayerWindows()) Fail(0, Format("cannot create the windows (%lu)", GetLastError()));
    StartBoxWatcher();
    RunScript(script);
    StopBoxWatcher();
    Record("exit");
    CloseResult();
    // As the player ends: whatever is still loaded gets its detach call.
    ExitProcess(0);
}
