// The substitute player's own text helpers: the script and the result are
// UTF-8, the player keeps its texts as UTF-16 as the system's wide calls take
// them, and every event is one result line.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// From UTF-8, or from the ANSI code page with CP_ACP.
inline std::wstring Wide(const std::string& text, UINT codePage = CP_UTF8) {
    int size = static_cast<int>(text.size());
    int n = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(n, 0)), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], n);
    return wide;
}

// To the code page: UTF-8, or CP_ACP with the system's default character
// ("?") for what the ANSI code page lacks.
inline std::string Narrow(const std::wstring& wide, UINT codePage) {
    int size = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), size, &narrow[0], n, nullptr, nullptr);
    return narrow;
}

inline std::string Utf8(const std::wstring& wide) {
    return Narrow(wide, CP_UTF8);
}

// As a Unicode player answers the ANSI queries.
inline std::string Ansi(const std::wstring& wide) {
    return Narrow(wide, CP_ACP);
}

// Equal without regard to case, as file names are.
inline bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
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
