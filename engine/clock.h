// The engine's local wall clock, in the seconds of ToDateTime. The handshake
// spacing and the submission interval are measured on it. The DLL reads the
// system's clock; unit tests link a clock they can set.
#pragma once

#include <cstdint>

int64_t LocalDateTimeNow();

// Whether a wait of `length` seconds that ends at `due` is over. A due time
// further ahead than the whole wait means the clock was set back (daylight
// saving ended, a trip west, a corrected clock): it counts as over rather
// than stopping the engine for the size of the jump.
inline bool IsDue(int64_t now, int64_t due, int64_t length) {
    return now >= due || due - now > length;
}
