// The history's database: its file, its tables, and the writer's side of it (names
// and paths kept once each, events added in time order). Only the writer's thread
// writes; the search thread opens its own connection to read.
//
// Tables (version kHistorySchemaVersion, application id kHistoryApplicationId):
//   events(id, lag, zone, kind, server, computer, user, path, detail): id is the
//     time key of engine/history/history_keys.h; server, computer, user, path and detail
//     refer to servers, names, names, paths and names, NULL when the event has none;
//     indexed by the key's bucket (engine/history/history_keys.h) with user (and path),
//     path, computer and detail (each with the id, so newest first within a bucket).
//   names(id, hash, text), paths(id, hash, text): each text once, found by its hash.
//   servers(id, text): "\\NAME" of the servers watched besides this computer.
//   pruned_texts(paths, id): texts pruned events referred to, removed when unused.
//   logs(name, done): how far each daily log has been read into the history.
//   meta(key, value): firstDay (yyyymmdd: the logs of this day on may hold lines the
//     live writer stored too), maxLag, open (1 while a run has the file open).
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "core/paths.h"
#include "engine/watch/event_record.h"

struct sqlite3;
struct sqlite3_stmt;

constexpr int32_t kHistorySchemaVersion = 3;
constexpr int32_t kHistoryApplicationId = 0x51525648;  // "QRVH"
constexpr char kHistoryFileName[] = "quorvel-history.db";

enum class HistoryOpening : int32_t {
    Opened,        // an existing history
    Created,       // a new, empty one
    NotOurs,       // not a database, damaged, or another program's: to be moved aside
    Newer,         // made by a newer Quorvel: left alone
    Unavailable,   // cannot be opened now (locked, no room, no folder): tried again later
};

// Opens (or creates) the file read-write with the history's settings and checks its
// schema, and the whole file too when the last run that had it open did not end
// cleanly; on anything but Opened or Created the connection is closed and null.
HistoryOpening OpenHistoryDatabase(const char* path, sqlite3** db);
// A reader's connection: read-only, never creates.
bool OpenHistoryReader(const char* path, sqlite3** db);
void CloseHistoryDatabase(sqlite3*& db);

// Whether a result code says the file is damaged or not a database.
bool IsDamagedResult(int result);
// The whole file looked at (PRAGMA quick_check): SQLITE_OK, SQLITE_CORRUPT when the
// check reports damage, or the check's own failure (busy, I/O, memory), which says
// nothing of the file: only damage is a reason to move it aside.
int QuickCheck(sqlite3* db);

// Moves a damaged file aside as "<path>.corrupt-yyyy-mm-dd" (with its -wal and -shm),
// "-2", "-3", ... after it when that name is taken; the name used goes in `movedTo`.
bool MoveHistoryAside(const char* path, const SYSTEMTIME& today, PathText& movedTo);

// An event as the store takes it: UTF-8 texts, empty for none.
struct StoredEvent {
    int32_t live;      // from the engine now, not from a log: may lower firstDay
    int32_t kindCode;  // HistoryKindCode
    int64_t second;    // UTC, history seconds
    int32_t zone;
    std::string_view server;  // "\\NAME", empty: this computer
    std::string_view computer;
    std::string_view user;
    std::string_view path;
    std::string_view detail;
};

// One text's place in the writer's memory of texts already stored.
struct KnownText {
    uint64_t hash;
    uint64_t check;  // a second hash: two texts alike in both are taken as one
    int64_t id;
};
constexpr std::size_t kKnownTexts = 1 << 16;

// The writer's connection with its statements and memories. Zero it, then Prepare.
struct HistoryWriter {
    sqlite3* db;
    std::array<sqlite3_stmt*, 16> statements;
    KnownText* known;        // kKnownTexts, made once
    int64_t cachedSecond;    // the second whose next free key is known
    int64_t nextKey;         // free, and every key after it up to cachedLimit
    int64_t cachedLimit;
    int64_t lastKey;         // no key stored is larger (it may be smaller after a rollback)
    int64_t maxLag;          // the largest lag any event has
    int32_t firstDay;        // meta firstDay
    int32_t inTransaction;
};

// Statements, the known texts' room, and meta read; false leaves nothing prepared.
bool PrepareHistoryWriter(HistoryWriter& writer, sqlite3* db);
void FinishHistoryWriter(HistoryWriter& writer);  // the statements; the connection stays

// BEGIN IMMEDIATE, COMMIT, ROLLBACK: SQLite's result codes. A rollback forgets the
// texts and keys learnt in the transaction (their rows went with it).
int BeginHistoryWrite(HistoryWriter& writer);
int CommitHistoryWrite(HistoryWriter& writer);
void RollBackHistoryWrite(HistoryWriter& writer);
// After anything that removes rows or replaces the file: forget what was learnt.
void ForgetKnownTexts(HistoryWriter& writer);

// Adds one event inside the open transaction; SQLite's result code.
int StoreHistoryEvent(HistoryWriter& writer, const StoredEvent& event);

int64_t ReadHistoryMeta(sqlite3* db, const char* key, int64_t fallback);
int WriteHistoryMeta(HistoryWriter& writer, const char* key, int64_t value);

// yyyymmdd of a date.
constexpr int32_t DayNumberOf(const SYSTEMTIME& day)
{
    return day.wYear * 10000 + day.wMonth * 100 + day.wDay;
}

// How far the daily log named `name` (relative to the log folder) has been read; -1: never.
int64_t ReadLogDone(HistoryWriter& writer, std::string_view name);
int WriteLogDone(HistoryWriter& writer, std::string_view name, int64_t done);

// The newest event's key in [?1, ?2), and the bucket of the newest event in [from,
// before) by a statement of that text; false when there is none, or on a failure
// (its result code in *result).
constexpr char kHistoryNewestKeyIn[] = "SELECT max(id) FROM events WHERE id >= ?1 AND id < ?2";
bool NewestHistoryBucket(sqlite3_stmt* newest, int64_t from, int64_t before, int64_t* bucket, int* result);

// Retention, a transaction's worth at a time (the caller begins and commits).
// Removes up to `most` events stored before the key; how many in *removed. The texts
// they referred to are noted in pruned_texts.
int PruneEvents(HistoryWriter& writer, int64_t beforeKey, int most, int* removed);
// Looks at up to `most` of the noted names (or paths), removing those no event refers
// to now; how many were looked at in *checked (fewer than `most`: all of them).
int PruneTexts(HistoryWriter& writer, bool paths, int most, int* checked);
