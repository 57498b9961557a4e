// One watched server: this computer, or a file server on the network. Detection and
// delivery take it, so that each server keeps its own memory of what it reported,
// its own batch of events and its own daily logs.
#pragma once

#include <cstdint>

#include "engine/watch/activity_batch.h"
#include "engine/watch/day_logs.h"
#include "engine/watch/file_memory.h"
#include "engine/watch/session_memory.h"

// Which server: 0 this computer, 1 to 16 the servers watched besides it, by place.
using ServerId = int32_t;
constexpr ServerId kThisComputer = 0;
constexpr int32_t kMaxRemoteServers = 16;

// What detection and delivery keep of one server.
struct WatchMemory {
    ActivityBatch batch;
    DayLogs logs;
    SessionScanMemory sessions;
    FileScanMemory files;
    PendingFileEvents pending;
};

struct ServerWatch {
    ServerId server;
    const wchar_t* unc;  // nullptr: this computer; else "\\NAME", given to every call
    const char* tag;     // nullptr: this computer; else "\\NAME", before its lines on the Log page
    WatchMemory* memory;
};
