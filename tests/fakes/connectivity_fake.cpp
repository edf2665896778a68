#include <atomic>
#include <cstring>
#include <mutex>

#include "engine/connectivity_api.h"
#include "tests/fakes/fakes.h"

namespace {
std::mutex g_lock;
FakeNetwork g_network;
std::atomic<int> g_enumCalls{0};
}  // namespace

void SetFakeNetwork(const FakeNetwork& network) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_network = network;
    g_enumCalls = 0;
}

int FakeNetworkEnumCalls() {
    return g_enumCalls;
}

uint32_t RasEnumConnectionsCall(RasConnEntry* entries, uint32_t* bytes, uint32_t* count) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_enumCalls;
    uint32_t n = static_cast<uint32_t>(g_network.dialUpStates.size());
    uint32_t needed = g_network.neededBytesOverride
                          ? g_network.neededBytesOverride
                          : n * static_cast<uint32_t>(sizeof(RasConnEntry));
    if (entries[0].size != sizeof(RasConnEntry)) return 632;  // wrong structure size
    if (*bytes < needed) {
        *bytes = needed;
        *count = 0;
        return RAS_ERROR_BUFFER_TOO_SMALL;
    }
    for (uint32_t i = 0; i < n; ++i) {
        std::memset(&entries[i], 0, sizeof(RasConnEntry));
        entries[i].size = sizeof(RasConnEntry);
        entries[i].handle = i + 1;
    }
    *bytes = n * static_cast<uint32_t>(sizeof(RasConnEntry));
    *count = n;
    return 0;
}

uint32_t RasGetConnectStatusCall(uint32_t handle, RasConnStatusRecord* status) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (status->size != sizeof(RasConnStatusRecord)) return 632;
    if (handle < 1 || handle > g_network.dialUpStates.size()) return 6;  // invalid handle
    status->state = g_network.dialUpStates[handle - 1];
    return 0;
}

bool InternetGetConnectedStateCall(uint32_t* flags) {
    std::function<void()> onCheck;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        onCheck = g_network.onCheck;
    }
    if (onCheck) onCheck();
    std::lock_guard<std::mutex> guard(g_lock);
    *flags = g_network.flags;
    return g_network.connected;
}

int GetHostNameCall(char* name, int length) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_network.hostNameResult != 0) return g_network.hostNameResult;
    std::strncpy(name, "kelmar-test", static_cast<size_t>(length));
    return 0;
}

bool GetHostByNameCall(const char*, std::vector<std::array<uint8_t, 4>>* addresses) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_network.lookupOk) return false;
    *addresses = g_network.addresses;
    return true;
}
