// The input as a cache file: Load must keep exactly its valid whole records, in
// order, throw nothing, and leave a list the other calls and a reload agree on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cache/cache_manager.h"
#include "cache/file_ops.h"
#include "diagnostics/debug.h"
#include "fuzz/memory_files.h"

namespace {

const std::string kDir = "C:\\Fuzz";

// The log sees records' text through AddSubmission; it restarts when full.
struct Log {
    Log() {
        g_Debug.Open(kDir + "\\Kelmar.log.txt", true, true, false);
        g_Debug.SetLevel(1);
        g_Debug.SetMaxSize(256);
    }
    ~Log() { g_Debug.Close(); }
};

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "cache_load_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Log log;
    const std::string file = kDir + "\\" + kCacheFileName;
    const std::string bad = file + ".bad";

    MemoryFilesReset();
    if (std::FILE* stream = OpenStream(file, "wb")) {
        if (size > 0) std::fwrite(data, 1, size, stream);
        std::fclose(stream);
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
    bool clean = cache.Load(kDir, "");
    Check(cache.GetCount() == static_cast<int>(expected.size()), "wrong number of records");
    for (size_t i = 0; i < expected.size(); ++i) {
        Submission got = cache.GetAt(static_cast<int>(i));
        Check(std::memcmp(&got, &expected[i], sizeof(got)) == 0, "record changed or out of order");
    }
    Check(clean == allValid, "wrong result");
    Check(FileExistsAt(bad) == (!allValid || size % sizeof(Submission) != 0), "copy kept or not");
    Check(cache.GetAt(-1).artist[0] == 0 && cache.GetAt(cache.GetCount()).artist[0] == 0,
          "record outside the list");

    // Another start before any save finds the same file and its copy.
    CCacheManager twice;
    Check(twice.Load(kDir, "") == clean && twice.GetCount() == cache.GetCount(),
          "second load differs");
    Check(!FileExistsAt(bad + "1"), "same file kept twice");

    if (!expected.empty()) {
        cache.AddSubmission(cache.GetAt(0));
        cache.RemoveAt(static_cast<int>(data[0] % cache.GetCount()));
    }
    cache.RemoveAt(-1);
    Check(cache.Save(), "save failed");

    // The file now holds just the list.
    CCacheManager again;
    Check(again.Load(kDir, ""), "reload of a saved cache failed");
    Check(again.GetCount() == cache.GetCount(), "reload lost or gained records");
    return 0;
}
