// Where submissions go: the submit address a handshake names, taken apart
// into what a request needs, and the rule on which addresses are taken.
#pragma once

#include <cstdint>
#include <string>

struct SubmitAddress {
    std::string server;
    std::string path;
    bool secure = false;  // HTTPS
    uint16_t port = 80;
};

// Reads an "http://" or "https://" address (any case), with its port or the
// scheme's own (80, 443). False, with `why` for the log, for anything else:
// an address the library cannot take apart, one whose host or path holds
// control characters, another scheme, a bad port, or a plain address named by
// a handshake made over HTTPS (`secureHandshake`), which must never switch
// encryption off.
bool ReadSubmitAddress(const std::string& url, bool secureHandshake, SubmitAddress* address,
                       std::string* why);
