#include <mutex>

#include "engine/user_folder.h"
#include "tests/fakes/fakes.h"

namespace {
std::mutex g_lock;
std::string g_folder;
}  // namespace

void SetFakeUserDataFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_folder = folder;
}

std::string GetUserDataFolder() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_folder;
}
