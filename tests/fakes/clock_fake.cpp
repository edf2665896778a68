#include <atomic>

#include "diagnostics/local_time.h"
#include "engine/clock.h"
#include "tests/fakes/fakes.h"

namespace {
std::atomic<bool> g_fixed{false};
std::atomic<int64_t> g_now{0};
}  // namespace

void SetFakeClockNow(int64_t dateTime) {
    g_now = dateTime;
    g_fixed = true;
}

void ResetFakeClock() {
    g_fixed = false;
}

int64_t LocalDateTimeNow() {
    return g_fixed ? g_now.load() : ToDateTime(GetLocalTimeNow());
}
