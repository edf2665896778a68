#include "diagnostics/ansi_codepage.h"

#include <algorithm>

#include "diagnostics/utf16.h"

std::string AnsiToUtf8(const std::string& text) {
    // Every ANSI code page keeps ASCII as it is.
    if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) return text;
    std::u16string wide;
    if (!AnsiToUtf16(text.data(), text.size(), &wide)) return std::string();
    return Utf16ToUtf8(wide);
}

size_t AnsiCutPoint(const std::string& text, size_t limit) {
    if (IsAnsiUtf8()) return Utf8CutPoint(text, limit);
    // Walked from the start: a trail byte may look like a lead byte. A lead
    // byte at the very end is half a character, cut by someone before.
    size_t end = text.size() < limit ? text.size() : limit;
    size_t cut = 0;
    while (cut < end) {
        size_t step = IsAnsiLeadByte(static_cast<unsigned char>(text[cut])) ? 2 : 1;
        if (cut + step > end) break;
        cut += step;
    }
    return cut;
}
