// The system's millisecond tick count (wraps after about 49.7 days).
#pragma once

#include <cstdint>

uint32_t GetTickCount32();
