#include "core/clock.h"

#include <atomic>

namespace {

void PlatformLocalTime(SYSTEMTIME* now)
{
    GetLocalTime(now);
}

ULONGLONG PlatformMilliseconds()
{
    return GetTickCount64();
}

void PlatformUniversalTime(SYSTEMTIME* now)
{
    GetSystemTime(now);
}

constexpr ClockSource kPlatformClock = {PlatformLocalTime, PlatformMilliseconds, PlatformUniversalTime};
// Read by the servers' workers too.
std::atomic<const ClockSource*> activeClock{&kPlatformClock};

}  // namespace

void InstallClock(const ClockSource* source)
{
    activeClock.store(source ? source : &kPlatformClock);
}

SYSTEMTIME LocalTimeNow()
{
    SYSTEMTIME now{};
    activeClock.load()->localTime(&now);
    return now;
}

SYSTEMTIME UniversalTimeNow()
{
    const ClockSource* source = activeClock.load();
    SYSTEMTIME now{};
    if (source->universalTime)
        source->universalTime(&now);
    else
        source->localTime(&now);
    return now;
}

ULONGLONG MillisecondsNow()
{
    return activeClock.load()->milliseconds();
}

ULONGLONG PacingMillisecondsNow()
{
    return PlatformMilliseconds();
}
