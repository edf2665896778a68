// The reference service as a client sees it: handshake, submission, the view,
// absolute-form targets, scripted answers, the request record, the stop, and
// what keeps a service on a home network to its owners.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "record/md5.h"
#include "tests/service/service_process.h"

using nlohmann::json;

namespace {

const char kForm[] = "application/x-www-form-urlencoded";
const char kHandshake[] = "/?hs=true&p=1.1&v=1.2.1&c=wa2&u=bob";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

bool IsChallenge(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The six pairs of item n, values already encoded.
std::string Item(int n, const std::string& artist, const std::string& title,
                 const std::string& album = "", const std::string& length = "200") {
    std::string i = "[" + std::to_string(n) + "]=";
    return "&a" + i + artist + "&t" + i + title + "&b" + i + album + "&m" + i + "&l" + i + length +
           "&i" + i + "2024-05-01%2012%3a00%3a00";
}

// Sends the bytes over a fresh connection and returns all that comes back
// until the service closes it (the requests say "Connection: close").
std::string RawExchange(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

std::string BodyOf(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

class ReferenceService : public ::testing::Test {
  protected:
    ReferenceService() { client.set_read_timeout(std::chrono::seconds(10)); }
    // A sanitizer's report in the service shows as its exit status.
    void TearDown() override { EXPECT_EQ(service.Stop(), 0); }

    // A fresh challenge for bob from a default handshake.
    std::string Challenge() {
        auto res = client.Get(kHandshake);
        std::vector<std::string> lines = res ? Lines(res->body) : std::vector<std::string>();
        return lines.size() == 4 ? lines[1] : "";
    }
    static std::string Response(const std::string& challenge) {
        return Md5Hex(Md5Hex("secret") + challenge);
    }
    std::string Submit(const std::string& body) {
        auto res = client.Post("/submit", body, kForm);
        return res ? res->body : "(no answer)";
    }

    ServiceProcess service{{"--account", "bob:secret", "--interval", "7"}};
    httplib::Client client{service.Host(), service.Port()};
};

TEST_F(ReferenceService, HandshakeThenSubmissionIsStoredOnceAndShown) {
    auto res = client.Get(kHandshake);
    ASSERT_TRUE(res);
    std::vector<std::string> lines = Lines(res->body);
    ASSERT_EQ(lines.size(), 4u) << res->body;
    EXPECT_EQ(lines[0], "UPTODATE");
    EXPECT_TRUE(IsChallenge(lines[1])) << lines[1];
    EXPECT_EQ(lines[2], "http://post.kelmar.example/submit");
    EXPECT_EQ(lines[3], "INTERVAL 7");
    EXPECT_EQ(res->body.back(), '\n');

    std::string body = "s=" + Response(lines[1]) + "&u=bob" +
                       Item(0, "Mot%c3%b6rhead", "Ace%20of%20Spades", "", "169") +
                       Item(1, "Tom%20%26%20Co", "R%26B%20%3clive%3e", "Hits%2b");
    EXPECT_EQ(Submit(body), "OK\nINTERVAL 7\n");

    json plays = service.Plays();
    ASSERT_EQ(plays.size(), 2u);
    EXPECT_EQ(plays[0]["title"], "R&B <live>");  // newest first
    EXPECT_EQ(plays[0]["album"], "Hits+");
    EXPECT_EQ(plays[1]["user"], "bob");
    EXPECT_EQ(plays[1]["artist"], "Motörhead");
    EXPECT_EQ(plays[1]["title"], "Ace of Spades");
    EXPECT_EQ(plays[1]["album"], "");
    EXPECT_EQ(plays[1]["length"], "169");
    EXPECT_EQ(plays[1]["time"], "2024-05-01 12:00:00");
    EXPECT_EQ(plays[1]["received_at"].get<std::string>().size(), 19u);

    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<td>Motörhead</td>"), std::string::npos);
    EXPECT_NE(page->body.find("<td>R&amp;B &lt;live&gt;</td>"), std::string::npos);

    // Sent again after a lost answer, beside a new play: the held one is kept once.
    body = "s=" + Response(lines[1]) + "&u=bob" +
           Item(0, "Mot%c3%b6rhead", "Ace%20of%20Spades", "", "169") +
           Item(1, "Mot%c3%b6rhead", "Ace%20of%20Spades", "", "170");
    EXPECT_EQ(Submit(body), "OK\nINTERVAL 7\n");
    EXPECT_EQ(service.Plays().size(), 3u);
    EXPECT_EQ(service.Requests().back()["duplicate"], 1);
}

TEST_F(ReferenceService, TakesASubmissionLargerThanTheLibrarysFormLimit) {
    std::string title;
    for (int i = 0; i < 120; ++i)
        title += "%c3%a9";
    std::string body = "s=" + Response(Challenge()) + "&u=bob";
    for (int n = 0; n < 10; ++n)
        body += Item(n, "Artist" + std::to_string(n), title, title);
    ASSERT_GT(body.size(), 8192u);
    EXPECT_EQ(Submit(body), "OK\nINTERVAL 7\n");
    EXPECT_EQ(service.Plays().size(), 10u);
}

TEST_F(ReferenceService, RefusesUnknownUsersWrongResponsesAndMalformedBodies) {
    auto res = client.Get("/?hs=true&p=1.1&v=1.2.1&c=wa2&u=nobody");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "BADUSER\n");

    std::string response = Response(Challenge());
    EXPECT_EQ(Submit("s=" + std::string(32, '0') + "&u=bob" + Item(0, "A", "T")), "BADAUTH\n");
    EXPECT_EQ(Submit("s=" + response + "&u=nobody" + Item(0, "A", "T")), "BADAUTH\n");

    std::string good = "s=" + response + "&u=bob";
    EXPECT_EQ(Submit("u=bob" + Item(0, "A", "T")), "FAILED missing s\n");
    EXPECT_EQ(Submit(good), "OK\nINTERVAL 7\n");  // no plays: only the password proved
    EXPECT_EQ(Submit("s=" + std::string(32, '0') + "&u=bob"), "BADAUTH\n");
    EXPECT_EQ(Submit(good + Item(1, "A", "T")), "FAILED items not numbered 0 to n-1\n");
    EXPECT_EQ(Submit(good + "&a[0]=A&t[0]=T"), "FAILED missing b[0]\n");
    EXPECT_EQ(Submit(good + Item(0, "A%zz", "T")), "FAILED bad escape in a[0]\n");
    EXPECT_EQ(Submit(good + Item(0, "A", "Caf%e9")), "FAILED not UTF-8 in t[0]\n");  // ANSI
    EXPECT_EQ(Submit(good + Item(0, "A", "T", "", "3:20")), "FAILED bad length in l[0]\n");
    EXPECT_TRUE(service.Plays().empty());
}

TEST_F(ReferenceService, RecordsAbsoluteFormRequestsExactly) {
    const std::string handshakeTarget =
        "http://post.kelmar.example:80/?hs=true&p=1.1&v=1.2.1&c=wa2&u=bob";
    std::string answer = RawExchange(service.Port(), "GET " + handshakeTarget +
                                                         " HTTP/1.1\r\n"
                                                         "User-Agent: Kelmar\r\n"
                                                         "Host: post.kelmar.example\r\n"
                                                         "Pragma: no-cache\r\n"
                                                         "Connection: close\r\n\r\n");
    std::vector<std::string> lines = Lines(BodyOf(answer));
    ASSERT_EQ(lines.size(), 4u) << answer;
    EXPECT_EQ(lines[0], "UPTODATE");

    std::string body = "s=" + Response(lines[1]) + "&u=bob" + Item(0, "A", "T");
    answer = RawExchange(service.Port(),
                         "POST http://post.kelmar.example/submit HTTP/1.1\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\n"
                         "Content-Length: " +
                             std::to_string(body.size()) +
                             "\r\n"
                             "Host: post.kelmar.example\r\nConnection: close\r\n\r\n" +
                             body);
    EXPECT_EQ(BodyOf(answer), "OK\nINTERVAL 7\n") << answer;

    // A user name the client did not encode: its space arrives raw.
    service.AddAccount("bob smith", "pw");
    const std::string spaced = "/?hs=true&p=1.1&v=1.2.1&c=wa2&u=bob smith";
    answer =
        RawExchange(service.Port(), "GET " + spaced + " HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(Lines(BodyOf(answer)).at(0), "UPTODATE") << answer;

    json requests = service.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0]["method"], "GET");
    EXPECT_EQ(requests[0]["target"], handshakeTarget);
    EXPECT_EQ(requests[0]["path"], "/");
    EXPECT_EQ(requests[0]["kind"], "handshake");
    EXPECT_EQ(requests[0]["headers"], json::parse(R"([["User-Agent","Kelmar"],
        ["Host","post.kelmar.example"],["Pragma","no-cache"],["Connection","close"]])"));
    EXPECT_EQ(requests[1]["kind"], "submit");
    EXPECT_EQ(requests[1]["path"], "/submit");
    EXPECT_EQ(requests[1]["body"], body);
    EXPECT_EQ(requests[1]["headers"][0],
              json::parse(R"(["Content-Type", "application/x-www-form-urlencoded"])"));
    EXPECT_EQ(requests[2]["target"], spaced);

    service.Reset();
    EXPECT_TRUE(service.Requests().empty());
    EXPECT_EQ(service.Plays().size(), 1u);
}

TEST_F(ReferenceService, GivesScriptedAnswersInTurn) {
    EXPECT_THROW(service.Script(json::parse(R"([{"delay": 5}])")), std::runtime_error);
    service.Script(json::parse(R"([
        {"for": "submit", "status": 500, "body": "<html>oops</html>", "content_type": "text/html"},
        {"for": "handshake", "body": "UPDATE http://get.example/new\n{challenge}\n{submit_url}\nINTERVAL {interval}\n"},
        {"silent": true}
    ])"));

    auto res = client.Get(kHandshake);
    ASSERT_TRUE(res);
    std::vector<std::string> lines = Lines(res->body);
    ASSERT_EQ(lines.size(), 4u) << res->body;
    EXPECT_EQ(lines[0], "UPDATE http://get.example/new");
    EXPECT_TRUE(IsChallenge(lines[1]));
    EXPECT_EQ(lines[2], "http://post.kelmar.example/submit");
    EXPECT_EQ(lines[3], "INTERVAL 7");

    std::string body = "s=" + Response(lines[1]) + "&u=bob" + Item(0, "A", "T");
    res = client.Post("/submit", body, kForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_EQ(res->body, "<html>oops</html>");
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html");

    httplib::Client impatient(service.Host(), service.Port());
    impatient.set_read_timeout(std::chrono::seconds(1));
    res = impatient.Post("/submit", body, kForm);
    EXPECT_FALSE(res);
    EXPECT_EQ(res.error(), httplib::Error::Read);

    // Scripted answers stored nothing; the scripted challenge still counts.
    EXPECT_TRUE(service.Plays().empty());
    EXPECT_EQ(Submit(body), "OK\nINTERVAL 7\n");
    EXPECT_EQ(service.Requests().size(), 4u);
}

TEST(ReferenceServiceStop, SigtermEndsItWithStatusZeroWhileAnAnswerIsHeld) {
    ServiceProcess service;
    service.Script(json::parse(R"([{"silent": true}])"));
    auto held = std::async(std::launch::async, [&] {
        httplib::Client client(service.Host(), service.Port());
        client.set_read_timeout(std::chrono::seconds(60));
        return static_cast<bool>(client.Get(kHandshake));
    });
    for (int i = 0; i < 500 && service.Requests().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(service.Requests().size(), 1u);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(held.get());  // closed without an answer
}

TEST(ReferenceServiceAtHome, KeepsItsControlsPasswordsAndPlaysToTheirOwners) {
    char folder[] = "/tmp/kelmar-home.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string accounts = std::string(folder) + "/accounts";
    std::ofstream(accounts) << "# name:password\n\nbob:secret\nann:pw:with:colons\n";
    const ServiceProcess::Controls kOff = ServiceProcess::Controls::kOff;
    // Refused: passwords others may read, or one on the command line.
    const struct {
        mode_t mode;
        std::vector<std::string> args;
    } kRefused[] = {{0644, {"--accounts-file", accounts}},
                    {0640, {"--accounts-file", accounts}},
                    {0600, {"--account", "bob:secret"}}};
    for (const auto& start : kRefused) {
        chmod(accounts.c_str(), start.mode);
        EXPECT_THROW(ServiceProcess(start.args, kOff), std::runtime_error) << start.args[0];
    }

    const std::string db = std::string(folder) + "/plays.db";
    ServiceProcess home({"--host", "0.0.0.0", "--accounts-file", accounts, "--db", db}, kOff);
    httplib::Client client("127.0.0.1", home.Port());
    struct stat info {};
    ASSERT_EQ(stat(db.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << "the database holds the password digests";
    for (std::string user : {"bob", "ann"}) {
        auto res = client.Get("/?hs=true&p=1.1&v=1.2.1&c=wa2&u=" + user);
        ASSERT_TRUE(res);
        std::string response =
            Md5Hex(Md5Hex(user == "bob" ? "secret" : "pw:with:colons") + Lines(res->body).at(1));
        res = client.Post("/submit", "s=" + response + "&u=" + user + Item(0, user + "Artist", "T"),
                          kForm);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, "OK\nINTERVAL 0\n");
    }

    // Beyond loopback the plays are for their account's eyes only.
    for (const char* path : {"/", "/plays"}) {
        auto res = client.Get(path);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401) << path;
        EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Basic realm=\"kelmar_service\"");
    }
    client.set_basic_auth("ann", "secret");
    EXPECT_EQ(client.Get("/plays")->status, 401);
    client.set_basic_auth("ann", "pw:with:colons");
    auto res = client.Get("/plays");
    ASSERT_TRUE(res);
    json plays = json::parse(res->body);
    ASSERT_EQ(plays.size(), 1u) << plays;
    EXPECT_EQ(plays[0]["artist"], "annArtist");
    res = client.Get("/");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("annArtist"), std::string::npos);
    EXPECT_EQ(res->body.find("bobArtist"), std::string::npos);

    // Without --test-controls: no controls, and nothing passed on to another port.
    res = client.Post("/_control/account", R"({"user": "eve", "password": "x"})", kForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    ServiceProcess loopback({}, kOff);
    std::string answer =
        RawExchange(loopback.Port(), "GET http://127.0.0.1:" + std::to_string(home.Port()) +
                                         "/?hs=true&p=1.1&v=1.2.1&c=wa2&u=bob HTTP/1.1\r\n"
                                         "Connection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 404", 0), 0u) << answer;

    EXPECT_EQ(home.Stop(), 0);
    EXPECT_EQ(loopback.Stop(), 0);
    std::filesystem::remove_all(folder);
}

}  // namespace
