#include "core/clock.h"

namespace {

void PlatformLocalTime(SYSTEMTIME* now)
{
    GetLocalTime(now);
}

ULONGLONG PlatformMilliseconds()
{
    return GetTickCount64();
}

constexpr ClockSource kPlatformClock = {PlatformLocalTime, PlatformMilliseconds};
const ClockSource* activeClock = &kPlatformClock;

}  // namespace

void InstallClock(const ClockSource* source)
{
    activeClock = source ? source : &kPlatformClock;
}

SYSTEMTIME LocalTimeNow()
{
    SYSTEMTIME now{};
    activeClock->localTime(&now);
    return now;
}

ULONGLONG MillisecondsNow()
{
    return activeClock->milliseconds();
}
