// One watched server: this computer, or a file server on the network. Detection and
// delivery take it, so that each server keeps its own memory of what it reported,
// its own batch of events and its own daily logs.
#pragma once

#include <cstdint>

struct ActivityBatch;
struct DayLogs;
struct FileScanMemory;
struct PendingFileEvents;
struct SessionScanMemory;

struct ServerWatch {
    int32_t remote;         // -1: this computer; else its place among the watched servers
    const wchar_t* server;  // nullptr: this computer; else "\\NAME", given to every call
    const char* tag;        // nullptr: this computer; else "\\NAME", before its lines on the Log page
    ActivityBatch* batch;
    DayLogs* logs;
    SessionScanMemory* sessions;
    FileScanMemory* files;
    uint32_t* highestReportedFileId;
    PendingFileEvents* pending;
};

// This computer, whose state is the record's own fields.
ServerWatch LocalWatch();
