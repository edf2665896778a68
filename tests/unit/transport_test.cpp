#include "engine/http_date.h"
#include "tests/unit/engine_fixture.h"

namespace {

using Lines = std::vector<std::string>;

const int64_t kNoon = MakeDateTime(2024, 5, 6, 12, 0, 0);
const int64_t kLater = MakeDateTime(2024, 5, 6, 12, 30, 0);

FakeNetAnswer Answer(uint32_t status, const std::string& body, FakeNetStep failAt = FAKE_NET_NONE) {
    FakeNetAnswer answer;
    answer.status = status;
    answer.body = body;
    answer.failAt = failAt;
    return answer;
}

// The messages one module wrote, in order.
Lines Messages(const std::string& log, const std::string& module) {
    Lines out;
    for (const LogEntry& entry : LogEntries(log)) {
        if (entry.module == module) out.push_back(entry.message);
    }
    return out;
}

// The parts of a request that are the same for every exchange.
void ExpectCommonParts(const FakeNetRequest& r, const std::string& server) {
    EXPECT_EQ(r.agent, "Kelmar for Winamp/wmp/1.2.1");
    EXPECT_EQ(r.server, server);
    EXPECT_EQ(r.port, 80);
    EXPECT_EQ(r.flags, 0x100u);
}

class TransportTest : public EngineFixture {
  protected:
    void SetUp() override {
        EngineFixture::SetUp();
        SetFakeClockNow(kNoon);
    }
};

}  // namespace

TEST_F(TransportTest, PostSendsTheFormAndReadsTheAnswer) {
    FakeNetQueue(Answer(200, "OK\nINTERVAL 1\n"));
    std::string response = "stale";
    size_t mark = Log().size();
    EXPECT_EQ(engine.PostURL("post.kelmar.example", "/submit", "u=a&s=b", response, 7), 200);
    EXPECT_EQ(response, "OK\nINTERVAL 1\n");
    EXPECT_EQ(engine.m_lastSubmitTime.load(), kNoon);
    EXPECT_EQ(FakeNetOpenHandles(), 0);

    std::vector<FakeNetRequest> requests = FakeNetRequests();
    ASSERT_EQ(requests.size(), 1u);
    const FakeNetRequest& r = requests[0];
    ExpectCommonParts(r, "post.kelmar.example");
    EXPECT_EQ(r.timeoutMs, 30000u);
    EXPECT_EQ(r.verb, "POST");
    EXPECT_EQ(r.object, "/submit");
    EXPECT_EQ(r.headers,
              "Content-Type: application/x-www-form-urlencoded\nHost: post.kelmar.example");
    EXPECT_EQ(r.data, "u=a&s=b");
    EXPECT_EQ(Messages(Log(mark), "CPlaytally::PostURL"),
              (Lines{"ReqId 7, Getting URL from Server post.kelmar.example/submitu=a&s=b",
                     "ReqId 7, Response Received - Status Code is 200"}));

    // The status line is level 1, the request line level 3.
    g_Debug.SetLevel(DEBUG_DETAIL);
    mark = Log().size();
    engine.PostURL("h.example", "/p", "b", response, 8);
    EXPECT_EQ(Messages(Log(mark), "CPlaytally::PostURL"),
              Lines{"ReqId 8, Getting URL from Server h.example/pb"});
}

TEST_F(TransportTest, AClockFarFromTheServicesIsNotedOnceARun) {
    std::string response;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    auto date = [&](int64_t offset) {
        std::tm t{};
        BreakDownUtc(static_cast<std::time_t>(now + offset), &t);
        char text[40];
        std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &t);
        return std::string(text);
    };
    // A date that cannot be read, or is more than a year off, changes nothing.
    const struct {
        std::string date;
        int minutes;
    } cases[] = {
        {date(3720), -62},
        {date(7200), -120},
        {date(240), 0},
        {date(-420), 7},
        {"Fri, 31 Dec 9999 23:59:59 GMT", 7},
        {date(-367 * 86400), 7},
        {"Fri, 31 Dec 9999 23:59:59", 7},
    };
    for (const auto& c : cases) {
        FakeNetAnswer answer = Answer(200, "OK\n");
        answer.date = c.date;
        FakeNetQueue(answer);
        engine.PostURL("h.example", "/p", "b", response, 1);
        EXPECT_EQ(engine.m_clockSkewMinutes, c.minutes) << c.date;
    }
    std::string log = Log();
    EXPECT_TRUE(Contains(log,
                         "\tCPlaytally::CheckClock\t\tThe PC clock is 62 minutes behind the "
                         "service's; plays are stamped with the PC's time\r\n"));
    EXPECT_EQ(log.find("The PC clock"), log.rfind("The PC clock"));
}

// The three forms HTTP allows, to the second, and nothing else.
TEST(HttpDate, ReadsTheFormsHttpAllows) {
    const int64_t k1994 = MakeDateTime(1994, 11, 6, 8, 49, 37);
    const struct {
        const char* text;
        int64_t seconds;  // -1: not a date
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", k1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},
        {"Sun Nov  6 08:49:37 1994", k1994},
        {" Thu, 29 Feb 2024 23:59:60 GMT ", MakeDateTime(2024, 3, 1, 0, 0, 0)},
        {"Tuesday, 01-Jan-30 00:00:00 GMT", MakeDateTime(2030, 1, 1, 0, 0, 0)},
        {"Fri, 31 Dec 9999 23:59:59 GMT", MakeDateTime(9999, 12, 31, 23, 59, 59)},
        {"Thu, 29 Feb 2100 00:00:00 GMT", -1},
        {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
        {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
        {"Sun, 06 Nov 1994 08:49:37 GMT x", -1},
        {"Sun, 06 Nov 99999999999 08:49:37 GMT", -1},
        {"Sun Nov 6 08:49:37 1994", -1},
    };
    for (const auto& c : cases) {
        int64_t seconds = -1;
        EXPECT_EQ(ReadHttpDate(c.text, &seconds), c.seconds != -1) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
    }
}

TEST_F(TransportTest, PostReadsTheBodyWhateverTheStatus) {
    std::string big;
    for (size_t i = 0; i < 8191 * 2 + 5; ++i)
        big.push_back(static_cast<char>('a' + i % 26));
    std::string nulChunk = std::string("A\0B", 3) + std::string(8188, 'c') + "DE";
    struct Case {
        FakeNetAnswer answer;
        int status;
        std::string response;
    } cases[] = {
        {Answer(200, big), 200, big},
        {Answer(200, nulChunk), 200, "ADE"},  // the NUL ends the first chunk only
        {Answer(500, "server broke"), 500, "server broke"},
        {Answer(200, "late", FAKE_NET_QUERY_STATUS), 0, "late"},
    };
    engine.m_requestTimeoutMs = 1500;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        FakeNetReset();
        FakeNetQueue(c.answer);
        engine.m_lastSubmitTime = 0;
        std::string response = "stale";
        size_t mark = Log().size();
        EXPECT_EQ(engine.PostURL("h.example", "/p", "b", response, 2), c.status);
        EXPECT_EQ(response, c.response);
        EXPECT_EQ(engine.m_lastSubmitTime.load(), kNoon);
        EXPECT_EQ(FakeNetOpenHandles(), 0);
        EXPECT_EQ(Contains(Log(mark), "Response Received"), c.status != 0);
        std::vector<FakeNetRequest> requests = FakeNetRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].timeoutMs, 1500u);
        EXPECT_GE(requests[0].readSizes.size(), 2u);
        for (uint32_t size : requests[0].readSizes)
            EXPECT_LE(size, 8191u);
    }
}

TEST_F(TransportTest, ProxySettingsReachTheRootHandle) {
    using Options = std::vector<std::pair<uint32_t, std::string>>;
    struct Case {
        int useProxy, useAuth;
        std::string user, pass;
        FakeNetStep failAt;
        Options options;
        std::string failedOption;
    } cases[] = {
        {0, 0, "pu", "pp", FAKE_NET_NONE, {}, ""},
        {1, 0, "pu", "pp", FAKE_NET_NONE, {}, ""},
        {1, 1, "pu", "pp", FAKE_NET_NONE, {{43, "pu"}, {44, "pp"}}, ""},
        {1, 1, "pu", "", FAKE_NET_NONE, {}, ""},
        {1, 1, "", "pp", FAKE_NET_NONE, {}, ""},
        {1, 1, "pu", "pp", FAKE_NET_OPTION_USER, {}, "User"},
        {1, 1, "pu", "pp", FAKE_NET_OPTION_PASSWORD, {{43, "pu"}}, "Password"},
    };
    engine.Set(&Settings::proxyServer, "proxy.lan");
    engine.Set(&Settings::proxyPort, 3128);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        FakeNetReset();
        FakeNetQueue(Answer(200, "OK\n", c.failAt));
        engine.Set(&Settings::useProxy, c.useProxy);
        engine.Set(&Settings::useProxyAuth, c.useAuth);
        engine.Set(&Settings::proxyUser, c.user);
        engine.Set(&Settings::proxyPass, c.pass);
        std::string response;
        size_t mark = Log().size();
        EXPECT_EQ(engine.PostURL("h.example", "/p", "b", response, 5), 200);
        EXPECT_EQ(response, "OK\n");
        std::vector<FakeNetRequest> requests = FakeNetRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].accessType, c.useProxy ? 3u : 0u);
        EXPECT_EQ(requests[0].proxy, c.useProxy ? "proxy.lan:3128" : "");
        EXPECT_EQ(requests[0].options, c.options);
        // A failed option is logged and the request goes on.
        Lines expected = {"ReqId 5, Getting URL from Server h.example/pb"};
        if (!c.failedOption.empty())
            expected.push_back("ERROR - ReqId 5, Failed in SetOption for Proxy " + c.failedOption);
        expected.push_back("ReqId 5, Response Received - Status Code is 200");
        EXPECT_EQ(Messages(Log(mark), "CPlaytally::PostURL"), expected);
    }
}

TEST_F(TransportTest, GetReadsTheBodyOnlyWithStatus200) {
    FakeNetQueue(Answer(200, "UPTODATE\n"));
    std::string response;
    size_t mark = Log().size();
    EXPECT_EQ(engine.GetURL("h.example", "/hs", "?p=1.1&c=wmp", response, 3), 200);
    EXPECT_EQ(response, "UPTODATE\n");
    EXPECT_EQ(engine.m_lastSubmitTime.load(), kNoon);
    std::vector<FakeNetRequest> requests = FakeNetRequests();
    ASSERT_EQ(requests.size(), 1u);
    ExpectCommonParts(requests[0], "h.example");
    EXPECT_EQ(requests[0].verb, "GET");
    EXPECT_EQ(requests[0].object, "/hs?p=1.1&c=wmp");
    EXPECT_EQ(requests[0].headers, "");
    EXPECT_EQ(requests[0].data, "");
    EXPECT_EQ(requests[0].timeoutMs, 30000u);
    EXPECT_EQ(Messages(Log(mark), "CPlaytally::GetURL"),
              (Lines{"ReqId 3, Getting URL from Server h.example/hs?p=1.1&c=wmp",
                     "ReqId 3, Response Received - Status Code is 200"}));

    SetFakeClockNow(kLater);
    for (uint32_t status : {500u, 204u}) {
        FakeNetReset();
        FakeNetQueue(Answer(status, "oops"));
        EXPECT_EQ(engine.GetURL("h.example", "/hs", "", response, 4), static_cast<int>(status));
        EXPECT_EQ(response, "UPTODATE\n");
        EXPECT_EQ(engine.m_lastSubmitTime.load(), kNoon);
        EXPECT_EQ(FakeNetOpenHandles(), 0);
        ASSERT_EQ(FakeNetRequests().size(), 1u);
        EXPECT_TRUE(FakeNetRequests()[0].readSizes.empty());
    }
}

TEST_F(TransportTest, FailedStepLogsOneErrorAndClosesItsHandles) {
    const struct {
        FakeNetStep step;
        const char* name;
    } steps[] = {{FAKE_NET_OPEN, "InternetOpen"},
                 {FAKE_NET_CONNECT, "InternetConnect"},
                 {FAKE_NET_OPEN_REQUEST, "HttpOpenRequest"},
                 {FAKE_NET_SEND, "HttpSendRequest"}};
    for (bool post : {true, false}) {
        std::string module = post ? "CPlaytally::PostURL" : "CPlaytally::GetURL";
        for (const auto& s : steps) {
            SCOPED_TRACE(module + " " + s.name);
            FakeNetReset();
            FakeNetAnswer answer = Answer(200, "OK\n", s.step);
            answer.error = 12000u + s.step;
            FakeNetQueue(answer);
            engine.m_lastSubmitTime = 0;
            std::string response = "kept";
            size_t mark = Log().size();
            int status = post ? engine.PostURL("h.example", "/p", "b", response, 11)
                              : engine.GetURL("h.example", "/p", "?q", response, 11);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(response, "kept");
            EXPECT_EQ(engine.m_lastSubmitTime.load(), 0);
            EXPECT_EQ(FakeNetOpenHandles(), 0);
            std::string error = "ERROR - ReqID 11, " + std::string(s.name) +
                                " - The operation failed (" + std::to_string(answer.error) + ") - ";
            EXPECT_EQ(Messages(Log(mark), module),
                      (Lines{"ReqId 11, Getting URL from Server h.example/p" +
                                 std::string(post ? "b" : "?q"),
                             error}));
        }
    }
}

TEST_F(TransportTest, ParseResponseSplitsLines) {
    Lines lines;
    size_t mark = Log().size();
    EXPECT_FALSE(engine.ParseReponse("", lines));
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(
        Contains(Log(mark), "\tCPlaytally::ParseReponse\t\tERROR - Response was invalid\r\n"));

    const struct {
        std::string response;
        bool ok;
        Lines lines;
    } cases[] = {
        {"OK\n", true, {"OK"}},
        {"OK", true, {"OK"}},
        {"A\r\nB", true, {"A\r", "B"}},
        {"\nA\n\nB\n", true, {"A", "B"}},
        {"<html>no script", false, {}},
        {"<script>OK</script>", false, {}},
        {"<html><script>OK\nINTERVAL 5\n</script></html>", true, {"OK", "INTERVAL 5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.response);
        lines.clear();
        EXPECT_EQ(engine.ParseReponse(c.response, lines), c.ok);
        EXPECT_EQ(lines, c.lines);
    }
}

// The submit address a handshake names keeps its scheme and port; a plain one
// on port 80 is read, logged and posted to exactly as always. What cannot be
// used leaves the last address in place: another scheme, a bad port, a plain
// address after a handshake over HTTPS, escapes that would forge headers. A
// play whose secure connection then fails (`error`) is cached, and the status
// says why (`shown`); a failure that is none of TLS leaves it as it was.
TEST_F(TransportTest, SubmitAddressesKeepTheirSchemeAndPort) {
    const struct {
        std::string url;
        bool secureHandshake;
        const char* server;  // nullptr: refused
        const char* path = nullptr;
        uint32_t flags = 0;
        int port = 0;
        const char* host = nullptr;  // the Host header
        uint32_t error = 0;
        const char* shown = nullptr;
    } cases[] = {
        {"  http://post.kelmar.example/submit?x=1  ", false, "post.kelmar.example", "/submit",
         0x100, 80, "post.kelmar.example", 12045, "OK"},
        {"https://submit.kelmar.example/submit", false, "submit.kelmar.example", "/submit",
         0x800100, 443, "submit.kelmar.example", 12045, kCertificateNotTrusted},
        {"HTTPS://submit.kelmar.example:8443/s", true, "submit.kelmar.example", "/s", 0x800100,
         8443, "submit.kelmar.example:8443", 12157, kSecureConnectionFailed},
        {"https://s.example:443/t", true, "s.example", "/t", 0x800100, 443, "s.example", 12029,
         "OK"},
        {"http://h.example:8080/a%20b", false, "h.example", "/a b", 0x100, 8080, "h.example:8080",
         12029, "OK"},
        {"ftp://h.example/x", false, nullptr},
        {"http://h.example/x", true, nullptr},
        {"http://h.example:99999/x", false, nullptr},
        {"not a url", false, nullptr},
        {"http://" + std::string(1100, 'h') + ".example/x", false, nullptr},
        {"http://evil.example%0d%0aX-Forged:%201/submit", false, nullptr},
        {"http://post.kelmar.example/sub%0amit", false, nullptr},
    };
    Submission play;
    play.Set("TLS Artist", "TLS Title", "", "200", "C:\\a.mp3", "");
    std::string server, path;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 60));
        engine.Set(&Settings::secureHandshake, c.secureHandshake ? 1 : 0);
        size_t mark = Log().size();
        engine.SetSubmitURL(c.url);
        Lines logged = Messages(Log(mark), "CPlaytally::SetSubmitURL");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].rfind("ERROR - ", 0) == 0, c.server == nullptr) << logged[0];
        server = c.server ? c.server : server;
        path = c.path ? c.path : path;
        EXPECT_EQ(engine.GetServer() + engine.GetSubmitPath(), server + path);
        if (!c.server) continue;
        EXPECT_TRUE(c.port != 80 ||
                    logged[0] == "New server is " + server + ", new path is " + path)
            << logged[0];
        // After an accepted post, the play's failed one.
        engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Submission(), 0, 200);
        FakeNetReset();
        FakeNetAnswer failed = Answer(200, "", FAKE_NET_SEND);
        failed.error = c.error;
        FakeNetQueue(failed);
        ASSERT_EQ(engine.SpawnThread("s=1", REQUEST_SUBMIT, play), 1);
        ASSERT_TRUE(engine.WaitForWorkers(10000));
        std::vector<FakeNetRequest> requests = FakeNetRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].server + requests[0].object, server + path);
        EXPECT_EQ(requests[0].port, c.port);
        EXPECT_EQ(requests[0].flags, c.flags);
        EXPECT_EQ(requests[0].headers,
                  std::string("Content-Type: application/x-www-form-urlencoded\nHost: ") + c.host);
        EXPECT_EQ(engine.GetServerStatus(), c.shown);
        EXPECT_EQ(engine.m_cache.RemoveRecords({play}).records.size(), 1u);
    }
}

TEST_F(TransportTest, AnOverlongAnswerIsCut) {
    FakeNetAnswer answer;
    answer.body = std::string(3 * 1024 * 1024, 'x');
    FakeNetQueue(answer);
    std::string response;
    EXPECT_EQ(engine.PostURL("post.kelmar.example", "/submit", "s=1", response, 4), 200);
    EXPECT_GE(response.size(), 1024u * 1024u);
    EXPECT_LT(response.size(), 1024u * 1024u + 8192u);
    EXPECT_TRUE(Contains(Log(), "ReqId 4, Response cut after"));
}
