// Costs of the portable core's hot paths: encoding a full flush body, MD5, and
// loading a large cache file compared with reading the same bytes raw.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "cache/cache_manager.h"
#include "record/md5.h"
#include "record/submission.h"

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
    CacheFile() {
        dir = std::filesystem::temp_directory_path() / "kelmar_bench_cache";
        std::filesystem::create_directories(dir);
        path = (dir / kCacheFileName).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        for (int i = 0; i < 10000; ++i) {
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
    static CacheFile file;
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

}  // namespace

BENCHMARK_MAIN();
