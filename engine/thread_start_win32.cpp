#include <process.h>
#include <windows.h>

#include "engine/thread_start.h"

namespace {
struct ThreadStart {
    ThreadBody body;
    void* argument;
};

// The runtime calls its threads with the system's calling convention; ours
// are plain functions, so the pair travels on the heap to this trampoline.
unsigned __stdcall Trampoline(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    return copy.body(copy.argument);
}
}  // namespace

ThreadHandle BeginThread(ThreadBody body, void* argument) {
    ThreadStart* start = new ThreadStart{body, argument};
    uintptr_t thread = _beginthreadex(nullptr, 0, Trampoline, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return nullptr;
    }
    return reinterpret_cast<ThreadHandle>(thread);
}

void JoinThread(ThreadHandle thread) {
    if (!thread) return;
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}

void DetachThread(ThreadHandle thread) {
    if (thread) CloseHandle(static_cast<HANDLE>(thread));
}
