#include <windows.h>

#include <cstring>
#include <vector>

#include "diagnostics/format.h"
#include "diagnostics/module_version.h"
#include "diagnostics/wide_path_win32.h"

namespace {

std::string QueryString(std::vector<char>& data, uint16_t language, uint16_t codePage,
                        const char* entry) {
    std::string name = Format("\\StringFileInfo\\%04x%04x\\%s", language, codePage, entry);
    std::wstring query(name.begin(), name.end());
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        value == nullptr || length == 0) {
        return std::string();
    }
    // The length counts the terminator; never read past what the resource holds.
    std::wstring text(value, length);
    size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return Utf8Path(text);
}

}  // namespace

void CModuleVersionInfo::SetModule(void* module) {
    if (module) m_module = module;
    HMODULE handle = static_cast<HMODULE>(m_module);
    m_path = ModuleFileName(handle);

    // From the module's own resource, by its handle: its path may not be
    // expressible in the code page, and the file need not be read again.
    // 16: RT_VERSION, as a wide name.
    HRSRC found = FindResourceW(handle, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));
    HGLOBAL loaded = found ? LoadResource(handle, found) : nullptr;
    const void* resource = loaded ? LockResource(loaded) : nullptr;
    DWORD size = found ? SizeofResource(handle, found) : 0;
    if (!resource || size == 0) return;
    // A copy with room to spare, as the version functions expect of a block
    // they may write conversions into.
    std::vector<char> data(size * 2);
    std::memcpy(data.data(), resource, size);

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translation = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
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
