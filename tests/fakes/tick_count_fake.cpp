#include <atomic>
#include <chrono>

#include "diagnostics/tick_count.h"
#include "tests/fakes/fakes.h"

namespace {
std::atomic<bool> g_fixed{false};
std::atomic<uint32_t> g_value{0};
}  // namespace

void SetFakeTickCount(uint32_t milliseconds) {
    g_value = milliseconds;
    g_fixed = true;
}

void ResetFakeTickCount() {
    g_fixed = false;
}

uint32_t GetTickCount32() {
    if (g_fixed) return g_value;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}
