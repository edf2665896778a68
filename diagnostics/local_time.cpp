#include "diagnostics/local_time.h"

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The civil date of a count of days from 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*m <= 2));
}

}  // namespace

LocalTime GetLocalTimeNow() {
    std::tm parts{};
    BreakDownLocal(std::time(nullptr), &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    return t;
}

bool BreakDownUtc(std::time_t seconds, std::tm* out) {
#if defined(_WIN32)
    return gmtime_s(out, &seconds) == 0;
#else
    return gmtime_r(&seconds, out) != nullptr;
#endif
}

bool BreakDownLocal(std::time_t seconds, std::tm* out) {
#if defined(_WIN32)
    return localtime_s(out, &seconds) == 0;
#else
    return localtime_r(&seconds, out) != nullptr;
#endif
}

int64_t MakeDateTime(int year, int month, int day, int hour, int minute, int second) {
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

int64_t ToDateTime(const LocalTime& t) {
    return MakeDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

LocalTime FromDateTime(int64_t dateTime) {
    int64_t days = dateTime >= 0 ? dateTime / 86400 : -((-dateTime + 86399) / 86400);
    int64_t seconds = dateTime - days * 86400;
    LocalTime t;
    CivilFromDays(days, &t.year, &t.month, &t.day);
    t.hour = static_cast<int>(seconds / 3600);
    t.minute = static_cast<int>(seconds / 60 % 60);
    t.second = static_cast<int>(seconds % 60);
    return t;
}
