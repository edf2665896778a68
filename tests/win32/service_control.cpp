// clang-format off
#include <windows.h>
#include <wininet.h>
// clang-format on

#include "tests/win32/service_control.h"

#include <gtest/gtest.h>

#include <cstdlib>

using nlohmann::json;

uint16_t ServicePort() {
    const char* text = std::getenv("KELMAR_SERVICE_PORT");
    return static_cast<uint16_t>(text ? std::atoi(text) : 0);
}

// The service's control paths, straight through WinInet and never proxied.
std::string Control(const char* verb, const char* path, const std::string& body) {
    std::string reply;
    HINTERNET root =
        InternetOpenA("net_win32_tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(root, "127.0.0.1", ServicePort(), nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(connection, verb, path, nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_RELOAD, 0);
    if (request && HttpSendRequestA(request, nullptr, 0, const_cast<char*>(body.data()),
                                    static_cast<DWORD>(body.size()))) {
        char buffer[4096];
        DWORD read = 0;
        while (InternetReadFile(request, buffer, sizeof(buffer), &read) && read > 0) {
            reply.append(buffer, read);
        }
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(root);
    return reply;
}

void Script(const json& answers) {
    EXPECT_NE(Control("POST", "/_control/script", answers.dump()).find("queued"),
              std::string::npos);
}

json Requests() {
    return json::parse(Control("GET", "/_control/requests"));
}

// Every value of a header field, matched without regard to case.
std::vector<std::string> Header(const json& request, const char* name) {
    std::vector<std::string> values;
    for (const json& field : request.at("headers")) {
        if (_stricmp(field.at(0).get<std::string>().c_str(), name) == 0) {
            values.push_back(field.at(1).get<std::string>());
        }
    }
    return values;
}

json Plays() {
    return json::parse(Control("GET", "/plays"));
}
