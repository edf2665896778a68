#include <io.h>
#include <windows.h>

#include "cache/file_ops.h"
#include "diagnostics/wide_path_win32.h"

std::FILE* OpenStream(const std::string& path, const char* mode) {
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(WidePath(path).c_str(), wideMode.c_str());
}

bool FlushToDisk(std::FILE* stream) {
    return std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
}

bool FileExistsAt(const std::string& path) {
    DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileStampOf(const std::string& path, uint64_t* size, int64_t* modified) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    *modified =
        static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                             data.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool ReplaceFileAtomically(const std::string& from, const std::string& to) {
    return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFilePath(const std::string& path) {
    return DeleteFileW(WidePath(path).c_str()) != 0;
}

void PauseBeforeRetry(unsigned milliseconds) {
    Sleep(milliseconds);
}
