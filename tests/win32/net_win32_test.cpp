// The network, connectivity and thread adapters under Wine: WinInet against the
// reference service running natively (its port in KELMAR_SERVICE_PORT), what
// the service received as it received it, and Wine's errors and answers.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>
// clang-format on

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/connectivity_api.h"
#include "engine/http_api.h"
#include "engine/thread_start.h"
#include "tests/win32/service_control.h"

using nlohmann::json;

namespace {

const char kAgent[] = "Kelmar for Winamp/wa2/1.2.1";
const char kFormType[] = "Content-Type: application/x-www-form-urlencoded";
// Not a local name, so WinInet does go through the proxy for it.
const char kServer[] = "post.kelmar.example";

struct Call {
    uint32_t access = NET_OPEN_TYPE_PRECONFIG;
    std::string proxy;
    std::string server = "127.0.0.1";
    uint16_t port = NET_DEFAULT_HTTP_PORT;
    std::string verb = "GET";
    std::string object = "/";
    std::string headers;
    std::string data;
    uint32_t timeoutMs = 0;
    // Proxy credentials, set on the connection handle.
    std::string user;
    std::string password;
    // How many bytes each read asks for.
    uint32_t readSize = 5;
};

struct Outcome {
    bool sent = false;
    DWORD sendError = 0;
    NetErrorReport report;
    bool hasStatus = false;
    uint32_t status = 0;
    std::string body;
    std::string date;
    DWORD milliseconds = 0;
};

// One exchange the way the transport makes it.
Outcome Exchange(const Call& call) {
    Outcome outcome;
    DWORD started = GetTickCount();
    NetHandle root = NetOpen(kAgent, call.access, call.proxy);
    NetHandle connection = NetConnect(root, call.server, call.port);
    if (!call.user.empty()) {
        EXPECT_TRUE(NetSetOption(connection, NET_OPTION_PROXY_USERNAME, call.user));
        EXPECT_TRUE(NetSetOption(connection, NET_OPTION_PROXY_PASSWORD, call.password));
    }
    NetHandle request = NetOpenRequest(connection, call.verb, call.object, NET_FLAG_PRAGMA_NOCACHE);
    EXPECT_NE(request, nullptr);
    if (call.timeoutMs) {
        EXPECT_TRUE(NetSetTimeouts(root, call.timeoutMs));
        EXPECT_TRUE(NetSetTimeouts(request, call.timeoutMs));
    }
    outcome.sent = NetSendRequest(request, call.headers, call.data);
    if (!outcome.sent) {
        outcome.sendError = GetLastError();
        outcome.report = NetLastError();
    } else {
        outcome.hasStatus = NetQueryStatusCode(request, &outcome.status);
        NetQueryDate(request, &outcome.date);
        std::string buffer(call.readSize, '\0');
        uint32_t read = 0;
        while (NetReadFile(request, &buffer[0], call.readSize, &read) && read > 0) {
            EXPECT_LE(read, call.readSize);
            outcome.body.append(buffer, 0, read);
        }
    }
    outcome.milliseconds = GetTickCount() - started;
    NetCloseHandle(request);
    NetCloseHandle(connection);
    NetCloseHandle(root);
    return outcome;
}

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ServicePort(), 0) << "run through scripts/with-service.sh";
        Control("POST", "/_control/reset");
    }
    std::string Proxy() const { return "127.0.0.1:" + std::to_string(ServicePort()); }
};

class Winsock {
  public:
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

// A loopback port with nothing listening on it.
uint16_t DeadPort() {
    Winsock winsock;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

}  // namespace

TEST_F(ServiceTest, GetAndPostArriveAsSent) {
    // Wine's library, asked for a date past 2038 as a system time, faults.
    const char kFarDate[] = "Fri, 31 Dec 9999 23:59:59 GMT";
    Script(json::array(
        {{{"for", "handshake"}, {"body", "UPTODATE\nc0ffee\n"}, {"headers", {{"Date", kFarDate}}}},
         {{"for", "submit"}, {"body", "OK\nINTERVAL 1\n"}}}));

    Call get;
    get.port = ServicePort();
    get.object = "/?hs=true&p=1.1&c=wa2&v=1.2.1&u=kel%20mar";
    // Extra headers are LF-separated lines; a given Host replaces Wine's own.
    get.headers = std::string("Accept-Charset: utf-8\nHost: ") + kServer;
    Outcome handshake = Exchange(get);
    ASSERT_TRUE(handshake.sent) << handshake.report.message;
    EXPECT_EQ(handshake.status, 200u);
    EXPECT_EQ(handshake.body, "UPTODATE\nc0ffee\n");
    EXPECT_EQ(handshake.date, kFarDate);

    // A submission of many plays, through the proxy setting as the plug-in
    // sends it; the body must arrive byte for byte.
    std::string body = "s=c0ffee&u=kel%20mar";
    for (int i = 0; i < 200; ++i) {
        std::string n = std::to_string(i);
        body += "&a[" + n + "]=Mot%c3%b6rhead&t[" + n + "]=Ace%20of%20Spades&b[" + n + "]=&m[" + n +
                "]=&l[" + n + "]=169&i[" + n + "]=2004%2d11%2d22%2005%3a39%3a31";
    }
    Call post;
    post.access = NET_OPEN_TYPE_PROXY;
    post.proxy = Proxy();
    post.server = kServer;
    post.verb = "POST";
    post.object = "/protocol_1.1";
    post.headers = kFormType;
    post.data = body;
    post.readSize = 1024;
    Outcome submit = Exchange(post);
    ASSERT_TRUE(submit.sent) << submit.report.message;
    EXPECT_TRUE(submit.hasStatus);
    EXPECT_EQ(submit.status, 200u);
    EXPECT_EQ(submit.body, "OK\nINTERVAL 1\n");

    json requests = Requests();
    ASSERT_EQ(requests.size(), 2u) << requests.dump(1);
    const json& first = requests[0];
    EXPECT_EQ(first["method"], "GET");
    EXPECT_EQ(first["target"], get.object);
    EXPECT_EQ(Header(first, "Host"), std::vector<std::string>{kServer});
    EXPECT_EQ(Header(first, "Accept-Charset"), std::vector<std::string>{"utf-8"});
    EXPECT_EQ(Header(first, "User-Agent"), std::vector<std::string>{kAgent});
    EXPECT_EQ(Header(first, "Pragma"), std::vector<std::string>{"no-cache"});

    const json& second = requests[1];
    EXPECT_EQ(second["method"], "POST");
    EXPECT_EQ(second["target"], "http://post.kelmar.example:80/protocol_1.1");
    EXPECT_EQ(Header(second, "Host"), std::vector<std::string>{kServer});
    EXPECT_EQ(Header(second, "User-Agent"), std::vector<std::string>{kAgent});
    EXPECT_EQ(Header(second, "Pragma"), std::vector<std::string>{"no-cache"});
    EXPECT_EQ(Header(second, "Content-Type"),
              std::vector<std::string>{"application/x-www-form-urlencoded"});
    EXPECT_EQ(Header(second, "Content-Length"),
              std::vector<std::string>{std::to_string(body.size())});
    EXPECT_EQ(second["body"], body);
}

TEST_F(ServiceTest, ProxyCredentialsAnswerAChallengeOnly) {
    Script(json::array({{{"status", 407},
                         {"body", "who are you\n"},
                         {"headers", {{"Proxy-Authenticate", "Basic realm=\"x\""}}}},
                        {{"body", "UPTODATE\n"}}}));

    // Wine keeps proxy credentials with connection and request handles, never
    // with the root handle.
    NetHandle root = NetOpen(kAgent, NET_OPEN_TYPE_PROXY, Proxy());
    EXPECT_FALSE(NetSetOption(root, NET_OPTION_PROXY_USERNAME, "kelmar"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INVALID_OPTION));
    NetCloseHandle(root);

    Call call;
    call.access = NET_OPEN_TYPE_PROXY;
    call.proxy = Proxy();
    call.server = kServer;
    call.object = "/?hs=true&u=kelmar";
    call.user = "kelmar";
    // The value goes in with its length; the library must not cut it short.
    call.password = "se:cret ok";
    Outcome outcome = Exchange(call);
    ASSERT_TRUE(outcome.sent) << outcome.report.message;
    EXPECT_EQ(outcome.status, 200u);
    EXPECT_EQ(outcome.body, "UPTODATE\n");

    json requests = Requests();
    ASSERT_EQ(requests.size(), 2u) << requests.dump(1);
    EXPECT_TRUE(Header(requests[0], "Proxy-Authorization").empty());
    EXPECT_EQ(Header(requests[1], "Proxy-Authorization"),
              std::vector<std::string>{"Basic a2VsbWFyOnNlOmNyZXQgb2s="});
}

TEST_F(ServiceTest, ConnectFailuresCarryWinesNumbersAndTexts) {
    Call dead;
    dead.port = DeadPort();
    Outcome refused = Exchange(dead);
    EXPECT_FALSE(refused.sent);
    EXPECT_EQ(refused.sendError, static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
    EXPECT_EQ(refused.report.message, "The attempt to connect to the server failed.");
    // Wine's last response information holds no number for HTTP failures and
    // puts 0 in place of the error.
    EXPECT_EQ(refused.report.error, 0u);
    EXPECT_EQ(refused.report.response, "");

    Call unknown;
    unknown.server = "kelmar-no-such-host.invalid";
    Outcome unresolved = Exchange(unknown);
    EXPECT_FALSE(unresolved.sent);
    EXPECT_EQ(unresolved.sendError, static_cast<DWORD>(ERROR_INTERNET_NAME_NOT_RESOLVED));
    EXPECT_EQ(unresolved.report.message, "The server name could not be resolved.");
}

TEST_F(ServiceTest, ServerErrorsAreReadableAndSilenceEndsByTheTimeout) {
    Script(
        json::array({{{"status", 500}, {"body", "FAILED server trouble\n"}}, {{"silent", true}}}));
    Call call;
    call.access = NET_OPEN_TYPE_PROXY;
    call.proxy = Proxy();
    call.server = kServer;
    call.object = "/?hs=true&u=kelmar";
    Outcome failed = Exchange(call);
    ASSERT_TRUE(failed.sent);
    EXPECT_EQ(failed.status, 500u);
    EXPECT_EQ(failed.body, "FAILED server trouble\n");

    call.timeoutMs = 2000;
    Outcome silent = Exchange(call);
    EXPECT_FALSE(silent.sent);
    // Wine ends a receive time-out as a terminated connection, not as 12002.
    EXPECT_EQ(silent.sendError, static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));
    EXPECT_EQ(silent.report.message, "The connection with the server has been terminated.");
    EXPECT_GE(silent.milliseconds, 1500u);
    EXPECT_LT(silent.milliseconds, 15000u);
}

TEST(CrackUrlWin32, SplitsDecodesAndRefusesOversizedParts) {
    std::string host, path, extra;
    ASSERT_TRUE(NetCrackUrl("http://post.kelmar.example:8080/submit?x=1", &host, &path, &extra));
    EXPECT_EQ(host, "post.kelmar.example");
    EXPECT_EQ(path, "/submit");
    EXPECT_EQ(extra, "?x=1");

    ASSERT_TRUE(NetCrackUrl("http://post.kelmar.example/a%20b/c?x=%41", &host, &path, &extra));
    EXPECT_EQ(path, "/a b/c");
    EXPECT_EQ(extra, "?x=A");

    ASSERT_TRUE(NetCrackUrl("http://post.kelmar.example", &host, &path, &extra));
    EXPECT_EQ(host, "post.kelmar.example");
    EXPECT_EQ(path, "/");
    EXPECT_EQ(extra, "");

    EXPECT_FALSE(NetCrackUrl(" http://post.kelmar.example:8080/submit?x=1 ", &host, &path, &extra));
    EXPECT_FALSE(NetCrackUrl("post.kelmar.example/submit", &host, &path, &extra));

    // Each part has 1024 characters with its terminator.
    EXPECT_TRUE(NetCrackUrl("http://" + std::string(1023, 'h') + "/x", &host, &path, &extra));
    EXPECT_EQ(host.size(), 1023u);
    EXPECT_FALSE(NetCrackUrl("http://" + std::string(1024, 'h') + "/x", &host, &path, &extra));
    EXPECT_FALSE(NetCrackUrl("http://" + std::string(1100, 'h') + "/x", &host, &path, &extra));
    EXPECT_TRUE(NetCrackUrl("http://h/" + std::string(1022, 'p'), &host, &path, &extra));
    EXPECT_EQ(path.size(), 1023u);
    EXPECT_FALSE(NetCrackUrl("http://h/" + std::string(1023, 'p'), &host, &path, &extra));
}

TEST(ConnectivityWin32, WinesAnswers) {
    // Wine has no dial-up connections and fills in neither the count nor the
    // size it would need, whatever the offer.
    RasConnEntry entries[4] = {};
    entries[0].size = sizeof(RasConnEntry);
    uint32_t bytes = sizeof(entries);
    uint32_t count = 99;
    EXPECT_EQ(RasEnumConnectionsCall(entries, &bytes, &count), 0u);
    EXPECT_EQ(count, 0u);
    bytes = sizeof(RasConnEntry) - 1;
    count = 99;
    EXPECT_EQ(RasEnumConnectionsCall(entries, &bytes, &count), 0u);
    EXPECT_EQ(count, 0u);

    uint32_t flags = 0;
    EXPECT_TRUE(InternetGetConnectedStateCall(&flags));
    EXPECT_TRUE(flags & NET_CONNECTION_LAN) << flags;

    Winsock winsock;
    char name[256] = {};
    ASSERT_EQ(GetHostNameCall(name, sizeof(name)), 0);
    EXPECT_NE(name[0], '\0');
    std::vector<std::array<uint8_t, 4>> addresses;
    EXPECT_TRUE(GetHostByNameCall(name, &addresses));
    EXPECT_GE(addresses.size(), 1u);
    EXPECT_TRUE(GetHostByNameCall("localhost", &addresses));
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(addresses[0], (std::array<uint8_t, 4>{127, 0, 0, 1}));
    EXPECT_FALSE(GetHostByNameCall("kelmar-no-such-host.invalid", &addresses));
    EXPECT_TRUE(addresses.empty());
}

TEST(ThreadStartWin32, ThreadsRunJoinedOrDetached) {
    struct Work {
        DWORD threadId = 0;
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } work;
    auto body = [](void* argument) -> unsigned {
        Work* w = static_cast<Work*>(argument);
        WaitForSingleObject(w->release, INFINITE);
        w->threadId = GetCurrentThreadId();
        SetEvent(w->done);
        return 7;
    };

    ThreadHandle joined = BeginThread(body, &work);
    ASSERT_NE(joined, nullptr);
    SetEvent(work.release);
    JoinThread(joined);
    EXPECT_NE(work.threadId, 0u);
    EXPECT_NE(work.threadId, GetCurrentThreadId());

    ResetEvent(work.done);
    work.threadId = 0;
    ThreadHandle detached = BeginThread(body, &work);
    ASSERT_NE(detached, nullptr);
    DetachThread(detached);
    EXPECT_EQ(WaitForSingleObject(work.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_NE(work.threadId, 0u);
    CloseHandle(work.release);
    CloseHandle(work.done);
}
