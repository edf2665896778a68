#include <mutex>

#include "diagnostics/module_version.h"
#include "tests/fakes/fakes.h"

namespace {
std::mutex g_lock;
std::string g_fileVersion = "1.2.1";
std::string g_privateBuild = "592";
}  // namespace

void SetFakeModuleVersion(const std::string& fileVersion, const std::string& privateBuild) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_fileVersion = fileVersion;
    g_privateBuild = privateBuild;
}

void CModuleVersionInfo::SetModule(void* module) {
    if (module) m_module = module;
    std::lock_guard<std::mutex> guard(g_lock);
    m_path = "Gen_Kelmar.dll";
    m_language = 0x0409;
    m_codePage = 0x04b0;
    m_fileVersion = g_fileVersion;
    m_privateBuild = g_privateBuild;
}
