#include "diagnostics/local_time.h"
#include "engine/clock.h"

int64_t LocalDateTimeNow() {
    return ToDateTime(GetLocalTimeNow());
}
