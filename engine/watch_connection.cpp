#include "engine/watch_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diagnostics/debug.h"

namespace {
// A system that asks for more room than this many entries is not believed.
constexpr uint32_t kMaxEntryBytes = 4096 * sizeof(RasConnEntry);
}  // namespace

CWatchConnection::CWatchConnection() {
    m_entries = static_cast<RasConnEntry*>(std::calloc(1, sizeof(RasConnEntry)));
    m_capacity = m_entries ? sizeof(RasConnEntry) : 0;
    m_status.size = sizeof(RasConnStatusRecord);
}

CWatchConnection::~CWatchConnection() {
    std::free(m_entries);
}

bool CWatchConnection::ConnectionsAvailable() {
    if (!m_entries) return false;
    // Offer room for one entry first, whatever the buffer holds by now.
    uint32_t bytes = sizeof(RasConnEntry);
    m_entries[0].size = sizeof(RasConnEntry);
    m_count = 0;
    uint32_t status = RasEnumConnectionsCall(m_entries, &bytes, &m_count);
    g_Debug.Log(DEBUG_TRACE, "CWatchConnection::ConnectionsAvailable",
                "RasEnumConnections status %d", static_cast<int>(status));

    if (status == RAS_ERROR_BUFFER_TOO_SMALL) {
        void* grown = nullptr;
        if (bytes <= kMaxEntryBytes) {
            grown = bytes > m_capacity ? std::realloc(m_entries, bytes) : m_entries;
        }
        if (!grown) {
            g_Debug.Log(DEBUG_TRACE, "CWatchConnection::ConnectionsAvailable", "realloc failed");
            m_count = 0;
            return false;
        }
        m_entries = static_cast<RasConnEntry*>(grown);
        if (bytes > m_capacity) m_capacity = bytes;
        m_entries[0].size = sizeof(RasConnEntry);
        m_count = 0;
        status = RasEnumConnectionsCall(m_entries, &bytes, &m_count);
        g_Debug.Log(DEBUG_TRACE, "CWatchConnection::ConnectionsAvailable",
                    "RasEnumConnections2 status %d", static_cast<int>(status));
    }
    // Never trust a count beyond what the buffer holds.
    if (m_count > m_capacity / sizeof(RasConnEntry)) m_count = m_capacity / sizeof(RasConnEntry);
    g_Debug.Log(DEBUG_TRACE, "CWatchConnection::ConnectionsAvailable",
                "There are %d connections available", static_cast<int>(m_count));
    return m_count != 0;
}

bool CWatchConnection::IsConnected() {
    for (uint32_t i = 0; i < m_count; ++i) {
        RasGetConnectStatusCall(m_entries[i].handle, &m_status);
        g_Debug.Log(DEBUG_TRACE, "CWatchConnection::IsConnected", "RasGetConnectStatus returned %d",
                    static_cast<int>(m_status.state));
        if (m_status.state == RAS_STATE_CONNECTED) {
            g_Debug.Log(DEBUG_TRACE, "CWatchConnection::IsConnected", "Testing IP for conn %d",
                        static_cast<int>(i));
            char address[32] = {};
            return TestIP(address);
        }
    }
    g_Debug.Log(DEBUG_TRACE, "CWatchConnection::IsConnected", "No dialup connection found");
    return false;
}

bool CWatchConnection::TestIP(char* text) {
    if (!text) return false;
    char name[100] = {};
    if (GetHostNameCall(name, sizeof(name)) != 0) {
        g_Debug.Log(DEBUG_TRACE, "CWatchConnection::TestIP", "gethostname failed");
        return false;
    }
    name[sizeof(name) - 1] = '\0';
    g_Debug.Log(DEBUG_TRACE, "CWatchConnection::TestIP", "Hostname is %s", name);
    std::vector<std::array<uint8_t, 4>> addresses;
    if (!GetHostByNameCall(name, &addresses)) {
        g_Debug.Log(DEBUG_TRACE, "CWatchConnection::TestIP", "gethostbyname failed");
        return false;
    }
    if (addresses.empty()) {
        g_Debug.Log(DEBUG_TRACE, "CWatchConnection::TestIP", "gethostbyname address is invalid");
        return false;
    }
    const std::array<uint8_t, 4>& a = addresses.front();
    if (a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0) return false;
    std::string ip = Format("%i.%i.%i.%i", a[0], a[1], a[2], a[3]);  // at most 15 characters
    std::memcpy(text, ip.c_str(), ip.size() + 1);
    g_Debug.Log(DEBUG_TRACE, "CWatchConnection::TestIP", "IP is %s", text);
    return true;
}
