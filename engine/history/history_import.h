// The daily text logs read into the history on the writer's thread, a chunk (one
// transaction) at a time between the live transactions: this computer's logs and
// those of each server's folder inside the log folder, oldest first.
//
// No line is stored twice. A log of a day before the history's first day (meta
// firstDay) holds nothing the live writer stored: it is read on from where the last
// chunk ended, the place kept in the same transaction as the chunk's events. A log of
// the first day or later may hold lines the live writer stored: it is compared with
// the history second by second (each stored event written out as delivery writes its
// line), and only the lines the history lacks are stored. Such a log is read up to
// its size when the writer had stored or missed every event published before then,
// so that an event still queued is never mistaken for a missing one.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "core/paths.h"
#include "engine/history/history_db.h"

constexpr std::size_t kImportFiles = 8192;
constexpr std::size_t kImportChunkBytes = 1u << 20;

struct LogToImport {
    std::array<char, 300> name;  // relative to the log folder: "d.m.yyyy.log" or "NAME\d.m.yyyy.log"
    std::array<char, 262> server;  // "\\NAME", or empty for this computer
    int32_t day;                   // yyyymmdd
    int32_t compared;              // of the first day or later
    int64_t limit;                 // read up to here this time
};

struct ImportWork {
    LogToImport* files;  // kImportFiles, made once
    char* chunk;         // kImportChunkBytes, made once
    uint32_t count;
    uint32_t next;       // the file being read
    int32_t more;        // the folder held more logs than the list: plan again when done
    int32_t started;     // the file's limit is set and its reading begun
    int64_t offset;      // where the next chunk starts
    std::array<sqlite3_stmt*, 2> statements;  // comparing: the zones of a day, a second's events
};

bool MakeImportWork(ImportWork& work);
void FreeImportWork(ImportWork& work);
// Before the writer's connection closes.
void FinishImportStatements(ImportWork& work);

// Lists the logs with lines not yet read, the compared ones first, then oldest first;
// logs of days before `oldestDay` (yyyymmdd; 0: none) are left out. Returns the count.
uint32_t PlanLogImport(ImportWork& work, HistoryWriter& writer, const char* logFolder, int32_t oldestDay);

enum class ImportStep : int32_t {
    Chunk,      // a chunk was stored
    NeedsDrain, // a compared log is next: store everything queued first, then call again
    Finished,   // nothing left
};

struct ImportCounts {
    uint64_t linesRead;
    uint64_t linesTaken;
    uint32_t filesDone;
};

// Reads and stores the next chunk in one transaction; *result is SQLite's code (the
// transaction is rolled back on a failure, and the chunk is read again next time).
// `drained` says the queue was written out since NeedsDrain.
ImportStep ImportNextChunk(ImportWork& work, HistoryWriter& writer, const char* logFolder, bool drained,
                           ImportCounts& counts, int* result);
