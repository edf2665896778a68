// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "diagnostics/wide_path_win32.h"
#include "engine/user_prompt.h"
#include "record/text_encoding.h"

int ShowPrompt(const std::string& text, const std::string& caption, uint32_t style) {
    return ShowOwnedPrompt(nullptr, text, caption, style);
}

int ShowOwnedPrompt(void* owner, const std::string& text, const std::string& caption,
                    uint32_t style) {
    // The service's texts may be in any script: shown as UTF-8, or as ANSI
    // when they are not UTF-8.
    return MessageBoxW(static_cast<HWND>(owner), WidePath(Utf8OrAnsi(text)).c_str(),
                       WidePath(Utf8OrAnsi(caption)).c_str(), style);
}

void ShellOpen(const std::string& target) {
    // A file of ours (the help page, the log) by its UTF-8 path, or a web page.
    ShellExecuteW(nullptr, L"open", WidePath(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
