// The dial-up side of the connectivity check: the system's Remote Access
// Service connections and whether one of them is up with an address.
#pragma once

#include <cstdint>

#include "engine/connectivity_api.h"

class CWatchConnection {
  public:
    CWatchConnection();
    ~CWatchConnection();
    CWatchConnection(const CWatchConnection&) = delete;
    CWatchConnection& operator=(const CWatchConnection&) = delete;

    // Enumerates the dial-up connections; true when there is at least one.
    bool ConnectionsAvailable();
    // True when one of the enumerated connections is connected and the
    // machine's host name resolves. Uses the last enumeration.
    bool IsConnected();
    // Writes the machine's address as dotted text into `text` (at least 16
    // characters) when its host name resolves to one other than 0.0.0.0.
    bool TestIP(char* text);

  private:
    RasConnEntry* m_entries = nullptr;
    uint32_t m_capacity = 0;  // bytes
    uint32_t m_count = 0;
    RasConnStatusRecord m_status{};
};
