#include "diagnostics/debug.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/fakes/fakes.h"
#include "tests/unit/test_support.h"

namespace {

const std::string kBanner = LogBanner();
const std::string kBom = "\xEF\xBB\xBF";

class DebugLogTest : public ::testing::Test {
  protected:
    void TearDown() override { ResetFakeTickCount(); }
    std::string LogPath() const { return dir.str() + "\\Kelmar.log.txt"; }
    std::string Contents() const { return ReadFileBytes(dir.file("Kelmar.log.txt")); }

    TempDir dir;
};

}  // namespace

TEST(DebugLogPrefix, ColumnsAndFullYear) {
    char out[kFormatLimit + 1];
    LocalTime t{2026, 12, 6, 9, 5, 7};
    FormatLogPrefix(out, 62034, t, "CPlaytally::TimerCallback");
    EXPECT_STREQ(out, "62.034\t12/06/2026 09:05:07\tCPlaytally::TimerCallback\t\t");
    // Elapsed time is unsigned: it wraps rather than going negative.
    FormatLogPrefix(out, 0xFFFFFFFFu, t, "M");
    EXPECT_STREQ(out, "4294967.295\t12/06/2026 09:05:07\tM\t\t");
}

TEST_F(DebugLogTest, TextFormThresholdAndErrorPrefix) {
    CDebug log;
    EXPECT_EQ(log.GetLevel(), 9);
    log.Log(DEBUG_ERROR, "M", "before open");  // nothing is open yet
    log.Open(LogPath(), true, true, false);
    log.SetLevel(DEBUG_INFO);
    log.Log(DEBUG_DETAIL, "CCacheManager::Save", "hidden %d", 3);
    log.Log(DEBUG_INFO, "CCacheManager::Save", "shown %s %d", "five", 5);
    log.Log(DEBUG_ERROR, "CPlaytally::PostURL", "failed %s", "100%");
    log.Log(-1, "M", "negative levels are never written");
    // UTF-8 as it is; anything else is ANSI; the cut never splits a character.
    log.Log(DEBUG_INFO, "M", "%s|%s", "Mot\xf6rhead", "\xe6\x97\xa5");
    log.Log(DEBUG_INFO, "M", "%s", "\xe6\x97\xa5\xe6\x97\xa5");
    log.Log(DEBUG_INFO, "M", "%s\xe6\x97\xa5", std::string(1022, 'x').c_str());
    std::string text = Contents();
    ASSERT_EQ(text.rfind(kBom + kBanner, 0), 0u);
    EXPECT_TRUE(Contains(text, "\tM\t\tMot\xc3\xb6rhead|\xc3\xa6\xe2\x80\x94\xc2\xa5\r\n"));
    EXPECT_TRUE(Contains(text, "\tM\t\t\xe6\x97\xa5\xe6\x97\xa5\r\n"));
    EXPECT_TRUE(Contains(text, "\tM\t\t" + std::string(1022, 'x') + "\r\n"));
    EXPECT_FALSE(Contains(text, "hidden"));
    EXPECT_FALSE(Contains(text, "before open"));
    EXPECT_FALSE(Contains(text, "negative"));
    EXPECT_TRUE(Contains(text, "\tCCacheManager::Save\t\tshown five 5\r\n"));
    EXPECT_TRUE(Contains(text, "\tCPlaytally::PostURL\t\tERROR - failed 100%\r\n"));
    EXPECT_EQ(text.find("ERROR - "), text.rfind("ERROR - "));
    log.Close();
}

TEST_F(DebugLogTest, LevelsAndSizeSettingsRejectOutOfRange) {
    CDebug log;
    EXPECT_FALSE(log.SetLevel(0));
    EXPECT_FALSE(log.SetLevel(10));
    EXPECT_TRUE(log.SetLevel(1));
    EXPECT_EQ(log.GetLevel(), 1);
    EXPECT_TRUE(log.SetMaxSize(0));
    EXPECT_FALSE(log.IsEnabled());
    EXPECT_TRUE(log.SetMaxSize(-1));
    EXPECT_TRUE(log.IsEnabled());
    EXPECT_EQ(log.GetMaxSize(), -1);
    EXPECT_FALSE(log.SetMaxSize(-2));
    EXPECT_TRUE(log.SetMaxSize(4));
    EXPECT_EQ(log.GetMaxSize(), 4096);
    EXPECT_TRUE(log.SetMaxSize(1 << 21));  // beyond what fits: no limit rather than overflow
    EXPECT_EQ(log.GetMaxSize(), -1);
}

TEST_F(DebugLogTest, OversizedFileStartsAfreshAndElapsedContinues) {
    SetFakeTickCount(1000);
    CDebug log;
    log.Open(LogPath(), true, true, false);
    log.SetMaxSize(1);
    log.SetLevel(1);
    std::string filler(300, 'x');
    for (int i = 0; i < 3; ++i)
        log.Log(DEBUG_INFO, "M", "%s", filler.c_str());
    EXPECT_GT(Contents().size(), 1024u);
    SetFakeTickCount(1000 + 7250);
    log.Log(DEBUG_INFO, "M", "after the limit");
    std::string text = Contents();
    ASSERT_EQ(text.rfind(kBom + kBanner, 0), 0u);
    EXPECT_EQ(text.substr(kBom.size() + kBanner.size(), 6), "7.250\t");
    EXPECT_TRUE(Contains(text, "after the limit"));
    EXPECT_FALSE(Contains(text, filler));
    log.Close();
}

TEST_F(DebugLogTest, AppendingKeepsOldLinesAndAddsABanner) {
    {
        CDebug log;
        log.Open(LogPath(), true, true, false);
        log.Log(DEBUG_ERROR, "M", "first run");
    }
    CDebug log;
    log.Open(LogPath(), false, false, false);  // "logsize" 0: banner but no lines
    log.Log(DEBUG_ERROR, "M", "second run");
    std::string text = Contents();
    EXPECT_TRUE(Contains(text, "first run"));
    EXPECT_FALSE(Contains(text, "second run"));
    EXPECT_EQ(text.rfind(kBanner), text.size() - kBanner.size());
    log.Close();
}

TEST_F(DebugLogTest, XmlFormEscapesAmpersandsAndReopensTheDocument) {
    {
        CDebug log;
        log.Open(LogPath(), true, true, true);
        log.Log(DEBUG_ERROR, "A<B", "R&B <tag>");
    }
    std::string path = dir.str() + "/Kelmar.log.txt.xml";
    std::string text = ReadFileBytes(path);
    EXPECT_EQ(
        text.rfind(
            kBom + "<?xml:stylesheet type=\"text/xsl\" href=\"debug.xsl\"?><DEBUG><LINE><ELAPSED>",
            0),
        0u);
    EXPECT_TRUE(Contains(
        text, "<MODULE>A<B</MODULE><MESSAGE>ERROR - R&amp;B <tag></MESSAGE></LINE></DEBUG>"));

    {
        CDebug log;
        log.Open(LogPath(), false, true, true);
        log.Log(DEBUG_INFO, "M", "again");
    }
    text = ReadFileBytes(path);
    // The old end tag is blanked; exactly one remains, at the end.
    EXPECT_EQ(text.find("</DEBUG>"), text.size() - 8);
    EXPECT_TRUE(Contains(text, "</LINE>        Elapsed"));
}

TEST_F(DebugLogTest, UnopenablePathsSwitchLoggingOff) {
    CDebug log;
    log.Open(dir.str() + "\\missing\\folder\\log.txt", true, true, false);
    EXPECT_FALSE(log.IsEnabled());
    log.Log(DEBUG_ERROR, "M", "lost");  // no crash, nothing written

    CDebug longPath;
    longPath.Open(dir.str() + "\\" + std::string(300, 'n'), true, true, false);
    EXPECT_FALSE(longPath.IsEnabled());
}

TEST_F(DebugLogTest, LinesFromManyThreadsNeverInterleave) {
    CDebug log;
    log.Open(LogPath(), true, true, false);
    log.SetLevel(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 200; ++i) {
                log.Log(i % 2 ? DEBUG_ERROR : DEBUG_TRACE, "Worker", "thread %d line %d %s", t, i,
                        "payload-payload-payload");
                if (i == 100) log.SetLevel(1);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    log.Close();
    std::string text = Contents().substr(kBom.size() + kBanner.size());
    size_t lines = 0;
    size_t pos = 0;
    while ((pos = text.find("\r\n", pos)) != std::string::npos) {
        ++lines;
        pos += 2;
    }
    EXPECT_EQ(lines, 800u);
    // Every line is whole: its module column is followed by its own message.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end - start);
        EXPECT_TRUE(Contains(line, "\tWorker\t\t")) << line;
        EXPECT_TRUE(Contains(line, " payload-payload-payload")) << line;
        start = end + 2;
    }
}
