#include <shlobj.h>
#include <windows.h>

#include "diagnostics/wide_path_win32.h"
#include "engine/user_folder.h"

std::string GetUserDataFolder() {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK ||
        path[0] == L'\0')
        return std::string();
    std::wstring folder = std::wstring(path) + L"\\Kelmar";
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return std::string();
    return Utf8Path(folder) + "\\";
}
