// The wire form of a value: ANSI text to UTF-8, then percent-encoded.
#pragma once

#include <cstddef>
#include <string>

#include "diagnostics/ansi_codepage.h"
#include "diagnostics/utf16.h"

// The text as it is when it is valid UTF-8, else read as ANSI: for texts that
// may come from either side (a user name, the service's bytes, an old record).
std::string Utf8OrAnsi(const std::string& text);

// Every byte that is not an ASCII letter or digit as "%xx" (lower-case hex).
std::string UrlEncode(const std::string& bytes);

// The text without white space (space, tab, line feed, vertical tab, form feed,
// carriage return) at either end.
std::string TrimSpace(const std::string& text);
// A-Z as a-z; every other byte as it is (names, paths and keys compared
// without regard to ASCII case).
inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline std::string AsciiLower(std::string text) {
    for (char& c : text)
        c = AsciiLower(c);
    return text;
}

// AnsiToUtf8 then UrlEncode; an empty text gives an empty result.
std::string EncodeField(const std::string& text);
