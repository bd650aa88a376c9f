// The date and the time as the setup protocol carries them (write settings sets them, read
// settings shows them): "MM/DD/YYYY" and "HH:MM:SS", two-digit fields with the four-digit
// year, at fixed positions. The agent checks them before the clock is set, the PC tool before
// it sends them, clockset before it reads them.
#pragma once

#include <cstddef>
#include <string_view>

namespace proto::clock {

// The appliance's clock is a 32-bit count of seconds from 1970: it runs to January 2038.
inline constexpr int kFirstYear = 1970;
inline constexpr int kLastYear = 2037;

inline constexpr std::size_t kDateLength = 10;  // MM/DD/YYYY
inline constexpr std::size_t kTimeLength = 8;   // HH:MM:SS

struct Date {
    int month;
    int day;
    int year;
};

struct Time {
    int hour;
    int minute;
    int second;
};

// The number of the decimal digits text[at, at + n); -1 when one is no digit.
constexpr int DigitsAt(std::string_view text, std::size_t at, std::size_t n) {
    int value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Three fields of two, two and `last` digits with `separator` between them (NUL: any
// character there). False unless the text is exactly that.
constexpr bool ParseFields(std::string_view text, std::size_t last, char separator, int *a, int *b,
                           int *c) {
    if (text.size() != 6 + last ||
        (separator != '\0' && (text[2] != separator || text[5] != separator))) {
        return false;
    }
    *a = DigitsAt(text, 0, 2);
    *b = DigitsAt(text, 3, 2);
    *c = DigitsAt(text, 6, last);
    return *a >= 0 && *b >= 0 && *c >= 0;
}

// "MM/DD/YYYY" read whole into its numbers (ranges unchecked).
constexpr bool ParseDate(std::string_view text, Date *date, char separator = '/') {
    return ParseFields(text, 4, separator, &date->month, &date->day, &date->year);
}

// "HH:MM:SS" read whole into its numbers (ranges unchecked).
constexpr bool ParseTime(std::string_view text, Time *time, char separator = ':') {
    return ParseFields(text, 2, separator, &time->hour, &time->minute, &time->second);
}

constexpr bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days of a month (1-12) of a year.
constexpr int DaysInMonth(int month, int year) {
    constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

// A real date the appliance's clock can hold.
constexpr bool DateIsValid(const Date &d) {
    return d.month >= 1 && d.month <= 12 && d.year >= kFirstYear && d.year <= kLastYear &&
           d.day >= 1 && d.day <= DaysInMonth(d.month, d.year);
}

// A time of day, 00:00:00 to 23:59:59.
constexpr bool TimeIsValid(const Time &t) {
    return t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 59;
}

// The texts of a request, checked whole: form and ranges.
constexpr bool DateTextIsValid(std::string_view text) {
    Date d{};
    return ParseDate(text, &d) && DateIsValid(d);
}
constexpr bool TimeTextIsValid(std::string_view text) {
    Time t{};
    return ParseTime(text, &t) && TimeIsValid(t);
}

static_assert(DateTextIsValid("02/29/2024") && !DateTextIsValid("02/29/2026"));
static_assert(!DateTextIsValid("12/07/1969") && !DateTextIsValid("01/01/2038"));
static_assert(!DateTextIsValid("12/7/2026") && !DateTextIsValid("12-07-2026"));
static_assert(TimeTextIsValid("23:59:59") && !TimeTextIsValid("24:00:00"));
static_assert(!TimeTextIsValid("a;b") && !TimeTextIsValid("08:05:09 "));

}  // namespace proto::clock
