#include <windows.h>

#include "diagnostics/thread_slot.h"

namespace {

// The system's own slot, not the compiler's thread_local: that goes through the
// threads library, which gives every thread that touches one a record holding a
// duplicate of its handle until the thread ends, and the player's threads
// outlive many loads of the plug-in. Taken as the module loads (one thread
// then) and given back as it goes.
struct Slot {
    DWORD index = TlsAlloc();
    ~Slot() {
        if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
    }
} g_slot;

}  // namespace

const char* GetThreadText() {
    if (g_slot.index == TLS_OUT_OF_INDEXES) return nullptr;
    // The read clears the last error, which a caller may be about to log.
    DWORD error = GetLastError();
    const char* text = static_cast<const char*>(TlsGetValue(g_slot.index));
    SetLastError(error);
    return text;
}

void SetThreadText(const char* text) {
    if (g_slot.index != TLS_OUT_OF_INDEXES) TlsSetValue(g_slot.index, const_cast<char*>(text));
}
