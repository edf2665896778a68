#include <windows.h>

#include "diagnostics/tick_count.h"

uint32_t GetTickCount32() {
    return static_cast<uint32_t>(GetTickCount());
}
