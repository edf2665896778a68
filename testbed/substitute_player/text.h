// The substitute player's own text helpers: script texts and paths are UTF-8,
// the system's wide calls take UTF-16, and every event is one result line.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

inline std::wstring Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

inline std::string Utf8(const std::wstring& wide) {
    int size = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &utf8[0], n, nullptr, nullptr);
    return utf8;
}

// The module's full file name, however long; empty when the system gives none.
inline std::string ModuleFileName(HMODULE module) {
    std::vector<wchar_t> name(32768);
    DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    return n == 0 || n >= name.size() ? std::string() : Utf8(std::wstring(name.data(), n));
}

// CR and LF would break the one-line-per-event result.
inline std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}
