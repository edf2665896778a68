#include "record/text_encoding.h"

std::string Utf8OrAnsi(const std::string& text) {
    return IsValidUtf8(text) ? text : AnsiToUtf8(text);
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
