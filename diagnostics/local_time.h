// Wall-clock helpers shared by the log and the engine.
#pragma once

#include <cstdint>
#include <ctime>

struct LocalTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The current local date and time, to the second.
LocalTime GetLocalTimeNow();

// Breaks calendar seconds down as UTC, or as the local time.
bool BreakDownUtc(std::time_t seconds, std::tm* out);
bool BreakDownLocal(std::time_t seconds, std::tm* out);

// A local date-time as a count of seconds on a calendar without time zones, so
// that two local date-times subtract to the seconds between them. 1970-01-01
// 00:00:00 is 0.
int64_t ToDateTime(const LocalTime& time);
int64_t MakeDateTime(int year, int month, int day, int hour, int minute, int second);
// The inverse of ToDateTime.
LocalTime FromDateTime(int64_t dateTime);
