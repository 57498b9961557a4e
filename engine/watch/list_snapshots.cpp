#include "engine/watch/list_snapshots.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "core/hash.h"
#include "core/text.h"
#include "core/time_text.h"
#include "engine/watch/event_text.h"

namespace {

constexpr int kStampColumn = 4;

template <typename Row>
void ReserveRows(ListSnapshot<Row>& snapshot, std::size_t maxRows, std::size_t textBytes)
{
    for (ReservedStore& rows : snapshot.rows)
        ReserveStore(rows, maxRows * sizeof(Row));
    for (TextArena& texts : snapshot.texts)
        ReserveStore(texts.store, textBytes);
    ReserveStore(snapshot.index, 2 * maxRows * sizeof(int32_t));
    ReserveStore(snapshot.recordOfRow, maxRows * sizeof(int32_t));
    ReserveStore(snapshot.handled, 2 * maxRows);
}

template <typename Row>
std::span<const Row> CurrentRows(const ListSnapshot<Row>& snapshot)
{
    const ReservedStore& rows = snapshot.rows[static_cast<std::size_t>(snapshot.current)];
    if (!rows.base || snapshot.count == 0)
        return {};
    return {reinterpret_cast<const Row*>(rows.base), snapshot.count};
}

std::size_t IndexSlots(std::size_t rows)
{
    std::size_t slots = 16;
    while (slots < 2 * rows)
        slots *= 2;
    return slots;
}

// The key index: open addressing over row numbers, the first row of a key kept.
template <typename Equal>
int32_t FindInIndex(std::span<const int32_t> index, uint64_t hash, Equal equal)
{
    const std::size_t mask = index.size() - 1;
    for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const int32_t row = index[slot];
        if (row == kNoRow || equal(row))
            return row;
    }
}

template <typename Equal>
void AddToIndex(std::span<int32_t> index, uint64_t hash, int32_t row, Equal equal)
{
    const std::size_t mask = index.size() - 1;
    for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        if (index[slot] == kNoRow) {
            index[slot] = row;
            return;
        }
        if (equal(index[slot]))
            return;  // the first row of a key is the one found
    }
}

uint64_t IdHash(DWORD id)
{
    return (static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> 17;
}

// The list compares computers as the platform compares texts without regard to case:
// the key is hashed upper-cased the same way.
uint64_t ComputerHash(const char* computer)
{
    std::array<char, kCellCapacity> upper{};
    const std::size_t length = CopyText(upper, computer);
    CharUpperBuffA(upper.data(), static_cast<DWORD>(length));
    TextHash hash;
    hash.Add(std::string_view(upper.data(), length));
    return hash.value;
}

bool SameComputer(const char* a, const char* b)
{
    return lstrcmpiA(a, b) == 0;
}

void FormatComputer(const wchar_t* client, std::span<char> text)
{
    std::array<char, kCellCapacity> computer{};
    AnsiFromWide(computer, client);
    UpperCaseAscii(computer);
    ReplaceControlCharacters(computer);
    CopyText(text, computer.data());
}

bool HasUser(const SESSION_INFO_1& session)
{
    return WideOrEmpty(session.sesi1_username)[0] != L'\0';
}

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return std::wcscmp(WideOrEmpty(a), WideOrEmpty(b)) == 0;
}

// Copies a cell's text into the room the list gave, cut, control characters shown as '?'.
void CutToCell(std::span<char> cell, std::span<char> text)
{
    ReplaceControlCharacters(cell);
    CopyText(text, cell.data());
}

void NoteRow(ScreenChanges& changes, std::size_t row, uint32_t mask)
{
    const auto at = static_cast<long long>(row) - changes.top;
    if (mask != 0 && at >= 0 && at < changes.rows && at < static_cast<long long>(kMostRowsOnScreen))
        changes.masks[static_cast<std::size_t>(at)] |= mask;
}

// A survivor's mask: the whole row when it moved, else the cells that differ.
uint32_t SurvivorMask(std::size_t oldRow, std::size_t newRow, uint32_t cells)
{
    return oldRow != newRow ? kWholeRow : cells;
}

// Where a refresh keeps texts: survivors keep theirs where they are, and new texts
// join them, until the arena holds more than twice what the rows still use; then the
// refresh copies every row's texts into the other arena, emptied, and drops the first.
struct TextPlace {
    TextArena* arena;
    bool copying;
};

template <typename Row>
TextPlace ChooseTextPlace(ListSnapshot<Row>& snapshot)
{
    TextArena& current = snapshot.texts[static_cast<std::size_t>(snapshot.textCurrent)];
    constexpr std::size_t kSlack = 256 * 1024;
    if (current.used <= 2 * snapshot.liveTextBytes + kSlack)
        return {&current, false};
    snapshot.textCurrent = 1 - snapshot.textCurrent;
    TextArena& other = snapshot.texts[static_cast<std::size_t>(snapshot.textCurrent)];
    EmptyArena(other);
    return {&other, true};
}

const wchar_t* KeepOld(TextPlace& place, const wchar_t* text)
{
    return place.copying ? KeepWideText(*place.arena, text) : text;
}

const char* KeepOld(TextPlace& place, const char* text)
{
    return place.copying ? KeepText(*place.arena, text) : text;
}

std::size_t TextBytes(const wchar_t* text)
{
    return (std::wcslen(WideOrEmpty(text)) + 1) * sizeof(wchar_t);
}

// Room for the next rows: the old ones and every new record, up to the most a list holds.
template <typename Row>
Row* NextRows(ListSnapshot<Row>& snapshot, std::size_t records, std::size_t maxRows)
{
    const auto next = static_cast<std::size_t>(1 - snapshot.current);
    return CommitArray<Row>(snapshot.rows[next], std::clamp<std::size_t>(snapshot.count + records, 1, maxRows));
}

template <typename Row>
void SwapIn(ListSnapshot<Row>& snapshot, std::size_t count)
{
    snapshot.current = 1 - snapshot.current;
    snapshot.count = count;
}

// Records past twice the most a list holds are not looked at.
template <typename Row>
ListPlan PlanStorage(ListSnapshot<Row>& snapshot, std::size_t records, std::size_t maxRows)
{
    records = std::min(records, 2 * maxRows);
    int32_t* recordOfRow = CommitArray<int32_t>(snapshot.recordOfRow, std::max<std::size_t>(snapshot.count, 1));
    uint8_t* handled = CommitArray<uint8_t>(snapshot.handled, std::max<std::size_t>(records, 1));
    if (!recordOfRow || !handled)
        return {};
    return {{recordOfRow, snapshot.count}, {handled, records}};
}

template <typename Row>
std::span<int32_t> IndexStorage(ListSnapshot<Row>& snapshot)
{
    const std::size_t slots = IndexSlots(snapshot.count);
    int32_t* index = CommitArray<int32_t>(snapshot.index, slots);
    return index ? std::span<int32_t>(index, slots) : std::span<int32_t>();
}

}  // namespace

void ReserveSnapshot(SessionSnapshot& snapshot)
{
    ReserveRows(snapshot, kMaxSessionRows, kMaxSessionRows * 512);
}

void ReserveSnapshot(FileSnapshot& snapshot)
{
    ReserveRows(snapshot, kMaxFileRows, kMaxFileRows * 512);
}

std::span<const SessionRow> Rows(const SessionSnapshot& snapshot)
{
    return CurrentRows(snapshot);
}

std::span<const FileRow> Rows(const FileSnapshot& snapshot)
{
    return CurrentRows(snapshot);
}

void PlanOpenFilesRefresh(std::span<const FileRow> rows, std::span<const FILE_INFO_3> records, ListPlan plan,
                          std::span<int32_t> index)
{
    std::fill(index.begin(), index.end(), kNoRow);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const DWORD id = rows[row].id;
        AddToIndex(index, IdHash(id), static_cast<int32_t>(row),
                   [&](int32_t other) { return rows[static_cast<std::size_t>(other)].id == id; });
    }
    std::fill(plan.recordOfRow.begin(), plan.recordOfRow.end(), kNoRow);
    for (std::size_t i = 0; i < records.size() && i < plan.handled.size(); ++i) {
        const DWORD id = records[i].fi3_id;
        const int32_t row = FindInIndex(
            index, IdHash(id), [&](int32_t other) { return rows[static_cast<std::size_t>(other)].id == id; });
        plan.handled[i] = row == kNoRow ? kRecordIsNew : kRecordUpdatesARow;
        if (row != kNoRow)
            plan.recordOfRow[static_cast<std::size_t>(row)] = static_cast<int32_t>(i);
    }
}

void PlanSessionsRefresh(std::span<const SessionRow> rows, std::span<const SESSION_INFO_1> records, ListPlan plan,
                         std::span<int32_t> index)
{
    std::fill(index.begin(), index.end(), kNoRow);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const char* computer = rows[row].computer;
        AddToIndex(index, ComputerHash(computer), static_cast<int32_t>(row),
                   [&](int32_t other) { return SameComputer(rows[static_cast<std::size_t>(other)].computer, computer); });
    }
    std::fill(plan.recordOfRow.begin(), plan.recordOfRow.end(), kNoRow);
    std::array<char, kCellCapacity> computer{};
    for (std::size_t i = 0; i < records.size() && i < plan.handled.size(); ++i) {
        if (!HasUser(records[i])) {
            plan.handled[i] = kRecordNotListed;
            continue;
        }
        FormatComputer(records[i].sesi1_cname, computer);
        const int32_t row = FindInIndex(index, ComputerHash(computer.data()), [&](int32_t other) {
            return SameComputer(rows[static_cast<std::size_t>(other)].computer, computer.data());
        });
        plan.handled[i] = row == kNoRow ? kRecordIsNew : kRecordUpdatesARow;
        if (row != kNoRow)
            plan.recordOfRow[static_cast<std::size_t>(row)] = static_cast<int32_t>(i);
    }
}

namespace {

// How each list makes its rows: from a record, or from its old row and the record
// that updates it (telling which cells now show something else).
struct FileRows {
    using Row = FileRow;
    using Record = FILE_INFO_3;
    static constexpr std::size_t kMost = kMaxFileRows;

    static void Plan(std::span<const Row> rows, std::span<const Record> records, ListPlan plan, std::span<int32_t> index)
    {
        PlanOpenFilesRefresh(rows, records, plan, index);
    }
    static bool Update(const Row& old, const Record& file, TextPlace& place, uint32_t generation, Row* row,
                       uint32_t* cells)
    {
        const bool sameUser = SameText(old.user, file.fi3_username);
        *row = {KeepOld(place, old.path),
                sameUser ? KeepOld(place, old.user) : KeepWideText(*place.arena, file.fi3_username),
                file.fi3_id, file.fi3_permissions, file.fi3_num_locks, generation};
        *cells = (sameUser ? 0u : 1u << 1) | (old.locks != row->locks ? 1u << 2 : 0u) |
                 (old.permissions != row->permissions ? 1u << 3 : 0u);
        return row->path && row->user;
    }
    static bool Make(const Record& file, TextPlace& place, uint32_t generation, Row* row)
    {
        *row = {KeepWideText(*place.arena, file.fi3_pathname), KeepWideText(*place.arena, file.fi3_username),
                file.fi3_id, file.fi3_permissions, file.fi3_num_locks, generation};
        return row->path && row->user;
    }
    static std::size_t Bytes(const Row& row) { return TextBytes(row.path) + TextBytes(row.user); }
};

struct SessionRows {
    using Row = SessionRow;
    using Record = SESSION_INFO_1;
    static constexpr std::size_t kMost = kMaxSessionRows;

    static void Plan(std::span<const Row> rows, std::span<const Record> records, ListPlan plan, std::span<int32_t> index)
    {
        PlanSessionsRefresh(rows, records, plan, index);
    }
    static bool Update(const Row& old, const Record& session, TextPlace& place, uint32_t generation, Row* row,
                       uint32_t* cells)
    {
        const bool sameUser = SameText(old.user, session.sesi1_username);
        *row = {KeepOld(place, old.computer), KeepOld(place, old.client),
                sameUser ? KeepOld(place, old.user) : KeepWideText(*place.arena, session.sesi1_username),
                session.sesi1_num_opens, session.sesi1_time, session.sesi1_idle_time, session.sesi1_user_flags,
                generation};
        *cells = (sameUser ? 0u : 1u << 1) | (old.opens != row->opens ? 1u << 2 : 0u) |
                 (old.seconds != row->seconds ? 1u << 3 : 0u) | (old.idle != row->idle ? 1u << 4 : 0u) |
                 (old.flags != row->flags ? 1u << 5 : 0u);
        return row->computer && row->client && row->user;
    }
    static bool Make(const Record& session, TextPlace& place, uint32_t generation, Row* row)
    {
        std::array<char, kCellCapacity> computer{};
        FormatComputer(session.sesi1_cname, computer);
        *row = {KeepText(*place.arena, computer.data()), KeepWideText(*place.arena, session.sesi1_cname),
                KeepWideText(*place.arena, session.sesi1_username), session.sesi1_num_opens, session.sesi1_time,
                session.sesi1_idle_time, session.sesi1_user_flags, generation};
        return row->computer && row->client && row->user;
    }
    static std::size_t Bytes(const Row& row)
    {
        return strlen(row.computer) + 1 + TextBytes(row.client) + TextBytes(row.user);
    }
};

// A refresh: the plan, then the next rows built beside the current ones (survivors in
// their order, then the new records), swapped in.
// `alwaysChanged` names cells that change at every refresh.
template <typename Kind>
bool RefreshSnapshot(ListSnapshot<typename Kind::Row>& snapshot, std::span<const typename Kind::Record> records,
                     uint32_t generation, uint32_t alwaysChanged, ScreenChanges& changes,
                     std::span<const int32_t>* recordOfRow)
{
    using Row = typename Kind::Row;
    ReserveSnapshot(snapshot);
    const std::span<const Row> rows = Rows(snapshot);
    const ListPlan plan = PlanStorage(snapshot, records.size(), Kind::kMost);
    const std::span<int32_t> index = IndexStorage(snapshot);
    Row* next = NextRows(snapshot, plan.handled.size(), Kind::kMost);
    if (!next || index.empty() || (plan.handled.empty() && !records.empty()))
        return false;  // no memory for the scratch: the list stays as it was
    Kind::Plan(rows, records, plan, index);

    TextPlace place = ChooseTextPlace(snapshot);
    std::size_t live = 0;
    std::size_t count = 0;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        int32_t& record = plan.recordOfRow[row];
        if (record == kNoRow)
            continue;
        Row updated{};
        uint32_t cells = 0;
        if (!Kind::Update(rows[row], records[static_cast<std::size_t>(record)], place, generation, &updated, &cells)) {
            record = kNoRow;  // no room for its texts: the row goes, and comes back when there is
            continue;
        }
        NoteRow(changes, count, SurvivorMask(row, count, cells | alwaysChanged));
        live += Kind::Bytes(updated);
        next[count++] = updated;
    }
    for (std::size_t i = 0; i < plan.handled.size() && count < Kind::kMost; ++i) {
        Row added{};
        if (plan.handled[i] != kRecordIsNew)
            continue;
        if (!Kind::Make(records[i], place, generation, &added))
            break;
        NoteRow(changes, count, kWholeRow);
        live += Kind::Bytes(added);
        next[count++] = added;
    }
    snapshot.liveTextBytes = live;
    SwapIn(snapshot, count);
    *recordOfRow = plan.recordOfRow;
    return true;
}

}  // namespace

bool RefreshOpenFilesSnapshot(FileSnapshot& snapshot, std::span<const FILE_INFO_3> records, uint32_t generation,
                              uint32_t alwaysChanged, ScreenChanges& changes, std::span<const int32_t>* recordOfRow)
{
    return RefreshSnapshot<FileRows>(snapshot, records, generation, alwaysChanged, changes, recordOfRow);
}

bool RefreshSessionsSnapshot(SessionSnapshot& snapshot, std::span<const SESSION_INFO_1> records,
                             uint32_t generation, ScreenChanges& changes, std::span<const int32_t>* recordOfRow)
{
    return RefreshSnapshot<SessionRows>(snapshot, records, generation, 0, changes, recordOfRow);
}

void FormatSessionCell(const SessionRow& row, int column, std::span<char> text)
{
    std::array<char, kCellCapacity> cell{};
    switch (column) {
    case 0: CopyText(cell, row.computer); break;
    case 1: AnsiFromWide(cell, row.user); break;
    case 2: FormatText(cell, "%d", static_cast<int>(row.opens)); break;
    case 3: FormatDuration(row.seconds, cell); break;
    case 4: FormatDuration(row.idle, cell); break;
    case 5: CopyText(cell, (row.flags & SESS_GUEST) ? "Yes" : "No"); break;
    }
    CutToCell(cell, text);
}

void FormatFileCell(const FileRow& row, int column, std::span<char> text)
{
    std::array<char, kCellCapacity> cell{};
    switch (column) {
    case 0: AnsiFromWide(cell, row.path); break;
    case 1: AnsiFromWide(cell, row.user); break;
    case 2: FormatText(cell, "%d", static_cast<int>(row.locks)); break;
    case 3: FormatOpenMode(row.permissions, cell); break;
    case kStampColumn: FormatText(cell, "%d", static_cast<int>(row.stamp)); break;
    }
    CutToCell(cell, text);
}

