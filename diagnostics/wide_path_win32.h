// Paths inside the plug-in are UTF-8 whatever the system's code page, so that
// a folder named outside it ("Музыка" on a Western system, a user name in
// another script) is reached all the same: the adapters call the wide forms of
// the system's functions with them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "diagnostics/utf16.h"

// A UTF-8 path, or any UTF-8 text, for the wide calls.
inline std::wstring WidePath(const std::string& path) {
    if (path.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &wide[0], n);
    return wide;
}

inline std::string Utf8Path(const std::wstring& path) {
    return Utf16ToUtf8(std::u16string(path.begin(), path.end()));
}

// The module's full file name (nullptr: the program's), however long; empty
// when the system gives none.
inline std::string ModuleFileName(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        if (n < buffer.size()) return Utf8Path(std::wstring(buffer.data(), n));
        if (buffer.size() >= 32768) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}
