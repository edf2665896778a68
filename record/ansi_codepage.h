// Conversion from the system's ANSI code page to UTF-16: the Win32 adapter asks
// the system (CP_ACP); native tests use a Windows-1252 table.
#pragma once

#include <cstddef>
#include <string>

// Converts `length` bytes (no terminator needed). False when the system refuses.
bool AnsiToUtf16(const char* text, size_t length, std::u16string* out);
