// The history's state, shared by its threads: made by OpenHistory, its storage made
// once there. The writer's thread owns the database file and writes everything here
// but the queue's head; the search thread opens its own connection to the file; what
// the page reads is atomic.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/paths.h"
#include "engine/history/history_db.h"
#include "engine/history/history_queue.h"

struct HistoryState {
    PathText databasePath;
    PathText logFolder;  // ends with a backslash
    std::atomic<int32_t> keepDays;
    std::atomic<int32_t> keepDaysChanged;  // prune again now, not tomorrow
    int32_t searchOnly;                    // OpenHistoryForSearch: no writer

    HANDLE writerThread;
    HANDLE writerWake;  // the queue filling, a request, or the close
    HANDLE written;     // set after every transaction the writer ends
    std::atomic<int32_t> closing;
    std::atomic<int32_t> accepting;  // the sink takes events
    HistoryQueue queue;
    HistoryWriter writer;

    std::atomic<int32_t> health;  // HistoryHealth
    std::atomic<uint64_t> stored;  // events stored, live and from the logs, this run

    std::atomic<int32_t> backfill;  // BackfillState
    std::atomic<int32_t> backfillStopWanted;
    std::atomic<int32_t> backfillResumeWanted;
    std::atomic<uint32_t> filesDone;
    std::atomic<uint32_t> filesTotal;
    std::atomic<uint64_t> linesRead;
    std::atomic<uint64_t> linesTaken;  // stored from the logs

    // The damaged file moved aside: the name, then the flag (release).
    PathText movedAsideTo;
    std::atomic<int32_t> noticeWaiting;

    // A reader holds this shared while its connection is open; the writer takes it
    // alone to replace the file, and readers open the new file by its generation.
    SRWLOCK fileLock;
    std::atomic<uint32_t> fileGeneration;
    std::atomic<int32_t> readersLeave;  // the writer waits for the lock: readers stop now
    std::atomic<int32_t> damageSeen;    // a reader found the file damaged: the writer replaces it
};

extern HistoryState historyState;
