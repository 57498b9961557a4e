// Every 200 ms: new file opens; once a second: new connections and the pages'
// refreshes; and, for the sound alert, hidden shares in use.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>
#include <span>

#include "blocking/tripwires.h"
#include "monitor/activity_delivery.h"

// Ids of the previous open-file scan that answered: a server whose ids start again
// from a low number is noticed by an id at or below the highest reported that this
// scan did not hold. Past the capacity the plain rule alone applies.
constexpr std::size_t kFileMemoryCapacity = 65536;

struct FileScanMemory {
    int32_t answered;  // a scan has answered since start-up
    int32_t complete;  // the remembered scan answered whole, and its ids fitted
    std::size_t count;
    std::array<uint32_t, kFileMemoryCapacity> ids;  // sorted
    std::array<uint32_t, kFileMemoryCapacity> scratch;
};

// A scan's new files whose events are still being delivered: the scan's own records,
// held until the last of them is delivered.
constexpr std::size_t kTripsPerScan = 8;
struct PendingTrip {
    std::size_t after;  // the new file whose line comes first
    TripReport report;
};
struct PendingFileEvents {
    FILE_INFO_3* records;  // the new files first, in enumeration order
    std::size_t count;
    std::size_t next;
    PollTime time;
    std::array<PendingTrip, kTripsPerScan> trips;
    std::size_t tripCount;
    std::size_t nextTrip;
};

// Detection for any watched server, from an enumeration already made: new sessions
// are connection events; new files are checked against the tripwires at once and
// their events delivered in slices, the watch keeping `records` (released with the
// server's buffer release) until the last is delivered. Returns whether it kept them.
void ScanSessionsOf(const ServerWatch& watch, NET_API_STATUS status, std::span<const SESSION_INFO_1> sessions,
                    ULONGLONG scanStart, ULONGLONG scanEnd, const PollTime& time);
bool ScanOpenFilesOf(const ServerWatch& watch, NET_API_STATUS status, std::span<FILE_INFO_3> records,
                     const PollTime& time);
// Whether the watch still has file events to deliver; no new file scan of it is made meanwhile.
bool IsDelivering(const ServerWatch& watch);
// Hands out more of every watch's pending file events, a slice at most.
void ContinueDelivery();
// Before the program ends: every watch's pending events delivered whole, and every
// log's backlog written.
void FinishDelivery();

// The 200 ms thread timer procedure; its arguments are ignored.
void CALLBACK OnPollTick(HWND = nullptr, UINT = 0, UINT_PTR = 0, DWORD = 0);

// Called once when the poll timer starts: no sessions are known yet.
void StartActivityPoller();

// The open mode of a file: "Read", "Write", "Create" joined in that order.
void FormatOpenMode(DWORD permissions, std::span<char> text);

// The activity lines, as the Log page, the text log and the notify window show them.
// `time` is the poll's "%d:%d:%d".
void FormatConnectionLine(const SESSION_INFO_1& session, const char* time, std::span<char> line);
void FormatFileOpenLine(const FILE_INFO_3& file, const char* time, std::span<char> line);

// Whether the session's user is a guest: an empty user name or the guest flag.
bool IsGuestSession(const SESSION_INFO_1& session);

// Whether a share in use should sound under `events` (1: drive shares, 2: hidden shares).
bool ShareSoundsAlert(const SHARE_INFO_502& share, int events);
