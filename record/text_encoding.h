// The wire form of a value: ANSI text to UTF-8, then percent-encoded.
#pragma once

#include <cstddef>
#include <string>

#include "diagnostics/utf16.h"

// ANSI (the system code page) to UTF-8; empty when the conversion fails.
std::string AnsiToUtf8(const std::string& text);
// The text as it is when it is valid UTF-8, else read as ANSI: for texts that
// may come from either side (a user name, the service's bytes, an old record).
std::string Utf8OrAnsi(const std::string& text);
// The longest start of the ANSI text no longer than `limit` bytes that ends
// on a whole character of the code page (a lone lead byte at its end is not one).
size_t AnsiCutPoint(const std::string& text, size_t limit);

// Every byte that is not an ASCII letter or digit as "%xx" (lower-case hex).
std::string UrlEncode(const std::string& bytes);

// The text without white space (space, tab, line feed, vertical tab, form feed,
// carriage return) at either end.
std::string TrimSpace(const std::string& text);

// AnsiToUtf8 then UrlEncode; an empty text gives an empty result.
std::string EncodeField(const std::string& text);
