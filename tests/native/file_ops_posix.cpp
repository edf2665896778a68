#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cache/file_ops.h"
#include "tests/native/file_faults.h"
#include "tests/native/native_path.h"

namespace {
// Replaces and deletes still to refuse, as for a file another program holds.
std::atomic<int> g_refusedReplaces{0};
std::atomic<int> g_refusedRemoves{0};
std::atomic<int> g_pauses{0};

bool Refused(std::atomic<int>& left) {
    int n = left.load();
    while (n > 0 && !left.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
}
}  // namespace

void RefuseFileChanges(int replaces, int removes) {
    g_refusedReplaces = replaces;
    g_refusedRemoves = removes;
    g_pauses = 0;
}

int RetryPauses() {
    return g_pauses;
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
    return std::fopen(NativePath(path).c_str(), mode);
}

bool FlushToDisk(std::FILE* stream) {
    return std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
}

bool FileExistsAt(const std::string& path) {
    struct stat st;
    return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileStampOf(const std::string& path, uint64_t* size, int64_t* modified) {
    struct stat st;
    if (::stat(NativePath(path).c_str(), &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    *modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
    if (Refused(g_refusedReplaces)) return false;
    return std::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

bool RemoveFilePath(const std::string& path) {
    if (Refused(g_refusedRemoves)) return false;
    return ::unlink(NativePath(path).c_str()) == 0;
}

void PauseBeforeRetry(unsigned milliseconds) {
    ++g_pauses;
    // A tenth of the real pause: the tests look at what is tried, not when.
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds / 10));
}
