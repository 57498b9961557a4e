// Asking the history: searches, their rows, and the files made from them, all on the
// search thread (never the caller's). Made for a list view that asks for its rows as
// it draws them: a search finds the matching events newest first and keeps their
// keys; the view asks for rows by index and gets them from pages read on demand and
// kept. A newer search replaces the older one at once (the older is interrupted).
// Every value a person typed reaches SQLite as a bound parameter.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "engine/watch/event_record.h"
#include "engine/history/history_row.h"

enum HistoryKindBits : uint32_t {
    HistoryConnections = 1,  // new sessions
    HistoryReads = 2,        // file opens without the write or create right
    HistoryWrites = 4,       // file opens with the write or create right, as the logs call them
    HistoryTrips = 8,
    HistoryBlocks = 16,      // sessions cut off by the list in force or a trip
    HistoryActions = 32,     // closed sessions and files, removed shares, list changes,
                             // trip releases, servers that stopped answering
    HistoryAllKinds = 63,
};

enum class HistoryServerChoice : int32_t { Any = 0, ThisComputer, Named };

// Texts are UTF-8; an empty one does not filter.
struct HistoryQuery {
    SYSTEMTIME from;  // UTC, inclusive; year 0: from the oldest event
    SYSTEMTIME to;    // UTC, inclusive; year 0: to the newest
    uint32_t kinds;   // HistoryKindBits; 0 is every kind
    HistoryServerChoice serverChoice;
    std::array<char, 264> server;        // with Named: "NAME" or "\\NAME"
    std::array<char, 772> computer;      // the whole name, any case, backslashes before it ignored
    std::array<char, 772> user;          // the whole name, any case
    std::array<char, 1540> pathContains; // a part of the path, any case; % _ * ' are plain characters
};

// A search keeps at most this many events; beyond, it says there are more.
constexpr uint32_t kHistoryFoundMost = 1'000'000;
// The page of rows read at once, and how many pages are kept.
constexpr uint32_t kHistoryPageRows = 64;
constexpr uint32_t kHistoryPagesKept = 8;


struct HistorySearchStatus {
    uint32_t generation;  // of the search these numbers are of
    int32_t finished;
    int32_t failed;  // the history could not be read (not made yet, damaged, being replaced)
    uint32_t found;  // so far; the final count once finished
    int32_t more;    // found more than kHistoryFoundMost: only the newest are kept
};

// What the search thread tells its caller; the page posts itself a message from it.
enum class HistoryNoticeKind : int32_t {
    FirstRows,   // the first page of a search is there (or the search ended with fewer)
    Finished,    // the search is complete: its count is final
    Rows,        // rows asked for are there: draw again
    JobDone,     // an export or a restore list ended (ReadHistoryJob says how)
};
// Called on the search thread: it must only hand the word on (post a message).
using HistoryNotice = void (*)(HistoryNoticeKind kind, uint32_t generation, void* context);
void SetHistoryNotice(HistoryNotice notice, void* context);

// Starts a search, replacing any other: its generation, which the rows are asked by;
// 0 when no history is open to search (nothing will be found or told).
uint32_t StartHistorySearch(const HistoryQuery& query);
HistorySearchStatus ReadHistorySearch();

// The row at `index` of search `generation`: true with the row when its page is
// read; otherwise its page is asked for (notice Rows when there) and false.
bool GetHistoryRow(uint32_t generation, uint32_t index, HistoryRow* row);
// The rows a view is about to draw: their pages are read ahead.
void HintHistoryRows(uint32_t generation, uint32_t from, uint32_t to);

// The rows of search `generation` to a CSV file (UTF-8 with its byte order mark,
// every field quoted as RFC 4180 says; a field that a spreadsheet would take for a
// formula starts with an apostrophe). Runs once the search is finished.
bool StartHistoryExport(uint32_t generation, const char* path);
// The restore list: the distinct paths `user` (UTF-8, any case) opened to write or
// create on the server chosen between `from` and `to` (UTC, inclusive), sorted, one a
// line, UTF-8. What may leave writes out of it (the history behind, the daily logs not
// all read in, none found, and `note` when given) comes first, each on a line of its
// own that starts with "# ", which no path does.
struct HistoryRestoreAsk {
    std::array<char, sizeof(HistoryQuery::user)> user;
    HistoryServerChoice serverChoice;
    std::array<char, sizeof(HistoryQuery::server)> server;
    SYSTEMTIME from;
    SYSTEMTIME to;
    std::array<char, 256> note;
};
bool StartHistoryRestoreList(const char* path, const HistoryRestoreAsk& ask);

// How long a restore list waits for the writer to store what was already queued
// before it is written, said to be behind.
constexpr DWORD kRestoreCatchUpMs = 5000;

struct HistoryJobStatus {
    int32_t running;
    int32_t succeeded;  // of the last one ended
    uint32_t lines;     // written by the last one, header and notes not counted
    std::array<char, 256> note;  // a restore list's first note; empty when none
};
HistoryJobStatus ReadHistoryJob();

// The history's own: the search thread's life, and the writer replacing the file.
bool StartHistorySearchThread();
void StopHistorySearchThread();
// Readers close their connections and wait until the writer has replaced the file.
void SendHistoryReadersAway();
void LetHistoryReadersBack();
