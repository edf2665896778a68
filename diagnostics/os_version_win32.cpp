#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/os_version.h"
#include "diagnostics/registry_key_win32.h"

#ifndef VER_PLATFORM_WIN32_CE
#define VER_PLATFORM_WIN32_CE 3
#endif

namespace {

const char kCurrentVersionKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kHotfix246009Key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009";
const char kProductOptionsKey[] = "System\\CurrentControlSet\\Control\\ProductOptions";
const char kTerminalServerKey[] = "System\\CurrentControlSet\\Control\\Terminal Server";

// Texts we read are short; anything longer than this is not one we know.
constexpr DWORD kTextLimit = 1024;
// A suite list is a handful of names; refuse anything absurd.
constexpr DWORD kMultiStringLimit = 64 * 1024;

// A key of the local machine, opened for reading.
class MachineKey : public CRegistryKey {
  public:
    explicit MachineKey(const char* path) : CRegistryKey(HKEY_LOCAL_MACHINE, path) {}

    // A REG_SZ value of at most kTextLimit bytes, terminated whether the
    // stored data was or not.
    bool ReadText(const char* name, std::string* text) const {
        DWORD type = 0;
        std::vector<char> data;
        if (!Read(name, kTextLimit, &type, &data) || type != REG_SZ) return false;
        text->assign(data.data(), strnlen(data.data(), data.size()));
        return true;
    }

    bool ReadNumber(const char* name, DWORD* number) const {
        DWORD type = 0;
        std::vector<char> data;
        if (!Read(name, sizeof(DWORD), &type, &data) || type != REG_DWORD ||
            data.size() != sizeof(DWORD)) {
            return false;
        }
        std::memcpy(number, data.data(), sizeof(DWORD));
        return true;
    }

    // The raw bytes of a REG_MULTI_SZ value; the caller parses within size.
    bool ReadMultiString(const char* name, std::vector<char>* data) const {
        DWORD type = 0;
        return Read(name, kMultiStringLimit, &type, data) && type == REG_MULTI_SZ && !data->empty();
    }
};

// NT 3.x kept the service pack as a number whose second byte is the major.
bool ReadCsdServicePack(uint16_t* servicePack) {
    MachineKey key(kCurrentVersionKey);
    std::string text;
    DWORD number = 0;
    if (key.ReadText("CSDVersion", &text)) {
        *servicePack = FirstNumberInText(text.c_str(), text.size());
        return true;
    }
    if (key.ReadNumber("CSDVersion", &number)) {
        *servicePack = static_cast<uint16_t>((number >> 8) & 0xFF);
        return true;
    }
    return false;
}

uint32_t TranslateSuiteMask(WORD mask) {
    struct Mapping {
        WORD system;
        uint32_t own;
    };
    static const Mapping kMappings[] = {
        {VER_SUITE_SMALLBUSINESS, OS_SUITE_SMALL_BUSINESS},
        {VER_SUITE_ENTERPRISE, OS_SUITE_ENTERPRISE},
        {VER_SUITE_TERMINAL, OS_SUITE_TERMINAL},
        {VER_SUITE_DATACENTER, OS_SUITE_DATACENTER},
        {VER_SUITE_PERSONAL, OS_SUITE_PERSONAL},
        {VER_SUITE_BLADE, OS_SUITE_WEB_EDITION},
        {VER_SUITE_EMBEDDEDNT, OS_SUITE_EMBEDDED},
        {VER_SUITE_SINGLEUSERTS, OS_SUITE_REMOTE_ADMIN_TS},
    };
    uint32_t flags = 0;
    for (const Mapping& mapping : kMappings) {
        if (mask & mapping.system) {
            flags |= mapping.own;
        }
    }
    return flags;
}

// The domain-controller kind is only in the registry; with `setType` the
// product type comes from there too, for systems without the extended query.
void ReadProductType(OSVersionRecord* record, bool setType) {
    std::string type;
    if (!MachineKey(kProductOptionsKey).ReadText("ProductType", &type)) {
        return;
    }
    if (EqualsIgnoringCase(type, "LANMANNT")) {
        record->suiteFlags |= OS_SUITE_PRIMARY_DC;
        if (setType) {
            record->productType = OS_PRODUCT_DOMAIN_CONTROLLER;
        }
    } else if (EqualsIgnoringCase(type, "LANSECNT")) {
        record->suiteFlags |= OS_SUITE_BACKUP_DC;
        if (setType) {
            record->productType = OS_PRODUCT_DOMAIN_CONTROLLER;
        }
    } else if (setType && EqualsIgnoringCase(type, "SERVERNT")) {
        record->productType = OS_PRODUCT_SERVER;
    } else if (setType && EqualsIgnoringCase(type, "WinNT")) {
        record->productType = OS_PRODUCT_WORKSTATION;
    }
}

void ReadNtSuitesFromRegistry(OSVersionRecord* record) {
    std::vector<char> suites;
    if (MachineKey(kProductOptionsKey).ReadMultiString("ProductSuite", &suites)) {
        record->suiteFlags |= ProductSuiteFlags(suites.data(), suites.size());
    }
    DWORD compat = 0;
    if (MachineKey(kTerminalServerKey).ReadNumber("TSAppCompat", &compat) && compat == 0) {
        record->suiteFlags |= OS_SUITE_REMOTE_ADMIN_TS;
    }
}

void CopyServicePackText(const char* source, size_t sourceSize, OSVersionSet* set) {
    const void* nul = std::memchr(source, '\0', sourceSize);
    size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - source) : sourceSize;
    length = std::min(length, sizeof set->servicePack - 1);
    std::memcpy(set->servicePack, source, length);
    set->servicePack[length] = '\0';
}

void SetServicePack(OSVersionRecord* record, uint16_t major, uint16_t minor) {
    record->reported.servicePackMajor = record->underlying.servicePackMajor = major;
    record->reported.servicePackMinor = record->underlying.servicePackMinor = minor;
}

// The "a" releases of NT4 SP6 and XP SP1 did not change the reported version.
void ReadNtRefinements(OSVersionRecord* record) {
    const OSVersionSet& system = record->underlying;
    if (system.major == 4 && system.servicePackMajor == 6 &&
        MachineKey(kHotfix246009Key).IsOpen()) {
        SetServicePack(record, system.servicePackMajor, 1);
    }
    std::string text;
    if (system.major == 5 && system.minor != 0 && system.servicePackMajor == 1 &&
        MachineKey(kCurrentVersionKey).ReadText("SubVersionNumber", &text) &&
        EqualsIgnoringCase(text, "a")) {
        SetServicePack(record, system.servicePackMajor, 1);
    }
    if (MachineKey(kCurrentVersionKey).ReadText("CurrentType", &text)) {
        record->suiteFlags |= CurrentTypeFlag(text);
    }
}

using GetVersionExAFunction = BOOL(WINAPI*)(LPOSVERSIONINFOA);

void FillFromExtended(const OSVERSIONINFOEXA& info, OSVersionRecord* record) {
    OSVersionSet& set = record->reported;
    set.major = info.dwMajorVersion;
    set.minor = info.dwMinorVersion;
    set.build = info.dwBuildNumber & 0xFFFF;
    CopyServicePackText(info.szCSDVersion, sizeof info.szCSDVersion, &set);
    set.servicePackMajor = info.wServicePackMajor;
    set.servicePackMinor = info.wServicePackMinor;
    record->suiteFlags = TranslateSuiteMask(info.wSuiteMask);
    switch (info.wProductType) {
        case VER_NT_DOMAIN_CONTROLLER:
            record->productType = OS_PRODUCT_DOMAIN_CONTROLLER;
            break;
        case VER_NT_SERVER:
            record->productType = OS_PRODUCT_SERVER;
            break;
        default:
            record->productType = OS_PRODUCT_WORKSTATION;
            break;
    }
    ReadProductType(record, false);
    switch (info.dwPlatformId) {
        case VER_PLATFORM_WIN32_WINDOWS:
            set.platform = OS_PLATFORM_WIN9X;
            break;
        case VER_PLATFORM_WIN32_NT:
            set.platform = OS_PLATFORM_NT;
            break;
        case VER_PLATFORM_WIN32_CE:
            set.platform = OS_PLATFORM_CE;
            break;
        default:
            break;
    }
    record->underlying = set;
}

void FillFromBasic(const OSVERSIONINFOA& info, OSVersionRecord* record) {
    OSVersionSet& set = record->reported;
    set.major = info.dwMajorVersion;
    set.minor = info.dwMinorVersion;
    set.build = info.dwBuildNumber & 0xFFFF;
    CopyServicePackText(info.szCSDVersion, sizeof info.szCSDVersion, &set);
    record->productType = OS_PRODUCT_WORKSTATION;
    switch (info.dwPlatformId) {
        case VER_PLATFORM_WIN32_WINDOWS:
            set.platform = OS_PLATFORM_WIN9X;
            set.servicePackMajor = Win9xServicePackMajor(set.major, set.minor, set.build);
            break;
        case VER_PLATFORM_WIN32_NT:
            set.platform = OS_PLATFORM_NT;
            set.servicePackMajor = FirstNumberInText(set.servicePack, sizeof set.servicePack);
            ReadProductType(record, true);
            ReadNtSuitesFromRegistry(record);
            break;
        case VER_PLATFORM_WIN32_CE:
            set.platform = OS_PLATFORM_CE;
            break;
        case VER_PLATFORM_WIN32s:
            // Win32s reports itself as 95; the system beneath is Windows 3.1.
            set.platform = OS_PLATFORM_WIN9X;
            record->underlying = OSVersionSet{};
            record->underlying.major = 3;
            record->underlying.minor = 10;
            record->underlying.platform = OS_PLATFORM_WIN32S;
            return;
        default:
            break;
    }
    record->underlying = set;
}

}  // namespace

bool GetOSVersion(OSVersionRecord* record) {
    if (!record) {
        return false;
    }
    *record = OSVersionRecord{};
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (!kernel) {
        return false;
    }
    // Looked up rather than linked: the oldest systems lack it.
    auto getVersionEx = reinterpret_cast<GetVersionExAFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetVersionExA")));
    if (!getVersionEx) {
        const DWORD version = GetVersion();
        OSVersionSet& set = record->reported;
        set.major = version & 0xFF;
        set.minor = (version >> 8) & 0xFF;
        set.platform = OS_PLATFORM_NT;
        uint16_t servicePack = 0;
        if (ReadCsdServicePack(&servicePack)) {
            set.servicePackMajor = servicePack;
        }
        record->underlying = set;
        return true;
    }

    OSVERSIONINFOEXA extended{};
    extended.dwOSVersionInfoSize = sizeof extended;
    if (getVersionEx(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
        FillFromExtended(extended, record);
    } else {
        OSVERSIONINFOA basic{};
        basic.dwOSVersionInfoSize = sizeof basic;
        if (!getVersionEx(&basic)) {
            return false;
        }
        FillFromBasic(basic, record);
    }
    if (record->underlying.platform == OS_PLATFORM_NT) {
        ReadNtRefinements(record);
    }
    return true;
}
