// UTF-16, as the system's wide functions take and give texts, to the UTF-8
// that texts and paths are inside the plug-in, and the checks on UTF-8 texts.
#pragma once

#include <cstddef>
#include <string>

// What starts a UTF-8 file, so that every editor reads it as UTF-8.
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

// A valid surrogate pair becomes one four-byte sequence. A lone surrogate half
// is written as its own three-byte sequence, so that a path round-trips, or as
// U+FFFD when `replaceLoneHalves` (a text shown or sent).
std::string Utf16ToUtf8(const std::u16string& text, bool replaceLoneHalves = false);
// Every byte that is not part of a well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
// Well-formed UTF-8: no stray or overlong sequence, no surrogate, at most U+10FFFF.
bool IsValidUtf8(const std::string& text);
// The longest start of the UTF-8 text no longer than `limit` bytes that ends
// on a whole character.
size_t Utf8CutPoint(const std::string& text, size_t limit);
