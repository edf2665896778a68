// The HTTP library's calls on cpp-httplib's client, so native tests make real
// requests. It copies what Wine's WinInet does on the wire and in its errors
// (measured under Wine 8): absolute-form targets with ":80" through a proxy,
// proxy credentials only on connection and request handles and sent only after
// a 407, receive time-outs taken from the connection or request handle.
#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "engine/http_api.h"
#include "tests/fakes/fakes.h"

namespace {

// WinInet's error numbers for what can go wrong here.
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorTimeout = 12002;
constexpr uint32_t kErrorNameNotResolved = 12007;
constexpr uint32_t kErrorInvalidOption = 12009;
constexpr uint32_t kErrorIncorrectHandleType = 12018;
constexpr uint32_t kErrorIncorrectHandleState = 12019;
constexpr uint32_t kErrorCannotConnect = 12029;
constexpr uint32_t kErrorConnectionAborted = 12030;

constexpr uint32_t kOptionConnectTimeout = 2;
constexpr uint32_t kDefaultTimeoutMs = 60000;

thread_local uint32_t t_lastError = 0;

enum class Kind { Root, Connection, Request };

struct Timeouts {
    uint32_t connectMs = kDefaultTimeoutMs;
    uint32_t sendMs = kDefaultTimeoutMs;
    uint32_t receiveMs = kDefaultTimeoutMs;
};

struct Credentials {
    std::string user;
    std::string password;
};

struct NetObject {
    Kind kind = Kind::Root;
    // Root: the user agent and the proxy ("host:port", empty for none).
    std::string agent;
    std::string proxy;
    // Shared by a root and everything opened under it, as WinInet keeps them
    // with the application handle.
    std::shared_ptr<Credentials> credentials;
    Timeouts timeouts;
    // Connection and request.
    std::string server;
    uint16_t port = 0;
    // Request.
    std::string verb;
    std::string object;
    uint32_t flags = 0;
    bool sent = false;
    uint32_t status = 0;
    std::string body;
    size_t offset = 0;
};

std::mutex g_lock;  // guards the table and every object in it
std::map<NetHandle, std::unique_ptr<NetObject>> g_objects;

bool Fail(uint32_t error) {
    t_lastError = error;
    return false;
}

// The object behind a handle, of the kind asked for; null with the error set.
NetObject* Find(NetHandle handle, Kind kind) {
    auto it = g_objects.find(handle);
    if (it == g_objects.end()) {
        Fail(kErrorInvalidHandle);
        return nullptr;
    }
    if (it->second->kind != kind) {
        Fail(kErrorIncorrectHandleType);
        return nullptr;
    }
    return it->second.get();
}

NetHandle Add(std::unique_ptr<NetObject> object) {
    NetHandle handle = object.get();
    g_objects.emplace(handle, std::move(object));
    return handle;
}

// Wine's texts for the numbers it has one for.
std::string MessageFor(uint32_t error) {
    switch (error) {
        case kErrorInvalidHandle:
            return "Invalid handle.";
        case kErrorTimeout:
            return "The request has timed out.";
        case 12005:
            return "The URL is invalid.";
        case 12006:
            return "The URL scheme could not be recognized or is not supported.";
        case kErrorNameNotResolved:
            return "The server name could not be resolved.";
        case kErrorCannotConnect:
            return "The attempt to connect to the server failed.";
        case kErrorConnectionAborted:
            return "The connection with the server has been terminated.";
        default:
            return std::string();
    }
}

bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
    size_t colon = text.rfind(':');
    *host = text.substr(0, colon);
    if (colon == std::string::npos) {
        *port = NET_DEFAULT_HTTP_PORT;
        return !host->empty();
    }
    std::string digits = text.substr(colon + 1);
    if (host->empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long number = std::stoul(digits);
    if (number == 0 || number > 65535) return false;
    *port = static_cast<uint16_t>(number);
    return true;
}

bool Resolves(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    freeaddrinfo(found);
    return true;
}

std::string Base64(const std::string& text) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(text[i]) << 16 | static_cast<uint8_t>(text[i + 1]) << 8 |
                     static_cast<uint8_t>(text[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kDigits[(n >> shift) & 63];
    }
    if (i < text.size()) {
        uint32_t n = static_cast<uint8_t>(text[i]) << 16;
        if (i + 1 < text.size()) n |= static_cast<uint8_t>(text[i + 1]) << 8;
        out += kDigits[(n >> 18) & 63];
        out += kDigits[(n >> 12) & 63];
        out += i + 1 < text.size() ? kDigits[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The extra headers: "Name: value" lines separated by LF (a CR before it is
// dropped), each replacing a header of the same name.
void AddExtraHeaders(const std::string& text, httplib::Headers* headers) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        headers->erase(line.substr(0, colon));
        headers->emplace(line.substr(0, colon), value);
    }
}

// Everything one exchange needs, copied out of the table so the exchange runs
// without the lock.
struct Exchange {
    std::string host;  // where the connection goes: the proxy or the server
    uint16_t port = 0;
    httplib::Request request;
    Credentials credentials;
    bool proxied = false;
    Timeouts timeouts;
};

template <typename Setter>
void SetMilliseconds(Setter set, uint32_t ms) {
    set(static_cast<time_t>(ms / 1000), static_cast<time_t>(ms % 1000) * 1000);
}

// Performs the exchange; on failure returns the WinInet error number.
uint32_t Perform(Exchange& exchange, httplib::Response* response) {
    if (!Resolves(exchange.host)) return kErrorNameNotResolved;
    httplib::Client client(exchange.host, exchange.port);
    client.set_url_encode(false);
    client.set_keep_alive(false);
    client.set_decompress(false);
    SetMilliseconds([&](time_t s, time_t us) { client.set_connection_timeout(s, us); },
                    exchange.timeouts.connectMs);
    SetMilliseconds([&](time_t s, time_t us) { client.set_write_timeout(s, us); },
                    exchange.timeouts.sendMs);
    SetMilliseconds([&](time_t s, time_t us) { client.set_read_timeout(s, us); },
                    exchange.timeouts.receiveMs);

    for (int attempt = 0; attempt < 2; ++attempt) {
        auto started = std::chrono::steady_clock::now();
        httplib::Result result = client.send(exchange.request);
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
        switch (result.error()) {
            case httplib::Error::Success:
                break;
            case httplib::Error::Connection:
                return kErrorCannotConnect;
            case httplib::Error::ConnectionTimeout:
                return kErrorTimeout;
            case httplib::Error::Read:
                // Wine reports a receive time-out as a terminated connection,
                // and a connection closed without a word as an empty answer.
                if (elapsed + 50 >= static_cast<int64_t>(exchange.timeouts.receiveMs))
                    return kErrorConnectionAborted;
                *response = httplib::Response();
                response->status = 0;
                return 0;
            default:
                return kErrorConnectionAborted;
        }
        *response = *result;
        // Credentials go out only when the proxy asks for them, once.
        bool challenged = response->status == 407 && exchange.proxied &&
                          response->get_header_value("Proxy-Authenticate").rfind("Basic", 0) == 0;
        if (attempt > 0 || !challenged || exchange.credentials.user.empty()) return 0;
        exchange.request.headers.erase("Proxy-Authorization");
        exchange.request.headers.emplace(
            "Proxy-Authorization",
            "Basic " + Base64(exchange.credentials.user + ":" + exchange.credentials.password));
    }
    return 0;
}

}  // namespace

NetHandle NetOpen(const std::string& agent, uint32_t accessType, const std::string& proxy) {
    auto object = std::make_unique<NetObject>();
    object->agent = agent;
    if (accessType == NET_OPEN_TYPE_PROXY) object->proxy = proxy;
    object->credentials = std::make_shared<Credentials>();
    std::lock_guard<std::mutex> guard(g_lock);
    return Add(std::move(object));
}

bool NetSetOption(NetHandle handle, uint32_t option, const std::string& value) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_objects.find(handle);
    if (it == g_objects.end()) return Fail(kErrorInvalidHandle);
    NetObject& object = *it->second;
    if (option != NET_OPTION_PROXY_USERNAME && option != NET_OPTION_PROXY_PASSWORD) {
        return Fail(kErrorInvalidOption);
    }
    // Wine takes proxy credentials on connection and request handles only.
    if (object.kind == Kind::Root) return Fail(kErrorInvalidOption);
    (option == NET_OPTION_PROXY_USERNAME ? object.credentials->user
                                         : object.credentials->password) = value;
    return true;
}

bool NetSetTimeouts(NetHandle handle, uint32_t milliseconds) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_objects.find(handle);
    if (it == g_objects.end()) return Fail(kErrorInvalidHandle);
    Timeouts& timeouts = it->second->timeouts;
    timeouts.connectMs = timeouts.sendMs = timeouts.receiveMs = milliseconds;
    return true;
}

NetHandle NetConnect(NetHandle root, const std::string& server, uint16_t port) {
    std::lock_guard<std::mutex> guard(g_lock);
    NetObject* parent = Find(root, Kind::Root);
    if (!parent) return nullptr;
    auto object = std::make_unique<NetObject>(*parent);
    object->kind = Kind::Connection;
    object->server = server;
    object->port = port;
    // Wine hands only the connect time-out down from the application handle.
    object->timeouts = Timeouts();
    object->timeouts.connectMs = parent->timeouts.connectMs;
    return Add(std::move(object));
}

NetHandle NetOpenRequest(NetHandle connection, const std::string& verb, const std::string& object,
                         uint32_t flags) {
    std::lock_guard<std::mutex> guard(g_lock);
    NetObject* parent = Find(connection, Kind::Connection);
    if (!parent) return nullptr;
    auto request = std::make_unique<NetObject>(*parent);
    request->kind = Kind::Request;
    request->verb = verb.empty() ? "GET" : verb;
    request->object = object.empty() ? "/" : object;
    request->flags = flags;
    return Add(std::move(request));
}

bool NetSendRequest(NetHandle request, const std::string& headers, const std::string& data) {
    Exchange exchange;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        NetObject* object = Find(request, Kind::Request);
        if (!object) return false;
        std::string serverPort = object->server + ":" + std::to_string(object->port);
        exchange.proxied = !object->proxy.empty();
        exchange.request.method = object->verb;
        if (exchange.proxied) {
            if (!SplitHostPort(object->proxy, &exchange.host, &exchange.port)) {
                return Fail(kErrorNameNotResolved);
            }
            exchange.request.path = "http://" + serverPort + object->object;
        } else {
            exchange.host = object->server;
            exchange.port = object->port;
            exchange.request.path = object->object;
        }
        auto& fields = exchange.request.headers;
        fields.emplace("Host", object->port == NET_DEFAULT_HTTP_PORT ? object->server : serverPort);
        fields.emplace("User-Agent", object->agent);
        if (object->flags & NET_FLAG_PRAGMA_NOCACHE) fields.emplace("Pragma", "no-cache");
        AddExtraHeaders(headers, &fields);
        exchange.credentials = *object->credentials;
        exchange.timeouts = object->timeouts;
    }
    exchange.request.body = data;

    httplib::Response response;
    uint32_t error = Perform(exchange, &response);

    std::lock_guard<std::mutex> guard(g_lock);
    // The handle may have been closed meanwhile; then nothing is kept.
    NetObject* object = Find(request, Kind::Request);
    if (!object) return false;
    if (error != 0) return Fail(error);
    object->sent = true;
    object->status = static_cast<uint32_t>(response.status);
    object->body = std::move(response.body);
    object->offset = 0;
    return true;
}

bool NetQueryStatusCode(NetHandle request, uint32_t* status) {
    std::lock_guard<std::mutex> guard(g_lock);
    NetObject* object = Find(request, Kind::Request);
    if (!object) return false;
    if (!object->sent) return Fail(kErrorIncorrectHandleState);
    *status = object->status;
    return true;
}

// The native end-to-end tests do not look at the clock.
bool NetQueryDate(NetHandle, std::string*) {
    return false;
}

bool NetReadFile(NetHandle request, char* buffer, uint32_t size, uint32_t* read) {
    *read = 0;
    std::lock_guard<std::mutex> guard(g_lock);
    NetObject* object = Find(request, Kind::Request);
    if (!object) return false;
    if (!object->sent) return Fail(kErrorIncorrectHandleState);
    size_t count = std::min<size_t>(size, object->body.size() - object->offset);
    object->body.copy(buffer, count, object->offset);
    object->offset += count;
    *read = static_cast<uint32_t>(count);
    return true;
}

void NetCloseHandle(NetHandle handle) {
    std::unique_ptr<NetObject> closing;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_objects.find(handle);
    if (it == g_objects.end()) return;
    closing = std::move(it->second);
    g_objects.erase(it);
}

bool NetCrackUrl(const std::string& url, std::string* host, std::string* path, std::string* extra) {
    return PortableCrackUrl(url, host, path, extra);
}

NetErrorReport NetLastError() {
    NetErrorReport report;
    report.message = MessageFor(t_lastError);
    // Wine's last response information keeps no number of its own for HTTP
    // failures, so the number it puts in place of the error is 0.
    report.error = 0;
    report.lastError = t_lastError;
    return report;
}
