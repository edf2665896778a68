// The engine end to end against the reference service: real requests through
// the proxy setting, the service's own checks of the challenge response, and
// its database as the judge of what arrived.
#include <gtest/gtest.h>

#include <set>

#include "diagnostics/debug.h"
#include "record/md5.h"
#include "tests/fakes/fakes.h"
#include "tests/service/service_process.h"
#include "tests/unit/test_support.h"

namespace {

class EngineServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeRegistryReset();
        SetFakeNetwork(FakeNetwork());
        FakePromptReset();
        service = std::make_unique<ServiceProcess>(std::vector<std::string>{
            "--account", "listener:secret", "--db", (dir.path() / "service.db").string()});
        const std::string& key = engine.registryKey;
        FakeRegistrySetText(key, "username", "listener");
        FakeRegistrySetText(key, "password", Md5Hex("secret"));
        FakeRegistrySetNumber(key, "useproxy", 1);
        FakeRegistrySetText(key, "proxyserver", "127.0.0.1");
        FakeRegistrySetNumber(key, "proxyport", service->Port());
        FakeRegistrySetNumber(key, "debugoverride", 1);
        engine.m_timerPeriodMs = 3600 * 1000;  // ticks come from the test
        engine.currentFile = "C:\\Music\\track.mp3";
        engine.trackLength = 215;
        engine.playing = 1;
    }
    void TearDown() override {
        engine.Shutdown();
        g_Debug.Close();
        FakeRegistryReset();
    }
    void Settle() { ASSERT_TRUE(engine.WaitForWorkers(60000)); }
    // One qualifying track: the notice, then a tick while playing.
    void Play(const std::string& artist, const std::string& title) {
        engine.SetSong(artist, title, "Album");
        engine.OnTrackPlay();
        engine.TimerCallback();
        Settle();
    }
    std::string Log() const { return ReadFileBytes(dir.file("Kelmar.log.txt")); }

    TempDir dir;
    TestPlaytally engine;
    std::unique_ptr<ServiceProcess> service;
};

}  // namespace

TEST_F(EngineServiceTest, PlaysReachTheServiceOnceThroughRefusalAndOutage) {
    ASSERT_EQ(engine.StartPlaytallying(dir.str(), nullptr), 1);
    Settle();
    ASSERT_EQ(engine.m_handshakeComplete, 1) << Log();
    EXPECT_EQ(engine.GetServer(), "post.kelmar.example");

    // Accepted at once, and stored with the fields as encoded.
    Play("Mot\xf6rhead", "Ace of Spades");
    nlohmann::json plays = service->Plays();
    ASSERT_EQ(plays.size(), 1u) << Log();
    EXPECT_EQ(plays[0]["artist"], "Mot\xc3\xb6rhead");
    EXPECT_EQ(plays[0]["title"], "Ace of Spades");
    EXPECT_EQ(plays[0]["album"], "Album");
    EXPECT_EQ(plays[0]["length"], "215");
    EXPECT_EQ(plays[0]["user"], "listener");
    nlohmann::json requests = service->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1]["method"], "POST");
    EXPECT_EQ(requests[1]["target"], "http://post.kelmar.example:80/submit");
    EXPECT_EQ(engine.m_cache.GetCount(), 0);

    // Refused: kept in the cache file.
    service->Script({{{"for", "submit"}, {"body", "FAILED try later\n"}}});
    Play("Refused", "One");
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    EXPECT_GT(engine.m_cache.GetStats().second, 0);

    // The service gone: the post fails, the play is cached, the session ends.
    int port = service->Port();
    service->Stop();
    Play("Offline", "Two");
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_TRUE(Contains(Log(), "HttpSendRequest"));

    // Back on the same port and database: a new session, then one flush.
    service = std::make_unique<ServiceProcess>(std::vector<std::string>{
        "--port", std::to_string(port), "--db", (dir.path() / "service.db").string()});
    engine.m_lastHandshakeAttempt = 0;
    engine.playing = 0;
    engine.TimerCallback();  // handshake
    Settle();
    ASSERT_EQ(engine.m_handshakeComplete, 1);
    engine.TimerCallback();  // flush
    Settle();
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("kelmar.99.cache")));

    plays = service->Plays();
    std::multiset<std::string> artists;
    for (const auto& play : plays)
        artists.insert(play["artist"].get<std::string>());
    EXPECT_EQ(artists, (std::multiset<std::string>{"Mot\xc3\xb6rhead", "Refused", "Offline"}));
}

TEST_F(EngineServiceTest, WrongPasswordIsRefusedAndTheUserTold) {
    FakeRegistrySetText(engine.registryKey, "password", Md5Hex("wrong"));
    ASSERT_EQ(engine.StartPlaytallying(dir.str(), nullptr), 1);
    Settle();
    ASSERT_EQ(engine.m_handshakeComplete, 1);
    Play("Artist", "Title");
    EXPECT_EQ(engine.GetServerStatus(), "BADAUTH");
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    ASSERT_EQ(FakePrompts().size(), 1u);
    EXPECT_EQ(FakePrompts()[0].text,
              "Your username/password are invalid. Please check them in the config dialog.");
    EXPECT_TRUE(service->Plays().empty());
}

TEST_F(EngineServiceTest, ASilentServiceEndsByTheTimeOutAndTheHandshakeIsTriedAgain) {
    service->Script({{{"for", "handshake"}, {"silent", true}}});
    engine.m_requestTimeoutMs = 1000;
    ASSERT_EQ(engine.StartPlaytallying(dir.str(), nullptr), 1);
    Settle();
    EXPECT_EQ(engine.m_handshakeInProgress, 0) << "a stuck handshake would block every later one";
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_TRUE(Contains(Log(), "HttpSendRequest - "));

    engine.m_lastHandshakeAttempt = 0;
    engine.playing = 0;
    engine.TimerCallback();
    Settle();
    EXPECT_EQ(engine.m_handshakeComplete, 1);
}
