// Which open files of a scan are new: the highest id reported so far, and the ids of
// the last scan that answered, so that a server whose ids start again from a low
// number is followed. A scan's new files then wait, in the scan's own records, until
// their events are delivered.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>
#include <span>

#include "engine/watch/activity_batch.h"
#include "rules/tripwires.h"

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
    uint32_t highestReported;
};

// No file is known yet.
void StartFileMemory(FileScanMemory& memory);

// Moves the scan's new files to the front of its records, in enumeration order, and
// returns how many there are: each is a file-open event. `fresh` tells whether they
// were opened since the last scan that answered, rather than found by the first scan
// or found again after the server's ids started again.
std::size_t TakeNewFiles(FileScanMemory& memory, std::span<FILE_INFO_3> records, NET_API_STATUS status, bool* fresh);

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
