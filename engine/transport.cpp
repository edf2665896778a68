// The HTTP exchanges with the service: one blocking request per call, each with
// handles of its own, on a request worker's thread.
#include <chrono>
#include <cstring>
#include <ctime>

#include "diagnostics/debug.h"
#include "engine/clock.h"
#include "engine/http_api.h"
#include "engine/http_date.h"
#include "engine/playtally.h"
#include "engine/submit_address.h"
#include "record/text_encoding.h"

namespace {

constexpr uint32_t kReadChunk = 8191;
constexpr size_t kMaxResponse = 1024 * 1024;

// Closes whatever handles a request opened, innermost first.
struct Handles {
    NetHandle root = nullptr;
    NetHandle connection = nullptr;
    NetHandle request = nullptr;
    ~Handles() {
        if (request) NetCloseHandle(request);
        if (connection) NetCloseHandle(connection);
        if (root) NetCloseHandle(root);
    }
};

}  // namespace

int CPlaytally::PostURL(std::string server, std::string path, std::string body,
                        std::string& response, int requestId, bool secure, uint16_t port,
                        std::string* otherStatus, std::string* why) {
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::PostURL", "ReqId %d, Getting URL from Server %s%s%s",
                requestId, server.c_str(), path.c_str(), body.c_str());
    std::string headers = "Content-Type: application/x-www-form-urlencoded\nHost: " + server;
    // A port of its own belongs in the Host header.
    if (port != (secure ? NET_DEFAULT_HTTPS_PORT : NET_DEFAULT_HTTP_PORT))
        headers += Format(":%d", port);
    return Request("CPlaytally::PostURL", "POST", {server, path, secure, port, otherStatus, why},
                   headers, body, true, response, requestId);
}

int CPlaytally::GetURL(std::string server, std::string path, std::string query,
                       std::string& response, int requestId, bool secure, uint16_t port,
                       std::string* otherStatus, std::string* why) {
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::GetURL", "ReqId %d, Getting URL from Server %s%s%s",
                requestId, server.c_str(), path.c_str(), query.c_str());
    return Request("CPlaytally::GetURL", "GET",
                   {server, path + query, secure, port, otherStatus, why}, std::string(),
                   std::string(), false, response, requestId);
}

namespace {

// The status text for a request over HTTPS that failed with this error of
// the library, or nullptr when the error is none of TLS.
const char* SecureFailure(uint32_t error) {
    switch (error) {
        case 12037:  // the certificate's dates
        case 12038:  // its name is not the server's
        case 12045:  // an authority not trusted
        case 12055:  // errors in the certificate
        case 12056:  // no revocation check possible
        case 12057:  // the revocation check failed, or the chain is incomplete
        case 12169:  // an invalid certificate
        case 12170:  // a revoked one
            return kCertificateNotTrusted;
        case 12044:  // the server wants a client certificate
        case 12157:  // the secure channel failed
            return kSecureConnectionFailed;
        default:
            return nullptr;
    }
}

}  // namespace

void CPlaytally::Failed(const Target& target, uint32_t error) {
    if (target.why) *target.why = NetFailureReason(error);
}

int CPlaytally::Request(const char* module, const char* verb, const Target& target,
                        const std::string& headers, const std::string& data, bool readAlways,
                        std::string& response, int requestId) {
    std::string agent =
        GetPluginName() + "/" + GetClientId() + "/" + m_versionInfo.GetFileVersion();
    Settings settings = GetSettings();
    bool useProxy = settings.useProxy != 0;
    std::string proxy = useProxy ? Format("%s:%d", settings.proxyServer.c_str(), settings.proxyPort)
                                 : std::string();
    uint32_t timeout = static_cast<uint32_t>(m_requestTimeoutMs.load());

    Handles h;
    h.root = NetOpen(agent, useProxy ? NET_OPEN_TYPE_PROXY : NET_OPEN_TYPE_PRECONFIG, proxy);
    if (!h.root) {
        Failed(target, LogRequestError(module, "InternetOpen", requestId));
        return 0;
    }
    // Without time-outs a server that accepts and never answers holds the
    // worker, and with it the handshake or flush in flight, for good.
    NetSetTimeouts(h.root, timeout);

    h.connection = NetConnect(h.root, target.server, target.port);
    if (!h.connection) {
        Failed(target, LogRequestError(module, "InternetConnect", requestId));
        return 0;
    }
    // On the connection handle: the root handle refuses the proxy credentials,
    // which would never be sent.
    if (settings.useProxyAuth != 0) {
        const std::string& user = settings.proxyUser;
        const std::string& pass = settings.proxyPass;
        if (!user.empty() && !pass.empty()) {
            if (!NetSetOption(h.connection, NET_OPTION_PROXY_USERNAME, user)) {
                g_Debug.Log(DEBUG_ERROR, module, "ReqId %d, Failed in SetOption for Proxy User",
                            requestId);
            } else if (!NetSetOption(h.connection, NET_OPTION_PROXY_PASSWORD, pass)) {
                g_Debug.Log(DEBUG_ERROR, module, "ReqId %d, Failed in SetOption for Proxy Password",
                            requestId);
            }
        }
    }

    h.request = NetOpenRequest(h.connection, verb, target.object,
                               NET_FLAG_PRAGMA_NOCACHE | (target.secure ? NET_FLAG_SECURE : 0));
    if (!h.request) {
        Failed(target, LogRequestError(module, "HttpOpenRequest", requestId));
        return 0;
    }
    NetSetTimeouts(h.request, timeout);
    if (!NetSendRequest(h.request, headers, data)) {
        uint32_t error = LogRequestError(module, "HttpSendRequest", requestId);
        // Shown until a request succeeds; the play goes to the cache as with
        // any failed request.
        const char* failure = target.secure ? SecureFailure(error) : nullptr;
        if (failure) {
            g_Debug.Log(DEBUG_ERROR, module,
                        "ReqId %d, The secure connection to %s failed - %s (%u)", requestId,
                        target.server.c_str(), failure, error);
            if (target.otherStatus) {
                *target.otherStatus = failure;
            } else {
                Put(m_serverStatus, failure);
            }
        }
        if (target.why) *target.why = failure ? failure : NetFailureReason(error);
        return 0;
    }

    uint32_t status = 0;
    if (NetQueryStatusCode(h.request, &status)) {
        g_Debug.Log(DEBUG_TRACE, module, "ReqId %d, Response Received - Status Code is %d",
                    requestId, static_cast<int>(status));
    } else {
        status = 0;
        Failed(target, 0);
    }
    std::string dateText;
    int64_t date = 0;
    // Another service's clock and answers say nothing of Kelmar's.
    if (!target.otherStatus && NetQueryDate(h.request, &dateText)) {
        if (ReadHttpDate(dateText, &date)) {
            CheckClock(date);
        } else {
            g_Debug.Log(DEBUG_TRACE, module, "ReqId %d, Date header not understood - %s", requestId,
                        dateText.c_str());
        }
    }

    if (readAlways || status == 200) {
        std::string body;
        char buffer[kReadChunk + 1];
        uint32_t read = 0;
        // The service answers in a few lines. A longer answer, or one that
        // trickles in past the time-out, would hold the worker and memory.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        while (NetReadFile(h.request, buffer, kReadChunk, &read) && read > 0) {
            if (read > kReadChunk) read = kReadChunk;
            buffer[read] = '\0';
            // As text: a NUL inside a chunk ends that chunk.
            body.append(buffer, std::strlen(buffer));
            if (body.size() >= kMaxResponse || std::chrono::steady_clock::now() > deadline) {
                g_Debug.Log(DEBUG_ERROR, module,
                            "ReqId %d, Response cut after %d bytes - too long or too slow",
                            requestId, static_cast<int>(body.size()));
                break;
            }
        }
        response = body;
        if (!target.otherStatus) m_lastSubmitTime = LocalDateTimeNow();
    }
    return static_cast<int>(status);
}

bool CPlaytally::ParseReponse(std::string response, std::vector<std::string>& lines) {
    g_Debug.Log(DEBUG_DETAIL, "CPlaytally::ParseReponse", "Parsing Response %s", response.c_str());
    size_t pos = 0;
    if (response.empty() || response[0] == '<') {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::ParseReponse", "Response was invalid");
        static const char kOpen[] = "<script>";
        size_t open = response.find(kOpen);
        if (open == std::string::npos || open == 0) return false;
        size_t close = response.find("</script>");
        if (close == std::string::npos || close == 0 || close >= response.size() || close <= open)
            return false;
        // The service's lines, as a page carrying them in a script part has them.
        size_t start = open + sizeof(kOpen) - 1;
        response = close > start ? response.substr(start, close - start) : std::string();
        pos = 0;
    }
    size_t feed;
    while ((feed = response.find('\n', pos)) != std::string::npos) {
        if (feed > pos) lines.push_back(response.substr(pos, feed - pos));
        pos = feed + 1;
    }
    if (pos < response.size()) lines.push_back(response.substr(pos));
    return !lines.empty();
}

bool CPlaytally::SetSubmitURL(std::string url) {
    url = TrimSpace(url);
    SubmitAddress address;
    std::string why;
    if (!ReadSubmitAddress(url, GetSettings().secureHandshake != 0, &address, &why)) {
        g_Debug.Log(DEBUG_ERROR, "CPlaytally::SetSubmitURL", "%s", why.c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_submitPath = address.path;
        m_server = address.server;
        m_submitSecure = address.secure;
        m_submitPort = address.port;
    }
    // A plain address on the usual port logs as it always has.
    if (!address.secure && address.port == NET_DEFAULT_HTTP_PORT) {
        g_Debug.Log(DEBUG_DETAIL, "CPlaytally::SetSubmitURL", "New server is %s, new path is %s",
                    address.server.c_str(), address.path.c_str());
    } else {
        g_Debug.Log(DEBUG_DETAIL, "CPlaytally::SetSubmitURL",
                    "New server is %s, new path is %s, port %d%s", address.server.c_str(),
                    address.path.c_str(), address.port, address.secure ? " over HTTPS" : "");
    }
    return true;
}

void CPlaytally::CheckClock(int64_t serviceUtc) {
    // Positive: the PC is ahead. Only a difference of more than 5 minutes counts;
    // one of more than a year says more of the date sent than of the PC's clock.
    constexpr int64_t kYear = 366 * 86400;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (serviceUtc < now - kYear || serviceUtc > now + kYear) return;
    int64_t skew = now - serviceUtc;
    int minutes =
        skew > 300 || skew < -300 ? static_cast<int>((skew + (skew > 0 ? 30 : -30)) / 60) : 0;
    m_clockSkewMinutes = minutes;
    if (minutes == 0 || m_clockNoted.exchange(true)) return;
    g_Debug.Log(DEBUG_WARNING, "CPlaytally::CheckClock",
                "The PC clock is %d minutes %s the service's; plays are stamped with the PC's time",
                minutes > 0 ? minutes : -minutes, minutes > 0 ? "ahead of" : "behind");
}

uint32_t CPlaytally::LogRequestError(const char* module, const char* call, int requestId) {
    NetErrorReport report = NetLastError();
    g_Debug.Log(DEBUG_ERROR, module, "ReqID %d, %s - %s (%d) - %s", requestId, call,
                report.message.c_str(), static_cast<int>(report.error), report.response.c_str());
    return report.lastError;
}
