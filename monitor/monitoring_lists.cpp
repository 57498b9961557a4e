#include "monitor/monitoring_lists.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "core/text.h"
#include "core/time_text.h"
#include "monitor/activity_poller.h"
#include "ui/list_view.h"

namespace {

constexpr int32_t kNoRow = -1;
constexpr int kStampColumn = 4;
// A refresh deletes rows one by one only up to the last selected or focused row: past
// it no row carries a state, and the new count alone drops them. With many rows
// selected, finding the last one costs more than deleting every stale row.
constexpr int kSelectedRowsWorthFinding = 64;

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
    uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(upper[i]);
        hash *= 1099511628211ull;
    }
    return hash;
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

// The highest row whose deletion would move a selection or the focus; -1 for none.
int LastRowWithState(HWND list, int rows)
{
    int last = static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
    const int selected = static_cast<int>(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0));
    if (selected > kSelectedRowsWorthFinding)
        return rows - 1;
    for (int row = NextSelectedRow(list, -1); row >= 0; row = NextSelectedRow(list, row))
        last = std::max(last, row);
    return last;
}

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

void WatchScreen(HWND list, ScreenChanges& changes)
{
    changes.top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    changes.rows = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0)) + 1;
    changes.everything = changes.rows > static_cast<int>(kMostRowsOnScreen);
    changes.masks.fill(0);
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

RECT CellRect(HWND list, int row, int column)
{
    RECT cell{};
    cell.top = column;
    cell.left = LVIR_BOUNDS;
    if (!SendMessageA(list, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell)))
        return {};
    return cell;
}

// One rectangle around every changed cell on screen, drawn again at once: the cells
// that change each second (connected and idle times) lie in a band, and each
// invalidation is a call to the window system.
void RedrawChangedCells(HWND list, const ScreenChanges& changes)
{
    RECT band{};
    for (int at = 0; at < changes.rows && at < static_cast<int>(kMostRowsOnScreen); ++at) {
        const uint32_t mask = changes.masks[static_cast<std::size_t>(at)];
        if (mask == 0)
            continue;
        const int row = changes.top + at;
        RECT cells{};
        if (mask == kWholeRow) {
            cells.left = LVIR_BOUNDS;
            SendMessageA(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cells));
        } else {
            int first = 1;
            while (!(mask & (1u << first)))
                ++first;
            int last = 31;
            while (!(mask & (1u << last)))
                --last;
            const RECT left = CellRect(list, row, first);
            const RECT right = CellRect(list, row, last);
            UnionRect(&cells, &left, &right);
        }
        UnionRect(&band, &band, &cells);
    }
    if (!IsRectEmpty(&band))
        InvalidateRect(list, &band, FALSE);
}

// The list view's side of a refresh: rows that went are deleted where a state could
// move, the new count takes the rest away and the new rows in, and only the cells on
// screen that show something new are drawn again.
void ApplyToListView(HWND list, std::span<const int32_t> recordOfRow, std::size_t newCount,
                     const ScreenChanges& changes)
{
    const int oldCount = static_cast<int>(recordOfRow.size());
    const int last = std::min(LastRowWithState(list, oldCount), oldCount - 1);
    bool deleting = false;
    for (int row = last; row >= 0; --row) {
        if (recordOfRow[static_cast<std::size_t>(row)] != kNoRow)
            continue;
        if (!deleting)
            SendMessageA(list, WM_SETREDRAW, FALSE, 0);
        deleting = true;
        DeleteRow(list, row);
    }
    // The same count needs no word: the list would draw itself all again.
    if (deleting || static_cast<std::size_t>(RowCount(list)) != newCount)
        SendMessageA(list, LVM_SETITEMCOUNT, newCount, LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    if (deleting)
        SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    const bool scrolled = SendMessageA(list, LVM_GETTOPINDEX, 0, 0) != changes.top;
    if (deleting || scrolled || changes.everything)
        InvalidateRect(list, nullptr, FALSE);
    else
        RedrawChangedCells(list, changes);
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
// their order, then the new records), swapped in, and the list view told.
// `alwaysChanged` names cells that change at every refresh.
template <typename Kind>
void RefreshList(HWND list, ListSnapshot<typename Kind::Row>& snapshot, std::span<const typename Kind::Record> records,
                 uint32_t generation, uint32_t alwaysChanged)
{
    using Row = typename Kind::Row;
    ReserveSnapshot(snapshot);
    const std::span<const Row> rows = Rows(snapshot);
    const ListPlan plan = PlanStorage(snapshot, records.size(), Kind::kMost);
    const std::span<int32_t> index = IndexStorage(snapshot);
    Row* next = NextRows(snapshot, plan.handled.size(), Kind::kMost);
    if (!next || index.empty() || (plan.handled.empty() && !records.empty()))
        return;  // no memory for the scratch: the list stays as it was
    Kind::Plan(rows, records, plan, index);

    ScreenChanges changes;
    WatchScreen(list, changes);
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
    ApplyToListView(list, plan.recordOfRow, count, changes);
}

}  // namespace

void RefreshOpenFilesList(HWND list, FileSnapshot& snapshot, std::span<const FILE_INFO_3> records,
                          uint32_t generation)
{
    // The stamp column changes at every refresh: drawn again only when someone opened it.
    const uint32_t stamp = SendMessageA(list, LVM_GETCOLUMNWIDTH, kStampColumn, 0) > 0 ? 1u << kStampColumn : 0;
    RefreshList<FileRows>(list, snapshot, records, generation, stamp);
}

void RefreshSessionsList(HWND list, SessionSnapshot& snapshot, std::span<const SESSION_INFO_1> records,
                         uint32_t generation)
{
    RefreshList<SessionRows>(list, snapshot, records, generation, 0);
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

bool IsDispInfoRequest(const NMHDR* header)
{
    return header->code == LVN_GETDISPINFOA || header->code == LVN_GETDISPINFOW;
}

namespace {

// Fills a GETDISPINFO request from a row's cell, in the character width it came in.
template <typename Row>
void AnswerDispInfo(std::span<const Row> rows, NMHDR* header, void (*format)(const Row&, int, std::span<char>))
{
    std::array<char, kCellCapacity> cell{};
    if (header->code == LVN_GETDISPINFOA) {
        LVITEMA& item = reinterpret_cast<NMLVDISPINFOA*>(header)->item;
        if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<std::size_t>(item.iItem) >= rows.size() ||
            !item.pszText || item.cchTextMax <= 0)
            return;
        format(rows[static_cast<std::size_t>(item.iItem)], item.iSubItem, cell);
        CopyText({item.pszText, static_cast<std::size_t>(item.cchTextMax)}, cell.data());
    } else {
        LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
        if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<std::size_t>(item.iItem) >= rows.size() ||
            !item.pszText || item.cchTextMax <= 0)
            return;
        format(rows[static_cast<std::size_t>(item.iItem)], item.iSubItem, cell);
        WideFromAnsi({item.pszText, static_cast<std::size_t>(item.cchTextMax)}, cell.data());
    }
}

}  // namespace

void AnswerSessionsDispInfo(const SessionSnapshot& snapshot, NMHDR* header)
{
    AnswerDispInfo(Rows(snapshot), header, FormatSessionCell);
}

void AnswerOpenFilesDispInfo(const FileSnapshot& snapshot, NMHDR* header)
{
    AnswerDispInfo(Rows(snapshot), header, FormatFileCell);
}
