#include <windows.h>

#include "diagnostics/log_file.h"
#include "diagnostics/wide_path_win32.h"

namespace {
HANDLE AsHandle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}
}  // namespace

bool CLogFile::Open(const std::string& path, bool truncate) {
    Close();
    HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    m_handle = reinterpret_cast<intptr_t>(h);
    return true;
}

void CLogFile::Close() {
    if (!IsOpen()) return;
    CloseHandle(AsHandle(m_handle));
    m_handle = kInvalid;
}

bool CLogFile::GetSize(uint64_t* size) const {
    if (!IsOpen()) return false;
    LARGE_INTEGER li;
    if (!GetFileSizeEx(AsHandle(m_handle), &li)) return false;
    *size = static_cast<uint64_t>(li.QuadPart);
    return true;
}

bool CLogFile::Append(const char* data, size_t length) {
    if (!IsOpen()) return false;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(AsHandle(m_handle), zero, nullptr, FILE_END)) return false;
    DWORD written = 0;
    return WriteFile(AsHandle(m_handle), data, static_cast<DWORD>(length), &written, nullptr) &&
           written == length;
}

bool CLogFile::OverwriteTail(const char* data, size_t length) {
    if (!IsOpen()) return false;
    LARGE_INTEGER back;
    back.QuadPart = -static_cast<LONGLONG>(length);
    if (!SetFilePointerEx(AsHandle(m_handle), back, nullptr, FILE_END)) return false;
    DWORD written = 0;
    return WriteFile(AsHandle(m_handle), data, static_cast<DWORD>(length), &written, nullptr) &&
           written == length;
}
