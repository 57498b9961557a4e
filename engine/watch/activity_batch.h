// Events on their way to the logs: what one server's detection found since its last
// delivery, as lines and records ready to write.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/text.h"

// Room for a batch's lines and for its records; a batch that would overflow either
// is delivered first, so a burst becomes several deliveries, never a cut line.
constexpr std::size_t kBatchTextCapacity = 32 * 1024;

struct ActivityBatch {
    SYSTEMTIME found;  // the poll that found the events: the day of the logs they go to
    int32_t events;    // any event in it
    std::size_t textLength;
    std::array<char, kBatchTextCapacity> text;  // activity lines, each ended by CR LF
    std::size_t csvLength;
    std::array<char, kBatchTextCapacity> csv;  // CSV records, each ended by CR LF
    // Another server's lines as the Log page shows them, naming the server.
    std::size_t pageLength;
    std::array<char, kBatchTextCapacity + kBatchTextCapacity / 4> page;
};

// The poll's time as the lines show it; events found by one poll all carry it.
struct PollTime {
    SYSTEMTIME at;
    SYSTEMTIME utc;
    std::array<char, 32> text;  // "%d:%d:%d"
};
PollTime TakePollTime();
