#include <cstring>
#include <mutex>

#include "diagnostics/os_version.h"
#include "tests/fakes/fakes.h"

namespace {

OSVersionRecord WindowsXpProfessionalSp2() {
    OSVersionRecord record;
    OSVersionSet& set = record.reported;
    set.major = 5;
    set.minor = 1;
    set.build = 2600;
    set.platform = OS_PLATFORM_NT;
    std::strcpy(set.servicePack, "Service Pack 2");
    set.servicePackMajor = 2;
    record.underlying = set;
    record.suiteFlags = OS_SUITE_UNIPROCESSOR_FREE;
    record.productType = OS_PRODUCT_WORKSTATION;
    return record;
}

std::mutex g_mutex;
bool g_fails = false;
OSVersionRecord g_record = WindowsXpProfessionalSp2();

}  // namespace

void SetFakeOSVersion(const OSVersionRecord* record) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fails = record == nullptr;
    if (record) {
        g_record = *record;
    }
}

bool GetOSVersion(OSVersionRecord* record) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_fails || !record) {
        return false;
    }
    *record = g_record;
    return true;
}
