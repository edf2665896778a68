#include <windows.h>

#include <climits>

#include "diagnostics/ansi_codepage.h"

bool AnsiToUtf16(const char* text, size_t length, std::u16string* out) {
    out->clear();
    if (length == 0) return true;
    if (length > INT_MAX / 2) return false;
    int n = static_cast<int>(length);
    int needed = MultiByteToWideChar(CP_ACP, 0, text, n, nullptr, 0);
    if (needed <= 0) return false;
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text, n, &wide[0], needed) != needed) return false;
    out->assign(wide.begin(), wide.end());
    return true;
}

bool Utf16ToAnsi(const std::u16string& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    if (text.size() > INT_MAX / 4) return false;
    std::wstring wide(text.begin(), text.end());
    int n = static_cast<int>(wide.size());
    // UTF-8 takes neither flag nor the used-default answer, and needs neither.
    bool utf8 = IsAnsiUtf8();
    DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    int needed = WideCharToMultiByte(CP_ACP, flags, wide.data(), n, nullptr, 0, nullptr, used);
    if (needed <= 0) return false;
    out->assign(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, wide.data(), n, &(*out)[0], needed, nullptr, used) !=
        needed) {
        return false;
    }
    return !usedDefault;
}

bool IsAnsiUtf8() {
    return GetACP() == CP_UTF8;
}

bool IsAnsiLeadByte(unsigned char byte) {
    return IsDBCSLeadByteEx(CP_ACP, byte) != FALSE;
}
