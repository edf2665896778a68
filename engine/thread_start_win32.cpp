#include <process.h>
#include <windows.h>

#include <new>

#include "diagnostics/debug.h"
#include "engine/thread_start.h"

namespace {
struct ThreadStart {
    ThreadBody body;
    void* argument;
    HMODULE module;  // our own module, held while the thread runs
};

// The runtime calls its threads with the system's calling convention; ours
// are plain functions, so the pair travels on the heap to this trampoline.
unsigned __stdcall Trampoline(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    unsigned code = 0;
    try {
        code = copy.body(copy.argument);
    } catch (...) {
        // Our bodies catch their own; nothing may end the player.
        g_Debug.Log(DEBUG_ERROR, "Gen_Kelmar::Thread", "Exception occurred - %s", "unknown");
    }
    // The module may be unloaded only once this thread is out of its code:
    // release it and end in one step.
    if (copy.module) FreeLibraryAndExitThread(copy.module, code);
    return code;
}
}  // namespace

ThreadHandle BeginThread(ThreadBody body, void* argument) {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&Trampoline), &module);
    ThreadStart* start = new (std::nothrow) ThreadStart{body, argument, module};
    uintptr_t thread = start ? _beginthreadex(nullptr, 0, Trampoline, start, 0, nullptr) : 0;
    if (thread == 0) {
        delete start;
        if (module) FreeLibrary(module);
        return nullptr;
    }
    return reinterpret_cast<ThreadHandle>(thread);
}

void JoinThread(ThreadHandle thread) {
    if (!thread) return;
    // The thread may be waiting on a message it sent to a window of this
    // thread (the player's, asked for its state): keep taking sent messages.
    HANDLE handle = static_cast<HANDLE>(thread);
    while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(handle);
}

void DetachThread(ThreadHandle thread) {
    if (thread) CloseHandle(static_cast<HANDLE>(thread));
}
