// The texts of events as the Log page, the logs and the notify window show them.
#pragma once

#include <windows.h>
#include <lm.h>

#include <span>

// The open mode of a file: "Read", "Write", "Create" joined in that order.
void FormatOpenMode(DWORD permissions, std::span<char> text);

// Whether the session's user is a guest: an empty user name or the guest flag.
bool IsGuestSession(const SESSION_INFO_1& session);

// The activity lines; `time` is the poll's "%d:%d:%d".
void FormatConnectionLine(const SESSION_INFO_1& session, const char* time, std::span<char> line);
void FormatFileOpenLine(const FILE_INFO_3& file, const char* time, std::span<char> line);
// A trip's line: "[time] Tripwire [user]detail".
void FormatTripwireLine(const wchar_t* user, const char* detail, const char* time, std::span<char> line);

// The CSV record `"time", "kind", "user", "target"` of one event, cut at the
// formatter's limit, control characters shown as '?'.
void FormatCsvRecord(const char* time, const char* kind, const wchar_t* user, const wchar_t* target,
                     std::span<char> record);
