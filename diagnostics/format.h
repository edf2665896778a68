// Message formatting for the debug log and for the texts the engine builds.
//
// The conventions are those of the Windows wvsprintf: %c %d %i %u %x %X %s and %%,
// the flags '-', '0' and '#', a decimal width and precision, and the h and l size
// modifiers. There is no floating point and no '*' width. The output is cut at
// kFormatLimit characters and always terminated.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#if defined(__GNUC__)
#define KELMAR_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define KELMAR_PRINTF(fmt, args)
#endif

constexpr size_t kFormatLimit = 1024;

// Writes at most kFormatLimit characters and a terminator into `out`, which must
// have room for kFormatLimit + 1 bytes. Returns the number of characters written.
size_t FormatV(char* out, const char* format, va_list args);

// The same with the arguments given directly.
size_t FormatTo(char* out, const char* format, ...) KELMAR_PRINTF(2, 3);

// The same into a string.
std::string Format(const char* format, ...) KELMAR_PRINTF(1, 2);
