// The Monitoring page's two lists as data: a snapshot of each (what every row shows
// and the record it stands for), reconciled with each new reading. Rows that survive
// keep their place, rows whose record went are dropped, new records are appended in
// enumeration order. The list views draw the snapshots (windows/monitoring_lists.h).
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>
#include <span>

#include "core/reserved_store.h"

// Rows a list holds at most; records past it are not listed until there is room.
constexpr std::size_t kMaxSessionRows = 65536;
constexpr std::size_t kMaxFileRows = 262144;

struct SessionRow {
    const char* computer;   // the key and first cell: the client in ANSI, ASCII letters upper-cased, cut to a cell
    const wchar_t* client;  // as the server gave it, for the commands
    const wchar_t* user;    // of the last record that updated the row
    DWORD opens;
    DWORD seconds;
    DWORD idle;
    DWORD flags;
    uint32_t stamp;  // the refresh that last found the row
};

struct FileRow {
    const wchar_t* path;  // as first seen: a row's first cell never changes
    const wchar_t* user;
    DWORD id;
    DWORD permissions;
    DWORD locks;
    uint32_t stamp;  // shown, in decimal, in the hidden fifth column
};

// One list's snapshot, its rows built beside the current ones at each refresh and
// swapped in, its texts kept in place until they are worth compacting, with the
// scratch of its reconciliation. All of it is reserved once.
template <typename Row>
struct ListSnapshot {
    std::array<ReservedStore, 2> rows;
    std::array<TextArena, 2> texts;
    int32_t current;      // the rows shown
    int32_t textCurrent;  // the arena their texts are in
    std::size_t liveTextBytes;
    std::size_t count;
    ReservedStore index;        // int32 row per slot of the key index
    ReservedStore recordOfRow;  // int32 per row
    ReservedStore handled;      // uint8 per record
};
using SessionSnapshot = ListSnapshot<SessionRow>;
using FileSnapshot = ListSnapshot<FileRow>;

void ReserveSnapshot(SessionSnapshot& snapshot);
// No rows: for a list view that starts again empty.
template <typename Row>
void ClearSnapshot(ListSnapshot<Row>& snapshot)
{
    snapshot.count = 0;
    snapshot.liveTextBytes = 0;
    EmptyArena(snapshot.texts[static_cast<std::size_t>(snapshot.textCurrent)]);
}
void ReserveSnapshot(FileSnapshot& snapshot);
std::span<const SessionRow> Rows(const SessionSnapshot& snapshot);
std::span<const FileRow> Rows(const FileSnapshot& snapshot);

// What one refresh does to a list, worked out without a window: for each old row,
// the record that now updates it, or -1 when the row goes; for each record, whether
// it updated a row (1), is not listed at all (2: a session without a user name), or
// becomes a new row (0). Rows are matched as the list always matched them: an open
// file by its id, a session by its computer compared without regard to case, and the
// first row of a key takes every record of that key, the last one's values winning.
struct ListPlan {
    std::span<int32_t> recordOfRow;
    std::span<uint8_t> handled;
};
constexpr uint8_t kRecordIsNew = 0;
constexpr uint8_t kRecordUpdatesARow = 1;
constexpr uint8_t kRecordNotListed = 2;

// `index` is scratch: at least twice as many slots as rows, a power of two.
void PlanOpenFilesRefresh(std::span<const FileRow> rows, std::span<const FILE_INFO_3> records, ListPlan plan,
                          std::span<int32_t> index);
void PlanSessionsRefresh(std::span<const SessionRow> rows, std::span<const SESSION_INFO_1> records, ListPlan plan,
                         std::span<int32_t> index);

// What the rows on screen show that they did not: a bit per column, or the whole row
// when it now stands for another record. Rows off screen need nothing.
constexpr uint32_t kWholeRow = ~0u;
constexpr std::size_t kMostRowsOnScreen = 256;

struct ScreenChanges {
    int top;
    int rows;
    bool everything;  // more rows on screen than are tracked
    std::array<uint32_t, kMostRowsOnScreen> masks;
};

// Brings the snapshot in line with the records, stamping `generation` and noting in
// `changes` the cells on screen that now show something else (`alwaysChanged` names
// cells that change at every refresh); false when there was no memory for the work,
// the snapshot then as it was. `recordOfRow` tells, for each row before, the record
// that updated it or -1 when it went.
bool RefreshSessionsSnapshot(SessionSnapshot& snapshot, std::span<const SESSION_INFO_1> records,
                             uint32_t generation, ScreenChanges& changes, std::span<const int32_t>* recordOfRow);
bool RefreshOpenFilesSnapshot(FileSnapshot& snapshot, std::span<const FILE_INFO_3> records, uint32_t generation,
                              uint32_t alwaysChanged, ScreenChanges& changes, std::span<const int32_t>* recordOfRow);
constexpr int32_t kNoRow = -1;

// A cell's text as the list shows it and the export writes it: cut to a cell's room,
// control characters shown as '?'.
void FormatSessionCell(const SessionRow& row, int column, std::span<char> text);
void FormatFileCell(const FileRow& row, int column, std::span<char> text);

