// The system's ANSI code page: the Win32 adapter asks the system (CP_ACP);
// native tests use a Windows-1252 table.
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
