// Which sessions of a scan are new connections.
//
// A session is known by its client and user and by when it began. A scan gives the
// connection time in whole seconds, which puts the start inside a window a second
// (plus the enumeration's own duration) wide; the same session seen at the next scan
// begins in an overlapping window, while a reconnect of the same pair, or a second
// session of it, begins in a later one. The memory holds every session of the last
// scan as (key, window), so each pair is a small multiset rather than one bit.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>

// Sessions one server's memory holds. Past it, the sessions whose keys sort beyond
// the memory's cut are reported only when their connection time proves they began
// after the previous scan ended: with a once-a-second scan most of those connections
// go unreported, and none is reported twice.
constexpr std::size_t kSessionMemoryCapacity = 65536;

struct SessionSighting {
    uint64_t key;       // client and user
    int64_t earliest;   // the session began after this moment (milliseconds)...
    int64_t latest;     // ...and at or before this one
};

struct SessionScanMemory {
    int64_t knownSince;   // start of the last whole scan (or of the poller): older sessions were seen
    int64_t lastSeenEnd;  // end of the last scan that answered
    std::size_t count;
    int32_t cut;          // keys at or above cutKey are not all remembered
    uint64_t cutKey;

    // The scan under way.
    int64_t scanStart;
    int64_t scanEnd;
    std::size_t scanCount;
    int32_t scanCut;
    uint64_t scanCutKey;
    std::array<uint8_t, kSessionMemoryCapacity> matched;  // per remembered session, during a scan
    std::array<uint8_t, kSessionMemoryCapacity> known;    // per session of the scan: it matched one

    std::array<SessionSighting, kSessionMemoryCapacity> sessions;  // sorted by key, then earliest
    std::array<SessionSighting, kSessionMemoryCapacity> scratch;
};

// No session is known; those begun before `now` were there before the program looked.
void StartSessionMemory(SessionScanMemory& memory, ULONGLONG now);

// One scan that answered: the moments before and after its enumeration, each session
// in enumeration order, then whether the answer was whole. A partial answer
// (ERROR_MORE_DATA) reports what it holds and keeps the last whole scan as the
// reference, so that a session it left out is neither lost nor reported twice.
void BeginSessionScan(SessionScanMemory& memory, ULONGLONG scanStart, ULONGLONG scanEnd);
bool SightSession(SessionScanMemory& memory, const SESSION_INFO_1& session);  // true: a new connection
void EndSessionScan(SessionScanMemory& memory, bool whole);
