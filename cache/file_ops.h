// The few file-system calls the cache makes, on Windows paths. The Win32
// adapter uses the system; natively the POSIX stand-in maps the separators.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// A C runtime stream, as fopen.
std::FILE* OpenStream(const std::string& path, const char* mode);
// A stream closed when it goes out of scope.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
// Pushes a stream's written data through to the disk.
bool FlushToDisk(std::FILE* stream);
bool FileExistsAt(const std::string& path);
// The size and last write time (in the system's own unit) of a file, to tell
// whether it changed; false when it is not there.
bool FileStampOf(const std::string& path, uint64_t* size, int64_t* modified);
inline bool FileSizeOf(const std::string& path, uint64_t* size) {
    int64_t modified;
    return FileStampOf(path, size, &modified);
}
// A whole file's bytes, read in one go; empty when it cannot be read or holds
// more than `limit` bytes. A file that grows meanwhile ends where its size said.
inline std::string ReadFileText(const std::string& path, uint64_t limit = UINT64_MAX) {
    FileHandle file(OpenStream(path, "rb"));
    uint64_t size = 0;
    std::string text;
    if (!file || !FileSizeOf(path, &size) || size > limit) return text;
    text.resize(static_cast<size_t>(size));
    text.resize(std::fread(&text[0], 1, text.size(), file.get()));
    return text;
}
// Puts `from` in place of `to` in one step, replacing it if it exists.
bool ReplaceFileAtomically(const std::string& from, const std::string& to);
bool RemoveFilePath(const std::string& path);
// Waits before a file operation is tried again.
void PauseBeforeRetry(unsigned milliseconds);
