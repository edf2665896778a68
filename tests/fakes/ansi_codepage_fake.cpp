// Windows-1252, the code page of western Windows systems (and of Wine here).
#include "record/ansi_codepage.h"

namespace {
// 0x80..0x9F; the five bytes Windows leaves undefined map to themselves.
const char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
}  // namespace

bool AnsiToUtf16(const char* text, size_t length, std::u16string* out) {
    out->clear();
    out->reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out->push_back(c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : static_cast<char16_t>(c));
    }
    return true;
}

bool Utf16ToAnsi(const std::u16string& text, std::string* out) {
    out->clear();
    bool exact = true;
    for (char16_t unit : text) {
        int byte = unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF) ? unit : -1;
        for (int i = 0; i < 32 && byte < 0; ++i) {
            if (kHigh[i] == unit) byte = 0x80 + i;
        }
        exact = exact && byte >= 0;
        *out += static_cast<char>(byte >= 0 ? byte : '?');
    }
    return exact;
}

bool IsAnsiUtf8() {
    return false;
}

bool IsAnsiLeadByte(unsigned char) {
    return false;
}
