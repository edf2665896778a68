#include <shlobj.h>
#include <windows.h>

#include "engine/user_folder.h"

std::string GetUserDataFolder() {
    char path[MAX_PATH] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK ||
        path[0] == '\0')
        return std::string();
    std::string folder = std::string(path) + "\\Kelmar";
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return std::string();
    return folder + "\\";
}
