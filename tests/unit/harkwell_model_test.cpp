// The settings dialog's rules, without its window.
#include "ui/harkwell_model.h"

#include "engine/md5.h"
#include "tests/unit/engine_fixture.h"

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

TEST_F(DialogModelTest, TheEnableSwitchActsAtOnce) {
    ApplyEnableSwitch(engine, false);
    EXPECT_EQ(engine.m_pluginEnabled, 0);
    EXPECT_TRUE(Contains(Log(), "KPlaytally is now Disabled"));
    ApplyEnableSwitch(engine, false);
    ApplyEnableSwitch(engine, true);
    EXPECT_EQ(engine.m_pluginEnabled, 1);
    EXPECT_TRUE(Contains(Log(), "KPlaytally is now Enabled"));
}
