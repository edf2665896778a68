#include <windows.h>
#include <wininet.h>

#include "engine/http_api.h"

namespace {
HINTERNET AsInternet(NetHandle handle) {
    return static_cast<HINTERNET>(handle);
}

constexpr DWORD kUrlPartBuffer = 1024;
constexpr DWORD kResponseInfoBuffer = 1024;
constexpr DWORD kDateBuffer = 64;  // a date takes 29 characters; spaces aside

// The message text for a system or WinInet error number, without the line
// break the message tables end with.
std::string ErrorText(DWORD error) {
    char text[1024] = {};
    const DWORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, language, text, sizeof(text), nullptr);
    // WinInet's numbers live in its own message table, not the system's.
    HMODULE wininet = GetModuleHandleA("wininet.dll");
    if (length == 0 && wininet) {
        length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                wininet, error, language, text, sizeof(text), nullptr);
    }
    std::string message(text, length < sizeof(text) ? length : 0);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}
}  // namespace

NetHandle NetOpen(const std::string& agent, uint32_t accessType, const std::string& proxy) {
    const char* proxyName = accessType == NET_OPEN_TYPE_PROXY ? proxy.c_str() : nullptr;
    return InternetOpenA(agent.c_str(), accessType, proxyName, nullptr, 0);
}

bool NetSetOption(NetHandle handle, uint32_t option, const std::string& value) {
    return InternetSetOptionA(AsInternet(handle), option, const_cast<char*>(value.c_str()),
                              static_cast<DWORD>(value.size()));
}

bool NetSetTimeouts(NetHandle handle, uint32_t milliseconds) {
    // Wine ends a silent server by the receive time-out of the request or
    // connection handle; set on the root handle alone, it waits on.
    static const DWORD kOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                     INTERNET_OPTION_RECEIVE_TIMEOUT};
    bool all = true;
    for (DWORD option : kOptions) {
        DWORD value = milliseconds;
        if (!InternetSetOptionA(AsInternet(handle), option, &value, sizeof(value))) all = false;
    }
    return all;
}

NetHandle NetConnect(NetHandle root, const std::string& server, uint16_t port) {
    return InternetConnectA(AsInternet(root), server.c_str(), port, nullptr, nullptr,
                            INTERNET_SERVICE_HTTP, 0, 0);
}

NetHandle NetOpenRequest(NetHandle connection, const std::string& verb, const std::string& object,
                         uint32_t flags) {
    return HttpOpenRequestA(AsInternet(connection), verb.c_str(), object.c_str(), nullptr, nullptr,
                            nullptr, flags, 0);
}

bool NetSendRequest(NetHandle request, const std::string& headers, const std::string& data) {
    void* body = data.empty() ? nullptr : const_cast<char*>(data.data());
    return HttpSendRequestA(AsInternet(request), headers.c_str(),
                            static_cast<DWORD>(headers.size()), body,
                            static_cast<DWORD>(data.size()));
}

bool NetQueryStatusCode(NetHandle request, uint32_t* status) {
    DWORD code = 0;
    DWORD length = sizeof(code);
    if (!HttpQueryInfoA(AsInternet(request), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code,
                        &length, nullptr)) {
        return false;
    }
    *status = code;
    return true;
}

bool NetQueryDate(NetHandle request, std::string* text) {
    // As text only: asked for a system time, Wine's library faults on a date
    // after 2038, and any server (or anyone on the way of a plain answer) picks
    // the date.
    char date[kDateBuffer] = {};
    DWORD length = sizeof(date) - 1;
    if (!HttpQueryInfoA(AsInternet(request), HTTP_QUERY_DATE, date, &length, nullptr)) return false;
    text->assign(date, length < sizeof(date) ? length : 0);
    return true;
}

bool NetReadFile(NetHandle request, char* buffer, uint32_t size, uint32_t* read) {
    DWORD count = 0;
    BOOL ok = InternetReadFile(AsInternet(request), buffer, size, &count);
    *read = ok ? count : 0;
    return ok;
}

void NetCloseHandle(NetHandle handle) {
    if (handle) InternetCloseHandle(AsInternet(handle));
}

bool NetCrackUrl(const std::string& url, std::string* host, std::string* path, std::string* extra) {
    char hostBuffer[kUrlPartBuffer] = {};
    char pathBuffer[kUrlPartBuffer] = {};
    char extraBuffer[kUrlPartBuffer] = {};
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = hostBuffer;
    parts.dwHostNameLength = kUrlPartBuffer;
    parts.lpszUrlPath = pathBuffer;
    parts.dwUrlPathLength = kUrlPartBuffer;
    parts.lpszExtraInfo = extraBuffer;
    parts.dwExtraInfoLength = kUrlPartBuffer;
    if (!InternetCrackUrlA(url.c_str(), 0, ICU_DECODE, &parts)) return false;
    *host = std::string(hostBuffer, parts.dwHostNameLength);
    *path = std::string(pathBuffer, parts.dwUrlPathLength);
    *extra = std::string(extraBuffer, parts.dwExtraInfoLength);
    return true;
}

NetErrorReport NetLastError() {
    NetErrorReport report;
    DWORD error = GetLastError();
    report.lastError = error;
    report.message = ErrorText(error);
    // One spare byte keeps the text terminated whatever the library copies.
    char response[kResponseInfoBuffer + 1] = {};
    DWORD length = kResponseInfoBuffer;
    if (InternetGetLastResponseInfoA(&error, response, &length)) {
        report.response.assign(response,
                               length < kResponseInfoBuffer ? length : kResponseInfoBuffer);
    }
    report.error = error;
    return report;
}
