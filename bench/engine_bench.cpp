// What the engine costs for the player's whole life: one timer tick with an
// empty cache and the connectivity probe, and the bytes the cache file takes
// while a large cache drains.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "tests/fakes/fakes.h"
#include "tests/unit/test_support.h"

namespace {

// A tick for a track already handed on, with a session and an empty cache.
void BM_TimerTickEmptyCache(benchmark::State& state) {
    TestPlaytally engine;
    engine.m_handshakeComplete = 1;
    engine.playing = 1;
    engine.m_submitted = 1;
    for (auto _ : state)
        engine.TimerCallback();
}
BENCHMARK(BM_TimerTickEmptyCache);

void BM_ConnectivityProbe(benchmark::State& state) {
    SetFakeNetwork(FakeNetwork());
    TestPlaytally engine;
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.InternetConnected());
}
BENCHMARK(BM_ConnectivityProbe);

Submission Play(int i) {
    Submission s;
    s.Set("Artist " + std::to_string(i), "Title", "Album", "215", "C:\\Music\\a.mp3", "");
    s.StampTime(1101101971 + i);
    return s;
}

// 1000 cached plays leave in accepted flushes of "maxcachesubs" 10, each batch
// removed as an accepted flush removes it. Reports the bytes written to the
// file against the 1000 records themselves.
void BM_CacheDrainBytes(benchmark::State& state) {
    TempDir dir;
    for (auto _ : state) {
        state.PauseTiming();
        CCacheManager cache;
        cache.Load(dir.str(), "");
        for (int i = 0; i < 1000; ++i)
            cache.AddSubmission(Play(i));
        state.ResumeTiming();
        double written = 0;
        while (cache.GetCount() > 0) {
            std::vector<Submission> batch;
            for (int i = 0; i < 10 && i < cache.GetCount(); ++i)
                batch.push_back(cache.GetAt(i));
            cache.RemoveRecords(batch);
            written += static_cast<double>(cache.GetStats().second);
        }
        state.counters["ratio"] = written / (1000.0 * sizeof(Submission));
    }
}
BENCHMARK(BM_CacheDrainBytes)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
