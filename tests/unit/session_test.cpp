// The engine's side of the exchanges with the service: the handshake and its
// session, request dispatch and the answers to submissions and flushes, and
// the per-track timing that hands tracks on.
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

#include "diagnostics/translate.h"
#include "engine/clock.h"
#include "engine/submission_answer.h"
#include "engine/user_prompt.h"
#include "record/md5.h"
#include "record/text_encoding.h"
#include "tests/unit/engine_fixture.h"

namespace {

const char kDigest[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";
const char kBadAuth[] =
    "Your username/password are invalid. Please check them in the config dialog.";

Submission Track(const std::string& artist, bool stamped = true, const char* account = nullptr) {
    Submission s;
    s.Set(artist, "Title", "Album", "215", "C:\\Music\\track.mp3", "");
    if (stamped) s.StampTime(1101101971);
    if (account) s.TagAccount(account);
    return s;
}

void Connect(bool connected) {
    FakeNetwork network;
    network.connected = connected;
    SetFakeNetwork(network);
}

// Request `i` as "VERB host/object".
std::string Sent(size_t i) {
    FakeNetRequest r = FakeNetRequests().at(i);
    return r.verb + " " + r.server + r.object;
}

// The artists in order, "-" for an empty record.
std::string Artists(const std::vector<Submission>& list) {
    std::string names;
    for (const Submission& s : list)
        names += (names.empty() ? "" : " ") + (s.Artist().empty() ? "-" : s.Artist());
    return names;
}

// The prompts shown, as "caption [style] text" lines.
std::string Prompts() {
    std::string all;
    for (const FakePromptRecord& p : FakePrompts())
        all += p.caption + " [" + std::to_string(p.style) + "] " + p.text + "\n";
    return all;
}

class SessionTest : public EngineFixture {
  protected:
    void SetUp() override {
        EngineFixture::SetUp();
        engine.Set(&Settings::username, "listener");
        engine.Set(&Settings::password, kDigest);
    }
    // A session as a 4-line handshake leaves it.
    void OpenSession() {
        Shake("UPTODATE\nchallenge1\nhttp://post.kelmar.example/submit\nINTERVAL 0\n", 0);
        engine.m_lastSubmitTime = 0;
        ASSERT_EQ(engine.m_handshakeComplete, 1);
    }
    void Settle() { ASSERT_TRUE(engine.WaitForWorkers(10000)); }
    // An answer as the worker hands it over.
    void Shake(const std::string& answer, int id = 1, int status = 200) {
        engine.ThreadCallback(REQUEST_HANDSHAKE, answer, Submission(), id, status);
    }
    // A flush of the cache, answered with `answer`.
    void Flush(const std::string& answer, uint32_t status = 200) {
        FakeNetQueue({status, answer});
        engine.ClearCache();
        Settle();
    }
    bool Logged(const std::string& text, size_t from = 0) { return Contains(Log(from), text); }
    std::string Cached() {  // the cached artists, in order
        std::vector<Submission> list;
        for (int i = 0; i < engine.m_cache.GetCount(); ++i)
            list.push_back(engine.m_cache.GetAt(i));
        return Artists(list);
    }
};

}  // namespace

TEST_F(SessionTest, HandshakeOpensASessionAndLaterOnesGoToTheSubmitHost) {
    FakeNetQueue({200,
                  "UPTODATE\r\nabc123\r\n  http://post.kelmar.example:8080/submit?x=1 \r\n"
                  "INTERVAL 7\r\n"});
    engine.DoHandshake();
    Settle();
    EXPECT_EQ(Sent(0), std::string("GET ") + kDefaultHandshakeHost +
                           "?hs=true&p=1.1&v=1.2.1&c=wmp&u=listener");
    EXPECT_EQ(engine.GetChallengeResponse(), Md5Hex(std::string(kDigest) + "abc123"));
    EXPECT_EQ(engine.GetServer() + engine.GetSubmitPath(), "post.kelmar.example/submit");
    EXPECT_EQ(engine.GetServerStatus(), "UPTODATE\r");
    for (const char* line : {"Handshake Response - Plugin is uptodate", "New Interval is 7",
                             "Server handshake completed OK"})
        EXPECT_TRUE(Logged(std::string("ReqID 0, ") + line)) << line;

    // A new handshake goes to the last submit host, at its root; a 3-line
    // answer keeps the challenge response. The user name goes in as stored.
    engine.Set(&Settings::username, "a b&c");
    engine.m_handshakeComplete = 0;
    engine.m_lastHandshakeAttempt = 0;
    FakeNetQueue({200, "UPTODATE\nhttp://other.example/s2\nINTERVAL 9\n"});
    engine.DoHandshake();
    Settle();
    EXPECT_EQ(Sent(1), "GET post.kelmar.example?hs=true&p=1.1&v=1.2.1&c=wmp&u=a b&c");
    EXPECT_EQ(engine.GetChallengeResponse(), Md5Hex(std::string(kDigest) + "abc123"));
    EXPECT_EQ(engine.GetServer(), "other.example");
}

TEST_F(SessionTest, EveryAnswerToAHandshake) {
    SetFakeClockNow(MakeDateTime(2026, 12, 7, 10, 0, 0));
    const std::string up = "UPTODATE\nhttp://h.example/p\n";
    // answer, HTTP status, session open, interval, server status (when set), logged
    for (auto [answer, status, session, interval, shown, logged] :
         std::vector<std::tuple<std::string, int, int, int, const char*, const char*>>{
             // Only 3 or 4 lines open a session; one line is a refusal, not a wait.
             {"BADUSER\n", 200, 0, 0, "BADUSER",
              "ReqID 4, Unexpected handshake response - 1 responses received - BADUSER\n"},
             {up, 200, 0, 0, nullptr, "ReqID 4, Unexpected handshake response - 2 responses"},
             {"UPTODATE\nc\nhttp://h.example/p\nINTERVAL 3\nmore\n", 200, 0, 0, nullptr,
              "ReqID 4, Unexpected handshake response - 5 responses received"},
             {"", 500, 0, 0, "UNREADABLE", "ReqID 4, Last response from the server was unreadable"},
             {"<html>Proxy login</html>", 407, 0, 0, "Proxy authentication required", "(407)"},
             // An unknown status is logged and opens no session.
             {"FAILED\nc\nhttp://h.example/p\nINTERVAL 3\n", 200, 0, 3, "FAILED",
              "ReqID 4, Unknown version status reponse in handshake"},
             // Nor does a refusal whose reason holds the word.
             {"FAILED Please UPDATE your client\nc\nhttp://h.example/p\nINTERVAL 3\n", 200, 0, 3,
              "FAILED Please UPDATE your client",
              "ReqID 4, Unknown version status reponse in handshake"},
             {"UPDATE \nhttp://h.example/p\nINTERVAL 60", 200, 1, 60, "UPDATE ",
              "ReqID 4, New Interval is 60"},
             {up + "INTERVAL", 200, 1, 60, "UPTODATE", "ReqID 4, New Interval is 60"},
             {up + "NEXT INTERVAL 30", 200, 1, 60, "UPTODATE", "ReqID 4, Missing Interval from"},
             {up + "interval 30", 200, 1, 60, "UPTODATE", "ReqID 4, Missing Interval from"},
             {up + "INTERVAL 6O", 200, 1, 60, "UPTODATE", "interval because data was bobbins - 6O"},
             {up + "INTERVAL -5", 200, 1, 60, "UPTODATE", "interval because data was bobbins - -5"},
             {up + "INTERVAL 99999999999", 200, 1, 60, "UPTODATE", "bobbins - 99999999999"},
             // A submit address that cannot be used opens no session.
             {"UPTODATE\nftp://h.example/p\nINTERVAL 60\n", 200, 0, 60, kSubmitAddressRefused,
              "ReqID 4, Handshake answer names no submit address to use - no session"},
             // A request that got no answer says so until one comes.
             {"", 0, 0, 60, kServiceNotReached, "ReqID 4, No answer to the handshake"},
         }) {
        SCOPED_TRACE(answer);
        size_t mark = Log().size();
        engine.m_handshakeComplete = 0;
        Shake(answer, 4, status);
        EXPECT_EQ(engine.m_handshakeComplete, session);
        EXPECT_EQ(engine.m_interval, interval);
        EXPECT_TRUE(!shown || engine.GetServerStatus() == shown) << engine.GetServerStatus();
        EXPECT_TRUE(Logged(logged, mark));
    }
    EXPECT_EQ(engine.m_lastHandshakeAttempt, MakeDateTime(2026, 12, 7, 10, 0, 0));
    // Nor, after a handshake over HTTPS, does a plain one (nor the plain one kept).
    engine.Set(&Settings::secureHandshake, 1);
    engine.m_handshakeComplete = 0;
    Shake(up + "INTERVAL 60", 4);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.GetServerStatus(), kSubmitAddressRefused);
    Shake("UPTODATE\nhttps://h.example/p\nINTERVAL 60\n", 4);
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_EQ(engine.GetServerStatus(), "UPTODATE");
}

TEST_F(SessionTest, UpdateOfferBlocksOnlyItsWorkerAndOpensTheSite) {
    FakePromptReset(PROMPT_ANSWER_YES);
    FakePromptHold(true);
    FakeNetQueue({200, "UPDATE  http://kelmar.example/get \nc\nhttp://h.example/p\nINTERVAL 1\n"});
    engine.DoHandshake();
    while (FakePrompts().empty())
        std::this_thread::yield();
    // Still in flight while the user thinks: no second handshake starts.
    EXPECT_EQ(engine.m_handshakeInProgress, 1);
    engine.m_lastHandshakeAttempt = 0;
    engine.DoHandshake();
    EXPECT_EQ(FakeNetRequests().size(), 1u);
    FakePromptHold(false);
    Settle();

    EXPECT_EQ(Prompts(), "Kelmar for Winamp [" +
                             std::to_string(PROMPT_YESNO | PROMPT_ICONQUESTION) +
                             "] There is a new version of the Kelmar plugin available. Would you "
                             "like to visit the web site to download it?\n");
    EXPECT_EQ(FakeShellOpens(), std::vector<std::string>{"http://kelmar.example/get"});
    EXPECT_EQ(engine.GetUpdateUrl(), "http://kelmar.example/get");
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_TRUE(Logged(
        "Handshake Response - new Version of plugin available at http://kelmar.example/get"));

    FakePromptReset(PROMPT_ANSWER_NO);
    Shake("UPDATE HTTPS://k.example/\nhttp://h.example/p\nINTERVAL 1", 2);
    EXPECT_EQ(FakePrompts().size(), 1u) << "asked every time";
    EXPECT_TRUE(FakeShellOpens().empty());

    // Anything but a web page is never offered: the shell would run it.
    FakePromptReset(PROMPT_ANSWER_YES);
    const std::string refused =
        "ERROR - ReqID 3, Update offered at an address that is not a web page - ";
    for (const char* url : {"\\\\host\\share\\setup.exe", "file:///C:/setup.exe", "C:\\x.exe",
                            "http://k.example/\x01x", "httpx://k.example/", ""}) {
        Shake(std::string("UPDATE ") + url + "\nhttp://h.example/p\nINTERVAL 1", 3);
        EXPECT_TRUE(Logged(refused + url + "\r\n")) << url;
    }
    EXPECT_TRUE(FakePrompts().empty() && FakeShellOpens().empty());
}

TEST_F(SessionTest, HandshakeSpacingAndPreconditions) {
    const int64_t now = MakeDateTime(2026, 3, 4, 5, 6, 7);
    // password, last attempt and clock (from `now`), online, attempt counted,
    // requests sent so far, logged
    for (auto [password, last, clock, online, attempted, sent, logged] :
         std::vector<std::tuple<const char*, int64_t, int64_t, bool, bool, size_t, const char*>>{
             {"", 0, 0, true, false, 0, "Handshake already in progress."},
             {kDigest, -60, 0, true, false, 0,
              "try another Handshake (Timeout 04/03/2026 05:06:07/Now 04/03/2026 05:06:07)"},
             // Offline, the attempt still counts for the spacing.
             {kDigest, -61, 0, false, true, 0, "No Internet Connection Available"},
             {kDigest, 0, 61, true, true, 1, "Starting to shake..."},
             // The clock set back an hour: the spacing does not wait for the hour.
             {kDigest, 61, 61 - 3600, true, true, 2, "Starting to shake..."},
         }) {
        SCOPED_TRACE(logged);
        engine.Set(&Settings::password, password);
        engine.m_lastHandshakeAttempt = now + last;
        SetFakeClockNow(now + clock);
        Connect(online);
        size_t mark = Log().size();
        engine.DoHandshake();
        Settle();
        EXPECT_TRUE(Logged(logged, mark));
        EXPECT_EQ(FakeNetRequests().size(), sent);
        EXPECT_EQ(engine.m_lastHandshakeAttempt, now + (attempted ? clock : last));
    }

    // Switched off during the connectivity check: nothing goes out.
    FakeNetwork network;
    network.onCheck = [this] { engine.Disable(); };
    SetFakeNetwork(network);
    engine.m_lastHandshakeAttempt = 0;
    engine.DoHandshake();
    Settle();
    EXPECT_EQ(FakeNetRequests().size(), 2u);
    EXPECT_EQ(engine.m_handshakeInProgress, 0);
}

TEST_F(SessionTest, EveryAnswerToASubmissionAndARefusalShownOnce) {
    engine.m_cache.AddSubmission(Track("C0"));
    engine.m_cache.AddSubmission(Track("C1"));
    // answer, HTTP status, plays cached, session open, prompt, logged
    for (auto [answer, status, cached, session, shown, logged] :
         std::vector<std::tuple<const char*, int, int, int, const char*, const char*>>{
             {"OK\n", 200, 0, 1, "", "ReqID 3, Submission of 'A - Title (Album)' accepted OK"},
             {"FAILED Plugin banned\n", 200, 1, 1, "Plugin banned", "ReqID 3,  Plugin banned"},
             {"ERROR 1 bad time\n", 200, 1, 1, "1 bad time",
              "ReqID 3, ERROR for item 1 (C1 - Title (Album)) - Response was ERROR 1 bad time"},
             {"ERROR", 200, 1, 1, "", "Normal submission failed. Caching for later."},
             {"REAUTH", 200, 1, 0, "", "Normal submission failed. Caching for later."},
             {"REAUTH session gone\n", 200, 1, 0, "session gone", "ReqID 3, REAUTH session gone"},
             {"BADAUTH\n", 200, 1, 1, kBadAuth, "Normal submission failed. Caching for later."},
             // The refusal of the account replaces what came before it.
             {"FAILED BADAUTH\n", 200, 1, 1, kBadAuth, "ReqID 3,  BADAUTH"},
             // Only a first line of "OK" accepts; these letters inside a refusal do not.
             {"FAILED BROKEN\n", 200, 1, 1, "BROKEN", "ReqID 3,  BROKEN"},
             {"SOMETHING ELSE\n", 200, 1, 1, "", "Normal submission failed. Caching for later."},
             {"", 200, 1, 0, "", "ReqID 3, Last response from the server was unreadable"},
             {"<html>busy</html>", 200, 1, 0, "", "Response was invalid"},
             {"OK\n", 500, 1, 0, "", "Status Code 500"},
             {"", 0, 1, 0, "", "Status Code 0"},
             // A second line sets the interval, when it is one.
             {"OK\nINTERVAL 1\n", 200, 0, 1, "", "ReqID 3, New Interval is 1"},
             {"OK\nNEXT 5\n", 200, 0, 1, "", "ReqID 3, Interval is corrupted"},
             {"OK\nNEXT INTERVAL 5\n", 200, 0, 1, "", "ReqID 3, Interval is corrupted"},
         }) {
        SCOPED_TRACE(answer);
        engine.m_handshakeComplete = 1;
        engine.m_messageShown = 0;
        FakePromptReset();
        int before = engine.m_cache.GetCount();
        size_t mark = Log().size();
        engine.ThreadCallback(REQUEST_SUBMIT, answer, Track("A"), 3, status);
        EXPECT_EQ(engine.m_cache.GetCount() - before, cached);
        EXPECT_EQ(engine.m_handshakeComplete, session);
        EXPECT_EQ(Prompts(), *shown ? "Kelmar for Winamp [0] " + std::string(shown) + "\n" : "");
        EXPECT_TRUE(Logged(logged, mark));
        // "New Interval is" and "Interval is corrupted": only for a second line.
        EXPECT_EQ(Logged("nterval is", mark), Contains(logged, "nterval is"));
    }

    // A refusal is shown once, until something else comes.
    for (const char* answer : {"BADAUTH\n", "BADAUTH\n", "OK\n", "BADAUTH\n"})
        engine.ThreadCallback(REQUEST_SUBMIT, answer, Track("A"), 1, 200);
    EXPECT_EQ(FakePrompts().size(), 2u);
    EXPECT_EQ(engine.GetLastMessage(), kBadAuth);
    FakePromptReset();
    engine.Set(&Settings::showErrors, 0);
    engine.ThreadCallback(REQUEST_SUBMIT, "FAILED other\n", Track("A"), 2, 200);
    EXPECT_TRUE(FakePrompts().empty());
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Track("A"), 3, 200);
    EXPECT_EQ(engine.GetLastMessage(), "");
}

TEST_F(SessionTest, FlushSendsABatchAndRemovesItOnlyWhenAccepted) {
    OpenSession();
    std::vector<Submission> items;
    for (int i = 0; i < 12; ++i)
        items.push_back(Track("C" + std::to_string(i)));
    engine.m_cache.AddSubmissions(items);
    engine.Set(&Settings::maxCacheSubs, 10);

    Flush("FAILED try later\n");
    EXPECT_EQ(Sent(0), "POST post.kelmar.example/submit");
    items.resize(10);
    EXPECT_EQ(FakeNetRequests()[0].data,
              BuildSubmissionBody(engine.GetChallengeResponse(), "listener", items));
    EXPECT_TRUE(Logged("Sending Cache File - 10 entries, data len"));

    Flush("OK\nINTERVAL 0\n");
    EXPECT_EQ(Cached(), "C10 C11");
    EXPECT_TRUE(Logged("Submission of cache file accepted OK"));

    // An answer that cannot be read ends the session and keeps the cache.
    Flush("\n\n");
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    engine.m_handshakeComplete = 1;

    // One flush at a time; a failed one ends the session and keeps the cache.
    engine.m_flushInProgress = 1;
    engine.ClearCache();
    EXPECT_EQ(FakeNetRequests().size(), 3u);
    engine.m_flushInProgress = 0;
    Flush("OK\n", 503);
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.m_flushInProgress, 0);
}

TEST_F(SessionTest, PlaysWaitForTheAccountTheyWereHeardUnder) {
    OpenSession();  // for "listener"
    // The same account whatever its case and spacing; untagged plays go with any.
    std::vector<Submission> cached = {Track("A1", true, " Listener "), Track("B1", true, "other"),
                                      Track("U1", true, ""), Track("A2", true, "listener"),
                                      Track("B2", true, "other")};
    engine.m_cache.AddSubmissions(cached);
    Flush("ERROR 1 bad record\n");
    EXPECT_EQ(FakeNetRequests().at(0).data,
              BuildSubmissionBody(engine.GetChallengeResponse(), "listener",
                                  {cached[0], cached[2], cached[3]}));
    EXPECT_TRUE(Logged("ERROR for item 1 (U1 - Title (Album))"));
    Flush("OK\n");
    EXPECT_EQ(Cached(), "B1 B2");
    engine.TimerCallback();
    EXPECT_TRUE(Logged("\t2 cached plays wait for another account\r\n"));
    engine.ClearCache();
    EXPECT_EQ(FakeNetRequests().size(), 2u) << "nothing for this account: no request";

    // A play heard after the account changed, before its session: it waits.
    engine.Set(&Settings::username, "other");
    engine.SubmitSong(Track("B3", false));
    EXPECT_TRUE(engine.m_cache.GetAt(2).IsForAccount(MakeAccountTag("OTHER")));
    EXPECT_FALSE(engine.m_cache.GetAt(2).IsForAccount(MakeAccountTag("listener")));
}

TEST_F(SessionTest, SubmitSongSendsWhenAllowedAndCachesOtherwise) {
    // A session without a challenge: nothing can be signed, so it waits.
    Shake("UPTODATE\nhttp://h.example/p\nINTERVAL 0\n");
    engine.m_lastSubmitTime = 0;
    engine.SubmitSong(Track("Kept", false));
    EXPECT_TRUE(Logged("Invalid or missing Uname/Password. Caching Song for later."));
    EXPECT_EQ(Cached(), "Kept");

    OpenSession();
    engine.SubmitSong(Track("Sent", false));
    Settle();
    std::string body = FakeNetRequests().at(0).data;
    EXPECT_EQ(body.rfind("s=" + engine.GetChallengeResponse() + "&u=listener&a[0]=Sent&t[0]=", 0),
              0u);
    EXPECT_TRUE(Contains(body, "&i[0]=20")) << "stamped when submitted";

    engine.m_interval = 60;
    engine.m_lastSubmitTime = LocalDateTimeNow();
    engine.SubmitSong(Track("Early", false));
    EXPECT_TRUE(Logged("Not in a position to send data. Caching for later."));
    EXPECT_EQ(Cached(), "Kept Early");
    EXPECT_EQ(Artists(engine.GetLastSubmissions()), "Early Sent Kept - -");

    engine.Set(&Settings::allowCache, 0);
    engine.SubmitSong(Track("Dropped", false));  // not cached: see the count below
    engine.Set(&Settings::allowCache, 1);
    engine.SubmitSong(Submission());
    EXPECT_TRUE(Logged("Invalid Submission for"));

    // A worker that cannot start loses nothing, and leaves nothing in flight.
    engine.m_lastSubmitTime = 0;
    SetFakeThreadStartFailure(true);
    engine.SubmitSong(Track("Unsent", false));
    EXPECT_TRUE(Logged("CPlaytally::SpawnThread\t\tERROR - ReqID"));
    EXPECT_TRUE(Logged("beginthreadex"));
    EXPECT_EQ(Cached(), "Kept Early Unsent");
    engine.ClearCache();
    EXPECT_EQ(engine.m_flushInProgress, 0);
    engine.m_handshakeComplete = 0;
    engine.m_lastHandshakeAttempt = 0;
    engine.DoHandshake();
    EXPECT_EQ(engine.m_handshakeInProgress, 0);
    EXPECT_EQ(engine.GetLiveWorkers(), 0);

    engine.Set(&Settings::pluginEnabled, 0);
    engine.SubmitSong(Track("Off", false));
    EXPECT_EQ(engine.m_cache.GetCount(), 3);
    EXPECT_EQ(FakeNetRequests().size(), 1u);

    // The recent list keeps the five newest.
    for (int i = 0; i < 7; ++i)
        engine.AddLastSubmission(Track("R" + std::to_string(i)));
    EXPECT_EQ(Artists(engine.GetLastSubmissions()), "R6 R5 R4 R3 R2");
}

TEST_F(SessionTest, APlayRefusedByNameAgainAndAgainIsSetAside) {
    OpenSession();
    for (int i = 0; i < 3; ++i)
        engine.m_cache.AddSubmission(Track("C" + std::to_string(i)));
    // Refusals that name no item, or a run broken by another answer, move nothing.
    const char *down = "ERROR database down\n", *refused = "ERROR 1 bad record\n";
    for (const char* a : {down, down, down, refused, refused, "FAILED busy\n", refused, refused})
        Flush(a);
    EXPECT_EQ(engine.m_cache.GetCount(), 3);
    // A flush that got no answer says nothing of the play: the run goes on.
    Flush("", 503);
    OpenSession();
    Flush(refused);
    EXPECT_EQ(Cached(), "C0 C2");
    Submission kept = Track("C1");
    EXPECT_EQ(ReadFileBytes(dir.file("kelmar.99.cache.refused")),
              std::string(reinterpret_cast<const char*>(&kept), sizeof(kept)));
    EXPECT_TRUE(Logged("Cached play 'C1 - Title (Album)' refused 3 times in a row"));

    // The others leave with the next flush, in one rewrite of the file; a
    // batch size set below 1 by hand still sends them.
    engine.Set(&Settings::maxCacheSubs, 0);
    Flush("OK\n");
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("kelmar.99.cache")));

    // An extra service follows the same rule.
    Connect(true);
    std::string answer = "FAILED busy\n";
    FakeNetSetResponder([&](const FakeNetRequest& r) {
        if (r.server != "home.example") return FakeNetAnswer{200, "OK\n"};
        return FakeNetAnswer{
            200, r.verb == "GET" ? "UPTODATE\nc\nhttp://home.example/s\nINTERVAL 0\n" : answer};
    });
    engine.SetService(1, {"Home", "http://home.example/", "me", kDigest, 1});
    for (int i = 0; i < 3; ++i) {
        engine.SubmitSong(Track("C" + std::to_string(i)));
        Settle();
    }
    for (const char* a : {down, refused, refused, "FAILED busy\n", refused, refused, refused}) {
        answer = a;
        engine.TimerCallback();
        Settle();
    }
    EXPECT_EQ(Artists(engine.GetWaitingPlays(nullptr, engine.GetService(1).id)), "C0 C2");
}

TEST_F(SessionTest, SendingNeedsEveryConditionAtOnce) {
    const int64_t now = MakeDateTime(2026, 12, 7, 10, 0, 0);
    SetFakeClockNow(now);
    const Settings ready = engine.GetSettings();
    // what breaks, sending allowed, interval over, how it breaks
    for (const auto& [what, allowed, due, breakIt] :
         std::vector<std::tuple<const char*, bool, bool, std::function<void()>>>{
             {"all hold", true, true, [] {}},
             {"no session", false, true, [&] { engine.m_handshakeComplete = 0; }},
             {"switched off", false, true, [&] { engine.Set(&Settings::pluginEnabled, 0); }},
             {"no user name", false, true, [&] { engine.Set(&Settings::username, ""); }},
             {"no password", false, true, [&] { engine.Set(&Settings::password, ""); }},
             {"forced to cache", false, true, [&] { engine.Set(&Settings::forceCache, 1); }},
             {"interval not over", false, false, [&] { engine.m_lastSubmitTime = now - 59; }},
             // The clock set back an hour: the interval does not wait for the hour.
             {"clock set back", true, true, [&] { engine.m_lastSubmitTime = now + 3600; }},
             {"not connected", false, true, [] { Connect(false); }},
         }) {
        engine.ApplySettings(ready);
        engine.m_handshakeComplete = 1;
        engine.m_interval = 60;
        engine.m_lastSubmitTime = now - 60;
        Connect(true);
        breakIt();
        EXPECT_EQ(engine.OkToSendData(), allowed ? 1 : 0) << what;
        EXPECT_EQ(engine.GetSecondsToSend() == -1, due) << what;
    }
}

TEST_F(SessionTest, ATickShakesHandsThenFlushesThenCounts) {
    engine.m_cache.AddSubmission(Track("Cached"));
    engine.SetSong("Playing", "Title", "Album");
    engine.currentFile = "C:\\Music\\p.mp3";
    engine.OnTrackPlay();
    engine.playing = 1;
    engine.Set(&Settings::pluginEnabled, 0);
    engine.TimerCallback();
    EXPECT_FALSE(Logged("Starting to shake...")) << "switched off";

    engine.Set(&Settings::pluginEnabled, 1);
    engine.OnTrackPlay();
    size_t mark = Log().size();
    engine.TimerCallback();
    Settle();
    std::string tick = Log(mark);
    size_t shake = tick.find("Starting to shake..."), flush = tick.find("CPlaytally::OkToSendData"),
           count = tick.find("Submitting 'Playing - Title");
    EXPECT_TRUE(shake < flush && flush < count && count != std::string::npos) << tick;
}

TEST_F(SessionTest, AnExtraServiceHasItsOwnPlaysAndFailsAlone) {
    Connect(true);
    OpenSession();
    engine.m_history.SetFolder(dir.str() + "\\");
    SetFakeClockNow(MakeDateTime(2024, 5, 1, 12, 0, 0));
    // Saved at once, in a name of any script.
    ServiceSettings home{"\xD0\x94\xD0\xBE\xD0\xBC", "http://home.example:8080/archive/", "me",
                         kDigest, 1};
    unsigned changes = engine.PlaysChanges();
    engine.SetService(2, home);
    const std::string id = engine.GetService(2).id;
    // The Plays window reads again; the file is the timer's to read, never the caller's.
    EXPECT_NE(engine.PlaysChanges(), changes);
    EXPECT_EQ(engine.GetServiceState(2).waiting, -1);

    // The extra service does not answer: Kelmar's play goes all the same,
    // and the extra's waits in its own file.
    bool homeUp = false;
    FakeNetSetResponder([&](const FakeNetRequest& r) {
        FakeNetAnswer answer{200, "OK\n"};
        if (r.server != "home.example") return answer;
        if (!homeUp) answer.failAt = FAKE_NET_SEND;
        if (r.verb == "GET")
            answer.body = "UPTODATE\nc2\nhttp://home.example:8080/archive/s\nINTERVAL 0\n";
        return answer;
    });
    engine.SubmitSong(Track("A"));
    Settle();
    // The two go at once, in either order.
    std::set<std::string> first = {Sent(0).substr(0, 41), Sent(1).substr(0, 41)};
    EXPECT_EQ(first, (std::set<std::string>{"POST post.kelmar.example/submit",
                                            "GET home.example/archive/?hs=true&p=1.1&v"}));
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    EXPECT_EQ(Artists(engine.GetWaitingPlays(nullptr, id)), "A");
    EXPECT_EQ(engine.GetServiceState(2).status, "Service not reached: could not connect");
    EXPECT_TRUE(std::filesystem::exists(dir.file(ServiceCacheFileName(id))));
    EXPECT_TRUE(Logged("\xD0\x94\xD0\xBE\xD0\xBC: ReqID"));

    // Back: a handshake a minute later, then the waiting play, once.
    homeUp = true;
    SetFakeClockNow(MakeDateTime(2024, 5, 1, 12, 1, 1));
    engine.TimerCallback();
    Settle();
    engine.TimerCallback();
    Settle();
    ASSERT_EQ(FakeNetRequests().size(), 4u);
    Submission sent = Track("A");
    sent.TagAccount("me");
    EXPECT_EQ(Sent(3), "POST home.example/archive/s");
    EXPECT_EQ(FakeNetRequests()[3].data,
              BuildSubmissionBody(MakeChallengeResponse(kDigest, "c2"), "me", {sent}));
    EXPECT_EQ(engine.GetServiceState(2).waiting, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file(ServiceCacheFileName(id))));
    std::string history = ReadFileBytes(dir.file(kHistoryFileName));
    EXPECT_TRUE(Contains(history, "\tA\tTitle\tAlbum\t215\tme\tsent\t"));
    EXPECT_TRUE(Contains(history, "\tfrom cache\t\xD0\x94\xD0\xBE\xD0\xBC\r\n"));
    EXPECT_EQ(engine.GetServiceState(2).status, "OK");

    // Removed with its plays kept: the key goes and the file stays.
    homeUp = false;
    engine.SubmitSong(Track("B"));
    Settle();
    engine.RemoveService(2, false);
    EXPECT_FALSE(FakeRegistryKeyExists(engine.registryKey + "Services\\2"));
    EXPECT_TRUE(engine.GetWaitingPlays(nullptr, id).empty());
    // The same service added again has them back; read back by the next
    // start (which opens a log of its own) as an earlier version left it, without
    // an id and with the file named by its number: it takes its id, and the file.
    engine.SetService(2, home);
    EXPECT_EQ(Artists(engine.GetWaitingPlays(nullptr, id)), "B");
    FakeRegistrySetText(engine.registryKey + "Services\\2", "id", "");
    std::filesystem::rename(dir.file(ServiceCacheFileName(id)),
                            dir.file(ServiceCacheFileName("2")));
    TestPlaytally next;
    next.registryKey = engine.registryKey;
    next.StartPlaytallying(dir.str(), nullptr);
    ServiceSettings read = next.GetService(2);
    EXPECT_EQ(
        std::tie(read.id, read.name, read.handshakeUrl, read.username, read.password, read.enabled),
        std::tie(id, home.name, home.handshakeUrl, home.username, home.password, home.enabled));
    EXPECT_EQ(Artists(next.GetWaitingPlays(nullptr, id)), "B");
    EXPECT_FALSE(next.GetService(1).IsSet());
    next.Shutdown();
    // Removed with its plays discarded: they go, each with its line.
    engine.RemoveService(2, true);
    Settle();
    EXPECT_FALSE(std::filesystem::exists(dir.file(ServiceCacheFileName(id))));
    history = ReadFileBytes(dir.file(kHistoryFileName));
    EXPECT_TRUE(Contains(history, "\tB\tTitle\tAlbum\t215\tme\tremoved\t"));
    EXPECT_TRUE(Contains(history, "\t\t\xD0\x94\xD0\xBE\xD0\xBC\r\n"));
    ResetFakeClock();
}

TEST_F(SessionTest, AServiceIsKnownByWhoItIsNotByItsPlace) {
    Connect(true);
    OpenSession();
    engine.m_history.SetFolder(dir.str() + "\\");
    const int64_t noon = MakeDateTime(2024, 5, 1, 12, 0, 0);
    SetFakeClockNow(noon);
    // Home's flushes are held until the test lets them answer.
    std::mutex hold;
    std::unique_lock<std::mutex> held(hold, std::defer_lock);
    std::atomic<int> homePosts{0};
    std::string homeAnswer = "OK\n";
    FakeNetSetResponder([&](const FakeNetRequest& r) {
        FakeNetAnswer answer{200, "OK\n"};
        if (r.verb == "GET") answer.body = "UPTODATE\nc\nhttp://" + r.server + "/s\nINTERVAL 60\n";
        if (r.verb == "POST" && r.server == "home.example") {
            ++homePosts;
            std::lock_guard<std::mutex> wait(hold);
            answer.body = homeAnswer;
        }
        return answer;
    });
    const ServiceSettings homeSettings{"Home", "http://home.example/", "me", kDigest, 1};
    engine.SetService(1, homeSettings);
    std::string home = engine.GetService(1).id;
    engine.TimerCallback();  // the greeting
    Settle();
    auto flushHeld = [&](const char* artist, int64_t at) {
        held.lock();
        SetFakeClockNow(at);
        int before = homePosts;
        engine.SubmitSong(Track(artist));  // queued, and its flush goes out
        while (homePosts == before)
            std::this_thread::yield();
    };
    // Removed with its plays kept while a flush is out, and added again at
    // once: the play that flush carried goes once.
    flushHeld("Once", noon + 61);
    engine.RemoveService(1, false);
    engine.SetService(1, homeSettings);
    engine.TimerCallback();  // before the answer comes
    held.unlock();
    Settle();
    SetFakeClockNow(noon + 200);
    engine.TimerCallback();
    Settle();
    EXPECT_EQ(homePosts, 1);
    EXPECT_EQ(engine.GetServiceState(1).waiting, 0);
    // Removed with its plays discarded while a flush is out; another
    // service takes its place, under its name.
    homeAnswer = "FAILED busy\n";
    flushHeld("A", noon + 400);
    engine.RemoveService(1, true);
    engine.SetService(1, {"Home", "http://other.example/", "me", kDigest, 1});
    EXPECT_NE(engine.GetService(1).id, home);
    held.unlock();
    Settle();
    EXPECT_EQ(homePosts, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file(ServiceCacheFileName(home))));
    EXPECT_TRUE(Contains(ReadFileBytes(dir.file(kHistoryFileName)),
                         "\tA\tTitle\tAlbum\t215\tme\tremoved\t"));
    // The new service never gets the play; and the clock set back an hour
    // holds up none of its own.
    engine.TimerCallback();
    Settle();
    SetFakeClockNow(noon - 3600);
    engine.SubmitSong(Track("B"));
    Settle();
    Submission b = Track("B", true, "me");
    std::vector<std::string> other;
    for (const FakeNetRequest& r : FakeNetRequests()) {
        if (r.server == "other.example") other.push_back(r.verb + " " + r.data);
    }
    EXPECT_EQ(other, (std::vector<std::string>{
                         "GET ", "POST " + BuildSubmissionBody(MakeChallengeResponse(kDigest, "c"),
                                                               "me", {b})}));
    ResetFakeClock();
}

namespace {

// The wrong-password box in German, with the service's own words after it in
// the ANSI code page: both read as they are.
TEST_F(SessionTest, WrongPasswordBoxTranslatedKeepsTheServicesAnsiWords) {
    Catalogue german;
    german.language = "de";
    german.texts[kBadAuthMessage] = {"Benutzername oder Kennwort ist ung\xc3\xbcltig."};
    InstallCatalogue(german);
    engine.m_handshakeComplete = 1;
    engine.m_messageShown = 0;
    FakePromptReset();
    engine.ThreadCallback(REQUEST_SUBMIT, "BADAUTH Mot de passe refus\xe9\n", Track("A"), 3, 200);
    InstallCatalogue(Catalogue());
    ASSERT_EQ(FakePrompts().size(), 1u);
    EXPECT_EQ(Utf8OrAnsi(FakePrompts()[0].text),
              "Benutzername oder Kennwort ist ung\xc3\xbcltig.\r\n Mot de passe refus\xc3\xa9");
}

}  // namespace
