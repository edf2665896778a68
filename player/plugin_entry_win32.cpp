// The plug-in's entry: the record the player asks for, init, config and quit,
// and the hook on the player's playlist editor window that hears new tracks.
#include <windows.h>

#include <atomic>
#include <exception>

#include "diagnostics/debug.h"
#include "diagnostics/module_version.h"
#include "diagnostics/translate.h"
#include "diagnostics/wide_path_win32.h"
#include "player/player_window.h"
#include "player/winamp_playtally.h"
#include "player/winamp_plugin.h"
#include "ui/harkwell.h"

namespace {

// How long quit waits for requests still in flight. They hold the module, so
// they may finish after it, but most are done in this time.
constexpr int kQuitWaitMs = 3000;

CWinampPlaytally g_engine;
char g_description[512] = "";
char g_noDescription[] = "";
HANDLE g_semaphore = nullptr;
HWND g_playlistWindow = nullptr;
WNDPROC g_previousProcedure = nullptr;
std::atomic<bool> g_hooked{false};
// The window our hook stayed on at a quit that could not take it off. Its
// procedure may be another's subclass that chains to ours: a later init in
// this process takes the hook up again rather than chaining a second copy.
HWND g_hookLeftOn = nullptr;
// A Unicode playlist window stays one: through the ANSI calls Windows would
// convert every text message on its way to the player through the code page.
bool g_unicode = false;
// Calls of ours still on the player's stack (the hook, a message box of
// config): while there are any, unloading would return into unmapped code.
int g_depth = 0;
int g_initResult = -1;

int Init();
void Config();
void Quit();

winampGeneralPurposePlugin g_plugin = {GPPHDR_VER, g_noDescription, Init,   Config,
                                       Quit,       nullptr,         nullptr};

LRESULT CALLBACK HookProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    int passOn = 1;
    ++g_depth;
    if (g_hooked) {
        try {
            passOn = g_engine.WinampPEMessage(message, wParam, lParam);
        } catch (const std::exception& e) {
            g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Hook", "Exception occurred - %s", e.what());
        } catch (...) {
            g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Hook", "Exception occurred - %s", "unknown");
        }
    }
    LRESULT result = 0;
    if (passOn) {
        result = g_unicode ? CallWindowProcW(g_previousProcedure, window, message, wParam, lParam)
                           : CallWindowProcA(g_previousProcedure, window, message, wParam, lParam);
    }
    --g_depth;
    return result;
}

WNDPROC WindowProcedure(HWND window) {
    return reinterpret_cast<WNDPROC>(g_unicode ? GetWindowLongPtrW(window, GWLP_WNDPROC)
                                               : GetWindowLongPtrA(window, GWLP_WNDPROC));
}

void SetWindowProcedure(HWND window, WNDPROC procedure) {
    auto value = reinterpret_cast<LONG_PTR>(procedure);
    if (g_unicode) {
        SetWindowLongPtrW(window, GWLP_WNDPROC, value);
    } else {
        SetWindowLongPtrA(window, GWLP_WNDPROC, value);
    }
}

int StartPlugin() {
    HINSTANCE instance = static_cast<HINSTANCE>(g_plugin.hDllInstance);
    CHarkwell::SetModule(instance);
    HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, "KelmarSemaphore");
    if (semaphore && WaitForSingleObject(semaphore, 0) == WAIT_TIMEOUT) {
        CloseHandle(semaphore);
        return -1;
    }
    g_semaphore = semaphore;
    g_initResult = 0;  // this copy runs: config may open the settings from here on

    g_playlistWindow = static_cast<HWND>(FindPlayerWindow(kPlaylistWindowClass));
    if (g_playlistWindow && g_playlistWindow == g_hookLeftOn) {
        g_hooked = true;
    } else if (g_playlistWindow) {
        g_unicode = IsWindowUnicode(g_playlistWindow) != FALSE;
        g_previousProcedure = WindowProcedure(g_playlistWindow);
        g_hooked = true;
        SetWindowProcedure(g_playlistWindow, &HookProcedure);
    }
    g_hookLeftOn = nullptr;

    std::string file = ModuleFileName(instance);
    size_t slash = file.rfind('\\');
    std::string workingDir = slash == std::string::npos ? std::string() : file.substr(0, slash + 1);

    if (g_engine.StartPlaytallying(instance, g_plugin.hwndParent, workingDir) == 0) Config();

    CModuleVersionInfo version;
    version.SetModule(instance);
    // The player reads the description in the ANSI code page: the user's
    // language where the code page holds it (and can tell), else English.
    std::string name = g_engine.GetPluginName();
    std::wstring shown =
        WidePath(Format("%s v%s", Tr(name.c_str()), version.GetVersionText().c_str()));
    BOOL lost = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shown.c_str(), -1, g_description,
                            sizeof(g_description), nullptr, &lost) <= 0 ||
        lost)
        lstrcpynA(g_description,
                  Format("%s v%s", name.c_str(), version.GetVersionText().c_str()).c_str(),
                  sizeof(g_description));
    g_plugin.description = g_description;
    return 0;
}

// Nothing may be thrown into the player.
int Init() {
    try {
        g_initResult = StartPlugin();
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Init", "Exception occurred - %s", e.what());
        g_initResult = 0;
    } catch (...) {
        g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Init", "Exception occurred - %s", "unknown");
        g_initResult = 0;
    }
    return g_initResult;
}

void Config() {
    // A copy that found another one running has no engine to set up: its
    // settings window could only write defaults over the other's.
    if (g_initResult == -1) return;
    ++g_depth;
    try {
        g_engine.Config();
    } catch (...) {
        g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Config", "Exception occurred - %s", "unknown");
    }
    --g_depth;
}

// Keeps this module loaded until the process ends.
void PinModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&PinModule), &self);
}

// The threads runtime linked into this module keeps a record (a duplicate of
// the thread's handle and an event) for each outside thread that waits or
// runs a one-time set-up in our code, and frees it when the thread ends. The
// player's thread outlives the module: at quit its record goes as if it ended,
// through the module's thread-detach callbacks (it is made anew if needed).
void ReleaseThreadRecord() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&ReleaseThreadRecord), &self))
        return;
    auto base = reinterpret_cast<const BYTE*>(self);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& tls = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (tls.VirtualAddress == 0) return;
    auto directory = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + tls.VirtualAddress);
    auto callback = reinterpret_cast<PIMAGE_TLS_CALLBACK*>(directory->AddressOfCallBacks);
    for (; callback && *callback; ++callback)
        (*callback)(self, DLL_THREAD_DETACH, nullptr);
}

// Takes the hook off the playlist editor when it is still the window's
// procedure. When something hooked the window after us, or quit comes from
// inside our own hook, our code must outlive the unload: the module stays
// loaded and the hook only passes messages on.
void Unhook() {
    if (!g_playlistWindow) return;
    g_hooked = false;
    if (IsWindow(g_playlistWindow)) {
        if (WindowProcedure(g_playlistWindow) == &HookProcedure && g_depth == 0) {
            SetWindowProcedure(g_playlistWindow, g_previousProcedure);
        } else {
            PinModule();
            g_hookLeftOn = g_playlistWindow;
            g_Debug.Log(DEBUG_WARNING, "Gen_Kelmar::Quit",
                        "The playlist window's hook cannot be taken off - staying loaded");
        }
    }
    g_playlistWindow = nullptr;
}

void Quit() {
    // A copy that found another one running started nothing, and must not
    // overwrite that one's settings with its defaults.
    if (g_initResult == -1) return;
    g_Debug.Log(DEBUG_NOTICE, "Gen_Kelmar::Quit", "Closing Down");
    try {
        if (g_semaphore) {
            ReleaseSemaphore(g_semaphore, 1, nullptr);
            CloseHandle(g_semaphore);
            g_semaphore = nullptr;
        }
        g_engine.StopPlaytallying();
    } catch (const std::exception& e) {
        g_Debug.Log(DEBUG_ERROR, "quit()", "%s", e.what());
    } catch (...) {
        g_Debug.Log(DEBUG_ERROR, "quit()", "%s", "unknown exception");
    }
    try {
        // Quit from inside config or the settings window (a message box of
        // theirs): that code must stay mapped.
        if (g_depth > 0 || CHarkwell::InUse()) PinModule();
        CHarkwell::ReleaseModule();
        Unhook();
        // The process may end right after: a play still in flight is cached,
        // at the risk of being sent twice rather than not at all.
        if (!g_engine.WaitForWorkers(kQuitWaitMs)) g_engine.KeepUnsentPlays();
    } catch (...) {
        g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Quit", "Exception occurred - %s", "unknown");
    }
    g_Debug.Log(DEBUG_NOTICE, "Gen_Kelmar::Quit", "Shutdown Complete");
    g_initResult = -1;
    ReleaseThreadRecord();
}

}  // namespace

extern "C" __declspec(dllexport) winampGeneralPurposePlugin* winampGetGeneralPurposePlugin() {
    return &g_plugin;
}
