// Windows Sockets must come before the other system headers.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ras.h>
#include <wininet.h>
// clang-format on

#include <cstring>

#include "engine/connectivity_api.h"

// Our entry and status records are the system's first layouts; the system
// tells the layouts apart by their size field, so they go in as they are.
uint32_t RasEnumConnectionsCall(RasConnEntry* entries, uint32_t* bytes, uint32_t* count) {
    DWORD size = *bytes;
    DWORD number = 0;
    DWORD status = RasEnumConnectionsA(reinterpret_cast<RASCONNA*>(entries), &size, &number);
    *bytes = size;
    *count = number;
    return status;
}

uint32_t RasGetConnectStatusCall(uint32_t handle, RasConnStatusRecord* status) {
    HRASCONN connection = reinterpret_cast<HRASCONN>(static_cast<uintptr_t>(handle));
    return RasGetConnectStatusA(connection, reinterpret_cast<RASCONNSTATUSA*>(status));
}

bool InternetGetConnectedStateCall(uint32_t* flags) {
    DWORD state = 0;
    BOOL connected = InternetGetConnectedState(&state, 0);
    *flags = state;
    return connected;
}

// The host process has started Windows Sockets; these calls rely on it.
int GetHostNameCall(char* name, int length) {
    return gethostname(name, length);
}

bool GetHostByNameCall(const char* name, std::vector<std::array<uint8_t, 4>>* addresses) {
    addresses->clear();
    const hostent* host = gethostbyname(name);
    if (!host) return false;
    if (host->h_addrtype != AF_INET || host->h_length != 4) return true;
    for (char** entry = host->h_addr_list; entry && *entry; ++entry) {
        std::array<uint8_t, 4> address;
        std::memcpy(address.data(), *entry, address.size());
        addresses->push_back(address);
    }
    return true;
}
