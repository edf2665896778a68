// The system's ANSI code page: the Win32 adapter asks the system (CP_ACP);
// native tests use a Windows-1252 table. Below it, the two readings of ANSI
// text built on it that the log needs as much as the records.
#pragma once

#include <cstddef>
#include <string>

// Converts `length` bytes (no terminator needed). False when the system refuses.
bool AnsiToUtf16(const char* text, size_t length, std::u16string* out);
// UTF-16 to the code page. False when some character has no exact form there:
// a best-fit stand-in ("s" for "ŝ") or the default character counts as none.
// Under code page 65001 every text has one.
bool Utf16ToAnsi(const std::u16string& text, std::string* out);
// The code page is UTF-8 (65001).
bool IsAnsiUtf8();
// The byte starts a two-byte character (code pages 932, 936, 949, 950).
bool IsAnsiLeadByte(unsigned char byte);

// ANSI (the system code page) to UTF-8; empty when the conversion fails.
std::string AnsiToUtf8(const std::string& text);
// The longest start of the ANSI text no longer than `limit` bytes that ends
// on a whole character of the code page (a lone lead byte at its end is not one).
size_t AnsiCutPoint(const std::string& text, size_t limit);
