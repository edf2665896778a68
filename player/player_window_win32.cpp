#include <windows.h>

#include "player/player_window.h"

PlayerWindow FindPlayerWindow(const char* className) {
    return FindWindowA(className, nullptr);
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
    char path[512] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n < sizeof(path) ? n : sizeof(path) - 1);
}
