// The version resource of a module's file: the plug-in reads its own file
// version ("1.2.1") and private build ("592") from it.
#pragma once

#include <cstdint>
#include <string>

class CModuleVersionInfo {
  public:
    CModuleVersionInfo() { SetModule(nullptr); }
    virtual ~CModuleVersionInfo() = default;

    // Replaces the module when one is given (none: the host's executable), then
    // reads the file's version information again. A file without it keeps the
    // previous texts.
    void SetModule(void* module);

    std::string GetFileVersion() const { return m_fileVersion; }
    std::string GetPrivateBuild() const { return m_privateBuild; }
    // The file version followed by one space, as the log header and the dialog
    // show it.
    std::string GetVersionText() const;
    std::string GetPath() const { return m_path; }

  private:
    void* m_module = nullptr;
    std::string m_path;
    uint16_t m_language = 0;
    uint16_t m_codePage = 0;
    std::string m_fileVersion;
    std::string m_privateBuild;
};
