#include <mutex>

#include "player/player_window.h"
#include "tests/fakes/fakes.h"

namespace {
std::mutex g_lock;
std::vector<std::string> g_classes;
std::string g_programPath = "C:\\Program Files\\Winamp\\winamp.exe";
std::function<intptr_t(uint32_t, uintptr_t, intptr_t)> g_responder;
int g_pathCalls = 0;

// A window is its class's position in the list, plus one.
PlayerWindow WindowOf(size_t index) {
    return reinterpret_cast<PlayerWindow>(index + 1);
}
}  // namespace

void FakePlayerReset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_classes.clear();
    g_programPath = "C:\\Program Files\\Winamp\\winamp.exe";
    g_responder = nullptr;
    g_pathCalls = 0;
}

void FakePlayerSetWindows(const std::vector<std::string>& classes) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_classes = classes;
}

void FakePlayerSetProgramPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_programPath = path;
}

void FakePlayerSetResponder(std::function<intptr_t(uint32_t, uintptr_t, intptr_t)> responder) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_responder = std::move(responder);
}

int FakePlayerProgramPathCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_pathCalls;
}

PlayerWindow FindPlayerWindow(const char* className) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (size_t i = 0; i < g_classes.size(); ++i) {
        if (g_classes[i] == className) return WindowOf(i);
    }
    return nullptr;
}

intptr_t SendPlayerMessage(PlayerWindow window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) {
    std::function<intptr_t(uint32_t, uintptr_t, intptr_t)> responder;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!window || !g_responder) return 0;
        responder = g_responder;
    }
    return responder(message, wParam, lParam);
}

bool IsPlayerWindow(PlayerWindow window) {
    std::lock_guard<std::mutex> guard(g_lock);
    uintptr_t index = reinterpret_cast<uintptr_t>(window);
    return index >= 1 && index <= g_classes.size();
}

std::string GetHostProgramPath() {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_pathCalls;
    return g_programPath;
}
