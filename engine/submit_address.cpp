#include "engine/submit_address.h"

#include <cctype>

#include "engine/http_api.h"

namespace {

bool HasControls(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

// The port after the host, if one is written: "host:8443", "[::1]:8443",
// "user:pass@host:8443". 0 when none is; -1 when it is no port.
long WrittenPort(const std::string& url, size_t authorityStart) {
    size_t end = url.find_first_of("/?#", authorityStart);
    std::string authority =
        url.substr(authorityStart, end == std::string::npos ? end : end - authorityStart);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    size_t colon = authority.rfind(':');
    if (colon == std::string::npos || authority.find(']', colon) != std::string::npos) return 0;
    std::string digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return -1;
    long port = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? port : -1;
}

}  // namespace

bool ReadSubmitAddress(const std::string& url, bool secureHandshake, SubmitAddress* address,
                       std::string* why) {
    std::string host, path, extra;
    // Decoded escapes must not smuggle line breaks or other controls into the
    // Host header and the request line of every later post.
    if (!NetCrackUrl(url, &host, &path, &extra) || host.empty() || HasControls(host) ||
        HasControls(path)) {
        *why = "CrackURL failed for " + url;
        return false;
    }
    size_t end = url.find("://");
    std::string scheme = url.substr(0, end);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https") {
        *why = "Submit address " + url + " refused - neither http nor https";
        return false;
    }
    bool secure = scheme == "https";
    if (secureHandshake && !secure) {
        *why = "Submit address " + url + " refused - plain after a handshake over HTTPS";
        return false;
    }
    long port = WrittenPort(url, end + 3);
    if (port < 0) {
        *why = "Submit address " + url + " refused - no port";
        return false;
    }
    address->server = host;
    address->path = path;
    address->secure = secure;
    address->port = static_cast<uint16_t>(port != 0 ? port : secure ? 443 : 80);
    return true;
}
