#include <windows.h>

#include <climits>

#include "record/ansi_codepage.h"

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
