#include "engine/data_folder.h"

#include <cstdio>

#include "cache/file_ops.h"
#include "engine/user_folder.h"

bool CanWriteIn(const std::string& folder) {
    std::string probe = folder + "kelmar.probe";
    std::FILE* file = OpenStream(probe, "wb");
    if (!file) return false;
    bool ok = std::fclose(file) == 0;
    return RemoveFilePath(probe) && ok;
}

DataFolder ChooseDataFolder(const std::string& ownFolder) {
    DataFolder choice;
    choice.path = ownFolder;
    if (CanWriteIn(ownFolder)) return choice;
    std::string user = GetUserDataFolder();
    if (!user.empty() && CanWriteIn(user)) {
        choice.path = user;
        choice.own = false;
    }
    return choice;
}
