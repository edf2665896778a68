// The cache's file calls and the debug log's file, kept in memory: a fuzz run
// makes a dozen of them, and through the system they cost more than the code
// under test. Streams are real C streams (fopencookie) over the stored bytes.
#include "fuzz/memory_files.h"

#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "cache/file_ops.h"
#include "diagnostics/log_file.h"

namespace {

using Bytes = std::shared_ptr<std::string>;
std::map<std::string, Bytes>& Files() {
    static std::map<std::string, Bytes> files;
    return files;
}

struct Cookie {
    Bytes data;
    size_t pos = 0;
    bool append = false;
};

ssize_t Read(void* cookie, char* buffer, size_t size) {
    Cookie* c = static_cast<Cookie*>(cookie);
    size_t n = c->pos < c->data->size() ? std::min(size, c->data->size() - c->pos) : 0;
    std::memcpy(buffer, c->data->data() + c->pos, n);
    c->pos += n;
    return static_cast<ssize_t>(n);
}

ssize_t Write(void* cookie, const char* buffer, size_t size) {
    Cookie* c = static_cast<Cookie*>(cookie);
    if (c->append) c->pos = c->data->size();
    if (c->data->size() < c->pos + size) c->data->resize(c->pos + size);
    std::memcpy(&(*c->data)[c->pos], buffer, size);
    c->pos += size;
    return static_cast<ssize_t>(size);
}

int Seek(void* cookie, off64_t* offset, int whence) {
    Cookie* c = static_cast<Cookie*>(cookie);
    off64_t base = whence == SEEK_SET   ? 0
                   : whence == SEEK_CUR ? static_cast<off64_t>(c->pos)
                                        : static_cast<off64_t>(c->data->size());
    if (base + *offset < 0) return -1;
    c->pos = static_cast<size_t>(base + *offset);
    *offset = static_cast<off64_t>(c->pos);
    return 0;
}

int Close(void* cookie) {
    delete static_cast<Cookie*>(cookie);
    return 0;
}

}  // namespace

void MemoryFilesReset() {
    Files().clear();
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
    auto found = Files().find(path);
    auto* cookie = new Cookie;
    if (mode[0] == 'r') {
        if (found == Files().end()) {
            delete cookie;
            return nullptr;
        }
        cookie->data = found->second;
    } else {
        // A new file each time: a stream still open on the old one keeps it.
        if (mode[0] == 'a' && found != Files().end()) {
            cookie->data = found->second;
        } else {
            cookie->data = std::make_shared<std::string>();
            Files()[path] = cookie->data;
        }
        cookie->append = mode[0] == 'a';
    }
    std::FILE* stream = fopencookie(cookie, mode, {Read, Write, Seek, Close});
    if (!stream) delete cookie;
    return stream;
}

bool FlushToDisk(std::FILE* stream) {
    return std::fflush(stream) == 0;
}

bool FileExistsAt(const std::string& path) {
    return Files().count(path) != 0;
}

bool FileStampOf(const std::string& path, uint64_t* size, int64_t* modified) {
    auto found = Files().find(path);
    if (found == Files().end()) return false;
    *size = found->second->size();
    *modified = 0;
    return true;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
    auto found = Files().find(from);
    if (found == Files().end()) return false;
    Bytes data = found->second;
    Files().erase(found);
    Files()[to] = data;
    return true;
}

bool RemoveFilePath(const std::string& path) {
    return Files().erase(path) != 0;
}

void PauseBeforeRetry(unsigned) {}

// The log is formatted as usual; only its size is kept.
namespace {
uint64_t g_logSize = 0;
}  // namespace

bool CLogFile::Open(const std::string&, bool truncate) {
    m_handle = 1;
    if (truncate) g_logSize = 0;
    return true;
}

void CLogFile::Close() {
    m_handle = kInvalid;
}

bool CLogFile::GetSize(uint64_t* size) const {
    if (!IsOpen()) return false;
    *size = g_logSize;
    return true;
}

bool CLogFile::Append(const char*, size_t length) {
    if (!IsOpen()) return false;
    g_logSize += length;
    return true;
}

bool CLogFile::OverwriteTail(const char*, size_t length) {
    return IsOpen() && g_logSize >= length;
}
