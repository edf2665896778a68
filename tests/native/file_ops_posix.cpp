#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "cache/file_ops.h"
#include "tests/native/native_path.h"

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

bool FileSizeOf(const std::string& path, uint64_t* size) {
    struct stat st;
    if (::stat(NativePath(path).c_str(), &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
    return std::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

bool RemoveFilePath(const std::string& path) {
    return ::unlink(NativePath(path).c_str()) == 0;
}
