// A real engine under Wine, on the real adapters, against the reference
// service: the handshake, a qualifying track posted and accepted, a refusal
// and an outage kept in the cache file, and one flush that delivers them.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "diagnostics/debug.h"
#include "record/md5.h"
#include "tests/unit/test_support.h"
#include "tests/win32/service_control.h"

using nlohmann::json;

namespace {

const char kKey[] = "Software\\Kelmar\\Service Test\\";

void SetText(HKEY key, const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

void SetNumber(HKEY key, const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

class EngineServiceWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ServicePort(), 0) << "run beside the service (scripts/with-service.sh)";
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);  // as the player has done
        RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        SetText(key, "username", "listener");
        SetText(key, "password", Md5Hex("secret"));
        SetNumber(key, "useproxy", 1);
        SetText(key, "proxyserver", "127.0.0.1");
        SetNumber(key, "proxyport", ServicePort());
        SetNumber(key, "showerrors", 0);  // a message box would hold its worker
        SetNumber(key, "debugoverride", 1);
        RegCloseKey(key);
        dll = LoadLibraryA("Gen_Kelmar.dll");
        ASSERT_NE(dll, nullptr);
        engine.registryKey = kKey;
        engine.m_timerPeriodMs = 3600 * 1000;  // ticks come from the test
        engine.currentFile = "C:\\Music\\track.mp3";
        engine.trackLength = 215;
        engine.playing = 1;
    }
    void TearDown() override {
        engine.Shutdown();
        g_Debug.Close();
        RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
        if (dll) FreeLibrary(dll);
        WSACleanup();
    }
    void Settle() { ASSERT_TRUE(engine.WaitForWorkers(60000)); }
    void Play(const std::string& artist) {
        engine.SetSong(artist, "Title", "Album");
        engine.OnTrackPlay();
        engine.TimerCallback();
        Settle();
    }
    std::string Log() const { return ReadFileBytes(dir.file("Kelmar.log.txt")); }

    TempDir dir;
    TestPlaytally engine;
    HMODULE dll = nullptr;
};

}  // namespace

TEST_F(EngineServiceWin32Test, PlaysReachTheServiceOnceThroughRefusalAndOutage) {
    ASSERT_EQ(engine.StartPlaytallying(dir.str(), dll), 1);
    Settle();
    ASSERT_EQ(engine.m_handshakeComplete, 1) << Log();
    json requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["target"],
              "http://post.kelmar.example:80/?hs=true&p=1.1&v=1.2.1&c=wmp&u=listener");

    Play("Mot\xf6rhead");
    json plays = Plays();
    ASSERT_EQ(plays.size(), 1u) << Log();
    EXPECT_EQ(plays[0]["user"], "listener");
    EXPECT_EQ(plays[0]["artist"], "Mot\xc3\xb6rhead");
    EXPECT_EQ(plays[0]["title"], "Title");
    EXPECT_EQ(plays[0]["album"], "Album");
    EXPECT_EQ(plays[0]["length"], "215");
    EXPECT_TRUE(std::regex_match(plays[0]["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
    requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    const json& post = requests[1];
    EXPECT_EQ(post["method"], "POST");
    EXPECT_EQ(post["target"], "http://post.kelmar.example:80/submit");
    EXPECT_EQ(Header(post, "User-Agent"), std::vector<std::string>{"Kelmar for Winamp/wmp/1.2.1"});
    EXPECT_EQ(Header(post, "Content-Type"),
              std::vector<std::string>{"application/x-www-form-urlencoded"});
    EXPECT_EQ(Header(post, "Host"), std::vector<std::string>{"post.kelmar.example"});
    std::string body = post["body"];
    EXPECT_EQ(
        body.rfind("s=" + engine.GetChallengeResponse() +
                       "&u=listener&a[0]=Mot%c3%b6rhead&t[0]=Title&b[0]=Album&m[0]=&l[0]=215&i[0]=",
                   0),
        0u)
        << body;

    // Refused: kept in the cache file.
    Script({{{"for", "submit"}, {"body", "FAILED try later\n"}}});
    Play("Refused");
    EXPECT_EQ(engine.m_cache.GetCount(), 1);
    EXPECT_EQ(ReadFileBytes(dir.file("kelmar.99.cache")).size(), sizeof(Submission));

    // Unreachable (nothing listens where the proxy points): cached too.
    engine.Set(&Settings::proxyPort, 1);
    Play("Offline");
    EXPECT_EQ(engine.m_cache.GetCount(), 2);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_TRUE(Contains(Log(), "HttpSendRequest - "));

    // Reachable again: a new session, then one flush of both.
    engine.Set(&Settings::proxyPort, ServicePort());
    engine.m_lastHandshakeAttempt = 0;
    engine.playing = 0;
    engine.TimerCallback();
    Settle();
    ASSERT_EQ(engine.m_handshakeComplete, 1) << Log();
    engine.TimerCallback();
    Settle();
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    EXPECT_EQ(GetFileAttributesA((dir.str() + "\\kelmar.99.cache").c_str()),
              INVALID_FILE_ATTRIBUTES);

    std::multiset<std::string> artists;
    for (const json& play : Plays())
        artists.insert(play["artist"].get<std::string>());
    EXPECT_EQ(artists, (std::multiset<std::string>{"Mot\xc3\xb6rhead", "Refused", "Offline"}));
}
