// Events on their way from the engine's thread to the history's writer: a ring of
// bytes made once, each event copied in whole with its texts. The engine's thread
// only copies; when the ring is full the event is counted as missed (its line is in
// the day's text log, where the writer takes it back later), never waited for. The
// ring's last part is kept for what no log gives back; one of those that finds even
// it full is counted as lost.
// The writer reads events without taking them and gives their room back only once
// they are stored, so that a failed transaction leaves them waiting.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/watch/event_record.h"

// The longest texts an event keeps, in UTF-16 units (a path) or bytes (server, rule);
// the logs cut a whole line at 1023 characters, so nothing they show is lost.
constexpr std::size_t kQueuedPathUnits = 1024;
constexpr std::size_t kQueuedNameUnits = 256;
constexpr std::size_t kQueuedServerBytes = 260;
constexpr std::size_t kQueuedRuleBytes = 1024;

constexpr std::size_t kHistoryQueueBytes = 4u << 20;
// The queue's last part, kept for the events no daily log gives back (cut-offs, list
// changes, closes, releases, servers going silent) and for trips: connections and file
// opens never take it.
constexpr std::size_t kActionReserveBytes = 512u << 10;

struct HistoryQueue {
    char* bytes;  // capacity bytes, made once
    std::size_t capacity;
    std::atomic<uint64_t> head;  // written up to here (the engine's thread)
    std::atomic<uint64_t> tail;  // stored up to here (the writer)
    std::atomic<uint64_t> missed;  // connections and opens: taken back from the day's log
    std::atomic<uint64_t> lost;    // what no log gives back, when even the reserve was full
    std::atomic<uint64_t> queued;  // events ever put in
    std::atomic<uint64_t> released;  // events ever given back, stored
    SRWLOCK putting;               // more than one thread may publish
    HANDLE wake;                   // set when half the ring is in use
};

// An event as the writer reads it back: views into the ring, valid until Release.
struct QueuedEvent {
    EventKind kind;
    SYSTEMTIME local;
    SYSTEMTIME utc;
    DWORD permissions;
    std::string_view server;
    std::wstring_view computer;
    std::wstring_view user;
    std::wstring_view path;
    std::string_view rule;
};

// `capacity` is rounded down to whole 8-byte words; false when the room cannot be made.
bool MakeHistoryQueue(HistoryQueue& queue, std::size_t capacity, HANDLE wake);
void FreeHistoryQueue(HistoryQueue& queue);

// The engine's thread: false (and counted as missed) when the ring is full.
bool PutHistoryEvent(HistoryQueue& queue, const EventRecord& record);

// The writer: the event at `position` (from the tail up to a head it read), and the
// position after it; false when there is none before `end`.
bool PeekHistoryEvent(const HistoryQueue& queue, uint64_t& position, uint64_t end, QueuedEvent* event);
// Gives back the room of everything before `position`: `count` events.
void ReleaseHistoryEvents(HistoryQueue& queue, uint64_t position, uint64_t count);
