#include "diagnostics/os_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/fakes/fakes.h"

namespace {

struct Row {
    uint32_t platform;
    uint32_t major;
    uint32_t minor;
    uint32_t build;
    int32_t product;
    uint32_t flags;
    uint16_t spMajor;
    uint16_t spMinor;
    const char* expected;
};

OSVersionRecord MakeRecord(const Row& row) {
    OSVersionRecord record;
    record.reported.platform = row.platform;
    record.reported.major = row.major;
    record.reported.minor = row.minor;
    record.reported.build = row.build;
    record.reported.servicePackMajor = row.spMajor;
    record.reported.servicePackMinor = row.spMinor;
    record.underlying = record.reported;
    record.productType = row.product;
    record.suiteFlags = row.flags;
    return record;
}

void ExpectDescriptions(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        EXPECT_EQ(DescribeOSVersion(MakeRecord(row)), row.expected)
            << "platform " << row.platform << ", " << row.major << "." << row.minor << "."
            << row.build << ", product " << row.product << ", flags 0x" << std::hex << row.flags;
    }
}

constexpr uint32_t DOS = OS_PLATFORM_DOS;
constexpr uint32_t W9X = OS_PLATFORM_WIN9X;
constexpr uint32_t NT = OS_PLATFORM_NT;
constexpr int32_t WKS = OS_PRODUCT_WORKSTATION;
constexpr int32_t SRV = OS_PRODUCT_SERVER;
constexpr int32_t DC = OS_PRODUCT_DOMAIN_CONTROLLER;

TEST(DescribeOSVersion, NamesOfThe9xFamilyByBuild) {
    ExpectDescriptions({
        {DOS, 6, 22, 0, WKS, 0, 0, 0, "DOS v6.22"},
        {W9X, 4, 0, 950, WKS, 0, 0, 0, "Windows 95 v4.0 Build:950"},
        {W9X, 4, 0, 951, WKS, 0, 0, 0, "Windows 95 SP1 v4.0 Build:951"},
        {W9X, 4, 0, 1080, WKS, 0, 0, 0, "Windows 95 SP1 v4.0 Build:1080"},
        {W9X, 4, 10, 1000, WKS, 0, 0, 0, "Windows 95 SP1 v4.1 Build:1000"},  // build rule first
        {W9X, 4, 0, 1081, WKS, 0, 0, 0, "Windows 95 OSR2 v4.0 Build:1081"},
        {W9X, 4, 3, 1214, WKS, 0, 0, 0, "Windows 95 OSR2 v4.3 Build:1214"},
        {W9X, 4, 10, 1998, WKS, 0, 0, 0, "Windows 98 v4.1 Build:1998"},
        {W9X, 4, 10, 1999, WKS, 0, 0, 0, "Windows 98 SP1 v4.1 Build:1999"},
        {W9X, 4, 10, 2182, WKS, 0, 0, 0, "Windows 98 SP1 v4.1 Build:2182"},
        {W9X, 4, 10, 2183, WKS, 0, 0, 0, "Windows 98 Second Edition v4.1 Build:2183"},
        {W9X, 4, 10, 2222, WKS, 0, 0, 0, "Windows 98 Second Edition v4.1 Build:2222"},
        {W9X, 4, 90, 3000, WKS, 0, 0, 0, "Windows Millenium Edition v4.9 Build:3000"},
        {W9X, 4, 0, 949, WKS, 0, 0, 0, "Windows ?? v4.0 Build:949"},
        {W9X, 4, 10, 1500, WKS, 0, 0, 0, "Windows ?? v4.1 Build:1500"},
        {W9X, 5, 0, 950, WKS, 0, 0, 0, "Windows ?? v5.0 Build:950"},
        // Suites and processor kinds belong to the NT family only.
        {W9X, 4, 90, 0, WKS, 0x3FFF, 0, 0, "Windows Millenium Edition v4.9"},
        {OS_PLATFORM_CE, 3, 0, 0, WKS, 0, 0, 0, "Windows CE v3.0"},
    });
}

TEST(DescribeOSVersion, Win32sIsNamedByTheUnderlyingSystem) {
    OSVersionRecord record = MakeRecord({W9X, 3, 95, 0, WKS, 0, 0, 0, ""});
    record.underlying = OSVersionSet{};
    record.underlying.major = 3;
    record.underlying.minor = 10;
    record.underlying.platform = OS_PLATFORM_WIN32S;
    EXPECT_EQ(DescribeOSVersion(record), "Windows (Win32s) v3.95");
}

TEST(DescribeOSVersion, RolesAndEditionsOfTheNtFamily) {
    ExpectDescriptions({
        {NT, 3, 51, 0, WKS, 0, 0, 0, "Windows NT (Workstation) v3.51"},
        {NT, 4, 0, 0, SRV, 0, 0, 0, "Windows NT (Server) v4.0"},
        {NT, 4, 0, 0, DC, 0x4, 0, 0, "Windows NT (Primary Domain Controller) v4.0"},
        {NT, 4, 0, 0, DC, 0x8, 0, 0, "Windows NT (Backup Domain Controller) v4.0"},
        {NT, 4, 0, 0, DC, 0x4 | 0x8, 0, 0, "Windows NT (Primary Domain Controller) v4.0"},
        {NT, 4, 0, 0, DC, 0, 0, 0, "Windows NT v4.0"},
        {NT, 4, 0, 0, SRV, 0x20 | 0x2, 0, 0, "Windows NT (Server), (Datacenter) v4.0"},
        {NT, 4, 0, 0, SRV, 0x2, 0, 0, "Windows NT (Server), (Enterprise) v4.0"},
        {NT, 5, 0, 0, WKS, 0, 0, 0, "Windows 2000 (Professional) v5.0"},
        {NT, 5, 0, 0, SRV, 0, 0, 0, "Windows 2000 (Server) v5.0"},
        {NT, 5, 0, 0, DC, 0x4, 0, 0, "Windows 2000 (Domain Controller) v5.0"},
        {NT, 5, 0, 0, SRV, 0x20 | 0x2, 0, 0, "Windows 2000 (Server), (Datacenter) v5.0"},
        {NT, 5, 0, 0, SRV, 0x2, 0, 0, "Windows 2000 (Server), (Advanced Server) v5.0"},
        {NT, 5, 1, 0, WKS, 0x40, 0, 0, "Windows XP (Personal) v5.1"},
        {NT, 5, 1, 0, WKS, 0, 0, 0, "Windows XP (Professional) v5.1"},
        {NT, 5, 2, 0, WKS, 0, 0, 0, "Windows XP (Professional) v5.2"},
        {NT, 5, 2, 0, SRV, 0, 0, 0, "Windows Server 2003, (Standard Edition) v5.2"},
        {NT, 5, 2, 0, DC, 0, 0, 0, "Windows Server 2003 (Domain Controller) v5.2"},
        {NT, 5, 2, 0, SRV, 0x20 | 0x2 | 0x80, 0, 0,
         "Windows Server 2003, (Datacenter Edition) v5.2"},
        {NT, 5, 2, 0, SRV, 0x2 | 0x80, 0, 0, "Windows Server 2003, (Enterprise Edition) v5.2"},
        {NT, 5, 2, 0, DC, 0x80, 0, 0,
         "Windows Server 2003 (Domain Controller), (Web Edition) v5.2"},
        // No name for systems newer than the table; suffixes still apply.
        {NT, 6, 0, 6000, WKS, 0, 0, 0, " v6.0 Build:6000"},
        {NT, 10, 0, 19045, SRV, 0x400, 0, 0, ", (Uniprocessor Free) v10.0 Build:19045"},
    });
}

TEST(DescribeOSVersion, NtSuffixesInOrderAndOneProcessorKind) {
    ExpectDescriptions({
        {NT, 4, 0, 0, WKS, 0x3FFF, 0, 0,
         "Windows NT (Workstation), (Datacenter), (Terminal Services), (BackOffice Small "
         "Business Edition), (Embedded), (Terminal Services in Remote Admin Mode), "
         "(Uniprocessor Free) v4.0"},
        {NT, 5, 1, 0, WKS, 0x800 | 0x1000 | 0x2000, 0, 0,
         "Windows XP (Professional), (Uniprocessor Checked) v5.1"},
        {NT, 5, 1, 0, WKS, 0x1000 | 0x2000, 0, 0,
         "Windows XP (Professional), (Multiprocessor Free) v5.1"},
        {NT, 5, 1, 0, WKS, 0x2000, 0, 0,
         "Windows XP (Professional), (Multiprocessor Checked) v5.1"},
    });
}

TEST(DescribeOSVersion, VersionMinorDigits) {
    ExpectDescriptions({
        {DOS, 4, 10, 0, WKS, 0, 0, 0, "DOS v4.1"},
        {DOS, 4, 90, 0, WKS, 0, 0, 0, "DOS v4.9"},
        {DOS, 3, 51, 0, WKS, 0, 0, 0, "DOS v3.51"},
        {DOS, 5, 1, 0, WKS, 0, 0, 0, "DOS v5.1"},
        {DOS, 5, 0, 0, WKS, 0, 0, 0, "DOS v5.0"},
        {DOS, 3, 5, 0, WKS, 0, 0, 0, "DOS v3.5"},
        {DOS, 1, 120, 0, WKS, 0, 0, 0, "DOS v1.12"},
    });
}

TEST(DescribeOSVersion, ServicePackForms) {
    ExpectDescriptions({
        {NT, 5, 1, 2600, WKS, 0, 2, 0, "Windows XP (Professional) v5.1 Build:2600 Service Pack:2"},
        {NT, 4, 0, 0, WKS, 0, 6, 1, "Windows NT (Workstation) v4.0 Service Pack: 6a"},
        {NT, 3, 51, 0, WKS, 0, 6, 1, "Windows NT (Workstation) v3.51 Service Pack: 6a"},
        {NT, 5, 0, 0, WKS, 0, 6, 1, "Windows 2000 (Professional) v5.0 Service Pack:6.1"},
        {NT, 5, 1, 0, WKS, 0, 1, 1, "Windows XP (Professional) v5.1 Service Pack: 1a"},
        {NT, 5, 1, 0, SRV, 0x40, 1, 1,
         "Windows XP (Personal), (Standard Edition) v5.1 Service Pack: 1a"},
        {NT, 5, 2, 0, SRV, 0, 1, 1,
         "Windows Server 2003, (Standard Edition) v5.2 Service Pack:1.1"},
        {NT, 4, 0, 0, WKS, 0, 1, 1, "Windows NT (Workstation) v4.0 Service Pack:1.1"},
        {NT, 5, 1, 0, WKS, 0, 2, 3, "Windows XP (Professional) v5.1 Service Pack:2.3"},
        {NT, 5, 1, 0, WKS, 0, 0, 3, "Windows XP (Professional) v5.1 Service Pack:0.3"},
        {W9X, 4, 0, 1111, WKS, 0, 2, 0, "Windows 95 OSR2 v4.0 Build:1111 Service Pack:2"},
    });
}

TEST(RegistryReadings, FirstNumberInText) {
    struct {
        const char* text;
        size_t size;
        uint16_t expected;
    } rows[] = {
        {"Service Pack 6", 14, 6}, {"SP12a3", 6, 12},          {"", 1, 0},
        {"Service Pack", 12, 0},   {"Service Pack 34", 14, 3},  // bounded by size
        {"ab\0 5", 5, 0},          {"99999999", 8, 65535},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FirstNumberInText(row.text, row.size), row.expected) << row.text;
    }
}

TEST(RegistryReadings, ProductSuiteEntries) {
    struct {
        std::string bytes;
        uint32_t expected;
    } rows[] = {
        {std::string("Small Business\0Terminal Server\0\0", 32), 0x1 | 0x10},
        {std::string("SBS\0enterprise\0PERSONAL\0\0", 26), 0x1 | 0x2 | 0x40},
        {std::string("Enterprise Edition\0Blade\0\0", 26), 0},
        {std::string("\0Enterprise\0\0", 13), 0},  // the list ends at the empty entry
        {std::string("Terminal Server\0Personal", 24), 0x10 | 0x40},  // unterminated
        {std::string(), 0},
    };
    for (const auto& row : rows) {
        // An exact-size copy, so a read past the end shows under sanitizers.
        std::vector<char> data(row.bytes.begin(), row.bytes.end());
        EXPECT_EQ(ProductSuiteFlags(data.data(), data.size()), row.expected) << row.bytes;
    }
}

TEST(RegistryReadings, CurrentTypeAndWin9xServicePacks) {
    EXPECT_EQ(CurrentTypeFlag("Uniprocessor Free"), 0x400u);
    EXPECT_EQ(CurrentTypeFlag("uniprocessor CHECKED"), 0x800u);
    EXPECT_EQ(CurrentTypeFlag("Multiprocessor Free"), 0x1000u);
    EXPECT_EQ(CurrentTypeFlag("Multiprocessor Checked"), 0x2000u);
    EXPECT_EQ(CurrentTypeFlag("Multiprocessor"), 0u);

    EXPECT_EQ(Win9xServicePackMajor(4, 0, 950), 0);
    EXPECT_EQ(Win9xServicePackMajor(4, 0, 1000), 1);
    EXPECT_EQ(Win9xServicePackMajor(4, 0, 1111), 2);
    EXPECT_EQ(Win9xServicePackMajor(4, 10, 1998), 0);
    EXPECT_EQ(Win9xServicePackMajor(4, 10, 2000), 1);
    EXPECT_EQ(Win9xServicePackMajor(4, 10, 2222), 0);
    EXPECT_EQ(Win9xServicePackMajor(5, 0, 1000), 0);
}

TEST(COSVersion, DescribesTheQueriedSystemOrTheFailure) {
    // The fake's default record; put back at the end for other tests.
    OSVersionRecord xp = MakeRecord({NT, 5, 1, 2600, WKS, 0x400, 2, 0, ""});
    std::strcpy(xp.reported.servicePack, "Service Pack 2");
    xp.underlying = xp.reported;

    COSVersion version;
    SetFakeOSVersion(&xp);
    EXPECT_EQ(version.GetOSDescription(),
              "Windows XP (Professional), (Uniprocessor Free) v5.1 Build:2600 Service Pack:2");

    SetFakeOSVersion(nullptr);
    EXPECT_EQ(version.GetOSDescription(), "Failed in call to GetOSVersion");

    const OSVersionRecord me = MakeRecord({W9X, 4, 90, 3000, WKS, 0, 0, 0, ""});
    SetFakeOSVersion(&me);
    EXPECT_EQ(version.GetOSDescription(), "Windows Millenium Edition v4.9 Build:3000");

    SetFakeOSVersion(&xp);
}

}  // namespace
