// wvsprintf-style formatting, written out by hand so the output is the same on
// every toolchain and never depends on the C runtime's idea of printf.
//
// Choices where the Windows function leaves room:
// - Anything that is not a known conversion character ends the directive and is
//   output as itself; the '%', flags, width and size vanish and no argument is
//   read. That covers %f %e %g %p %n and '*' ("%*d" prints "*d").
// - %ls / %S take a wide string and %lc / %C a wide character; characters
//   outside ASCII become '?'.
// - %c of a zero character prints nothing (a terminator in the middle would cut
//   the text short for every caller that treats it as a C string).
// - The '0' flag pads numbers to the width even when a precision is given; the
//   zeros go after the sign or "0x".
// - A precision of zero still prints the digit of a zero value.
#include "diagnostics/format.h"

namespace {

enum : unsigned {
    kFlagLeft = 1,
    kFlagZero = 2,
    kFlagHexPrefix = 4,
};

// Large enough to stand for "more than the output can hold", small enough that
// sums of it cannot overflow.
constexpr size_t kNumberCap = kFormatLimit + 1;

class Output {
  public:
    explicit Output(char* out) : m_out(out) {}

    bool Full() const { return m_count >= kFormatLimit; }
    size_t Count() const { return m_count; }

    void Put(char c) {
        if (!Full()) {
            m_out[m_count++] = c;
        }
    }

    // Clamped to the room left, so huge widths cost nothing.
    void Repeat(char c, size_t n) {
        size_t room = kFormatLimit - m_count;
        if (n > room) {
            n = room;
        }
        for (size_t i = 0; i < n; ++i) {
            m_out[m_count++] = c;
        }
    }

    void Write(const char* s, size_t n) {
        size_t room = kFormatLimit - m_count;
        if (n > room) {
            n = room;
        }
        for (size_t i = 0; i < n; ++i) {
            m_out[m_count++] = s[i];
        }
    }

    void Terminate() { m_out[m_count] = '\0'; }

  private:
    char* m_out;
    size_t m_count = 0;
};

struct Directive {
    unsigned flags = 0;
    size_t width = 0;
    bool has_precision = false;
    size_t precision = 0;
    char size = 0;  // 'h', 'l' or 0
    char conversion = 0;
};

// Reads decimal digits, saturating at kNumberCap.
size_t ReadNumber(const char*& p) {
    size_t n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n < kNumberCap) {
            n = n * 10 + static_cast<size_t>(*p - '0');
        }
        ++p;
    }
    return n < kNumberCap ? n : kNumberCap;
}

// Parses the directive after '%'. Returns false when the format ends inside it.
bool ParseDirective(const char*& p, Directive& directive) {
    for (;; ++p) {
        if (*p == '-') {
            directive.flags |= kFlagLeft;
        } else if (*p == '0') {
            directive.flags |= kFlagZero;
        } else if (*p == '#') {
            directive.flags |= kFlagHexPrefix;
        } else {
            break;
        }
    }
    directive.width = ReadNumber(p);
    if (*p == '.') {
        ++p;
        directive.has_precision = true;
        directive.precision = ReadNumber(p);
    }
    if (*p == 'h' || *p == 'l') {
        directive.size = *p++;
    }
    if (*p == '\0') {
        return false;
    }
    directive.conversion = *p++;
    return true;
}

size_t Padding(size_t width, size_t len) {
    return width > len ? width - len : 0;
}

// Text (string or character) with the width applied; '0' does not apply here.
void EmitText(Output& out, const Directive& directive, const char* s, size_t len) {
    size_t pad = Padding(directive.width, len);
    if (!(directive.flags & kFlagLeft)) {
        out.Repeat(' ', pad);
    }
    out.Write(s, len);
    if (directive.flags & kFlagLeft) {
        out.Repeat(' ', pad);
    }
}

void EmitString(Output& out, const Directive& directive, const char* s) {
    if (s == nullptr) {
        s = "(null)";
    }
    // Bounded by the precision: the text need not be terminated within it.
    size_t len = 0;
    while ((!directive.has_precision || len < directive.precision) && s[len] != '\0') {
        ++len;
    }
    EmitText(out, directive, s, len);
}

// Through unsigned long: wchar_t is signed 32-bit on Linux, unsigned 16-bit on Windows.
char NarrowChar(wchar_t c) {
    return static_cast<unsigned long>(c) < 0x80 ? static_cast<char>(c) : '?';
}

void EmitWideString(Output& out, const Directive& directive, const wchar_t* s) {
    if (s == nullptr) {
        EmitString(out, directive, nullptr);
        return;
    }
    size_t len = 0;
    while ((!directive.has_precision || len < directive.precision) && s[len] != L'\0') {
        ++len;
    }
    size_t pad = Padding(directive.width, len);
    if (!(directive.flags & kFlagLeft)) {
        out.Repeat(' ', pad);
    }
    for (size_t i = 0; i < len && !out.Full(); ++i) {
        out.Put(NarrowChar(s[i]));
    }
    if (directive.flags & kFlagLeft) {
        out.Repeat(' ', pad);
    }
}

void EmitChar(Output& out, const Directive& directive, char c) {
    EmitText(out, directive, &c, c == '\0' ? 0 : 1);
}

// `magnitude` is the absolute value; the sign travels separately so the most
// negative values need no negation of a signed type.
void EmitNumber(Output& out, const Directive& directive, unsigned long long magnitude,
                bool negative, bool hex, bool upper) {
    char digits[24];
    size_t n = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = hex ? 16 : 10;
    bool zero = magnitude == 0;
    do {
        digits[n++] = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    const char* prefix = "";
    size_t prefix_len = 0;
    if (negative) {
        prefix = "-";
        prefix_len = 1;
    } else if (hex && (directive.flags & kFlagHexPrefix) && !zero) {
        prefix = upper ? "0X" : "0x";
        prefix_len = 2;
    }

    size_t zeros = directive.has_precision ? Padding(directive.precision, n) : 0;
    size_t body = prefix_len + zeros + n;  // at most 2 + kNumberCap + 24
    size_t pad = Padding(directive.width, body);
    bool left = (directive.flags & kFlagLeft) != 0;
    bool zero_pad = !left && (directive.flags & kFlagZero);
    if (zero_pad) {
        zeros += pad;
        pad = 0;
    }

    if (!left) {
        out.Repeat(' ', pad);
    }
    out.Write(prefix, prefix_len);
    out.Repeat('0', zeros);
    while (n > 0 && !out.Full()) {
        out.Put(digits[--n]);
    }
    if (left) {
        out.Repeat(' ', pad);
    }
}

void EmitSigned(Output& out, const Directive& directive, long long v) {
    bool negative = v < 0;
    unsigned long long magnitude = static_cast<unsigned long long>(v);
    if (negative) {
        magnitude = 0ULL - magnitude;
    }
    EmitNumber(out, directive, magnitude, negative, false, false);
}

}  // namespace

size_t FormatV(char* out, const char* format, va_list args) {
    if (out == nullptr) {
        return 0;
    }
    Output o(out);
    const char* p = format != nullptr ? format : "";
    while (*p != '\0' && !o.Full()) {
        if (*p != '%') {
            o.Put(*p++);
            continue;
        }
        ++p;
        Directive directive;
        if (!ParseDirective(p, directive)) {
            break;  // a directive cut off by the end of the format prints nothing
        }
        switch (directive.conversion) {
            case '%':
                o.Put('%');
                break;
            case 'c':
                if (directive.size == 'l') {
                    // wchar_t is promoted to int on both toolchains.
                    EmitChar(o, directive, NarrowChar(static_cast<wchar_t>(va_arg(args, int))));
                } else {
                    EmitChar(o, directive, static_cast<char>(va_arg(args, int)));
                }
                break;
            case 'C':
                EmitChar(o, directive, NarrowChar(static_cast<wchar_t>(va_arg(args, int))));
                break;
            case 's':
                if (directive.size == 'l') {
                    EmitWideString(o, directive, va_arg(args, const wchar_t*));
                } else {
                    EmitString(o, directive, va_arg(args, const char*));
                }
                break;
            case 'S':
                EmitWideString(o, directive, va_arg(args, const wchar_t*));
                break;
            case 'd':
            case 'i':
                if (directive.size == 'l') {
                    EmitSigned(o, directive, va_arg(args, long));
                } else if (directive.size == 'h') {
                    EmitSigned(o, directive, static_cast<short>(va_arg(args, int)));
                } else {
                    EmitSigned(o, directive, va_arg(args, int));
                }
                break;
            case 'u':
            case 'x':
            case 'X': {
                unsigned long long v;
                if (directive.size == 'l') {
                    v = va_arg(args, unsigned long);
                } else if (directive.size == 'h') {
                    v = static_cast<unsigned short>(va_arg(args, unsigned int));
                } else {
                    v = va_arg(args, unsigned int);
                }
                EmitNumber(o, directive, v, false, directive.conversion != 'u',
                           directive.conversion == 'X');
                break;
            }
            default:
                // Unsupported: the character stands for itself, no argument is read.
                o.Put(directive.conversion);
                break;
        }
    }
    o.Terminate();
    return o.Count();
}

size_t FormatTo(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t n = FormatV(out, format, args);
    va_end(args);
    return n;
}

std::string Format(const char* format, ...) {
    char buffer[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    size_t n = FormatV(buffer, format, args);
    va_end(args);
    return std::string(buffer, n);
}
