// The system's view of the network: dial-up connections (Remote Access
// Service), the Internet connection state, and the machine's own host name.
// The DLL links the Win32 adapter; native tests link a scripted double.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One dial-up connection as the enumeration returns it, in the system's
// 412-byte layout (connection handle, entry name, device type and name).
struct RasConnEntry {
    uint32_t size;
    uint32_t handle;  // the system's connection handle (a 32-bit process's pointer)
    char entryName[257];
    char deviceType[17];
    char deviceName[129];
};
static_assert(sizeof(RasConnEntry) == 412, "the system's 412-byte connection entry");

// One connection's state, in the system's 160-byte status layout.
struct RasConnStatusRecord {
    uint32_t size;
    uint32_t state;
    uint32_t error;
    char deviceType[17];
    char deviceName[129];
};
static_assert(sizeof(RasConnStatusRecord) == 160, "the system's 160-byte status record");

constexpr uint32_t RAS_ERROR_BUFFER_TOO_SMALL = 603;
constexpr uint32_t RAS_STATE_CONNECTED = 0x2000;

constexpr uint32_t NET_CONNECTION_MODEM = 0x01;
constexpr uint32_t NET_CONNECTION_LAN = 0x02;
constexpr uint32_t NET_CONNECTION_PROXY = 0x04;
constexpr uint32_t NET_CONNECTION_OFFLINE = 0x20;
constexpr uint32_t NET_CONNECTION_CONFIGURED = 0x40;

// RasEnumConnectionsA: fills `entries` (of `*bytes` bytes); on 603 `*bytes`
// holds the size needed. Returns the call's status.
uint32_t RasEnumConnectionsCall(RasConnEntry* entries, uint32_t* bytes, uint32_t* count);
// RasGetConnectStatusA: writes the connection's state into `status`.
uint32_t RasGetConnectStatusCall(uint32_t handle, RasConnStatusRecord* status);
// InternetGetConnectedState with the reserved argument 0.
bool InternetGetConnectedStateCall(uint32_t* flags);
// gethostname: 0 on success.
int GetHostNameCall(char* name, int length);
// gethostbyname: false when the lookup fails; otherwise the IPv4 addresses, in
// network byte order, possibly none.
bool GetHostByNameCall(const char* name, std::vector<std::array<uint8_t, 4>>* addresses);
