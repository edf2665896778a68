// Costs of the portable core's hot paths: encoding a full flush body, MD5,
// loading a large cache file compared with reading the same bytes raw, and
// exporting 110 000 plays compared with copying the history they come from.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "cache/cache_manager.h"
#include "engine/corrections.h"
#include "engine/play_history.h"
#include "record/md5.h"
#include "record/submission.h"
#include "ui/plays_model.h"

namespace {

Submission Sample(int i) {
    Submission s;
    s.Set("Mot\xf6rhead & Friends " + std::to_string(i), "Ace of Spades (Live at Hammersmith)",
          "No Sleep 'til Hammersmith", "169", "C:\\Music\\Mot\xf6rhead\\Ace of Spades.mp3", "");
    s.StampTime(1101101971 + i);
    return s;
}

void BM_EncodeFullBody(benchmark::State& state) {
    std::vector<Submission> items;
    for (int i = 0; i < 10; ++i)
        items.push_back(Sample(i));
    for (auto _ : state) {
        std::string body =
            BuildSubmissionBody("0123456789abcdef0123456789abcdef", "listener", items);
        benchmark::DoNotOptimize(body.data());
    }
}
BENCHMARK(BM_EncodeFullBody);

void BM_Md5Hex(benchmark::State& state) {
    std::string text =
        "5ebe2294ecd0e0f08eab7690d2a6ee69"
        "3a8f7c0e2d4b6a1958f7e6d5c4b3a291";
    for (auto _ : state)
        benchmark::DoNotOptimize(Md5Hex(text));
}
BENCHMARK(BM_Md5Hex);

class CacheFile {
  public:
    explicit CacheFile(int records, const char* name = "kelmar_bench_cache") {
        dir = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(dir);
        path = (dir / kCacheFileName).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        for (int i = 0; i < records; ++i) {
            Submission s = Sample(i);
            std::fwrite(&s, sizeof(s), 1, f);
        }
        std::fclose(f);
    }
    ~CacheFile() { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::string path;
};

CacheFile& TheFile() {
    static CacheFile file(10000);
    return file;
}

void BM_CacheLoad10000(benchmark::State& state) {
    CacheFile& file = TheFile();
    for (auto _ : state) {
        CCacheManager cache;
        cache.Load(file.dir.string(), "");
        if (cache.GetCount() != 10000) state.SkipWithError("short load");
    }
}
BENCHMARK(BM_CacheLoad10000)->Unit(benchmark::kMicrosecond);

// A full cache, and 10 000 of its plays removed from the Plays window (every
// eighth), which must cost no more than a few loads of it: the cache's lock is
// held throughout. The file is rewritten in both.
CacheFile& FullFile() {
    static CacheFile file(80000, "kelmar_bench_full");
    return file;
}

void BM_CacheLoad80000(benchmark::State& state) {
    for (auto _ : state) {
        CCacheManager cache;
        cache.Load(FullFile().dir.string(), "");
        if (cache.GetCount() != 80000) state.SkipWithError("short load");
    }
}
BENCHMARK(BM_CacheLoad80000)->Unit(benchmark::kMillisecond);

void BM_CacheRemove10000Of80000(benchmark::State& state) {
    std::filesystem::path copy = FullFile().dir / "copy";
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::create_directories(copy);
        std::filesystem::copy_file(FullFile().path, copy / kCacheFileName,
                                   std::filesystem::copy_options::overwrite_existing);
        CCacheManager cache;
        cache.Load(copy.string(), "");
        std::vector<Submission> all = cache.GetAll(), chosen;
        for (size_t i = 0; i < all.size(); i += 8)
            chosen.push_back(all[i]);
        state.ResumeTiming();
        if (cache.RemoveRecords(chosen).records.size() != 10000) state.SkipWithError("missed");
    }
}
BENCHMARK(BM_CacheRemove10000Of80000)->Unit(benchmark::kMillisecond);

void BM_RawFread10000(benchmark::State& state) {
    CacheFile& file = TheFile();
    std::vector<char> buffer(10000 * sizeof(Submission));
    for (auto _ : state) {
        std::FILE* f = std::fopen(file.path.c_str(), "rb");
        size_t n = std::fread(buffer.data(), 1, buffer.size(), f);
        std::fclose(f);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_RawFread10000)->Unit(benchmark::kMicrosecond);

// 100 000 history lines beside the 10 000 cached plays.
const std::string& HistoryPath() {
    static const std::string path = [] {
        std::string p = (TheFile().dir / "kelmar.history.tsv").string();
        std::FILE* f = std::fopen(p.c_str(), "wb");
        std::fputs(
            "\xEF\xBB\xBFplayed_utc\tartist\ttitle\talbum\tlength\taccount\toutcome\tat_"
            "utc\tdetail\r\n",
            f);
        for (int i = 0; i < 100000; ++i) {
            std::fprintf(f,
                         "2026-01-%02d 10:%02d:00\tArtist %d\tTitle, %d\tAlbum %d\t200\tlistener\t"
                         "sent\t2026-01-%02d 10:%02d:30\tlive\r\n",
                         1 + i % 28, i % 60, i, i, i % 997, 1 + i % 28, i % 60);
        }
        std::fclose(f);
        return p;
    }();
    return path;
}

void BM_ExportPlays(benchmark::State& state) {
    std::vector<ServicePlays> waiting(1);
    waiting[0].account = "listener";
    for (int i = 0; i < 10000; ++i)
        waiting[0].plays.push_back(Sample(i));
    std::string out = (TheFile().dir / "export.csv").string();
    CPlayHistory history;
    history.SetFolder(std::filesystem::path(HistoryPath()).parent_path().string() + "/");
    for (auto _ : state) {
        int count = 0;
        if (!ExportPlays(out, waiting, history.Texts(), false, &count) || count != 110000)
            state.SkipWithError("export failed");
    }
}
BENCHMARK(BM_ExportPlays)->Unit(benchmark::kMillisecond);

void BM_CopyHistory(benchmark::State& state) {
    std::string out = (TheFile().dir / "copy.tsv").string();
    for (auto _ : state)
        std::filesystem::copy_file(HistoryPath(), out,
                                   std::filesystem::copy_options::overwrite_existing);
}
BENCHMARK(BM_CopyHistory)->Unit(benchmark::kMillisecond);

// A counted track under a correction file of 10 000 rules: what the timer's
// tick spends on it (the file is read again only when it changed).
std::string CorrectionFile() {
    std::string text =
        "\xEF\xBB\xBF"
        "field\tfrom\tto\r\n";
    for (int i = 0; i < 10000; ++i)
        text += (i % 3 == 0   ? "artist\tArtist "
                 : i % 3 == 1 ? "title\tTitle "
                              : "album\tAlbum ") +
                std::to_string(i) + "\tFixed " + std::to_string(i) + "\r\n";
    return text;
}

void BM_TagRulesPerTrack10000(benchmark::State& state) {
    CCorrections rules;
    rules.Parse(CorrectionFile());
    for (auto _ : state) {
        TagTexts texts{"ARTIST 4242", "Ace of Spades (Remastered 2011)", "Album 7"};
        benchmark::DoNotOptimize(ApplyTagRules(&texts, "", true, rules));
    }
}
BENCHMARK(BM_TagRulesPerTrack10000);

}  // namespace

BENCHMARK_MAIN();
