// Plants a cache file of numbered plays, as the plug-in leaves them offline,
// for the scenarios and benchmarks that need more plays than a player makes in
// time (one a timer tick). Built for Windows and run under Wine.
//
//   plant_cache.exe FILE COUNT
//
// Play N (from 1) is "Planted Artist 0000N" - "Planted Title 0000N", 200 s,
// stamped N seconds after a start an hour ago: each can be told apart, in order.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "record/submission.h"

int main(int argc, char** argv) {
    long count = argc == 3 ? std::strtol(argv[2], nullptr, 10) : -1;
    if (count < 0) {
        std::fprintf(stderr, "usage: plant_cache.exe FILE COUNT\n");
        return 2;
    }
    std::vector<Submission> plays(static_cast<size_t>(count));
    std::time_t start = std::time(nullptr) - 3600 - count;
    for (long n = 1; n <= count; ++n) {
        char artist[32], title[32], path[48];
        std::snprintf(artist, sizeof(artist), "Planted Artist %05ld", n);
        std::snprintf(title, sizeof(title), "Planted Title %05ld", n);
        std::snprintf(path, sizeof(path), "C:\\Music\\Planted%05ld.mp3", n);
        Submission& play = plays[static_cast<size_t>(n - 1)];
        play.Set(artist, title, "", "200", path, "");
        play.StampTime(start + n);
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    bool ok =
        file && std::fwrite(plays.data(), sizeof(Submission), plays.size(), file) == plays.size();
    if (file) ok = std::fclose(file) == 0 && ok;
    if (!ok) std::fprintf(stderr, "plant_cache: cannot write %s\n", argv[1]);
    return ok ? 0 : 1;
}
