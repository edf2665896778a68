#include <gtest/gtest.h>

#include "diagnostics/debug.h"
#include "engine/data_folder.h"
#include "engine/settings_store.h"
#include "tests/fakes/fakes.h"
#include "tests/unit/test_support.h"
#include "ui/plays_model.h"

namespace {

const std::string kBanner = LogBanner();
const std::string kBom = "\xEF\xBB\xBF";

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override { FakeRegistryReset(); }
    void TearDown() override {
        g_Debug.Close();
        FakeRegistryReset();
    }
    std::string LogText() const { return ReadFileBytes(dir.file("Kelmar.log.txt")); }
    const std::string& Key() const { return engine.registryKey; }

    TempDir dir;
    TestPlaytally engine;
};

}  // namespace

TEST_F(EngineTest, FirstRunKeepsDefaultsAndStartsTheLog) {
    EXPECT_EQ(engine.StartPlaytallying(dir.str(), nullptr), 0);
    EXPECT_EQ(engine.GetWorkingDir(), dir.str() + "\\");
    EXPECT_FLOAT_EQ(engine.m_threshold, 0.5f);
    EXPECT_EQ(engine.GetSettings().proxyPort, 8080);
    EXPECT_EQ(engine.GetSettings().logSize, -1);
    EXPECT_EQ(engine.GetSettings().showErrors, 1);
    EXPECT_EQ(engine.GetSettings().pluginEnabled, 1);
    EXPECT_EQ(engine.GetSettings().allowCache, 1);
    EXPECT_EQ(engine.GetSettings().maxCacheSubs, 10);
    EXPECT_EQ(engine.GetServer(), kDefaultHandshakeHost);
    EXPECT_EQ(engine.GetSettings().username, "");

    std::string log = LogText();
    ASSERT_EQ(log.rfind(kBom + kBanner, 0), 0u);
    std::string rest = log.substr(kBom.size() + kBanner.size());
    EXPECT_TRUE(Contains(rest.substr(0, rest.find("\r\n")),
                         "\tApplication Information\t\tKelmar for Winamp v1.2.1  (Build 592)"));
    EXPECT_TRUE(Contains(log, "\tApplication Information\t\tWinamp Version 5.0\r\n"));
    EXPECT_TRUE(Contains(log, "\tApplication Information\t\tWindows XP (Professional)"));
    EXPECT_TRUE(Contains(log, "Startup Complete."));
    EXPECT_FALSE(Contains(log, "Must be new install")) << "written before the log opened";
    EXPECT_FALSE(FakeRegistryKeyExists(Key())) << "loading never creates the key";
}

TEST_F(EngineTest, ReadsEverySettingFromTheKey) {
    FakeRegistrySetText(Key(), "username", "listener");
    FakeRegistrySetText(Key(), "password", "5ebe2294ecd0e0f08eab7690d2a6ee69");
    FakeRegistrySetNumber(Key(), "pluginenabled", 0);
    FakeRegistrySetNumber(Key(), "logsize", 64);
    FakeRegistrySetNumber(Key(), "showerrors", 0);
    FakeRegistrySetNumber(Key(), "ignorehttp", 1);
    FakeRegistrySetNumber(Key(), "useproxy", 1);
    FakeRegistrySetText(Key(), "proxyserver", "proxy.lan");
    FakeRegistrySetNumber(Key(), "proxyport", 3128);
    FakeRegistrySetNumber(Key(), "useproxyauth", 1);
    FakeRegistrySetText(Key(), "proxyuser", "pu");
    FakeRegistrySetText(Key(), "proxypass", "pp");
    FakeRegistrySetNumber(Key(), "forcecache", 1);
    FakeRegistrySetNumber(Key(), "debugoverride", 1);
    FakeRegistrySetNumber(Key(), "submitpc", 75);
    FakeRegistrySetNumber(Key(), "forceconnection", 1);
    FakeRegistrySetNumber(Key(), "allowcache", 0);
    FakeRegistrySetNumber(Key(), "maxcachesubs", 3);
    // A list of folders may be longer than a text the window edits, and name
    // a folder outside the code page.
    FakeRegistrySetWideText(Key(), "skipfolders",
                            u"D:\\\u0420\u0430\u0434\u0438\u043e;" + std::u16string(300, u'f'));
    std::string radio = "D:\\\xd0\xa0\xd0\xb0\xd0\xb4\xd0\xb8\xd0\xbe";  // D:\Радио

    EXPECT_EQ(engine.StartPlaytallying(dir.str() + "\\", nullptr), 1);
    EXPECT_EQ(engine.GetWorkingDir(), dir.str() + "\\");
    EXPECT_EQ(engine.GetSettings().username, "listener");
    EXPECT_EQ(engine.GetSettings().password, "5ebe2294ecd0e0f08eab7690d2a6ee69");
    EXPECT_EQ(engine.GetSettings().pluginEnabled, 0);
    EXPECT_EQ(engine.GetSettings().logSize, 64);
    EXPECT_EQ(engine.GetSettings().showErrors, 0);
    EXPECT_EQ(engine.GetSettings().ignoreHttp, 1);
    EXPECT_EQ(engine.GetSettings().useProxy, 1);
    EXPECT_EQ(engine.GetSettings().proxyServer, "proxy.lan");
    EXPECT_EQ(engine.GetSettings().proxyPort, 3128);
    EXPECT_EQ(engine.GetSettings().useProxyAuth, 1);
    EXPECT_EQ(engine.GetSettings().proxyUser, "pu");
    EXPECT_EQ(engine.GetSettings().proxyPass, "pp");
    EXPECT_EQ(engine.GetSettings().forceCache, 1);
    EXPECT_FLOAT_EQ(engine.m_threshold, 0.75f);
    EXPECT_EQ(engine.GetSettings().forceConnection, 1);
    EXPECT_EQ(engine.GetSettings().allowCache, 0);
    EXPECT_EQ(engine.GetSettings().maxCacheSubs, 3);
    EXPECT_EQ(engine.GetSettings().skipFolders, radio + ";" + std::string(300, 'f'));
    engine.SetSong("Host", "Show", "");
    engine.currentFile = radio + "\\show.mp3";
    engine.OnTrackPlay();
    EXPECT_EQ(engine.CurrentSkipRule(), "folder");
    EXPECT_EQ(g_Debug.GetLevel(), 1);
    EXPECT_EQ(g_Debug.GetMaxSize(), 64 * 1024);
    std::string log = LogText();
    EXPECT_TRUE(Contains(log, "Plugin is disabled"));
    EXPECT_FALSE(Contains(log, "Loading from dir")) << "a disabled engine leaves the cache alone";
}

TEST_F(EngineTest, OutOfRangeHandSetValuesAreIgnored) {
    for (int percent : {0, 100, -5}) {
        for (int level : {0, 9}) {
            FakeRegistryReset();
            FakeRegistrySetNumber(Key(), "submitpc", percent);
            FakeRegistrySetNumber(Key(), "debugoverride", level);
            TestPlaytally fresh;
            EXPECT_EQ(fresh.StartPlaytallying(dir.str(), nullptr), 1);
            EXPECT_FLOAT_EQ(fresh.m_threshold, 0.5f);
            EXPECT_EQ(g_Debug.GetLevel(), 5);
            g_Debug.Close();
        }
    }
}

TEST_F(EngineTest, BadValuesKeepTheirDefaults) {
    FakeRegistrySetText(Key(), "username", std::string(199, 'u'));
    FakeRegistrySetText(Key(), "password", std::string(200, 'p'));  // too long for the buffer
    FakeRegistrySetRaw(Key(), "proxyuser", SETTINGS_REG_SZ,
                       std::string(200, 'x'));       // no terminator
    FakeRegistrySetNumber(Key(), "proxyserver", 7);  // a number where a text goes
    FakeRegistrySetRaw(Key(), "proxyport", SETTINGS_REG_BINARY, "\x50\x00");  // two bytes
    FakeRegistrySetRaw(Key(), "maxcachesubs", SETTINGS_REG_BINARY, std::string("\x05\0\0\0", 4));
    FakeRegistrySetText(Key(), "logsize", "64");           // "64\0" is three bytes: not a number
    FakeRegistrySetText(Key(), "securehandshake", "off");  // four bytes, but a text
    FakeRegistrySetRaw(Key(), "proxypass", SETTINGS_REG_SZ, std::string("ab\0cd", 5));

    EXPECT_EQ(engine.StartPlaytallying(dir.str(), nullptr), 1);
    EXPECT_EQ(engine.GetSettings().username, std::string(199, 'u'));
    EXPECT_EQ(engine.GetSettings().password, "");
    EXPECT_EQ(engine.GetSettings().proxyUser, "");
    EXPECT_EQ(engine.GetSettings().proxyServer, "");
    EXPECT_EQ(engine.GetSettings().proxyPort, 8080);
    EXPECT_EQ(engine.GetSettings().maxCacheSubs, 10) << "a number is a REG_DWORD";
    EXPECT_EQ(engine.GetSettings().logSize, -1);
    EXPECT_EQ(engine.GetSettings().secureHandshake, 0);
    EXPECT_EQ(engine.GetSettings().proxyPass, "ab");

    // What could not be read is saved back as it was, not as an empty text.
    engine.StopPlaytallying();
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(FakeRegistryGetRaw(Key(), "password", &type, &bytes));
    EXPECT_EQ(bytes, std::string(200, 'p') + '\0');
    ASSERT_TRUE(FakeRegistryGetRaw(Key(), "proxyuser", &type, &bytes));
    EXPECT_EQ(bytes, std::string(200, 'x'));
    ASSERT_TRUE(FakeRegistryGetRaw(Key(), "proxyserver", &type, &bytes));
    EXPECT_EQ(type, SETTINGS_REG_DWORD);
    EXPECT_TRUE(Contains(LogText(), "Setting password is too long or not a text - left as it is"));
    EXPECT_TRUE(Contains(LogText(),
                         "\tCPlaytally::LoadSettings\t\tERROR - Setting securehandshake "
                         "is not a number (REG_DWORD) - ignored, the default holds\r\n"));
}

TEST_F(EngineTest, EmptyWorkingDirectoryReadsNothing) {
    FakeRegistrySetText(Key(), "username", "listener");
    EXPECT_EQ(engine.StartPlaytallying("", nullptr), 0);
    EXPECT_EQ(engine.GetSettings().username, "");
    // Stopping must not overwrite the stored settings with defaults.
    engine.StopPlaytallying();
    EXPECT_EQ(FakeRegistryValueNames(Key()), std::vector<std::string>{"username"});
    // Nor may a settings window, whose Save would write them.
    FakeConfigWindowReset();
    engine.Config();
    EXPECT_EQ(FakeConfigWindow().creates, 0);
}

TEST_F(EngineTest, SavingWritesExactlyTheFourteenEditedValues) {
    FakeRegistrySetNumber(Key(), "maxcachesubs", 25);
    engine.StartPlaytallying(dir.str(), nullptr);
    engine.Set(&Settings::username, "listener");
    engine.Set(&Settings::proxyPort, 3128);
    engine.StopPlaytallying();
    engine.StopPlaytallying();
    EXPECT_EQ(engine.m_stop, 1);

    std::vector<std::string> names = FakeRegistryValueNames(Key());
    std::vector<std::string> expected = {
        "maxcachesubs", "username",   "password",  "pluginenabled", "logsize",
        "showerrors",   "ignorehttp", "useproxy",  "proxyserver",   "proxyport",
        "useproxyauth", "proxyuser",  "proxypass", "listenrule",    "streamsongs"};
    EXPECT_EQ(names, expected);
    uint32_t type = 0;
    std::string bytes;
    ASSERT_TRUE(FakeRegistryGetRaw(Key(), "maxcachesubs", &type, &bytes));
    EXPECT_EQ(bytes, std::string("\x19\0\0\0", 4));
    ASSERT_TRUE(FakeRegistryGetRaw(Key(), "username", &type, &bytes));
    EXPECT_EQ(type, SETTINGS_REG_SZ);
    EXPECT_EQ(bytes, std::string("listener\0", 9));
    ASSERT_TRUE(FakeRegistryGetRaw(Key(), "proxyport", &type, &bytes));
    EXPECT_EQ(type, SETTINGS_REG_DWORD);

    FakeRegistryReset();
    engine.SaveSettings();  // a missing key is created
    EXPECT_EQ(FakeRegistryValueNames(Key()).size(), 14u);
}

TEST_F(EngineTest, DisableResetsTheSessionAndEnableSwitchesBackOn) {
    // Started switched off: the plays waiting in its file are still shown,
    // and once on, its plays have a cache file.
    Submission play;
    play.Set("A", "T", "", "200", "C:\\a.mp3", "");
    play.StampTime(0);
    WriteFileBytes(dir.file("kelmar.99.cache"), std::string(reinterpret_cast<char*>(&play), 803));
    FakeRegistrySetNumber(Key(), "pluginenabled", 0);
    engine.StartPlaytallying(dir.str(), nullptr);
    EXPECT_EQ(engine.GetWaitingPlays().size(), 1u);
    engine.Enable();
    engine.WaitForWorkers(-1);
    engine.CacheSubmission(play);
    EXPECT_TRUE(std::filesystem::exists(dir.file("kelmar.99.cache")));
    engine.m_interval = 60;
    engine.m_handshakeComplete = 1;
    engine.Disable();
    EXPECT_EQ(engine.GetSettings().pluginEnabled, 0);
    EXPECT_EQ(engine.m_interval, 0);
    EXPECT_EQ(engine.m_handshakeComplete, 0);
    EXPECT_EQ(engine.GetServer(), kDefaultHandshakeHost);
    EXPECT_EQ(engine.GetSubmitPath(), "");
    EXPECT_EQ(engine.m_lastHandshakeAttempt, MakeDateTime(2003, 1, 1, 0, 0, 0));
    engine.Enable();
    EXPECT_EQ(engine.GetSettings().pluginEnabled, 1);
}

// The log and the cache stay in the plug-in's folder while it can be written;
// else they go to the user's own folder; with neither, nothing moves.
TEST_F(EngineTest, TheDataFolderIsTheOwnOneWhileItCanBeWritten) {
    TempDir user;
    const std::string own = dir.str() + "\\", missing = dir.str() + "\\missing\\";
    const std::string fallback = user.str() + "\\";
    const struct {
        std::string own, userFolder, chosen;
    } rows[] = {
        {own, fallback, own},
        {missing, fallback, fallback},
        {missing, "", missing},
        {missing, missing, missing},
    };
    for (const auto& row : rows) {
        SetFakeUserDataFolder(row.userFolder);
        DataFolder choice = ChooseDataFolder(row.own);
        EXPECT_EQ(choice.path, row.chosen) << row.own << " " << row.userFolder;
        EXPECT_EQ(choice.own, row.chosen == row.own);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "the probe is removed";
    SetFakeUserDataFolder("");
}

TEST_F(EngineTest, LogSizeDecidesHowTheLogStarts) {
    FakeRegistrySetNumber(Key(), "logsize", 0);
    engine.StartPlaytallying(dir.str(), nullptr);
    g_Debug.Close();
    TestPlaytally second;
    second.StartPlaytallying(dir.str(), nullptr);
    std::string log = LogText();
    // Two banners, one per start, and no lines; the mark only in front.
    EXPECT_EQ(log, kBom + kBanner + kBanner);
}

TEST(SupportedFiles, VideosAndOptionallyStreamsAreSkipped) {
    TestPlaytally engine;
    EXPECT_EQ(engine.IsSupportedFile("C:\\music\\song.mp3"), 1);
    EXPECT_EQ(engine.IsSupportedFile("C:\\video\\clip.AvI"), 0);
    for (const char* video : {"a.nsv", "a.avi", "a.m2v", "a.asf", "a.wmv", "a.mpg", "movie.mpeg"})
        EXPECT_EQ(engine.IsSupportedFile(video), 0) << video;
    EXPECT_EQ(engine.IsSupportedFile("a.b"), 0);
    EXPECT_EQ(engine.IsSupportedFile("C:\\noext"), 0);
    EXPECT_EQ(engine.IsSupportedFile(".mp3x"), 0);
    EXPECT_EQ(engine.IsSupportedFile("C:\\dir.v1\\track"), 1);
    EXPECT_EQ(engine.IsSupportedFile("http://radio:8000/live.mp3"), 1);
    engine.Set(&Settings::ignoreHttp, 1);
    EXPECT_EQ(engine.IsSupportedFile("HTTP://radio:8000/live.mp3"), 0);
}

TEST_F(EngineTest, TheUserRemovesWaitingPlaysOrSendsThemWithTheAccountSetNow) {
    engine.m_history.SetFolder(dir.str() + "\\");
    g_Debug.Open(dir.str() + "\\Kelmar.log.txt", true, true, false);
    g_Debug.SetLevel(DEBUG_INFO);
    engine.Set(&Settings::username, "bob");
    Submission plays[3];
    for (int i = 0; i < 3; ++i) {
        plays[i].Set("A" + std::to_string(i), "T", "", "200", "C:\\a.mp3", "");
        plays[i].StampTime(0);
        plays[i].TagAccount(i == 2 ? "bob" : "alice");
    }
    engine.m_cache.AddSubmissions({plays[0], plays[1], plays[2]});
    engine.SendWithCurrentAccount({plays[0]});
    EXPECT_TRUE(engine.m_cache.GetAt(0).IsForAccount(MakeAccountTag("bob")));
    EXPECT_FALSE(engine.m_cache.GetAt(1).IsForAccount(MakeAccountTag("bob")));
    // A play already gone (sent meanwhile) is passed over.
    engine.RemoveWaitingPlays({plays[1], plays[2], plays[2]});
    ASSERT_EQ(engine.m_cache.GetCount(), 1);
    EXPECT_EQ(engine.m_cache.GetAt(0).Artist(), "A0");
    EXPECT_TRUE(Contains(LogText(), "\tRemoved 'A1 - T' from the cache at the user's request\r\n"));
    std::string history = ReadFileBytes(dir.file(kHistoryFileName));
    EXPECT_TRUE(Contains(history, "\tA1\tT\t\t200\t\tremoved\t"));
    EXPECT_TRUE(Contains(history, "\tA2\tT\t\t200\tbob\tremoved\t"));
    EXPECT_EQ(history.find("\tA2\t"), history.rfind("\tA2\t"));

    // A play a flush has taken is left alone, and counted; once the flush is
    // accepted, every play it carried is sent under its account.
    Submission retagged = engine.m_cache.GetAt(0);
    engine.m_cache.AddSubmissions({plays[1]});
    ASSERT_EQ(engine.TakeFlushBatch("alice").size(), 1u);
    EXPECT_EQ(engine.SendWithCurrentAccount({plays[1]}).beingSent, 1);
    CPlaytally::PlaysActedOn removed = engine.RemoveWaitingPlays({plays[1], retagged});
    EXPECT_EQ(removed.done, 1);
    EXPECT_EQ(removed.beingSent, 1);
    engine.ThreadCallback(REQUEST_CACHE, "OK\n", Submission(), 9, 200, "alice");
    EXPECT_EQ(engine.m_cache.GetCount(), 0);
    // A live play too is sent under the account it was posted as.
    engine.ThreadCallback(REQUEST_SUBMIT, "OK\n", plays[0], 10, 200, "carol");
    history = ReadFileBytes(dir.file(kHistoryFileName));
    EXPECT_TRUE(Contains(history, "\tA1\tT\t\t200\talice\tsent\t"));
    EXPECT_TRUE(Contains(history, "\tA0\tT\t\t200\tcarol\tsent\t"));

    // An edit keeps the time, length, path and account, also when the new
    // texts need UTF-8; a play without an artist, or one a flush took, is not
    // edited.
    engine.m_cache.AddSubmissions({plays[2], plays[1]});
    EXPECT_EQ(engine.EditWaitingPlay(plays[1], " ", "T", "").done, 0);
    EXPECT_EQ(engine.EditWaitingPlay(plays[1], "\xE6\x97\xA5", "T2 ", "Al").done, 1);
    Submission edited = engine.m_cache.GetAt(1);
    EXPECT_TRUE(edited.IsUtf8() && edited.IsValid());
    EXPECT_EQ(edited.Artist() + edited.Title() + edited.Album(), "\xE6\x97\xA5T2Al");
    EXPECT_EQ(edited.Time() + edited.Length() + edited.Path(), plays[1].Time() + "200C:\\a.mp3");
    EXPECT_TRUE(edited.IsTagged() && edited.IsForAccount(MakeAccountTag("alice")));
    history = ReadFileBytes(dir.file(kHistoryFileName));
    std::vector<PlayRow> rows = ReadHistoryRows(history);
    EXPECT_EQ(rows[0].artist + rows[0].title + rows[0].status, "\xE6\x97\xA5T2Edited");
    EXPECT_TRUE(Contains(history, "\tA1 - T -> \xE6\x97\xA5 - T2 (Al)\r\n"));
    ASSERT_EQ(engine.TakeFlushBatch("alice").size(), 1u);
    EXPECT_EQ(engine.EditWaitingPlay(edited, "A", "T", "").beingSent, 1);
    EXPECT_EQ(engine.m_cache.GetAt(1).Artist(), "\xE6\x97\xA5");
}
