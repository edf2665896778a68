// The Date header of a service's answer, read as text: the library's own
// reading of it into a system time cannot be trusted with every date.
#pragma once

#include <cstdint>
#include <string>

// The three forms HTTP lets a server write, each in UTC:
//   "Sun, 06 Nov 1994 08:49:37 GMT"     (the one servers send today)
//   "Sunday, 06-Nov-94 08:49:37 GMT"    (older; 70..99 are 19xx, 00..69 20xx)
//   "Sun Nov  6 08:49:37 1994"          (the C library's)
// as seconds since 1970. False for anything else, a date that does not exist
// included. Spaces around the text do not count.
bool ReadHttpDate(const std::string& text, int64_t* utcSeconds);
