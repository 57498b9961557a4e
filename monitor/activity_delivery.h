// Detection produces events; delivery hands a whole batch of them to each sink at
// once: the Log page and the day's text log one append, the run's CSV records and the
// day's CSV log one write, the notify window one update, the tray and the sound one
// signal. Each line and record, their order and their times are the events' own.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>

#include "core/text.h"
#include "monitor/server_watch.h"
#include "notify/notify_window.h"

// Room for a batch's lines and for its records; a batch that would overflow either
// is delivered first, so a burst becomes several deliveries, never a cut line.
constexpr std::size_t kBatchTextCapacity = 32 * 1024;

struct ActivityBatch {
    SYSTEMTIME found;  // the poll that found the events: the day of the logs they go to
    int32_t events;    // set the unseen activity
    int32_t sound;     // signal the sound alert
    std::size_t textLength;
    std::array<char, kBatchTextCapacity> text;  // activity lines, each ended by CR LF
    std::size_t csvLength;
    std::array<char, kBatchTextCapacity> csv;  // CSV records, each ended by CR LF
    // Another server's lines as the Log page shows them, naming the server.
    std::size_t pageLength;
    std::array<char, kBatchTextCapacity + kBatchTextCapacity / 4> page;
    NotifyLines notify;
};


// The poll's time as the lines show it; events found by one poll all carry it.
struct PollTime {
    SYSTEMTIME at;
    std::array<char, 32> text;  // "%d:%d:%d"
};
PollTime TakePollTime();

// Adds one event, with its gates (savesess, displaysess, ...) read now.
void AddConnectionEvent(const ServerWatch& watch, const SESSION_INFO_1& session, const PollTime& time);
void AddFileOpenEvent(const ServerWatch& watch, const FILE_INFO_3& file, const PollTime& time);

// A trip: its line always goes to the Log page and the logs, and to the notify window
// while the main window is hidden; the tray blinks, and the sound plays while the
// sound alert is on, whatever its filter says. `detail` follows the user in the line.
void AddTripwireEvent(const ServerWatch& watch, const wchar_t* user, const char* detail, const PollTime& time);

// Hands the batch to every sink and empties it; nothing happens for an empty batch.
// Another server's lines go to its own logs, and to the Log page and the notify window
// with its name after the time; only this computer's records join the run's records.
void DeliverActivity(const ServerWatch& watch);
void DeliverActivity();

// The CSV record `"time", "kind", "user", "target"` of one event, cut at the
// formatter's limit, control characters shown as '?'.
void FormatCsvRecord(const char* time, const char* kind, const wchar_t* user, const wchar_t* target,
                     std::span<char> record);
