// The input as a cache file: Load must keep exactly its valid whole records, in
// order, throw nothing, and leave a list the other calls and a reload agree on.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/cache_manager.h"
#include "diagnostics/debug.h"

namespace fs = std::filesystem;

namespace {

// Saves and kept copies flush to disk on every run; memory-backed storage keeps
// that from dominating the run time. Removed when the run ends normally; after a
// crash scripts/fuzz.sh removes its KELMAR_FUZZ_SCRATCH.
struct Folders {
    Folders() {
        const char* scratch = std::getenv("KELMAR_FUZZ_SCRATCH");
        fs::path base = scratch && *scratch            ? fs::path(scratch)
                        : fs::is_directory("/dev/shm") ? fs::path("/dev/shm")
                                                       : fs::temp_directory_path();
        root = base / ("kelmar_fuzz_" + std::to_string(::getpid()));
        cache = root / "cache";
        fs::create_directories(cache);
        // The log sees records' text through AddSubmission; it restarts when full.
        g_Debug.Open((root / "Kelmar.log.txt").string(), true, true, false);
        g_Debug.SetLevel(1);
        g_Debug.SetMaxSize(256);
    }
    ~Folders() {
        g_Debug.Close();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
    fs::path cache;
};

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "cache_load_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Folders folders;
    const fs::path& dir = folders.cache;
    const fs::path bad = dir / (std::string(kCacheFileName) + ".bad");

    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ignored))
        fs::remove(entry.path(), ignored);
    if (std::FILE* file = std::fopen((dir / kCacheFileName).c_str(), "wb")) {
        if (size > 0) std::fwrite(data, 1, size, file);
        std::fclose(file);
    }

    // What a correct load keeps: the valid whole records, in their order.
    std::vector<Submission> expected;
    for (size_t at = 0; at + sizeof(Submission) <= size; at += sizeof(Submission)) {
        Submission record;
        std::memcpy(&record, data + at, sizeof(record));
        if (record.IsValid()) expected.push_back(record);
    }
    bool allValid = expected.size() == size / sizeof(Submission);

    CCacheManager cache;
    bool clean = cache.Load(dir.string(), "");
    Check(cache.GetCount() == static_cast<int>(expected.size()), "wrong number of records");
    for (size_t i = 0; i < expected.size(); ++i) {
        Submission got = cache.GetAt(static_cast<int>(i));
        Check(std::memcmp(&got, &expected[i], sizeof(got)) == 0, "record changed or out of order");
    }
    Check(clean == allValid, "wrong result");
    Check(fs::exists(bad) == (!allValid || size % sizeof(Submission) != 0), "copy kept or not");
    Check(cache.GetAt(-1).artist[0] == 0 && cache.GetAt(cache.GetCount()).artist[0] == 0,
          "record outside the list");

    // Another start before any save finds the same file and its copy.
    CCacheManager twice;
    Check(twice.Load(dir.string(), "") == clean && twice.GetCount() == cache.GetCount(),
          "second load differs");
    Check(!fs::exists(dir / (std::string(kCacheFileName) + ".bad1")), "same file kept twice");

    if (!expected.empty()) {
        cache.AddSubmission(cache.GetAt(0));
        cache.RemoveAt(static_cast<int>(data[0] % cache.GetCount()));
    }
    cache.RemoveAt(-1);
    Check(cache.Save(), "save failed");

    // The file now holds just the list.
    CCacheManager again;
    Check(again.Load(dir.string(), ""), "reload of a saved cache failed");
    Check(again.GetCount() == cache.GetCount(), "reload lost or gained records");
    return 0;
}
