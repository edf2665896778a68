// The OS version query against Wine, which plays Windows 7 SP1 unless told
// otherwise, with "Uniprocessor Free" as the prefix's CurrentType.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "diagnostics/os_version.h"

namespace {

const char kChildOutputVariable[] = "KELMAR_OS_VERSION_CHILD_OUTPUT";
const char kAppDefaultsKey[] = "Software\\Wine\\AppDefaults";

TEST(OSVersionWin32, DescribesWinesDefaultWindows7) {
    OSVersionRecord record;
    ASSERT_TRUE(GetOSVersion(&record));
    for (const OSVersionSet* set : {&record.reported, &record.underlying}) {
        EXPECT_EQ(set->major, 6u);
        EXPECT_EQ(set->minor, 1u);
        EXPECT_EQ(set->build, 7601u);
        EXPECT_EQ(set->platform, static_cast<uint32_t>(OS_PLATFORM_NT));
        EXPECT_STREQ(set->servicePack, "Service Pack 1");
        EXPECT_EQ(set->servicePackMajor, 1);
        EXPECT_EQ(set->servicePackMinor, 0);
    }
    EXPECT_EQ(record.productType, OS_PRODUCT_WORKSTATION);
    EXPECT_EQ(record.suiteFlags, static_cast<uint32_t>(OS_SUITE_UNIPROCESSOR_FREE));

    EXPECT_EQ(COSVersion().GetOSDescription(),
              ", (Uniprocessor Free) v6.1 Build:7601 Service Pack:1");
}

// Not a test of its own: the child that the next test starts runs only this,
// and writes what it sees to the file the variable names.
TEST(OSVersionWin32Child, WritesDescription) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(kChildOutputVariable, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        GTEST_SKIP() << "runs only as the child of ReportsTheVersionWineIsToldToPlay";
    }
    std::ofstream(path, std::ios::binary) << COSVersion().GetOSDescription();
}

// Wine picks the Windows version at process start, per executable name, so a
// copy of this program under its own name is told to play XP and asked.
class ChildAsWindowsXp {
  public:
    ChildAsWindowsXp() {
        char temp[MAX_PATH];
        char self[MAX_PATH];
        const DWORD tempLength = GetTempPathA(sizeof temp, temp);
        const DWORD selfLength = GetModuleFileNameA(nullptr, self, sizeof self);
        if (tempLength == 0 || tempLength >= sizeof temp || selfLength == 0 ||
            selfLength >= sizeof self) {
            return;
        }
        const std::string id = std::to_string(GetCurrentProcessId());
        m_name = "kelmar_os_version_child_" + id + ".exe";
        m_exe = std::string(temp) + m_name;
        m_output = std::string(temp) + "kelmar_os_version_child_" + id + ".txt";
        if (!CopyFileA(self, m_exe.c_str(), FALSE)) {
            return;
        }
        HKEY key = nullptr;
        const std::string keyPath = std::string(kAppDefaultsKey) + "\\" + m_name;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS) {
            return;
        }
        const char version[] = "winxp";
        m_ready = RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                                 sizeof version) == ERROR_SUCCESS;
        RegCloseKey(key);
    }

    // Wine itself keeps the AppDefaults key; only our entry goes.
    ~ChildAsWindowsXp() {
        HKEY appDefaults = nullptr;
        if (!m_name.empty() && RegOpenKeyExA(HKEY_CURRENT_USER, kAppDefaultsKey, 0, KEY_WRITE,
                                             &appDefaults) == ERROR_SUCCESS) {
            RegDeleteKeyA(appDefaults, m_name.c_str());
            RegCloseKey(appDefaults);
        }
        DeleteFileA(m_exe.c_str());
        DeleteFileA(m_output.c_str());
    }

    bool ready() const { return m_ready; }

    // Runs the child and returns what it wrote; empty when it did not finish.
    std::string Run() {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                 nullptr);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = nul;
        startup.hStdError = nul;
        std::string commandLine = "\"" + m_exe + "\" --gtest_filter=OSVersionWin32Child.*";
        PROCESS_INFORMATION process = {};
        SetEnvironmentVariableA(kChildOutputVariable, m_output.c_str());
        const BOOL started = CreateProcessA(m_exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                            0, nullptr, nullptr, &startup, &process);
        SetEnvironmentVariableA(kChildOutputVariable, nullptr);
        if (nul != INVALID_HANDLE_VALUE) {
            CloseHandle(nul);
        }
        if (!started) {
            return {};
        }
        DWORD exitCode = 1;
        if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &exitCode);
        } else {
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (exitCode != 0) {
            return {};
        }
        std::ostringstream text;
        text << std::ifstream(m_output, std::ios::binary).rdbuf();
        return text.str();
    }

  private:
    std::string m_name;
    std::string m_exe;
    std::string m_output;
    bool m_ready = false;
};

TEST(OSVersionWin32, ReportsTheVersionWineIsToldToPlay) {
    ChildAsWindowsXp child;
    ASSERT_TRUE(child.ready());
    EXPECT_EQ(child.Run(),
              "Windows XP (Professional), (Terminal Services in Remote Admin Mode), "
              "(Uniprocessor Free) v5.1 Build:2600 Service Pack:3");
}

}  // namespace
