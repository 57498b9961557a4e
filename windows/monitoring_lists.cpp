#include "windows/monitoring_lists.h"

#include <algorithm>

#include "windows/list_view.h"

namespace {

// A refresh deletes rows one by one only up to the last selected or focused row: past
// it no row carries a state, and the new count alone drops them. With many rows
// selected, finding the last one costs more than deleting every stale row.
constexpr int kSelectedRowsWorthFinding = 64;
constexpr int kStampColumn = 4;

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

void WatchScreen(HWND list, ScreenChanges& changes)
{
    changes.top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    changes.rows = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0)) + 1;
    changes.everything = changes.rows > static_cast<int>(kMostRowsOnScreen);
    changes.masks.fill(0);
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

}  // namespace

void RefreshOpenFilesList(HWND list, FileSnapshot& snapshot, std::span<const FILE_INFO_3> records,
                          uint32_t generation)
{
    // The stamp column changes at every refresh: drawn again only when someone opened it.
    const uint32_t stamp = SendMessageA(list, LVM_GETCOLUMNWIDTH, kStampColumn, 0) > 0 ? 1u << kStampColumn : 0;
    ScreenChanges changes;
    WatchScreen(list, changes);
    std::span<const int32_t> recordOfRow;
    if (RefreshOpenFilesSnapshot(snapshot, records, generation, stamp, changes, &recordOfRow))
        ApplyToListView(list, recordOfRow, snapshot.count, changes);
}

void RefreshSessionsList(HWND list, SessionSnapshot& snapshot, std::span<const SESSION_INFO_1> records,
                         uint32_t generation)
{
    ScreenChanges changes;
    WatchScreen(list, changes);
    std::span<const int32_t> recordOfRow;
    if (RefreshSessionsSnapshot(snapshot, records, generation, changes, &recordOfRow))
        ApplyToListView(list, recordOfRow, snapshot.count, changes);
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
