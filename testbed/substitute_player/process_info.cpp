// What the process holds: whether the plug-in's module is still mapped, and
// its threads and handles, events among them.
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>
// clang-format on

#include "testbed/substitute_player/player.h"

namespace {

long g_lastThreads = -1;  // what resources recorded last
long g_lastOthers = -1;   // handles other than events

bool ModuleMapped() {
    return GetModuleHandleW(Wide(g_player.dllName).c_str()) != nullptr;
}

long ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    long count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

// This process's handles, from the system's list (Wine's GetProcessHandleCount
// answers 0); -1 when it cannot be read. Events are counted apart.
long HandleCount(long* events) {
    constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
    std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    NTSTATUS status = kLengthMismatch;
    for (int attempt = 0; attempt < 8 && status == kLengthMismatch; ++attempt) {
        if (attempt > 0) buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
        status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
    }
    *events = 0;
    if (status != 0) return -1;
    const auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    long count = 0;
    for (ULONG i = 0; i < list->Count; ++i) {
        if (list->Handle[i].OwnerPid != GetCurrentProcessId()) continue;
        ++count;
        alignas(8) char type[512];
        auto* name = reinterpret_cast<UNICODE_STRING*>(type);
        HANDLE handle = reinterpret_cast<HANDLE>(uintptr_t{list->Handle[i].HandleValue});
        if (NtQueryObject(handle, ObjectTypeInformation, type, sizeof(type), nullptr) == 0 &&
            std::wstring(name->Buffer, name->Length / 2) == L"Event")
            ++*events;
    }
    return count;
}

}  // namespace

const std::vector<Verb> kProcessVerbs = {
    {"module-state", kNone, "", "records whether the plug-in's module is mapped",
     [](const Command&) { Record(ModuleMapped() ? "module-still-loaded" : "module-gone"); }},
    {"wait-module-gone", kNumber, "MS", "until it is not; records how long that took",
     [](const Command& c) {
         DWORD start = GetTickCount();
         bool gone = PumpUntil(c.number, [] { return !ModuleMapped(); });
         Record(gone ? Format("module-gone after %lu ms", GetTickCount() - start)
                     : "module-still-loaded");
     }},
    // Workers of the plug-in may still be ending: waits for the counts to
    // settle back rather than for a fixed time.
    {"resources", kNumber, "MS", "records threads, handles, events once back to the last",
     [](const Command& c) {
         long threads = 0, handles = 0, events = 0;
         PumpUntil(c.number, [&] {
             threads = ThreadCount();
             handles = HandleCount(&events);
             return threads <= g_lastThreads && handles - events <= g_lastOthers;
         });
         g_lastThreads = threads;
         g_lastOthers = handles - events;
         Record(Format("resources threads=%ld handles=%ld events=%ld", threads, handles, events));
     }},
};
