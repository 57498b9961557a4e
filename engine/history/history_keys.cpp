#include "engine/history/history_keys.h"

#include <algorithm>
#include <array>

#include "core/text.h"

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
constexpr int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

constexpr int64_t kEpochDays = DaysFromCivil(2020, 1, 1);
constexpr int64_t kDaySeconds = 86400;

bool IsLeapYear(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t DaysInMonth(int64_t year, int64_t month)
{
    constexpr std::array<int64_t, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

constexpr std::array<const char*, kEventKinds> kKindNames = {
    "Connection",   "File open",     "Tripwire", "Session cut off", "Session closed", "File closed",
    "Share removed", "Computer listed", "Computer unlisted", "Trip released", "Server silent",
    "Shares denied", "Shares restored",
};

}  // namespace

bool HistorySecondsOf(const SYSTEMTIME& time, int64_t* seconds)
{
    if (time.wYear < 1601 || time.wYear > 30827 || time.wMonth < 1 || time.wMonth > 12 || time.wDay < 1 ||
        time.wDay > DaysInMonth(time.wYear, time.wMonth) || time.wHour > 23 || time.wMinute > 59 ||
        time.wSecond > 59)
        return false;
    const int64_t days = DaysFromCivil(time.wYear, time.wMonth, time.wDay) - kEpochDays;
    *seconds = days * kDaySeconds + time.wHour * 3600 + time.wMinute * 60 + time.wSecond;
    return true;
}

SYSTEMTIME SystemTimeOfHistorySeconds(int64_t seconds)
{
    // Civil from days (the inverse of DaysFromCivil).
    int64_t days = seconds / kDaySeconds;
    int64_t rest = seconds % kDaySeconds;
    if (rest < 0) {
        rest += kDaySeconds;
        --days;
    }
    const int64_t z = days + kEpochDays + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthPart = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthPart + 2) / 5 + 1;
    const int64_t month = monthPart < 10 ? monthPart + 3 : monthPart - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(std::clamp<int64_t>(year, 1601, 30827));
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(rest / 3600);
    time.wMinute = static_cast<WORD>(rest / 60 % 60);
    time.wSecond = static_cast<WORD>(rest % 60);
    time.wDayOfWeek = static_cast<WORD>(((days + kEpochDays) % 7 + 7 + 4) % 7);  // 1970-01-01 was a Thursday
    return time;
}

int32_t HistoryZoneOf(int64_t localSeconds, int64_t utcSeconds)
{
    const int64_t difference = localSeconds - utcSeconds;
    const int64_t half = kHistoryZoneSeconds / 2;
    const int64_t quarters = (difference >= 0 ? difference + half : difference - half) / kHistoryZoneSeconds;
    return static_cast<int32_t>(std::clamp<int64_t>(quarters, -kHistoryZoneLimit, kHistoryZoneLimit));
}

const char* HistoryKindName(EventKind kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return index < kKindNames.size() ? kKindNames[index] : "Other";
}

void FormatHistoryTime(const SYSTEMTIME& time, std::span<char> text)
{
    FormatText(text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
               time.wSecond);
}
