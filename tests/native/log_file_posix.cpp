#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diagnostics/log_file.h"
#include "tests/native/native_path.h"

bool CLogFile::Open(const std::string& path, bool truncate) {
    Close();
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    int fd = ::open(NativePath(path).c_str(), flags, 0644);
    if (fd < 0) return false;
    m_handle = fd;
    return true;
}

void CLogFile::Close() {
    if (!IsOpen()) return;
    ::close(static_cast<int>(m_handle));
    m_handle = kInvalid;
}

bool CLogFile::GetSize(uint64_t* size) const {
    struct stat st;
    if (!IsOpen() || ::fstat(static_cast<int>(m_handle), &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool CLogFile::Append(const char* data, size_t length) {
    if (!IsOpen() || ::lseek(static_cast<int>(m_handle), 0, SEEK_END) < 0) return false;
    return ::write(static_cast<int>(m_handle), data, length) == static_cast<ssize_t>(length);
}

bool CLogFile::OverwriteTail(const char* data, size_t length) {
    if (!IsOpen()) return false;
    off_t end = ::lseek(static_cast<int>(m_handle), 0, SEEK_END);
    if (end < static_cast<off_t>(length)) return false;
    return ::pwrite(static_cast<int>(m_handle), data, length, end - static_cast<off_t>(length)) ==
           static_cast<ssize_t>(length);
}
