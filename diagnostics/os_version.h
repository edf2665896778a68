// What Windows the plug-in runs on, for the log header.
//
// GetOSVersion asks the system (an adapter: os_version_win32.cpp in the DLL, a
// settable double in native tests); DescribeOSVersion turns the record into the
// one-line description and depends on nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum OSPlatformClass : uint32_t {
    OS_PLATFORM_DOS = 0,
    OS_PLATFORM_WIN32S = 1,
    OS_PLATFORM_WIN9X = 2,
    OS_PLATFORM_NT = 3,
    OS_PLATFORM_CE = 4,
};

enum OSProductType : int32_t {
    OS_PRODUCT_WORKSTATION = 0,
    OS_PRODUCT_SERVER = 1,
    OS_PRODUCT_DOMAIN_CONTROLLER = 2,
};

// The record's own suite bits (not the system's VER_SUITE_* values).
enum OSSuiteFlag : uint32_t {
    OS_SUITE_SMALL_BUSINESS = 0x1,
    OS_SUITE_ENTERPRISE = 0x2,
    OS_SUITE_PRIMARY_DC = 0x4,
    OS_SUITE_BACKUP_DC = 0x8,
    OS_SUITE_TERMINAL = 0x10,
    OS_SUITE_DATACENTER = 0x20,
    OS_SUITE_PERSONAL = 0x40,
    OS_SUITE_WEB_EDITION = 0x80,
    OS_SUITE_EMBEDDED = 0x100,
    OS_SUITE_REMOTE_ADMIN_TS = 0x200,
    OS_SUITE_UNIPROCESSOR_FREE = 0x400,
    OS_SUITE_UNIPROCESSOR_CHECKED = 0x800,
    OS_SUITE_MULTIPROCESSOR_FREE = 0x1000,
    OS_SUITE_MULTIPROCESSOR_CHECKED = 0x2000,
};

struct OSVersionSet {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;  // low 16 bits of what the system reports
    uint32_t platform = OS_PLATFORM_DOS;
    char servicePack[128] = {};
    uint16_t servicePackMajor = 0;
    uint16_t servicePackMinor = 0;
};

struct OSVersionRecord {
    OSVersionSet reported;    // what the system tells the process
    OSVersionSet underlying;  // the real system; differs only under Win32s
    uint32_t suiteFlags = 0;
    int32_t productType = OS_PRODUCT_WORKSTATION;
};

// Fills the record; false when KERNEL32.DLL is not loaded or both version
// queries are refused.
bool GetOSVersion(OSVersionRecord* record);

// The description, e.g. "Windows XP (Professional), (Uniprocessor Free) v5.1
// Build:2600 Service Pack:2".
std::string DescribeOSVersion(const OSVersionRecord& record);

// Readings of registry values, apart from the adapter so they can be tested
// without a registry.

// ASCII comparison without regard to case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The number formed by the first run of digits in at most `size` characters of
// `text`, stopping at a terminator; 0 when there is none, at most 65535.
uint16_t FirstNumberInText(const char* text, size_t size);

// The suite flags named by the entries of a "ProductSuite" multi-string of
// `size` bytes; never reads past `size`, terminated or not.
uint32_t ProductSuiteFlags(const char* data, size_t size);

// The processor build flag named by a "CurrentType" text; 0 when unknown.
uint32_t CurrentTypeFlag(std::string_view text);

// The service pack a Windows 95/98 version implies: 1 for 95 SP1 and 98 SP1
// builds, 2 for 95 OSR2 builds, else 0.
uint16_t Win9xServicePackMajor(uint32_t major, uint32_t minor, uint32_t build);

class COSVersion {
  public:
    // DescribeOSVersion of the running system, or "Failed in call to GetOSVersion".
    std::string GetOSDescription();
};
