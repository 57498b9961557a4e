// Every 200 ms: new file opens; once a second: new connections and the pages'
// refreshes; and, for the sound alert, hidden shares in use.
#pragma once

#include <windows.h>
#include <lm.h>

#include <span>

#include "monitor/activity_delivery.h"

// A scan's new files whose events are still being delivered: the scan's own records,
// held until the last of them is delivered.
struct PendingFileEvents {
    FILE_INFO_3* records;  // the new files first, in enumeration order
    std::size_t count;
    std::size_t next;
    PollTime time;
};

// The 200 ms thread timer procedure; its arguments are ignored.
void CALLBACK OnPollTick(HWND = nullptr, UINT = 0, UINT_PTR = 0, DWORD = 0);

// Called once when the poll timer starts: no sessions are known yet.
void StartActivityPoller();

// The open mode of a file: "Read", "Write", "Create" joined in that order.
void FormatOpenMode(DWORD permissions, std::span<char> text);

// The activity lines, as the Log page, the text log and the notify window show them.
// `time` is the poll's "%d:%d:%d"; without it, the time now.
void FormatConnectionLine(const SESSION_INFO_1& session, std::span<char> line);
void FormatFileOpenLine(const FILE_INFO_3& file, std::span<char> line);
void FormatConnectionLine(const SESSION_INFO_1& session, const char* time, std::span<char> line);
void FormatFileOpenLine(const FILE_INFO_3& file, const char* time, std::span<char> line);

// Whether the session's user is a guest: an empty user name or the guest flag.
bool IsGuestSession(const SESSION_INFO_1& session);

// Whether a share in use should sound under `events` (1: drive shares, 2: hidden shares).
bool ShareSoundsAlert(const SHARE_INFO_502& share, int events);
