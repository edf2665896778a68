// The settings dialog's rules, without its window.
#include "ui/harkwell_model.h"

#include <atomic>
#include <thread>

#include "engine/user_prompt.h"
#include "record/md5.h"
#include "tests/unit/engine_fixture.h"
#include "ui/plays_model.h"
#include "ui/services_model.h"
#include "ui/status_text.h"

namespace {
class DialogModelTest : public EngineFixture {};
}  // namespace

TEST(DialogNumbers, ReadAsTheUsualDecimalConversion) {
    EXPECT_EQ(ReadDialogNumber("  42kb"), 42);
    EXPECT_EQ(ReadDialogNumber("-1"), -1);
    EXPECT_EQ(ReadDialogNumber("+7"), 7);
    EXPECT_EQ(ReadDialogNumber("abc"), 0);
    EXPECT_EQ(ReadDialogNumber(""), 0);
    EXPECT_EQ(ReadDialogNumber("99999999999"), 2147483647);
    EXPECT_EQ(ReadDialogNumber("-99999999999"), -2147483647 - 1);
}

TEST(DialogSave, ChecksInTheirOrder) {
    DialogValues v;
    EXPECT_EQ(SaveRefusal(v, "listener"), "") << "an account cleared";
    v.useProxy = true;
    v.useProxyAuth = true;
    v.username = "another";
    EXPECT_EQ(SaveRefusal(v, "listener"),
              "You must enter the Password again if you change the Username.");
    v.password = "secret";
    v.proxyHost = "proxy.lan";
    for (const char* port : {"0", "-8", "port", ""}) {
        v.proxyPort = port;
        EXPECT_EQ(SaveRefusal(v, "listener"),
                  "You must enter a valid Server and a Port if you are using a Proxy.")
            << port;
    }
    v.proxyPort = "3128";
    EXPECT_EQ(SaveRefusal(v, "listener"),
              "You must enter a Username and a Password if you are using Proxy Authentication.");
    v.proxyUser = "pu";
    v.proxyPass = "pp";
    EXPECT_EQ(SaveRefusal(v, "listener"), "");
    v.proxyHost = "";
    EXPECT_EQ(SaveRefusal(v, "listener"),
              "You must enter a valid Server and a Port if you are using a Proxy.");
}

TEST(ServiceForm, ChecksInTheirOrderAndKeepsTheStoredDigest) {
    ServiceSettings stored{"Archive", "http://a/", "me", Md5Hex("old"), 1};
    const struct {
        const char *name, *address, *user, *password;
        bool edit;
        const char* refusal;
    } kCases[] = {
        {" ", "ftp://a/", "", "", false, "Enter a Name for the service."},
        {"Архив", "ftp://a/", "", "", false,
         "The Handshake address must start with http:// or https://."},
        {"A", " HTTPS://a/", "", "", false,
         "Enter the User name of your account with the service."},
        {"A", "Http://a/", "me", "", false, "Enter the Password of this User name."},
        {"A", "http://a/", "you", "", true, "Enter the Password of this User name."},
        {"A", "http://a/", "me", "", true, ""},
        {"A", "https://a/", "me", "new", true, ""},
    };
    for (const auto& c : kCases) {
        ServiceForm form{c.name, c.address, c.user, c.password, true};
        const ServiceSettings* was = c.edit ? &stored : nullptr;
        EXPECT_EQ(ServiceFormRefusal(form, was), c.refusal) << c.address << " " << c.user;
        if (*c.refusal != '\0') continue;
        EXPECT_EQ(ServiceFromForm(form, was).password,
                  *c.password ? Md5Hex(c.password) : stored.password);
    }
}

TEST_F(DialogModelTest, PasswordsAreStoredAsDigestsAndEndTheSession) {
    engine.Set(&Settings::username, "listener");
    engine.Set(&Settings::password, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    engine.Set(&Settings::ignoreHttp, 1);
    std::string stored, note;
    DialogValues v = LoadDialogValues(engine, &stored, &note);
    EXPECT_EQ(v.password, "");
    EXPECT_EQ(stored, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    EXPECT_EQ(note, "Your password is stored");
    EXPECT_TRUE(v.skipStreams);

    // Saved without typing: the digest stays, and the account's check greets
    // anew (the session's challenge may be one the service forgot).
    engine.m_handshakeComplete = 1;
    v.username = "listener";
    SaveDialogValues(engine, v, stored);
    EXPECT_EQ(engine.GetSettings().password, stored);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.GetSettings().ignoreHttp, 1) << "the skip-streams box keeps its setting";

    engine.m_handshakeComplete = 1;
    v.password = "secret";
    SaveDialogValues(engine, v, stored);
    EXPECT_EQ(engine.GetSettings().password, Md5Hex("secret"));
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(FakeRegistryGetRaw(engine.registryKey, "password", &type, &bytes));
    EXPECT_EQ(bytes, Md5Hex("secret") + std::string(1, '\0')) << "never the typed text";

    engine.Set(&Settings::password, "");
    LoadDialogValues(engine, &stored, &note);
    EXPECT_EQ(note, "Please provide your details.");
}

TEST_F(DialogModelTest, SaveCopiesEveryValueAndOpeningReadsThemBack) {
    DialogValues v;
    v.username = "listener";
    v.logSize = " 64";
    v.proxyPort = "3128";
    v.proxyHost = "proxy.lan";
    v.proxyUser = "proxy user";
    v.proxyPass = "proxy pass";
    v.enabled = true;
    v.showErrors = false;
    v.skipStreams = true;
    v.useProxy = true;
    v.useProxyAuth = true;
    SaveDialogValues(engine, v, "");
    EXPECT_EQ(engine.GetSettings().username, "listener");
    EXPECT_EQ(engine.GetSettings().password, "");
    EXPECT_EQ(engine.GetSettings().logSize, 64);
    EXPECT_EQ(engine.GetSettings().proxyPort, 3128);
    EXPECT_EQ(engine.GetSettings().proxyServer, "proxy.lan");
    EXPECT_EQ(engine.GetSettings().proxyUser, "proxy user");
    EXPECT_EQ(engine.GetSettings().proxyPass, "proxy pass");
    EXPECT_EQ(engine.GetSettings().showErrors, 0);
    EXPECT_EQ(engine.GetSettings().ignoreHttp, 1);
    EXPECT_EQ(engine.GetSettings().useProxy, 1);
    EXPECT_EQ(engine.GetSettings().useProxyAuth, 1);

    std::string stored, note;
    DialogValues back = LoadDialogValues(engine, &stored, &note);
    v.logSize = "64";
    for (auto text : {&DialogValues::username, &DialogValues::password, &DialogValues::logSize,
                      &DialogValues::proxyPort, &DialogValues::proxyHost, &DialogValues::proxyUser,
                      &DialogValues::proxyPass})
        EXPECT_EQ(back.*text, v.*text);
    for (auto flag : {&DialogValues::enabled, &DialogValues::showErrors, &DialogValues::skipStreams,
                      &DialogValues::useProxy, &DialogValues::useProxyAuth})
        EXPECT_EQ(back.*flag, v.*flag);
}

TEST_F(DialogModelTest, TheEnableSwitchActsAtOnce) {
    ApplyEnableSwitch(engine, false);
    EXPECT_EQ(engine.GetSettings().pluginEnabled, 0);
    EXPECT_TRUE(Contains(Log(), "KPlaytally is now Disabled"));
    ApplyEnableSwitch(engine, false);
    ApplyEnableSwitch(engine, true);
    EXPECT_EQ(engine.GetSettings().pluginEnabled, 1);
    EXPECT_TRUE(Contains(Log(), "KPlaytally is now Enabled"));
}

TEST_F(DialogModelTest, ConfigShowsTheOneWindowOrSaysItCouldNot) {
    engine.Config();
    FakeConfigWindowState window = FakeConfigWindow();
    EXPECT_EQ(window.creates, 1);
    EXPECT_EQ(window.engine, &engine);
    EXPECT_TRUE(FakePrompts().empty());

    engine.Config();
    window = FakeConfigWindow();
    EXPECT_EQ(window.creates, 1) << "an open window is shown again, not made twice";
    EXPECT_EQ(window.shows, 1);

    FakeConfigWindowReset(false);
    engine.Config();
    ASSERT_EQ(FakePrompts().size(), 1u);
    EXPECT_EQ(FakePrompts()[0].text, "ERROR - Failed to construct the config dialog!");
    EXPECT_EQ(FakePrompts()[0].caption, "Kelmar for Winamp");
    EXPECT_EQ(FakePrompts()[0].style, PROMPT_ICONWARNING);
    EXPECT_TRUE(Contains(Log(), "Failed to construct config dialog"));
}

TEST_F(DialogModelTest, TheStatusSnapshotReadsTheEngine) {
    Submission track;
    track.Set("Artist", "Title", "Album", "215", "C:\\Music\\track.mp3", "");
    track.StampTime(1101101971);
    engine.m_handshakeComplete = 1;
    engine.ThreadCallback(REQUEST_SUBMIT, "FAILED Plugin banned\n", track, 1, 200);
    engine.playing = 1;
    engine.m_interval = 60;

    StatusSnapshot state = TakeStatusSnapshot(engine);
    EXPECT_EQ(state.cachedCount, 1);
    EXPECT_EQ(state.cacheBytes,
              static_cast<int64_t>(ReadFileBytes(dir.file("kelmar.99.cache")).size()));
    EXPECT_GT(state.cacheBytes, 0);
    EXPECT_TRUE(state.playing);
    EXPECT_FALSE(state.paused);
    EXPECT_EQ(state.lastResponse, "FAILED Plugin banned");
    EXPECT_TRUE(state.enabled);
    EXPECT_EQ(state.interval, 60);
    std::string block = BuildStatusBlock(state, [] { return true; });
    EXPECT_NE(block.find("Last Response\tFAILED\nLast Message\tPlugin banned"), std::string::npos);
}

TEST_F(DialogModelTest, ANewAccountSavedDuringAHandshakeWaitsForItsOwn) {
    engine.Set(&Settings::username, "old");
    engine.Set(&Settings::password, Md5Hex("old"));
    std::atomic<bool> release{false};
    FakeNetSetResponder([&](const FakeNetRequest&) {
        while (!release)
            std::this_thread::yield();
        FakeNetAnswer a;
        a.body = "UPTODATE\nc1\nhttp://post.kelmar.example/submit\nINTERVAL 0\n";
        return a;
    });
    engine.DoHandshake();
    std::string stored, note;
    DialogValues v = LoadDialogValues(engine, &stored, &note);
    v.username = "new";
    SaveDialogValues(engine, v, stored);  // the same password, another user
    release = true;
    ASSERT_TRUE(engine.WaitForWorkers(10000));
    EXPECT_TRUE(Contains(Log(), "Handshake answer for an earlier account or session ignored"));

    // The new account greets by itself at once, not a minute after the old
    // account's answer, and the check that Save asked for follows.
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_EQ(engine.GetSession().username, "new");
    std::vector<FakeNetRequest> sent = FakeNetRequests();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2].object, "?hs=true&p=1.1&v=1.2.1&c=wmp&u=new");
    EXPECT_EQ(sent.back().object, "/submit");
    EXPECT_EQ(sent.back().data, "s=" + MakeChallengeResponse(Md5Hex("old"), "c1") + "&u=new");
}

// Answers on many workers at once, while the timer ticks, the settings are
// saved and the status is read: every refused play is kept, and the refusal
// is shown once.
TEST_F(DialogModelTest, ManyAnswersAtOnceWhileTheEngineIsInUse) {
    engine.Set(&Settings::username, "listener");
    engine.Set(&Settings::password, Md5Hex("secret"));
    engine.ThreadCallback(REQUEST_HANDSHAKE, "UPTODATE\nc\nhttp://h.example/s\nINTERVAL 0\n",
                          Submission(), 0, 200);
    FakeNetSetResponder([](const FakeNetRequest&) {
        FakeNetAnswer a;
        a.body = "BADAUTH\n";
        return a;
    });
    engine.SetSong("Playing", "Title", "Album");
    engine.currentFile = "C:\\Music\\p.mp3";
    engine.playing = 1;
    engine.Set(&Settings::forceCache, 1);  // the ticks' plays go to the cache, not to workers
    constexpr int kWorkers = 8, kRounds = 10, kAnswers = 4;
    // Rounds of refusals that all arrive at once; an acceptance between rounds
    // makes the next refusal news again.
    auto answers = [&] {
        for (int round = 0; round < kRounds; ++round) {
            std::atomic<int> ready{0};
            std::vector<std::thread> workers;
            for (int w = 0; w < kWorkers; ++w) {
                workers.emplace_back([&, w, round] {
                    ++ready;
                    while (ready < kWorkers)
                        std::this_thread::yield();
                    for (int i = 0; i < kAnswers; ++i) {
                        Submission s;
                        s.Set("W" + std::to_string(w), "T" + std::to_string(round * kAnswers + i),
                              "", "200", "C:\\a.mp3", "");
                        s.StampTime(1101101971);
                        engine.ThreadCallback(REQUEST_SUBMIT, "BADAUTH\n", s, w, 200);
                    }
                });
            }
            for (auto& t : workers)
                t.join();
            engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", Submission(), 0, 200);
        }
    };
    std::thread refusals(answers);
    std::thread ticks([&] {
        for (int i = 0; i < 50; ++i) {
            engine.OnTrackPlay();
            engine.TimerCallback();
        }
    });
    std::thread saves([&] {
        std::string stored, note;
        for (int i = 0; i < 50; ++i)
            SaveDialogValues(engine, LoadDialogValues(engine, &stored, &note), stored);
    });
    std::thread status([&] {
        for (int i = 0; i < 200; ++i)
            BuildStatusBlock(TakeStatusSnapshot(engine), [] { return true; });
    });
    refusals.join();
    ticks.join();
    saves.join();
    status.join();
    ASSERT_TRUE(engine.WaitForWorkers(30000));

    int kept = 0;
    for (int i = 0; i < engine.m_cache.GetCount(); ++i)
        kept += engine.m_cache.GetAt(i).Artist()[0] == 'W';
    EXPECT_EQ(kept, kWorkers * kRounds * kAnswers);
    EXPECT_EQ(FakePrompts().size(), static_cast<size_t>(kRounds));
}

TEST(PlaysModel, CsvCellsAreQuotedAndNeverFormulas) {
    const struct {
        const char *text, *cell;
    } cells[] = {
        {"Plain", "Plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""},
        {"=1+2", "'=1+2"},
        {"+1", "'+1"},
        {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"\rx", "\"'\rx\""},
        {"=a,b", "\"'=a,b\""},
        {"a=b", "a=b"},
    };
    for (const auto& c : cells)
        EXPECT_EQ(CsvCell(c.text), c.cell) << c.text;
    PlayRow row{"2004-11-22 05:39:31", "=HYPERLINK(\"x\")", "T", "", "alice", "Sent", "", -1};
    // Sorted stably by a column either way; a time shown to the minute, locally.
    auto artistTitle = [](const char* artist, const char* title) {
        PlayRow r;
        r.artist = artist;
        r.title = title;
        return r;
    };
    std::vector<PlayRow> rows = {row, artistTitle("b", "1"), artistTitle("a", ""),
                                 artistTitle("b", "2")};
    SortRows(&rows, 1, true);
    EXPECT_EQ(rows[1].artist + rows[2].title + rows[3].title, "a12");
    SortRows(&rows, 1, false);
    EXPECT_EQ(rows[0].title + rows[1].title + rows[2].artist, "12a");
    EXPECT_EQ(LocalPlayedTime("2004-11-22 05:39:31").size(), 16u);
    EXPECT_EQ(LocalPlayedTime("2004-11-22 05:39:31").substr(13), ":39");
    EXPECT_EQ(LocalPlayedTime("garbled"), "garbled");
    EXPECT_EQ(CsvDocument({row}),
              "\xEF\xBB\xBFPlayed (UTC),Artist,Title,Album,Account,Status\r\n"
              "2004-11-22 05:39:31,\"'=HYPERLINK(\"\"x\"\")\",T,,alice,Sent\r\n");
}
