// UTF-16, as the system's wide functions take and give texts, to the UTF-8
// that texts and paths are inside the plug-in.
#pragma once

#include <string>

// A valid surrogate pair becomes one four-byte sequence; a lone surrogate half
// is written as its own three-byte sequence.
std::string Utf16ToUtf8(const std::u16string& text);
