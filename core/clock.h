// Local time and elapsed time reach the program through here, so that a test can
// drive the clock across a day change without waiting for midnight.
#pragma once

#include <windows.h>

struct ClockSource {
    void (*localTime)(SYSTEMTIME* now);
    ULONGLONG (*milliseconds)();
    void (*universalTime)(SYSTEMTIME* now);  // UTC; nullptr: the local time's
    // A local calendar time as UTC by the zone's rules for that date; nullptr: by
    // the distance between the clock's local time and UTC now.
    bool (*utcOfLocal)(const SYSTEMTIME& local, SYSTEMTIME* utc);
};

// nullptr puts the platform's clock back.
void InstallClock(const ClockSource* source);

SYSTEMTIME LocalTimeNow();
SYSTEMTIME UniversalTimeNow();
ULONGLONG MillisecondsNow();
// A date and time a person gave in local time, as UTC: a summer date picked in winter
// is an hour apart from UTC as that summer was, not as today is.
SYSTEMTIME UtcOfLocalTime(const SYSTEMTIME& local);

// The platform's own elapsed time, whatever clock is installed: only for pacing a
// worker's real waits. What the program decides or records takes MillisecondsNow.
ULONGLONG PacingMillisecondsNow();
