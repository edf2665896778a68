#include "cache/cache_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "diagnostics/debug.h"
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
    CCacheManager cache;
    EXPECT_TRUE(cache.Load(dir.str(), ""));
    EXPECT_EQ(cache.GetCount(), 2);
    // The unreadable tail is kept aside before the file is rewritten.
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
    EXPECT_EQ(cache.GetCount(), 1);
    EXPECT_TRUE(Contains(LogText(), "Failed to open cache file"));

    std::filesystem::create_directory(dir.path() / "no such folder");
    cache.AddSubmission(Record("B", "2"));
    EXPECT_EQ(ReadFileBytes(dir.path() / "no such folder" / kCacheFileName).size(), 2u * 803);
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
