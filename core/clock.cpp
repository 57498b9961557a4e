#include "core/clock.h"

#include <atomic>
#include <cstdint>

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

bool PlatformUtcOfLocal(const SYSTEMTIME& local, SYSTEMTIME* utc)
{
    return TzSpecificLocalTimeToSystemTime(nullptr, &local, utc) != FALSE;
}

int64_t TicksOf(const SYSTEMTIME& time)
{
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file))
        return 0;
    return static_cast<int64_t>((static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
}

constexpr ClockSource kPlatformClock = {PlatformLocalTime, PlatformMilliseconds, PlatformUniversalTime,
                                        PlatformUtcOfLocal};
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

SYSTEMTIME UtcOfLocalTime(const SYSTEMTIME& local)
{
    const ClockSource* source = activeClock.load();
    SYSTEMTIME utc{};
    if (source->utcOfLocal && source->utcOfLocal(local, &utc))
        return utc;
    const int64_t zone = TicksOf(LocalTimeNow()) - TicksOf(UniversalTimeNow());
    const auto ticks = static_cast<uint64_t>(TicksOf(local) - zone);
    const FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    if (!FileTimeToSystemTime(&file, &utc))
        return local;
    return utc;
}

ULONGLONG MillisecondsNow()
{
    return activeClock.load()->milliseconds();
}

ULONGLONG PacingMillisecondsNow()
{
    return PlatformMilliseconds();
}
