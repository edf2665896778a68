#include "record/text_encoding.h"

#include <algorithm>

#include "record/ansi_codepage.h"

std::string AnsiToUtf8(const std::string& text) {
    // Every ANSI code page keeps ASCII as it is.
    if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) return text;
    std::u16string wide;
    if (!AnsiToUtf16(text.data(), text.size(), &wide)) return std::string();
    return Utf16ToUtf8(wide);
}

std::string Utf8OrAnsi(const std::string& text) {
    return IsValidUtf8(text) ? text : AnsiToUtf8(text);
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

std::string UrlEncode(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string EncodeField(const std::string& text) {
    if (text.empty()) return std::string();
    return UrlEncode(AnsiToUtf8(text));
}

std::string TrimSpace(const std::string& text) {
    const char* space = " \t\n\v\f\r";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}
