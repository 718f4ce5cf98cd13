#include "PropertyList/IsoDate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace CFPlatform {

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    auto yearOfEra = static_cast<unsigned>(year - era * 400);
    unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct CivilDate
{
    int64_t year;
    unsigned month;
    unsigned day;
};

CivilDate civilFromDays(int64_t days)
{
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2), month, day};
}

unsigned daysInMonth(int64_t year, unsigned month)
{
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The number written by `digits` characters at `text[position]`, or -1.
int64_t readNumber(std::string_view text, size_t position, size_t digits)
{
    int64_t value = 0;
    for (size_t i = position; i < position + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kUnixToAbsolute = 978307200;

} // namespace

std::optional<CFAbsoluteTime> parseIsoDate(std::string_view text)
{
    // YYYY-MM-DDTHH:MM:SSZ
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return std::nullopt;
    }
    int64_t year = readNumber(text, 0, 4);
    int64_t month = readNumber(text, 5, 2);
    int64_t day = readNumber(text, 8, 2);
    int64_t hour = readNumber(text, 11, 2);
    int64_t minute = readNumber(text, 14, 2);
    int64_t second = readNumber(text, 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59 || day > daysInMonth(year, static_cast<unsigned>(month))) {
        return std::nullopt;
    }
    int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    int64_t unixSeconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    return static_cast<CFAbsoluteTime>(unixSeconds - kUnixToAbsolute);
}

std::optional<std::string> formatIsoDate(CFAbsoluteTime time)
{
    // Years 0000 to 9999 lie well inside this range; checking first keeps the cast defined.
    if (!std::isfinite(time) || std::fabs(time) > 1e12) {
        return std::nullopt;
    }
    int64_t unixSeconds = static_cast<int64_t>(std::floor(time)) + kUnixToAbsolute;
    int64_t days =
        unixSeconds >= 0 ? unixSeconds / kSecondsPerDay : (unixSeconds - kSecondsPerDay + 1) / kSecondsPerDay;
    int64_t secondOfDay = unixSeconds - days * kSecondsPerDay;
    CivilDate date = civilFromDays(days);
    if (date.year < 0 || date.year > 9999) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year),
                  date.month, date.day, static_cast<int>(secondOfDay / 3600),
                  static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60));
    return std::string(text);
}

} // namespace CFPlatform
