// The settings dialog's rules, without its window.
#include "ui/harkwell_model.h"

#include "engine/md5.h"
#include "engine/user_prompt.h"
#include "tests/unit/engine_fixture.h"
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

TEST(DialogSave, ProxyChecksInTheirOrder) {
    DialogValues v;
    EXPECT_EQ(SaveRefusal(v), "");
    v.useProxy = true;
    v.useProxyAuth = true;
    v.proxyHost = "proxy.lan";
    for (const char* port : {"0", "-8", "port", ""}) {
        v.proxyPort = port;
        EXPECT_EQ(SaveRefusal(v),
                  "You must enter a valid Server and a Port if you are using a Proxy.")
            << port;
    }
    v.proxyPort = "3128";
    EXPECT_EQ(SaveRefusal(v),
              "You must enter a Username and a Password if you are using Proxy Authentication.");
    v.proxyUser = "pu";
    v.proxyPass = "pp";
    EXPECT_EQ(SaveRefusal(v), "");
    v.proxyHost = "";
    EXPECT_EQ(SaveRefusal(v), "You must enter a valid Server and a Port if you are using a Proxy.");
}

TEST_F(DialogModelTest, PasswordsAreStoredAsDigestsAndEndTheSession) {
    engine.SetPassword("5ebe2294ecd0e0f08eab7690d2a6ee69");
    engine.m_ignoreHttp = 1;
    std::string stored, note;
    DialogValues v = LoadDialogValues(engine, &stored, &note);
    EXPECT_EQ(v.password, "");
    EXPECT_EQ(stored, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    EXPECT_EQ(note, "Your password is stored");
    EXPECT_TRUE(v.skipStreams);

    // Saved without typing: the digest stays and so does the session.
    engine.m_handshakeComplete = 1;
    v.username = "listener";
    SaveDialogValues(engine, v, stored);
    EXPECT_EQ(engine.GetPassword(), stored);
    EXPECT_EQ(engine.m_handshakeComplete, 1);
    EXPECT_EQ(engine.m_ignoreHttp, 1) << "the skip-streams box keeps its setting";

    v.password = "secret";
    SaveDialogValues(engine, v, stored);
    EXPECT_EQ(engine.GetPassword(), Md5Hex("secret"));
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(FakeRegistryGetRaw(engine.registryKey, "password", &type, &bytes));
    EXPECT_EQ(bytes, Md5Hex("secret") + std::string(1, '\0')) << "never the typed text";

    engine.SetPassword("");
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
    EXPECT_EQ(engine.GetUsername(), "listener");
    EXPECT_EQ(engine.GetPassword(), "");
    EXPECT_EQ(engine.m_logSize, 64);
    EXPECT_EQ(engine.m_proxyPort, 3128);
    EXPECT_EQ(engine.GetProxyServer(), "proxy.lan");
    EXPECT_EQ(engine.GetProxyUser(), "proxy user");
    EXPECT_EQ(engine.GetProxyPass(), "proxy pass");
    EXPECT_EQ(engine.m_showErrors, 0);
    EXPECT_EQ(engine.m_ignoreHttp, 1);
    EXPECT_EQ(engine.m_useProxy, 1);
    EXPECT_EQ(engine.m_useProxyAuth, 1);

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
    EXPECT_EQ(engine.m_pluginEnabled, 0);
    EXPECT_TRUE(Contains(Log(), "KPlaytally is now Disabled"));
    ApplyEnableSwitch(engine, false);
    ApplyEnableSwitch(engine, true);
    EXPECT_EQ(engine.m_pluginEnabled, 1);
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
