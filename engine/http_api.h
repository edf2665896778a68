// The HTTP library's calls the transport makes, one function for each, in the
// shape of WinInet. The DLL links the WinInet adapter; native tests link either
// a double that can fail at any step or a stand-in that makes real requests.
// Handles are opaque; a null handle means the call failed.
#pragma once

#include <cstdint>
#include <string>

using NetHandle = void*;

// Access types of NetOpen.
constexpr uint32_t NET_OPEN_TYPE_PRECONFIG = 0;
constexpr uint32_t NET_OPEN_TYPE_PROXY = 3;
// Options of NetSetOption.
constexpr uint32_t NET_OPTION_PROXY_USERNAME = 43;
constexpr uint32_t NET_OPTION_PROXY_PASSWORD = 44;
// Request flags: ask proxies not to answer from a cache; use TLS. No flag that
// lets a certificate error pass is ever set.
constexpr uint32_t NET_FLAG_PRAGMA_NOCACHE = 0x100;
constexpr uint32_t NET_FLAG_SECURE = 0x00800000;
constexpr uint16_t NET_DEFAULT_HTTP_PORT = 80;
constexpr uint16_t NET_DEFAULT_HTTPS_PORT = 443;

// InternetOpenA: a root handle with the user agent; `proxy` is used only with
// NET_OPEN_TYPE_PROXY.
NetHandle NetOpen(const std::string& agent, uint32_t accessType, const std::string& proxy);
// InternetSetOptionA with a text value, its length given without a terminator.
bool NetSetOption(NetHandle handle, uint32_t option, const std::string& value);
// Connect, send and receive time-outs on a handle, in milliseconds.
bool NetSetTimeouts(NetHandle handle, uint32_t milliseconds);
// InternetConnectA to an HTTP server, without user name or password.
NetHandle NetConnect(NetHandle root, const std::string& server, uint16_t port);
// HttpOpenRequestA with the default version, no referrer and no accept types.
NetHandle NetOpenRequest(NetHandle connection, const std::string& verb, const std::string& object,
                         uint32_t flags);
// HttpSendRequestA: the extra headers and the data, each with its exact length.
bool NetSendRequest(NetHandle request, const std::string& headers, const std::string& data);
// HttpQueryInfoA for the status code as a number.
bool NetQueryStatusCode(NetHandle request, uint32_t* status);
// HttpQueryInfoA for the answer's Date header, as the text the server sent
// (see ReadHttpDate); false when there is none or it is too long for a date.
bool NetQueryDate(NetHandle request, std::string* text);
// InternetReadFile: up to `size` bytes; true with 0 bytes at the end.
bool NetReadFile(NetHandle request, char* buffer, uint32_t size, uint32_t* read);
void NetCloseHandle(NetHandle handle);
// InternetCrackUrlA with escape sequences decoded: host, object path and the
// extra part, each in a buffer of 1024 characters. False when the url cannot be
// taken apart or a part does not fit.
bool NetCrackUrl(const std::string& url, std::string* host, std::string* path, std::string* extra);

// Why the calling thread's last call failed: the system's message text for its
// last error, then the library's last response information (which replaces the
// error number with its own and gives up to 1024 bytes of text).
struct NetErrorReport {
    std::string message;
    uint32_t error = 0;
    std::string response;
    uint32_t lastError = 0;  // the error itself, before the library replaced it
};
NetErrorReport NetLastError();
