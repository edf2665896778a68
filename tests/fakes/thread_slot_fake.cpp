// Natively the compiler's thread_local is the slot.
#include "diagnostics/thread_slot.h"

namespace {
thread_local const char* t_text = nullptr;
}  // namespace

const char* GetThreadText() {
    return t_text;
}

void SetThreadText(const char* text) {
    t_text = text;
}
