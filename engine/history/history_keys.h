// How the history keeps an event's time and kind in a few bytes. An event's key is
// its UTC second since 2020 times 4096 plus its place among that second's events,
// so the table's own order is time order and no index on time is needed; the local
// time the logs showed is the UTC time plus a zone in quarter hours. The kind column
// holds the event's kind times 8 plus the open mode's read, write and create bits.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

#include "engine/watch/event_record.h"

constexpr int kHistorySequenceBits = 12;
constexpr int64_t kHistorySecondEvents = int64_t{1} << kHistorySequenceBits;
// The events' indexes by user, path and computer lead with the key's bucket (2^17
// seconds, some 36 hours): events added together land on the same few index pages
// whoever they are of, and a search takes the buckets one by one, newest first.
constexpr int kHistoryBucketShift = kHistorySequenceBits + 17;
// A zone beyond UTC-16 or UTC+16 is a clock's mistake: it is kept at the limit.
constexpr int32_t kHistoryZoneLimit = 64;
constexpr int32_t kHistoryZoneSeconds = 900;
// The open mode's bits as the server reports them (PERM_FILE_READ, _WRITE, _CREATE).
constexpr uint32_t kHistoryModeBits = 7;
constexpr uint32_t kHistoryWriteBits = 6;

// Seconds since 2020-01-01 00:00 of a calendar time, whichever zone it is in; false
// for a date or time that is not one (month 13, 31 April, 25 o'clock, year 0).
bool HistorySecondsOf(const SYSTEMTIME& time, int64_t* seconds);
SYSTEMTIME SystemTimeOfHistorySeconds(int64_t seconds);

// The local time's distance from UTC in quarter hours, within the limit.
int32_t HistoryZoneOf(int64_t localSeconds, int64_t utcSeconds);

constexpr int64_t HistoryKeyOfSecond(int64_t utcSecond)
{
    return utcSecond * kHistorySecondEvents;
}
constexpr int64_t HistoryBucketOfKey(int64_t key)
{
    return key >> kHistoryBucketShift;
}
constexpr int64_t HistoryFirstKeyOfBucket(int64_t bucket)
{
    return bucket << kHistoryBucketShift;
}
// The UTC second of a key; `lag` is how many seconds later than its event's second
// the key lies, when a second held more events than it has places.
constexpr int64_t HistorySecondOfKey(int64_t key, int64_t lag)
{
    return (key >> kHistorySequenceBits) - lag;
}

constexpr int32_t HistoryKindCode(EventKind kind, uint32_t permissions)
{
    return static_cast<int32_t>(kind) * 8 + static_cast<int32_t>(kind == EventKind::FileOpen ? permissions & kHistoryModeBits : 0);
}
constexpr EventKind EventKindOfCode(int32_t code)
{
    return static_cast<EventKind>(code >> 3);
}
constexpr uint32_t ModeOfCode(int32_t code)
{
    return static_cast<uint32_t>(code) & kHistoryModeBits;
}

// An event's kind as a person reads it in an export ("Connection", "File open", ...).
const char* HistoryKindName(EventKind kind);
// "yyyy-mm-dd hh:mm:ss".
void FormatHistoryTime(const SYSTEMTIME& time, std::span<char> text);
