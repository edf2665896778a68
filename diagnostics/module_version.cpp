#include "diagnostics/module_version.h"

#include "diagnostics/format.h"

std::string CModuleVersionInfo::GetVersionText() const {
    return Format("%s %s", m_fileVersion.c_str(), "");
}
