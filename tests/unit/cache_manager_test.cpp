#include "cache/cache_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "diagnostics/debug.h"
#include "engine/play_history.h"
#include "ui/plays_model.h"
#ifndef _WIN32
#include "tests/native/file_faults.h"
#endif
#include "tests/unit/test_support.h"

namespace {

Submission Record(const std::string& artist, const std::string& title,
                  const std::string& album = "") {
    Submission s;
    s.Set(artist, title, album, "215", "C:\\Music\\" + title + ".mp3", "");
    s.StampTime(1101101971);
    return s;
}

std::string Bytes(const Submission& s) {
    return std::string(reinterpret_cast<const char*>(&s), sizeof(s));
}

class CacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_Debug.Open(dir.str() + "\\Kelmar.log.txt", true, true, false);
        g_Debug.SetLevel(1);
    }
    void TearDown() override { g_Debug.Close(); }

    std::string CacheFile() const { return ReadFileBytes(dir.file(kCacheFileName)); }
    bool CacheFileExists() const { return std::filesystem::exists(dir.file(kCacheFileName)); }
    std::string LogText() const { return ReadFileBytes(dir.file("Kelmar.log.txt")); }

    TempDir dir;
};

}  // namespace

TEST_F(CacheTest, FileMirrorsTheListAfterEveryChange) {
    CCacheManager cache;
    EXPECT_TRUE(cache.Load(dir.str(), ""));  // no file yet: a normal, empty cache
    EXPECT_EQ(cache.GetFilePath(), dir.str() + "\\" + kCacheFileName);
    EXPECT_TRUE(Contains(LogText(), "doesn't exist"));

    Submission a = Record("A", "One"), b = Record("B", "Two", "Album"), c = Record("C", "Three");
    cache.AddSubmission(a);
    cache.AddSubmission(b);
    cache.AddSubmission(c);
    EXPECT_EQ(CacheFile(), Bytes(a) + Bytes(b) + Bytes(c));

    cache.RemoveAt(0);
    EXPECT_EQ(CacheFile(), Bytes(b) + Bytes(c));
    EXPECT_EQ(cache.GetStats(), std::make_pair(2, int64_t{2 * 803}));

    Submission copy = cache.GetAt(0);
    cache.RemoveAt(0);
    cache.RemoveAt(0);
    EXPECT_EQ(copy.GetDisplayText(), "B - Two (Album)");
    EXPECT_FALSE(CacheFileExists());
    EXPECT_EQ(cache.GetStats(), std::make_pair(0, int64_t{0}));
    EXPECT_FALSE(std::filesystem::exists(dir.file(std::string(kCacheFileName) + ".tmp")));
}

TEST_F(CacheTest, ReloadGivesTheSameRecordsByteForByte) {
    Submission full = Record(std::string(128, 'Z'), "Line\nFeed", "\x80\xff\xe9");
    std::memset(full.path, 'p', sizeof(full.path));
    {
        CCacheManager cache;
        cache.Load(dir.str() + "\\", "");
        cache.AddSubmission(full);
        cache.AddSubmission(Record("B", "Two"));
    }
    EXPECT_EQ(CacheFile().size(), 2u * 803);
    CCacheManager cache;
    EXPECT_TRUE(cache.Load(dir.str(), ""));
    ASSERT_EQ(cache.GetCount(), 2);
    EXPECT_EQ(Bytes(cache.GetAt(0)), Bytes(full));
    EXPECT_EQ(cache.GetAt(0).Title(), "Line\nFeed");
    EXPECT_EQ(cache.GetAt(1).Artist(), "B");
    EXPECT_EQ(Bytes(cache.GetAt(2)), Bytes(Submission()));
    EXPECT_EQ(Bytes(cache.GetAt(-1)), Bytes(Submission()));
    EXPECT_TRUE(Contains(LogText(), "Loaded 2 entries"));
}

TEST_F(CacheTest, EmptyAndShortFiles) {
    WriteFileBytes(dir.file(kCacheFileName), "");
    CCacheManager empty;
    EXPECT_TRUE(empty.Load(dir.str(), ""));
    EXPECT_EQ(empty.GetCount(), 0);
    EXPECT_TRUE(Contains(LogText(), "Loaded 0 entries"));

    std::string twoAndABit =
        Bytes(Record("A", "1")) + Bytes(Record("B", "2")) + std::string(100, 'x');
    WriteFileBytes(dir.file(kCacheFileName), twoAndABit);
    g_Debug.SetLevel(5);  // the plug-in's default
    CCacheManager cache;
    EXPECT_TRUE(cache.Load(dir.str(), ""));
    EXPECT_EQ(cache.GetCount(), 2);
    // An interrupted write's tail is no news at the default level...
    EXPECT_FALSE(Contains(LogText(), "Ignored 100 bytes"));
    // ...but it is still kept aside before the file is rewritten.
    EXPECT_EQ(ReadFileBytes(dir.file(std::string(kCacheFileName) + ".bad")), twoAndABit);
}

TEST_F(CacheTest, MalformedRecordsAreSkippedNotTheRecordsBehindThem) {
    Submission broken = Record("B", "x");
    std::memset(broken.title, 0, sizeof(broken.title));
    std::string original = Bytes(Record("A", "1")) + Bytes(broken) + Bytes(Record("C", "3"));
    WriteFileBytes(dir.file(kCacheFileName), original);

    CCacheManager cache;
    EXPECT_FALSE(cache.Load(dir.str(), ""));
    ASSERT_EQ(cache.GetCount(), 2);
    EXPECT_EQ(cache.GetAt(1).Artist(), "C");
    EXPECT_TRUE(Contains(LogText(), "ERROR - Load Failed. Malformed Cache File"));

    cache.AddSubmission(Record("D", "4"));
    EXPECT_EQ(CacheFile(),
              Bytes(Record("A", "1")) + Bytes(Record("C", "3")) + Bytes(Record("D", "4")));
    EXPECT_EQ(ReadFileBytes(dir.file(std::string(kCacheFileName) + ".bad")), original);

    // A second bad load keeps its own copy rather than overwriting the first.
    WriteFileBytes(dir.file(kCacheFileName), Bytes(broken));
    CCacheManager again;
    EXPECT_FALSE(again.Load(dir.str(), ""));
    EXPECT_EQ(ReadFileBytes(dir.file(std::string(kCacheFileName) + ".bad1")), Bytes(broken));
}

TEST_F(CacheTest, RecordsOfEveryVersionLoadAsTheyWereWritten) {
    Submission unmarked = Record("Old", "1"), utf8 = Record("\xce\x9b", "2");
    Submission tagged = Record("Tagged", "3"), withM = Record("M", "4");
    Submission badUtf8 = Record("\xce\x9b", "5"), garbage = Record("G", "6");
    std::memset(unmarked.mValue, 0, sizeof(unmarked.mValue));  // as every version wrote it
    tagged.TagAccount("alice");
    withM.Set("M", "4", "", "215", "C:\\m.mp3", "m value");
    withM.StampTime(0);
    badUtf8.artist[1] = '\xff';
    std::memset(garbage.mValue + 1, 0xA5, sizeof(garbage.mValue) - 1);
    const struct {
        const Submission& record;
        unsigned char flags;
    } kept[] = {{unmarked, 0}, {utf8, kFlagUtf8}, {tagged, kFlagAccount}, {withM, 0}, {garbage, 0}};
    std::string original = Bytes(unmarked) + Bytes(utf8) + Bytes(tagged) + Bytes(withM) +
                           Bytes(badUtf8) + Bytes(garbage);
    WriteFileBytes(dir.file(kCacheFileName), original);

    CCacheManager cache;
    EXPECT_FALSE(cache.Load(dir.str(), ""));
    ASSERT_EQ(cache.GetCount(), 5);
    std::string rest;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(cache.GetAt(i).Flags(), kept[i].flags) << i;
        rest += Bytes(kept[i].record);
    }
    EXPECT_TRUE(Contains(LogText(), "Skipped 1 malformed entries"));
    EXPECT_EQ(ReadFileBytes(dir.file(std::string(kCacheFileName) + ".bad")), original);
    cache.Save();
    EXPECT_EQ(CacheFile(), rest);
}

TEST_F(CacheTest, HistoryLinesAreAppendedWholeAndRotate) {
    CPlayHistory history;
    history.SetFolder(dir.str() + "\\");
    Submission play = Record("\xce\x9b", "Tab\tCR\rLF\n");
    std::string header = "\xEF\xBB\xBF" + HistoryHeader() + "\r\n";
    std::string line = HistoryLine({play, "alice", "set aside", "bad\ttime"}, 0);
    EXPECT_EQ(line,
              "2004-11-22 05:39:31\t\xce\x9b\tTab CR LF \t\t215\talice\tset aside\t"
              "1970-01-01 00:00:00\tbad time");
    auto file = [&] { return ReadFileBytes(dir.file(kHistoryFileName)); };
    auto lines = [&](size_t n) {
        std::string text;
        for (size_t i = 0; i < n; ++i)
            text += HistoryLine({play, "bob", "sent", "live"}, 60) + "\r\n";
        return text;
    };
    ASSERT_TRUE(history.Append({{play, "bob", "sent", "live"}, {play, "bob", "sent", "live"}}, 60));
    EXPECT_EQ(file(), header + lines(2));
    // A write cut by a kill: the next line starts on a line of its own.
    WriteFileBytes(dir.file(kHistoryFileName), header + "2004-11-22 05:3");
    history.Append({{play, "bob", "sent", "live"}}, 60);
    EXPECT_EQ(file(), header + "2004-11-22 05:3\r\n" + lines(1));
    // Read back newest first, each with its status; a line still being written is not read.
    std::vector<PlayRow> rows = ReadHistoryRows(header + line + "\r\n" + lines(1) + "2004");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].status, "Sent");
    EXPECT_EQ(rows[1].status, "Set aside: bad time");
    EXPECT_EQ(rows[1].title, "Tab CR LF ");
    // Past the size, the file becomes the old one and starts afresh.
    history.SetRotateBytes(header.size() + 1);
    std::string full = file();
    history.Append({{play, "bob", "sent", "live"}}, 60);
    EXPECT_EQ(ReadFileBytes(dir.file(kOldHistoryFileName)), full);
    EXPECT_EQ(file(), header + lines(1));
}

TEST_F(CacheTest, ADamagedFileIsKeptOnceHoweverOftenItIsLoaded) {
    Submission broken = Record("B", "x");
    std::memset(broken.artist, 0, sizeof(broken.artist));
    std::string original = Bytes(Record("A", "1")) + Bytes(broken);
    WriteFileBytes(dir.file(kCacheFileName), original);
    std::string bad = dir.str() + "\\" + kCacheFileName + ".bad";

    // Each start without a save in between finds the same file.
    for (int start = 0; start < 3; ++start) {
        CCacheManager cache;
        EXPECT_FALSE(cache.Load(dir.str(), ""));
        EXPECT_EQ(cache.GetCount(), 1);
    }
    EXPECT_EQ(ReadFileBytes(dir.file(std::string(kCacheFileName) + ".bad")), original);
    EXPECT_FALSE(std::filesystem::exists(dir.file(std::string(kCacheFileName) + ".bad1")));
    EXPECT_TRUE(Contains(LogText(), "Damaged cache file already kept as " + bad));

    // Same size, other bytes: a new copy.
    std::string other = Bytes(Record("C", "3")) + Bytes(broken);
    WriteFileBytes(dir.file(kCacheFileName), other);
    CCacheManager cache;
    EXPECT_FALSE(cache.Load(dir.str(), ""));
    EXPECT_EQ(ReadFileBytes(dir.file(std::string(kCacheFileName) + ".bad1")), other);
}

TEST_F(CacheTest, RecordsSpanningManyReadsKeepTheirOrder) {
    // Enough records for several reads, malformed ones scattered through them
    // (first and last included) and a partial record at the end.
    std::string file;
    std::vector<std::string> valid;
    for (int i = 0; i < 1000; ++i) {
        Submission s = Record("Artist " + std::to_string(i), "T");
        if (i % 97 == 0 || i == 999) {
            s.time[0] = 0;
        } else {
            valid.push_back(s.Artist());
        }
        file += Bytes(s);
    }
    file += std::string(10, 'x');
    WriteFileBytes(dir.file(kCacheFileName), file);

    CCacheManager cache;
    EXPECT_FALSE(cache.Load(dir.str(), ""));
    // A second load appends behind what the first one kept.
    EXPECT_FALSE(cache.Load(dir.str(), ""));
    ASSERT_EQ(cache.GetCount(), static_cast<int>(2 * valid.size()));
    for (size_t i = 0; i < 2 * valid.size(); ++i) {
        ASSERT_EQ(cache.GetAt(static_cast<int>(i)).Artist(), valid[i % valid.size()]) << i;
    }
    EXPECT_TRUE(Contains(LogText(), "Skipped 12 malformed entries"));
    EXPECT_TRUE(Contains(LogText(), "Ignored 10 bytes at the end"));
}

TEST_F(CacheTest, AFileTooLargeForACacheLoadsItsStartAndIsMovedAside) {
#ifdef _WIN32
    GTEST_SKIP() << "sparse files of terabytes are a native test";
#else
    // A damaged size of terabytes: once an attempt to reserve it all, which
    // threw out of Load.
    std::string start = Bytes(Record("A", "1")) + Bytes(Record("B", "2"));
    WriteFileBytes(dir.file(kCacheFileName), start);
    const uintmax_t huge = uintmax_t{2} << 40;
    std::error_code error;
    std::filesystem::resize_file(dir.file(kCacheFileName), huge, error);
    if (error) GTEST_SKIP() << "no sparse file of 2 TiB here: " << error.message();

    CCacheManager cache;
    bool loaded = true;
    EXPECT_NO_THROW(loaded = cache.Load(dir.str(), ""));
    EXPECT_FALSE(loaded);
    EXPECT_EQ(cache.GetCount(), 2);
    EXPECT_TRUE(Contains(LogText(), "is larger than 64 MiB"));
    // Too large to copy: moved aside whole, and what was read written back.
    EXPECT_EQ(std::filesystem::file_size(dir.file(std::string(kCacheFileName) + ".bad")), huge);
    EXPECT_EQ(CacheFile(), start);

    CCacheManager next;
    EXPECT_TRUE(next.Load(dir.str(), ""));
    EXPECT_EQ(next.GetCount(), 2);
#endif
}

TEST_F(CacheTest, WithoutALoadRecordsStayInMemory) {
    CCacheManager cache;
    EXPECT_TRUE(cache.AddSubmission(Record("A", "1")));
    EXPECT_EQ(cache.GetCount(), 1);
    EXPECT_TRUE(Contains(LogText(), "ERROR - Failed to open cache file"));
    cache.RemoveAt(5);  // out of range: refused, no crash
    EXPECT_EQ(cache.GetCount(), 1);
}

TEST_F(CacheTest, UnwritableFolderKeepsRecordsForTheNextSave) {
    CCacheManager cache;
    cache.Load(dir.str() + "\\no such folder", "");
    cache.AddSubmission(Record("A", "1"));
    cache.AddSubmission(Record("A", "2"));
    EXPECT_EQ(cache.GetCount(), 2);
    EXPECT_FALSE(cache.IsSaved());
    // An error once in a run, however often it fails.
    std::string log = LogText();
    EXPECT_EQ(log.find("ERROR - Failed to open cache file"),
              log.rfind("ERROR - Failed to open cache file"));
    EXPECT_TRUE(Contains(log, "ERROR - Failed to open cache file"));

    std::filesystem::create_directory(dir.path() / "no such folder");
    cache.AddSubmission(Record("B", "2"));
    EXPECT_EQ(ReadFileBytes(dir.path() / "no such folder" / kCacheFileName).size(), 3u * 803);
    EXPECT_TRUE(cache.IsSaved());
    EXPECT_TRUE(Contains(LogText(), "saved again"));
}

// A file that another program holds open (antivirus, backup, sync) refuses to
// be replaced or deleted. Whatever the outcome, a fresh load gives exactly the
// plays not yet accepted: none lost, none to be sent twice.
TEST_F(CacheTest, AFileHeldByAnotherProgramLosesAndRepeatsNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "the faults are played by the native file stand-in";
#else
    auto reloaded = [&] {
        CCacheManager fresh;
        fresh.Load(dir.str(), "");
        std::string titles;
        for (int i = 0; i < fresh.GetCount(); ++i)
            titles += fresh.GetAt(i).GetDisplayText() + ";";
        return titles;
    };
    CCacheManager cache;
    cache.Load(dir.str(), "");
    for (const char* title : {"1", "2", "3"})
        cache.AddSubmission(Record("A", title));

    // Let go within the retries: saved at once.
    RefuseFileChanges(3, 0);
    cache.AddSubmission(Record("A", "4"));
    EXPECT_TRUE(cache.IsSaved());
    EXPECT_EQ(RetryPauses(), 3);
    EXPECT_EQ(reloaded(), "A - 1;A - 2;A - 3;A - 4;");
    EXPECT_FALSE(Contains(LogText(), "ERROR"));

    // Held past them while a flush of two is accepted: unsaved, and the next
    // save (the engine's next tick) writes what is left.
    RefuseFileChanges(1000, 0);
    cache.RemoveRecords({cache.GetAt(0), cache.GetAt(1)});
    cache.AddSubmission(Record("A", "5"));
    EXPECT_FALSE(cache.IsSaved());
    std::string log = LogText();
    EXPECT_TRUE(Contains(log, "ERROR - Failed to replace cache file"));
    EXPECT_EQ(log.find("ERROR - Failed to replace"), log.rfind("ERROR - Failed to replace"));
    RefuseFileChanges(0, 0);
    EXPECT_TRUE(cache.Save());
    EXPECT_TRUE(Contains(LogText(),
                         "\t\tCache file " + dir.str() + "\\" + kCacheFileName + " saved again"));
    EXPECT_EQ(reloaded(), "A - 3;A - 4;A - 5;");

    // Emptied while the file cannot be deleted: an empty file in its place.
    RefuseFileChanges(0, 1000);
    cache.RemoveRecords({cache.GetAt(0), cache.GetAt(1), cache.GetAt(2)});
    EXPECT_TRUE(cache.IsSaved());
    EXPECT_TRUE(CacheFileExists());
    EXPECT_EQ(reloaded(), "");
    // Neither deleted nor emptied: kept for the next save, which deletes it.
    cache.AddSubmission(Record("A", "6"));
    RefuseFileChanges(1000, 1000);
    cache.RemoveAt(0);
    EXPECT_FALSE(cache.IsSaved());
    EXPECT_EQ(reloaded(), "A - 6;");
    RefuseFileChanges(0, 0);
    EXPECT_TRUE(cache.Save());
    EXPECT_FALSE(CacheFileExists());
#endif
}

TEST_F(CacheTest, ConcurrentAddsAndRemovesLoseNothing) {
    CCacheManager cache;
    cache.Load(dir.str(), "");
    std::thread adder([&] {
        for (int i = 0; i < 50; ++i)
            cache.AddSubmission(Record("Add", std::to_string(i)));
    });
    std::thread remover([&] {
        int removed = 0;
        while (removed < 25) {
            if (cache.GetCount() > 0) {
                cache.RemoveAt(0);
                ++removed;
            }
        }
    });
    adder.join();
    remover.join();
    EXPECT_EQ(cache.GetCount(), 25);
    EXPECT_EQ(CacheFile().size(), 25u * 803);
}
