// Local time and elapsed time reach the program through here, so that a test can
// drive the clock across a day change without waiting for midnight.
#pragma once

#include <windows.h>

struct ClockSource {
    void (*localTime)(SYSTEMTIME* now);
    ULONGLONG (*milliseconds)();
    void (*universalTime)(SYSTEMTIME* now);  // UTC; nullptr: the local time's
};

// nullptr puts the platform's clock back.
void InstallClock(const ClockSource* source);

SYSTEMTIME LocalTimeNow();
SYSTEMTIME UniversalTimeNow();
ULONGLONG MillisecondsNow();

// The platform's own elapsed time, whatever clock is installed: only for pacing a
// worker's real waits. What the program decides or records takes MillisecondsNow.
ULONGLONG PacingMillisecondsNow();
