// A timed harness under Wine for what runs every five seconds for the player's
// whole life: one timer tick with an empty cache, and the connectivity probe
// that sending and the handshake ask first, on the real adapters.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cstdio>

#include "engine/connectivity_api.h"
#include "tests/unit/test_support.h"

namespace {

template <typename Body>
double NanosecondsPerCall(int calls, Body body) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i)
        body();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 /
           static_cast<double>(frequency.QuadPart) / calls;
}

}  // namespace

int main() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    TestPlaytally engine;
    engine.m_handshakeComplete = 1;
    engine.playing = 1;
    engine.m_submitted = 1;
    // The steady state: the service has answered, so a tick makes no
    // connectivity check for the status (it does until the first answer).
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Submission(), 0, 200);
    double tick = NanosecondsPerCall(20000, [&] { engine.TimerCallback(); });
    double probe = NanosecondsPerCall(200, [&] { engine.InternetConnected(); });
    RasConnEntry entry{};
    double ras = NanosecondsPerCall(2000, [&] {
        uint32_t bytes = sizeof(entry), count = 0;
        entry.size = sizeof(entry);
        RasEnumConnectionsCall(&entry, &bytes, &count);
    });
    double state = NanosecondsPerCall(200, [&] {
        uint32_t flags = 0;
        InternetGetConnectedStateCall(&flags);
    });
    std::printf(
        "timer tick, empty cache: %.0f ns\nconnectivity probe: %.0f ns (dial-up enumeration %.0f "
        "ns, connected state %.0f ns)\n",
        tick, probe, ras, state);
    WSACleanup();
    return 0;
}
