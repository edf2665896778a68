// The engine's local wall clock, in the seconds of ToDateTime. The handshake
// spacing and the submission interval are measured on it. The DLL reads the
// system's clock; unit tests link a clock they can set.
#pragma once

#include <cstdint>

int64_t LocalDateTimeNow();
