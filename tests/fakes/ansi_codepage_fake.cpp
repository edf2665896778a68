// Windows-1252, the code page of western Windows systems (and of Wine here);
// or, when a test asks, UTF-8 (65001) or Japanese (932) as far as its lead bytes.
#include <atomic>

#include "diagnostics/ansi_codepage.h"
#include "diagnostics/utf16.h"
#include "tests/fakes/fakes.h"

namespace {
// 0x80..0x9F; the five bytes Windows leaves undefined map to themselves.
const char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
std::atomic<int> g_codePage{1252};
}  // namespace

void SetFakeAnsiCodePage(int codePage) {
    g_codePage = codePage;
}

bool AnsiToUtf16(const char* text, size_t length, std::u16string* out) {
    if (g_codePage == 65001) return *out = Utf8ToUtf16(std::string(text, length)), true;
    out->clear();
    out->reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out->push_back(c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : static_cast<char16_t>(c));
    }
    return true;
}

bool Utf16ToAnsi(const std::u16string& text, std::string* out) {
    if (g_codePage == 65001) return *out = Utf16ToUtf8(text, true), true;
    out->clear();
    bool exact = true;
    for (char16_t unit : text) {
        int byte = unit < 0x80 || (g_codePage == 1252 && unit >= 0xA0 && unit <= 0xFF) ? unit : -1;
        for (int i = 0; i < 32 && byte < 0 && g_codePage == 1252; ++i) {
            if (kHigh[i] == unit) byte = 0x80 + i;
        }
        exact = exact && byte >= 0;
        *out += static_cast<char>(byte >= 0 ? byte : '?');
    }
    return exact;
}

bool IsAnsiUtf8() {
    return g_codePage == 65001;
}

bool IsAnsiLeadByte(unsigned char byte) {
    return g_codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}
