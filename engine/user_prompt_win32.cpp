// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "diagnostics/wide_path_win32.h"
#include "engine/user_prompt.h"

int ShowPrompt(const std::string& text, const std::string& caption, uint32_t style) {
    return ShowOwnedPrompt(nullptr, text, caption, style);
}

int ShowOwnedPrompt(void* owner, const std::string& text, const std::string& caption,
                    uint32_t style) {
    return MessageBoxA(static_cast<HWND>(owner), text.c_str(), caption.c_str(), style);
}

void ShellOpen(const std::string& target) {
    // A file of ours (the help page, the log) by its UTF-8 path, or a web page.
    ShellExecuteW(nullptr, L"open", WidePath(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
