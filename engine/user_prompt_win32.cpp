// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "diagnostics/debug.h"
#include "diagnostics/translate.h"
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
                       WidePath(Utf8OrAnsi(Tr(caption))).c_str(), style);
}

void ShellOpen(const std::string& target) {
    // A file of ours (the help page, the log) by its UTF-8 path, or a web page.
    ShellExecuteW(nullptr, L"open", WidePath(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void LoadWindowLanguage(void* module, const std::string& setting) {
    LANGID windows = GetUserDefaultUILanguage();
    std::string language = ChooseLanguage(setting, windows);
    Catalogue catalogue;
    if (!language.empty()) {
        // Resource names are upper case: "LANG_PT_BR" for "pt-BR".
        std::wstring name = L"LANG_";
        for (char c : language)
            name += static_cast<wchar_t>(c == '-' ? '_' : c >= 'a' && c <= 'z' ? c - 32 : c);
        HMODULE instance = static_cast<HMODULE>(module);
        HRSRC found = FindResourceW(instance, name.c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
        HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
        const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        std::string error = "not in the module";
        if (bytes && ParseCatalogue(std::string(bytes, SizeofResource(instance, found)), &catalogue,
                                    &error)) {
            catalogue.language = language;
        } else {
            g_Debug.Log(DEBUG_ERROR, "LoadWindowLanguage",
                        "The windows' texts in %s are unreadable (%s) - shown in English",
                        language.c_str(), error.c_str());
            catalogue = Catalogue();
        }
    }
    g_Debug.Log(DEBUG_INFO, "LoadWindowLanguage",
                "Windows language 0x%04x, language value \"%s\" - windows in %s",
                static_cast<unsigned>(windows), setting.c_str(),
                catalogue.language.empty() ? "en" : catalogue.language.c_str());
    InstallCatalogue(std::move(catalogue));
}
