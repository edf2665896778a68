#include "engine/http_date.h"

#include <cstring>

#include "diagnostics/local_time.h"

namespace {

const char* const kDays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                             "Friday", "Saturday", "Sunday"};
const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// Reads the text left to right; every step fails once one has.
class Cursor {
  public:
    explicit Cursor(const std::string& text) : m_text(text) {
        size_t first = text.find_first_not_of(" \t");
        size_t last = text.find_last_not_of(" \t");
        m_pos = first == std::string::npos ? 0 : first;
        m_end = first == std::string::npos ? 0 : last + 1;
    }

    // Steps over `ch` when it comes next; not finding it is no failure.
    bool Skip(char ch) {
        bool found = m_ok && m_pos < m_end && m_text[m_pos] == ch;
        if (found) ++m_pos;
        return found;
    }
    bool Literal(const char* literal) {
        size_t n = std::strlen(literal);
        m_ok = m_ok && m_end - m_pos >= n && m_text.compare(m_pos, n, literal) == 0;
        if (m_ok) m_pos += n;
        return m_ok;
    }
    // Exactly `digits` decimal digits: at most four, so no sum can overflow.
    int Number(size_t digits) {
        int value = 0;
        for (size_t i = 0; i < digits && m_ok; ++i, ++m_pos) {
            m_ok = m_pos < m_end && m_text[m_pos] >= '0' && m_text[m_pos] <= '9';
            if (m_ok) value = value * 10 + (m_text[m_pos] - '0');
        }
        return value;
    }
    // A month's three letters as 1..12.
    int Month() {
        for (int m = 0; m < 12 && m_ok; ++m) {
            if (m_end - m_pos >= 3 && m_text.compare(m_pos, 3, kMonths + 3 * m, 3) == 0) {
                m_pos += 3;
                return m + 1;
            }
        }
        m_ok = false;
        return 0;
    }
    // A day's name, whole or its first three letters; which, `whole` tells.
    void DayName(bool* whole) {
        for (const char* day : kDays) {
            for (size_t n : {std::strlen(day), size_t{3}}) {
                if (m_end - m_pos >= n && m_text.compare(m_pos, n, day, n) == 0) {
                    m_pos += n;
                    *whole = n > 3;
                    return;
                }
            }
        }
        m_ok = false;
    }
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_ok && m_pos == m_end; }

  private:
    const std::string& m_text;
    size_t m_pos;
    size_t m_end;
    bool m_ok = true;
};

int DaysInMonth(int year, int month) {
    static const int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDaysIn[month - 1];
}

}  // namespace

bool ReadHttpDate(const std::string& text, int64_t* utcSeconds) {
    Cursor c(text);
    bool wholeDay = false;
    c.DayName(&wholeDay);
    int year = 0, month = 0, day = 0;
    bool asctime = !wholeDay && c.Ok() && c.Skip(' ');
    if (asctime) {
        month = c.Month();
        c.Literal(" ");
        day = c.Skip(' ') ? c.Number(1) : c.Number(2);
    } else {
        c.Literal(", ");
        day = c.Number(2);
        const char* gap = wholeDay ? "-" : " ";
        c.Literal(gap);
        month = c.Month();
        c.Literal(gap);
        year = c.Number(wholeDay ? 2 : 4);
        if (wholeDay) year += year < 70 ? 2000 : 1900;
    }
    c.Literal(" ");
    int hour = c.Number(2);
    c.Literal(":");
    int minute = c.Number(2);
    c.Literal(":");
    int second = c.Number(2);
    if (asctime) {
        c.Literal(" ");
        year = c.Number(4);
    } else {
        c.Literal(" GMT");
    }
    // A leap second (60) is let through; the next second is just as good.
    if (!c.AtEnd() || year < 1 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    *utcSeconds = MakeDateTime(year, month, day, hour, minute, second);
    return true;
}
