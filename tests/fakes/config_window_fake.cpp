#include <mutex>

#include "engine/config_window.h"
#include "tests/fakes/fakes.h"

namespace {
std::mutex g_lock;
FakeConfigWindowState g_state;
}  // namespace

void FakeConfigWindowReset(bool canCreate) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_state = FakeConfigWindowState();
    g_state.canCreate = canCreate;
}

FakeConfigWindowState FakeConfigWindow() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_state;
}

bool ShowOpenConfigWindow() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_state.open) return false;
    ++g_state.shows;
    return true;
}

bool OpenConfigWindow(CPlaytally* engine, void* owner) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_state.creates;
    g_state.engine = engine;
    g_state.owner = owner;
    g_state.open = g_state.canCreate;
    return g_state.open;
}
