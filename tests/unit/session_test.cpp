// The engine's side of the exchanges with the service: the handshake and its
// session, request dispatch and the answers to submissions and flushes, and
// the per-track timing that hands tracks on.
#include <functional>
#include <thread>

#include "engine/clock.h"
#include "engine/user_prompt.h"
#include "record/md5.h"
#include "tests/unit/engine_fixture.h"

namespace {

const char kDigest[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";
const char kBadAuth[] =
    "Your username/password are invalid. Please check them in the config dialog.";

Submission Track(const std::string& artist, bool stamped = true) {
    Submission s;
    s.Set(artist, "Title", "Album", "215", "C:\\Music\\track.mp3", "");
    if (stamped) s.StampTime(1101101971);
    return s;
}

FakeNetAnswer Answer(const std::string& body, uint32_t status = 200) {
    FakeNetAnswer a;
    a.status = status;
    a.body = body;
    return a;
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
        engine.ThreadCallback(REQUEST_HANDSHAKE,
                              "UPTODATE\nchallenge1\nhttp://post.kelmar.example/submit\n"
                              "INTERVAL 0\n",
                              Submission(), 0, 200);
        engine.m_lastSubmitTime = 0;
        ASSERT_EQ(engine.m_handshakeComplete, 1);
    }
    void Settle() { ASSERT_TRUE(engine.WaitForWorkers(10000)); }
};

}  // namespace

TEST_F(SessionTest, HandshakeOpensASessionAndLaterOnesGoToTheSubmitHost) {
    FakeNetQueue(
        Answer("UPTODATE\r\nabc123\r\n  http://post.kelmar.example:8080/submit?x=1 \r\n"
               "INTERVAL 7\r\n"));
    engine.DoHandshake();
    Settle();
    std::vector<FakeNetRequest> sent = FakeNetRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].verb, "GET");
    EXPECT_EQ(sent[0].server, kDefaultHandshakeHost);
    EXPECT_EQ(sent[0].object, "?hs=true&p=1.1&v=1.2.1&c=wmp&u=listener");
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_EQ(engine.m_handshakeInProgress, 0);
    EXPECT_EQ(engine.GetChallengeResponse(), Md5Hex(std::string(kDigest) + "abc123"));
    EXPECT_EQ(engine.GetServer(), "post.kelmar.example");
    EXPECT_EQ(engine.GetSubmitPath(), "/submit");
    EXPECT_EQ(engine.m_interval, 7);
    EXPECT_EQ(engine.GetServerStatus(), "UPTODATE\r");
    std::string log = Log();
    EXPECT_TRUE(Contains(log, "ReqID 0, Handshake Response - Plugin is uptodate"));
    EXPECT_TRUE(Contains(log, "ReqID 0, New Interval is 7"));
    EXPECT_TRUE(Contains(log, "ReqID 0, Server handshake completed OK"));
    EXPECT_TRUE(FakePrompts().empty());

    // A new handshake goes to the last submit host, at its root; a 3-line
    // answer keeps the challenge response. The user name goes in as stored.
    std::string response = engine.GetChallengeResponse();
    engine.Set(&Settings::username, "a b&c");
    engine.m_handshakeComplete = 0;
    engine.m_lastHandshakeAttempt = 0;
    FakeNetQueue(Answer("UPTODATE\nhttp://other.example/s2\nINTERVAL 9\n"));
    engine.DoHandshake();
    Settle();
    sent = FakeNetRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].server, "post.kelmar.example");
    EXPECT_EQ(sent[1].object, "?hs=true&p=1.1&v=1.2.1&c=wmp&u=a b&c");
    EXPECT_EQ(engine.GetChallengeResponse(), response);
    EXPECT_EQ(engine.GetServer(), "other.example");
    EXPECT_EQ(engine.m_interval, 9);
}

TEST_F(SessionTest, HandshakeAnswersThatOpenNoSession) {
    SetFakeClockNow(MakeDateTime(2026, 12, 7, 10, 0, 0));
    engine.ThreadCallback(REQUEST_HANDSHAKE, "BADUSER\n", Submission(), 4, 200);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.m_lastHandshakeAttempt, MakeDateTime(2026, 12, 7, 10, 0, 0));
    EXPECT_TRUE(Contains(
        Log(), "ReqID 4, Unexpected handshake response - 1 responses received - BADUSER\n"));
    EXPECT_EQ(engine.GetServerStatus(), "BADUSER") << "a refusal, not a wait";

    // Only 3 or 4 lines open a session.
    for (const char* answer : {"UPTODATE\nhttp://h.example/p\n",
                               "UPTODATE\nc\nhttp://h.example/p\nINTERVAL 3\nmore\n"}) {
        engine.ThreadCallback(REQUEST_HANDSHAKE, answer, Submission(), 4, 200);
        EXPECT_EQ(engine.m_handshakeComplete, 0) << answer;
    }
    EXPECT_TRUE(Contains(Log(), "ReqID 4, Unexpected handshake response - 5 responses received"));

    engine.ThreadCallback(REQUEST_HANDSHAKE, "", Submission(), 5, 500);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.GetServerStatus(), "UNREADABLE");
    EXPECT_TRUE(Contains(Log(), "ReqID 5, Last response from the server was unreadable"));
    engine.ThreadCallback(REQUEST_HANDSHAKE, "<html>Proxy login</html>", Submission(), 5, 407);
    EXPECT_EQ(engine.GetServerStatus(), "Proxy authentication required");

    // An unknown status is logged, and the rest of the lines still count.
    engine.ThreadCallback(REQUEST_HANDSHAKE, "FAILED\nc\nhttp://h.example/p\nINTERVAL 3\n",
                          Submission(), 6, 200);
    EXPECT_TRUE(Contains(Log(), "ReqID 6, Unknown version status reponse in handshake"));
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_EQ(engine.m_interval, 3);
}

TEST_F(SessionTest, IntervalLineOfAHandshake) {
    struct Row {
        const char* line;
        int interval;
        const char* logged;
    } rows[] = {
        {"INTERVAL 60", 60, "ReqID 1, New Interval is 60"},
        {"INTERVAL", 60, "ReqID 1, New Interval is 60"},
        {"NEXT INTERVAL 30", 60, "ReqID 1, Missing Interval from handshake"},
        {"interval 30", 60, "ReqID 1, Missing Interval from handshake"},
        {"INTERVAL 6O", 60, "Failed to set interval because data was bobbins - 6O"},
        {"INTERVAL -5", 60, "Failed to set interval because data was bobbins - -5"},
        {"INTERVAL 99999999999", 60, "bobbins - 99999999999"},
    };
    for (const Row& row : rows) {
        engine.ThreadCallback(REQUEST_HANDSHAKE,
                              std::string("UPTODATE\nhttp://h.example/p\n") + row.line,
                              Submission(), 1, 200);
        EXPECT_EQ(engine.m_interval, row.interval) << row.line;
        EXPECT_TRUE(Contains(Log(), row.logged)) << row.line;
    }
}

TEST_F(SessionTest, UpdateOfferBlocksOnlyItsWorkerAndOpensTheSite) {
    FakePromptReset(PROMPT_ANSWER_YES);
    FakePromptHold(true);
    FakeNetQueue(Answer("UPDATE  http://kelmar.example/get \nc\nhttp://h.example/p\nINTERVAL 1\n"));
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

    std::vector<FakePromptRecord> prompts = FakePrompts();
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].text,
              "There is a new version of the Kelmar plugin available. Would you like to visit the "
              "web site to download it?");
    EXPECT_EQ(prompts[0].caption, "Kelmar for Winamp");
    EXPECT_EQ(prompts[0].style, PROMPT_YESNO | PROMPT_ICONQUESTION);
    EXPECT_EQ(FakeShellOpens(), std::vector<std::string>{"http://kelmar.example/get"});
    EXPECT_EQ(engine.GetUpdateUrl(), "http://kelmar.example/get");
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_TRUE(Contains(
        Log(),
        "Handshake Response - new Version of plugin available at http://kelmar.example/get"));

    FakePromptReset(PROMPT_ANSWER_NO);
    engine.ThreadCallback(REQUEST_HANDSHAKE,
                          "UPDATE HTTPS://k.example/\nhttp://h.example/p\nINTERVAL 1", Submission(),
                          2, 200);
    EXPECT_EQ(FakePrompts().size(), 1u) << "asked every time";
    EXPECT_TRUE(FakeShellOpens().empty());

    // Anything but a web page is never offered: the shell would run it.
    FakePromptReset(PROMPT_ANSWER_YES);
    for (const char* url : {"\\\\host\\share\\setup.exe", "file:///C:/setup.exe", "C:\\x.exe",
                            "http://k.example/\x01x", "httpx://k.example/", ""}) {
        engine.ThreadCallback(REQUEST_HANDSHAKE,
                              std::string("UPDATE ") + url + "\nhttp://h.example/p\nINTERVAL 1",
                              Submission(), 3, 200);
        EXPECT_TRUE(FakePrompts().empty()) << url;
        EXPECT_TRUE(Contains(Log(), std::string("ERROR - ReqID 3, Update offered at an address "
                                                "that is not a web page - ") +
                                        url))
            << url;
    }
    EXPECT_TRUE(FakeShellOpens().empty());
}

TEST_F(SessionTest, HandshakeSpacingAndPreconditions) {
    const int64_t now = MakeDateTime(2026, 3, 4, 5, 6, 7);
    SetFakeClockNow(now);
    engine.Set(&Settings::password, "");
    engine.DoHandshake();
    EXPECT_TRUE(Contains(Log(), "Handshake already in progress."));
    engine.Set(&Settings::password, kDigest);

    engine.m_lastHandshakeAttempt = now - 60;
    engine.DoHandshake();
    EXPECT_TRUE(
        Contains(Log(),
                 "Too soon to try another Handshake (Timeout 04/03/2026 05:06:07/Now 04/03/2026 "
                 "05:06:07)"));
    EXPECT_TRUE(FakeNetRequests().empty());

    FakeNetwork offline;
    offline.connected = false;
    offline.flags = 0;
    SetFakeNetwork(offline);
    engine.m_lastHandshakeAttempt = now - 61;
    engine.DoHandshake();
    EXPECT_TRUE(Contains(Log(), "No Internet Connection Available"));
    EXPECT_EQ(engine.m_lastHandshakeAttempt, now) << "the attempt counts for the spacing";
    EXPECT_TRUE(FakeNetRequests().empty());

    SetFakeNetwork(FakeNetwork());
    SetFakeClockNow(now + 61);
    engine.DoHandshake();
    Settle();
    EXPECT_EQ(FakeNetRequests().size(), 1u);
    EXPECT_EQ(engine.m_lastHandshakeAttempt, now + 61);

    // The clock set back an hour: the spacing does not wait for the hour.
    engine.m_handshakeComplete = 0;
    SetFakeClockNow(now + 61 - 3600);
    engine.DoHandshake();
    Settle();
    EXPECT_EQ(FakeNetRequests().size(), 2u);
}

TEST_F(SessionTest, EveryAnswerToASubmission) {
    struct Row {
        const char* response;
        int status;
        bool cached;
        int session;
        const char* shown;
        const char* logged;
    } rows[] = {
        {"OK\n", 200, false, 1, "", "ReqID 3, Submission of 'A - Title (Album)' accepted OK"},
        {"FAILED Plugin banned\n", 200, true, 1, "Plugin banned", "ReqID 3,  Plugin banned"},
        {"ERROR 1 bad time\n", 200, true, 1, "1 bad time",
         "ReqID 3, ERROR for item 1 (C1 - Title (Album)) - Response was ERROR 1 bad time"},
        {"ERROR", 200, true, 1, "", "Normal submission failed. Caching for later."},
        {"REAUTH", 200, true, 0, "", "Normal submission failed. Caching for later."},
        {"REAUTH session gone\n", 200, true, 0, "session gone", "ReqID 3, REAUTH session gone"},
        {"BADAUTH\n", 200, true, 1, kBadAuth, "Normal submission failed. Caching for later."},
        // The refusal of the account replaces what came before it.
        {"FAILED BADAUTH\n", 200, true, 1, kBadAuth, "ReqID 3,  BADAUTH"},
        // Only a first line of "OK" accepts; these letters inside a refusal do not.
        {"FAILED BROKEN\n", 200, true, 1, "BROKEN", "ReqID 3,  BROKEN"},
        {"SOMETHING ELSE\n", 200, true, 1, "", "Normal submission failed. Caching for later."},
        {"", 200, true, 0, "", "ReqID 3, Last response from the server was unreadable"},
        {"<html>busy</html>", 200, true, 0, "", "Response was invalid"},
        {"OK\n", 500, true, 0, "", "Status Code 500"},
        {"", 0, true, 0, "", "Status Code 0"},
    };
    engine.m_cache.AddSubmission(Track("C0"));
    engine.m_cache.AddSubmission(Track("C1"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.response);
        engine.m_handshakeComplete = 1;
        engine.m_messageShown = 0;
        FakePromptReset();
        int before = engine.m_cache.GetCount();
        engine.ThreadCallback(REQUEST_SUBMIT, row.response, Track("A"), 3, row.status);
        EXPECT_EQ(engine.m_cache.GetCount() - before, row.cached ? 1 : 0);
        EXPECT_EQ(engine.m_handshakeComplete, row.session);
        std::vector<FakePromptRecord> prompts = FakePrompts();
        if (*row.shown) {
            ASSERT_EQ(prompts.size(), 1u);
            EXPECT_EQ(prompts[0].text, row.shown);
            EXPECT_EQ(prompts[0].caption, "Kelmar for Winamp");
            EXPECT_EQ(prompts[0].style, PROMPT_OK);
        } else {
            EXPECT_TRUE(prompts.empty());
        }
        EXPECT_TRUE(Contains(Log(), row.logged));
    }
}

TEST_F(SessionTest, ARefusalIsShownOnceUntilSomethingElseComes) {
    for (int i = 0; i < 2; ++i)
        engine.ThreadCallback(REQUEST_SUBMIT, "BADAUTH\n", Track("A"), i, 200);
    EXPECT_EQ(FakePrompts().size(), 1u);
    EXPECT_EQ(engine.GetLastMessage(), kBadAuth);
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Track("A"), 2, 200);
    EXPECT_EQ(engine.GetLastMessage(), "");
    engine.ThreadCallback(REQUEST_SUBMIT, "BADAUTH\n", Track("A"), 3, 200);
    EXPECT_EQ(FakePrompts().size(), 2u);

    FakePromptReset();
    engine.Set(&Settings::showErrors, 0);
    engine.ThreadCallback(REQUEST_SUBMIT, "FAILED other\n", Track("A"), 4, 200);
    EXPECT_TRUE(FakePrompts().empty());
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Track("A"), 5, 200);
    EXPECT_EQ(engine.GetLastMessage(), "");
}

TEST_F(SessionTest, SecondLineOfAnAnswerSetsTheInterval) {
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\nINTERVAL 1\n", Track("A"), 1, 200);
    EXPECT_EQ(engine.m_interval, 1);
    EXPECT_TRUE(Contains(Log(), "ReqID 1, New Interval is 1"));
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\nNEXT 5\n", Track("A"), 2, 200);
    EXPECT_TRUE(Contains(Log(), "ReqID 2, Interval is corrupted"));
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\nNEXT INTERVAL 5\n", Track("A"), 4, 200);
    EXPECT_TRUE(Contains(Log(), "ReqID 4, Interval is corrupted"));
    EXPECT_EQ(engine.m_interval, 1);
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Track("A"), 3, 200);
    EXPECT_FALSE(Contains(Log(), "ReqID 3, New Interval"));
    EXPECT_FALSE(Contains(Log(), "ReqID 3, Interval is"));
}

TEST_F(SessionTest, FlushSendsABatchAndRemovesItOnlyWhenAccepted) {
    OpenSession();
    for (int i = 0; i < 12; ++i)
        engine.m_cache.AddSubmission(Track("C" + std::to_string(i)));
    engine.Set(&Settings::maxCacheSubs, 10);

    FakeNetQueue(Answer("FAILED try later\n"));
    engine.ClearCache();
    Settle();
    ASSERT_EQ(FakeNetRequests().size(), 1u);
    FakeNetRequest sent = FakeNetRequests()[0];
    EXPECT_EQ(sent.verb, "POST");
    EXPECT_EQ(sent.server, "post.kelmar.example");
    EXPECT_EQ(sent.object, "/submit");
    std::vector<Submission> items;
    for (int i = 0; i < 10; ++i)
        items.push_back(Track("C" + std::to_string(i)));
    EXPECT_EQ(sent.data, BuildSubmissionBody(engine.GetChallengeResponse(), "listener", items));
    EXPECT_EQ(engine.m_cache.GetCount(), 12);
    EXPECT_EQ(engine.m_flushInProgress, 0);
    EXPECT_TRUE(Contains(Log(), "Sending Cache File - 10 entries, data len"));

    FakeNetQueue(Answer("OK\nINTERVAL 0\n"));
    engine.ClearCache();
    Settle();
    ASSERT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_cache.GetAt(0).Artist(), "C10");
    EXPECT_EQ(engine.m_cache.GetAt(1).Artist(), "C11");
    EXPECT_TRUE(Contains(Log(), "Submission of cache file accepted OK"));

    // An answer that cannot be read ends the session and keeps the cache.
    FakeNetQueue(Answer("\n\n"));
    engine.ClearCache();
    Settle();
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    engine.m_handshakeComplete = 1;

    // One flush at a time; a failed one ends the session and keeps the cache.
    engine.m_flushInProgress = 1;
    engine.ClearCache();
    EXPECT_EQ(FakeNetRequests().size(), 3u);
    engine.m_flushInProgress = 0;
    FakeNetQueue(Answer("OK\n", 503));
    engine.ClearCache();
    Settle();
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.m_flushInProgress, 0);
}

TEST_F(SessionTest, PlaysWaitForTheAccountTheyWereHeardUnder) {
    OpenSession();  // for "listener"
    auto play = [](const char* artist, const char* account) {
        Submission s = Track(artist);
        s.TagAccount(account);
        return s;
    };
    // The same account whatever its case and spacing; untagged plays go with any.
    std::vector<Submission> cached = {play("A1", " Listener "), play("B1", "other"), play("U1", ""),
                                      play("A2", "listener"), play("B2", "other")};
    engine.m_cache.AddSubmissions(cached);
    auto flush = [&](const char* answer) {
        FakeNetQueue(Answer(answer));
        engine.ClearCache();
        Settle();
    };
    flush("ERROR 1 bad record\n");
    ASSERT_EQ(FakeNetRequests().size(), 1u);
    EXPECT_EQ(FakeNetRequests()[0].data,
              BuildSubmissionBody(engine.GetChallengeResponse(), "listener",
                                  {cached[0], cached[2], cached[3]}));
    EXPECT_TRUE(Contains(Log(), "ERROR for item 1 (U1 - Title (Album))"));
    flush("OK\n");
    ASSERT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_cache.GetAt(0).Artist(), "B1");
    EXPECT_EQ(engine.m_cache.GetAt(1).Artist(), "B2");
    engine.TimerCallback();
    EXPECT_TRUE(Contains(Log(), "\t2 cached plays wait for another account\r\n"));
    engine.ClearCache();
    EXPECT_EQ(FakeNetRequests().size(), 2u) << "nothing for this account: no request";

    // A play heard after the account changed, before its session: it waits.
    engine.Set(&Settings::username, "other");
    engine.SubmitSong(Track("B3", false));
    EXPECT_EQ(FakeNetRequests().size(), 2u);
    EXPECT_TRUE(engine.m_cache.GetAt(2).IsForAccount(MakeAccountTag("OTHER")));
    EXPECT_FALSE(engine.m_cache.GetAt(2).IsForAccount(MakeAccountTag("listener")));
}

TEST_F(SessionTest, SubmitSongSendsWhenAllowedAndCachesOtherwise) {
    OpenSession();
    engine.SubmitSong(Track("Sent", false));
    Settle();
    ASSERT_EQ(FakeNetRequests().size(), 1u);
    std::string body = FakeNetRequests()[0].data;
    EXPECT_EQ(body.rfind("s=" + engine.GetChallengeResponse() + "&u=listener&a[0]=Sent&t[0]=", 0),
              0u);
    EXPECT_TRUE(Contains(body, "&i[0]=20")) << "stamped when submitted";
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    EXPECT_EQ(engine.GetLastSubmissions()[0].Artist(), "Sent");

    engine.m_interval = 60;
    engine.m_lastSubmitTime = LocalDateTimeNow();
    engine.SubmitSong(Track("Early", false));
    EXPECT_TRUE(Contains(Log(), "Not in a position to send data. Caching for later."));
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    EXPECT_EQ(engine.GetLastSubmissions()[0].Artist(), "Early");
    EXPECT_EQ(engine.GetLastSubmissions()[1].Artist(), "Sent");

    engine.Set(&Settings::allowCache, 0);
    engine.SubmitSong(Track("Dropped", false));
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    engine.Set(&Settings::allowCache, 1);

    Submission invalid;
    engine.SubmitSong(invalid);
    EXPECT_TRUE(Contains(Log(), "Invalid Submission for"));
    engine.Set(&Settings::pluginEnabled, 0);
    engine.SubmitSong(Track("Off", false));
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    EXPECT_EQ(FakeNetRequests().size(), 1u);
}

TEST_F(SessionTest, ASessionWithoutAChallengeCachesInsteadOfSending) {
    engine.ThreadCallback(REQUEST_HANDSHAKE, "UPTODATE\nhttp://h.example/p\nINTERVAL 0\n",
                          Submission(), 1, 200);
    engine.m_lastSubmitTime = 0;
    engine.SubmitSong(Track("A", false));
    EXPECT_TRUE(Contains(Log(), "Invalid or missing Uname/Password. Caching Song for later."));
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    EXPECT_TRUE(FakeNetRequests().empty());
}

TEST_F(SessionTest, AWorkerThatCannotStartLosesNothing) {
    OpenSession();
    SetFakeThreadStartFailure(true);
    engine.SubmitSong(Track("A", false));
    EXPECT_TRUE(Contains(Log(), "CPlaytally::SpawnThread\t\tERROR - ReqID"));
    EXPECT_TRUE(Contains(Log(), "beginthreadex"));
    EXPECT_EQ(engine.m_cache.GetCount(), 1) << "kept for the next flush";

    engine.ClearCache();
    EXPECT_EQ(engine.m_flushInProgress, 0);
    engine.m_handshakeComplete = 0;
    engine.m_lastHandshakeAttempt = 0;
    engine.DoHandshake();
    EXPECT_EQ(engine.m_handshakeInProgress, 0);
    EXPECT_EQ(engine.GetLiveWorkers(), 0);
}

TEST_F(SessionTest, RecentListKeepsTheFiveNewest) {
    for (int i = 0; i < 7; ++i)
        engine.AddLastSubmission(Track("R" + std::to_string(i)));
    std::vector<Submission> recent = engine.GetLastSubmissions();
    ASSERT_EQ(recent.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(recent[static_cast<size_t>(i)].Artist(), "R" + std::to_string(6 - i));
}

TEST_F(SessionTest, APlayRefusedByNameAgainAndAgainIsSetAside) {
    OpenSession();
    for (int i = 0; i < 3; ++i)
        engine.m_cache.AddSubmission(Track("C" + std::to_string(i)));
    auto flush = [&](const char* answer) {
        FakeNetQueue(Answer(answer));
        engine.ClearCache();
        Settle();
    };
    // Refusals that name no item, or a run broken by another answer, move nothing.
    for (int i = 0; i < 3; ++i)
        flush("ERROR database down\n");
    flush("ERROR 1 bad record\n");
    flush("ERROR 1 bad record\n");
    flush("FAILED busy\n");
    flush("ERROR 1 bad record\n");
    flush("ERROR 1 bad record\n");
    EXPECT_EQ(engine.m_cache.GetCount(), 3);
    flush("ERROR 1 bad record\n");
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_cache.GetAt(0).Artist(), "C0");
    EXPECT_EQ(engine.m_cache.GetAt(1).Artist(), "C2");
    Submission kept = Track("C1");
    EXPECT_EQ(ReadFileBytes(dir.file("kelmar.99.cache.refused")),
              std::string(reinterpret_cast<const char*>(&kept), sizeof(kept)));
    EXPECT_TRUE(Contains(Log(), "Cached play 'C1 - Title (Album)' refused 3 times in a row"));

    // The others leave with the next flush, in one rewrite of the file; a
    // batch size set below 1 by hand still sends them.
    engine.Set(&Settings::maxCacheSubs, 0);
    flush("OK\n");
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("kelmar.99.cache")));
}

TEST_F(SessionTest, SendingNeedsEveryConditionAtOnce) {
    OpenSession();
    const int64_t now = MakeDateTime(2026, 12, 7, 10, 0, 0);
    SetFakeClockNow(now);
    struct Row {
        const char* what;
        std::function<void()> breakIt;
    } rows[] = {
        {"all hold", [] {}},
        {"no session", [&] { engine.m_handshakeComplete = 0; }},
        {"switched off", [&] { engine.Set(&Settings::pluginEnabled, 0); }},
        {"no user name", [&] { engine.Set(&Settings::username, ""); }},
        {"no password", [&] { engine.Set(&Settings::password, ""); }},
        {"forced to cache", [&] { engine.Set(&Settings::forceCache, 1); }},
        {"interval not over", [&] { engine.m_lastSubmitTime = now - 59; }},
        // The clock set back an hour: the interval does not wait for the hour.
        {"clock set back", [&] { engine.m_lastSubmitTime = now + 3600; }},
        {"not connected",
         [] {
             FakeNetwork offline;
             offline.connected = false;
             SetFakeNetwork(offline);
         }},
    };
    for (const Row& row : rows) {
        engine.m_handshakeComplete = 1;
        engine.Set(&Settings::pluginEnabled, 1);
        engine.Set(&Settings::username, "listener");
        engine.Set(&Settings::password, kDigest);
        engine.Set(&Settings::forceCache, 0);
        engine.m_interval = 60;
        engine.m_lastSubmitTime = now - 60;
        SetFakeNetwork(FakeNetwork());
        row.breakIt();
        bool allowed =
            std::string(row.what) == "all hold" || std::string(row.what) == "clock set back";
        EXPECT_EQ(engine.OkToSendData(), allowed ? 1 : 0) << row.what;
        EXPECT_EQ(engine.GetSecondsToSend() == -1, std::string(row.what) != "interval not over")
            << row.what;
    }
}

TEST_F(SessionTest, ATickShakesHandsThenFlushesThenCounts) {
    engine.m_cache.AddSubmission(Track("Cached"));
    engine.SetSong("Playing", "Title", "Album");
    engine.currentFile = "C:\\Music\\p.mp3";
    engine.OnTrackPlay();
    engine.playing = 1;
    engine.Set(&Settings::pluginEnabled, 0);
    size_t mark = Log().size();
    engine.TimerCallback();
    EXPECT_FALSE(Contains(Log(mark), "Starting to shake...")) << "switched off";
    EXPECT_TRUE(FakeNetRequests().empty());

    engine.Set(&Settings::pluginEnabled, 1);
    engine.OnTrackPlay();
    mark = Log().size();
    engine.TimerCallback();
    Settle();
    std::string tick = Log(mark);
    size_t shake = tick.find("Starting to shake...");
    size_t flush = tick.find("CPlaytally::OkToSendData");
    size_t count = tick.find("Submitting 'Playing - Title");
    ASSERT_NE(shake, std::string::npos);
    ASSERT_NE(flush, std::string::npos);
    ASSERT_NE(count, std::string::npos);
    EXPECT_LT(shake, flush);
    EXPECT_LT(flush, count);
}

TEST_F(SessionTest, SwitchedOffDuringTheConnectivityCheckNothingGoesOut) {
    FakeNetwork network;
    network.onCheck = [this] { engine.Disable(); };
    SetFakeNetwork(network);
    engine.DoHandshake();
    Settle();
    EXPECT_TRUE(FakeNetRequests().empty());
    EXPECT_EQ(engine.GetServerStatus(), "");
    EXPECT_EQ(engine.m_handshakeInProgress, 0);
}
