#include <windows.h>

#include "diagnostics/wide_path_win32.h"
#include "player/player_window.h"

// The plug-in runs inside the player: another process's window of the same
// class (a second player) is never the one to ask, and its answers' text
// addresses would not be valid here.
PlayerWindow FindPlayerWindow(const char* className) {
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, className, nullptr)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) return window;
    }
    return nullptr;
}

intptr_t SendPlayerMessage(PlayerWindow window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) {
    if (!window) return 0;
    return SendMessageA(static_cast<HWND>(window), message, wParam, lParam);
}

bool IsPlayerWindow(PlayerWindow window) {
    return window && IsWindow(static_cast<HWND>(window));
}

std::string GetHostProgramPath() {
    return ModuleFileName(nullptr);
}
