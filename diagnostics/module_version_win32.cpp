#include <windows.h>

#include <vector>

#include "diagnostics/format.h"
#include "diagnostics/module_version.h"

namespace {

std::string QueryString(std::vector<char>& data, uint16_t language, uint16_t codePage,
                        const char* entry) {
    std::string query = Format("\\StringFileInfo\\%04x%04x\\%s", language, codePage, entry);
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr || length == 0) {
        return std::string();
    }
    // The length counts the terminator; never read past what the resource holds.
    std::string text(value, length);
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

}  // namespace

void CModuleVersionInfo::SetModule(void* module) {
    if (module) m_module = module;

    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(static_cast<HMODULE>(m_module), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    m_path = path;

    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path, 0, size, data.data())) return;

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translation = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &length) &&
        translation && length >= sizeof(Translation)) {
        m_language = translation->language;
        m_codePage = translation->codePage;
    } else {
        m_language = 0;
        m_codePage = 0;
    }
    m_fileVersion = QueryString(data, m_language, m_codePage, "FileVersion");
    m_privateBuild = QueryString(data, m_language, m_codePage, "PrivateBuild");
}
