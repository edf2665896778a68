#include "diagnostics/os_version.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diagnostics/format.h"

namespace {

enum class Win9xRelease {
    kWin95,
    kWin95Sp1,
    kWin95Osr2,
    kWin98,
    kWin98Sp1,
    kWin98SecondEdition,
    kWinMe,
    kUnknown,
};

// 95 and 98 updates kept the version number and moved only the build, so the
// build tells them apart. The order matters: the first match wins.
Win9xRelease Win9xReleaseOf(uint32_t major, uint32_t minor, uint32_t build) {
    if (major != 4) {
        return Win9xRelease::kUnknown;
    }
    if (minor == 0 && build == 950) {
        return Win9xRelease::kWin95;
    }
    if (build >= 951 && build <= 1080) {
        return Win9xRelease::kWin95Sp1;
    }
    if (minor < 10 && build > 1080) {
        return Win9xRelease::kWin95Osr2;
    }
    if (minor == 10 && build == 1998) {
        return Win9xRelease::kWin98;
    }
    if (minor == 10 && build >= 1999 && build <= 2182) {
        return Win9xRelease::kWin98Sp1;
    }
    if (minor == 10 && build > 2182) {
        return Win9xRelease::kWin98SecondEdition;
    }
    if (minor == 90) {
        return Win9xRelease::kWinMe;
    }
    return Win9xRelease::kUnknown;
}

const char* Win9xName(const OSVersionSet& set) {
    switch (Win9xReleaseOf(set.major, set.minor, set.build)) {
        case Win9xRelease::kWin95:
            return "Windows 95";
        case Win9xRelease::kWin95Sp1:
            return "Windows 95 SP1";
        case Win9xRelease::kWin95Osr2:
            return "Windows 95 OSR2";
        case Win9xRelease::kWin98:
            return "Windows 98";
        case Win9xRelease::kWin98Sp1:
            return "Windows 98 SP1";
        case Win9xRelease::kWin98SecondEdition:
            return "Windows 98 Second Edition";
        case Win9xRelease::kWinMe:
            return "Windows Millenium Edition";
        case Win9xRelease::kUnknown:
            break;
    }
    return "Windows ??";
}

bool Has(const OSVersionRecord& record, uint32_t flag) {
    return (record.suiteFlags & flag) != 0;
}

bool IsNt(const OSVersionRecord& record) {
    return record.underlying.platform == OS_PLATFORM_NT;
}

bool IsNt4OrLess(const OSVersionRecord& record) {
    return IsNt(record) && record.underlying.major <= 4;
}

bool IsXpOr2003(const OSVersionRecord& record) {
    return IsNt(record) && record.underlying.major == 5 && record.underlying.minor != 0;
}

// The XP names are the ones a workstation or a Personal suite gets.
bool IsWindowsXp(const OSVersionRecord& record) {
    return IsXpOr2003(record) &&
           (Has(record, OS_SUITE_PERSONAL) || record.productType == OS_PRODUCT_WORKSTATION);
}

void AppendNt4(const OSVersionRecord& record, std::string* text) {
    *text += "Windows NT";
    if (record.productType == OS_PRODUCT_WORKSTATION) {
        *text += " (Workstation)";
    } else if (record.productType == OS_PRODUCT_SERVER) {
        *text += " (Server)";
    } else if (record.productType == OS_PRODUCT_DOMAIN_CONTROLLER &&
               Has(record, OS_SUITE_PRIMARY_DC)) {
        *text += " (Primary Domain Controller)";
    } else if (record.productType == OS_PRODUCT_DOMAIN_CONTROLLER &&
               Has(record, OS_SUITE_BACKUP_DC)) {
        *text += " (Backup Domain Controller)";
    }
    if (Has(record, OS_SUITE_DATACENTER)) {
        *text += ", (Datacenter)";
    } else if (Has(record, OS_SUITE_ENTERPRISE)) {
        *text += ", (Enterprise)";
    }
}

void Append2000(const OSVersionRecord& record, std::string* text) {
    *text += "Windows 2000";
    if (record.productType == OS_PRODUCT_WORKSTATION) {
        *text += " (Professional)";
    } else if (record.productType == OS_PRODUCT_SERVER) {
        *text += " (Server)";
    } else if (record.productType == OS_PRODUCT_DOMAIN_CONTROLLER) {
        *text += " (Domain Controller)";
    }
    if (Has(record, OS_SUITE_DATACENTER)) {
        *text += ", (Datacenter)";
    } else if (Has(record, OS_SUITE_ENTERPRISE)) {
        *text += ", (Advanced Server)";
    }
}

void AppendXpOr2003(const OSVersionRecord& record, std::string* text) {
    if (Has(record, OS_SUITE_PERSONAL)) {
        *text += "Windows XP (Personal)";
    } else if (record.productType == OS_PRODUCT_WORKSTATION) {
        *text += "Windows XP (Professional)";
    } else if (record.productType == OS_PRODUCT_SERVER) {
        *text += "Windows Server 2003";
    } else if (record.productType == OS_PRODUCT_DOMAIN_CONTROLLER) {
        *text += "Windows Server 2003 (Domain Controller)";
    }
    if (Has(record, OS_SUITE_DATACENTER)) {
        *text += ", (Datacenter Edition)";
    } else if (Has(record, OS_SUITE_ENTERPRISE)) {
        *text += ", (Enterprise Edition)";
    } else if (Has(record, OS_SUITE_WEB_EDITION)) {
        *text += ", (Web Edition)";
    } else if (record.productType == OS_PRODUCT_SERVER) {
        *text += ", (Standard Edition)";
    }
}

void AppendNtSuffixes(const OSVersionRecord& record, std::string* text) {
    if (Has(record, OS_SUITE_TERMINAL)) {
        *text += ", (Terminal Services)";
    }
    if (Has(record, OS_SUITE_SMALL_BUSINESS)) {
        *text += ", (BackOffice Small Business Edition)";
    }
    if (Has(record, OS_SUITE_EMBEDDED)) {
        *text += ", (Embedded)";
    }
    if (Has(record, OS_SUITE_REMOTE_ADMIN_TS)) {
        *text += ", (Terminal Services in Remote Admin Mode)";
    }
    if (Has(record, OS_SUITE_UNIPROCESSOR_FREE)) {
        *text += ", (Uniprocessor Free)";
    } else if (Has(record, OS_SUITE_UNIPROCESSOR_CHECKED)) {
        *text += ", (Uniprocessor Checked)";
    } else if (Has(record, OS_SUITE_MULTIPROCESSOR_FREE)) {
        *text += ", (Multiprocessor Free)";
    } else if (Has(record, OS_SUITE_MULTIPROCESSOR_CHECKED)) {
        *text += ", (Multiprocessor Checked)";
    }
}

void AppendName(const OSVersionRecord& record, std::string* text) {
    const OSVersionSet& system = record.underlying;
    switch (system.platform) {
        case OS_PLATFORM_DOS:
            *text += "DOS";
            return;
        case OS_PLATFORM_WIN32S:
            *text += "Windows (Win32s)";
            return;
        case OS_PLATFORM_WIN9X:
            *text += Win9xName(system);
            return;
        case OS_PLATFORM_NT:
            if (system.major <= 4) {
                AppendNt4(record, text);
            } else if (system.major == 5 && system.minor == 0) {
                Append2000(record, text);
            } else if (system.major == 5) {
                AppendXpOr2003(record, text);
            }
            // Newer systems postdate the table and get no name.
            AppendNtSuffixes(record, text);
            return;
        case OS_PLATFORM_CE:
            *text += "Windows CE";
            return;
        default:
            return;
    }
}

// A minor of 10 or 90 is how 98 and Me report "1" and "9"; 51 stays two digits.
void AppendVersion(const OSVersionSet& reported, std::string* text) {
    *text += Format(" v%u.", reported.major);
    if (reported.minor % 10 == 0) {
        *text += Format("%01u", reported.minor / 10);
    } else if (reported.minor <= 9) {
        *text += Format("%01u", reported.minor);
    } else {
        *text += Format("%02u", reported.minor);
    }
}

void AppendServicePack(const OSVersionRecord& record, std::string* text) {
    const unsigned major = record.reported.servicePackMajor;
    const unsigned minor = record.reported.servicePackMinor;
    if (major != 0 && minor == 0) {
        *text += Format(" Service Pack:%u", major);
    } else if (major == 6 && minor == 1 && IsNt4OrLess(record)) {
        *text += " Service Pack: 6a";
    } else if (major == 1 && minor == 1 && IsWindowsXp(record)) {
        *text += " Service Pack: 1a";
    } else if (major != 0) {
        *text += Format(" Service Pack:%u.%u", major, minor);
    } else if (minor != 0) {
        *text += Format(" Service Pack:0.%u", minor);
    }
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

uint16_t FirstNumberInText(const char* text, size_t size) {
    size_t i = 0;
    while (i < size && text[i] != '\0' && !(text[i] >= '0' && text[i] <= '9')) {
        ++i;
    }
    uint32_t number = 0;
    for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
        number = number * 10 + static_cast<uint32_t>(text[i] - '0');
        if (number > 0xFFFF) {
            return 0xFFFF;
        }
    }
    return static_cast<uint16_t>(number);
}

uint32_t ProductSuiteFlags(const char* data, size_t size) {
    uint32_t flags = 0;
    size_t pos = 0;
    while (pos < size) {
        const void* nul = std::memchr(data + pos, '\0', size - pos);
        const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
        const std::string_view entry(data + pos, end - pos);
        if (entry.empty()) {
            break;  // the empty entry ends the list
        }
        if (EqualsIgnoringCase(entry, "SBS") || EqualsIgnoringCase(entry, "Small Business")) {
            flags |= OS_SUITE_SMALL_BUSINESS;
        } else if (EqualsIgnoringCase(entry, "Enterprise")) {
            flags |= OS_SUITE_ENTERPRISE;
        } else if (EqualsIgnoringCase(entry, "Terminal Server")) {
            flags |= OS_SUITE_TERMINAL;
        } else if (EqualsIgnoringCase(entry, "Personal")) {
            flags |= OS_SUITE_PERSONAL;
        }
        pos = end + 1;
    }
    return flags;
}

uint32_t CurrentTypeFlag(std::string_view text) {
    if (EqualsIgnoringCase(text, "Uniprocessor Free")) {
        return OS_SUITE_UNIPROCESSOR_FREE;
    }
    if (EqualsIgnoringCase(text, "Uniprocessor Checked")) {
        return OS_SUITE_UNIPROCESSOR_CHECKED;
    }
    if (EqualsIgnoringCase(text, "Multiprocessor Free")) {
        return OS_SUITE_MULTIPROCESSOR_FREE;
    }
    if (EqualsIgnoringCase(text, "Multiprocessor Checked")) {
        return OS_SUITE_MULTIPROCESSOR_CHECKED;
    }
    return 0;
}

uint16_t Win9xServicePackMajor(uint32_t major, uint32_t minor, uint32_t build) {
    switch (Win9xReleaseOf(major, minor, build)) {
        case Win9xRelease::kWin95Sp1:
        case Win9xRelease::kWin98Sp1:
            return 1;
        case Win9xRelease::kWin95Osr2:
            return 2;
        default:
            return 0;
    }
}

std::string DescribeOSVersion(const OSVersionRecord& record) {
    std::string text;
    AppendName(record, &text);
    AppendVersion(record.reported, &text);
    if (record.reported.build != 0) {
        text += Format(" Build:%u", record.reported.build);
    }
    AppendServicePack(record, &text);
    return text;
}

std::string COSVersion::GetOSDescription() {
    OSVersionRecord record;
    if (!GetOSVersion(&record)) {
        return "Failed in call to GetOSVersion";
    }
    return DescribeOSVersion(record);
}
