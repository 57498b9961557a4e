#include "windows/list_view.h"

#include <array>

#include "core/text.h"

namespace {

// A text as a list shows it: control characters become '?', so that a name from
// the server cannot break a row, nor an export line made of rows. Copied only when
// there is something to replace; a copy is cut at the formatter's limit.
struct ListText {
    explicit ListText(const char* text) : shown(text)
    {
        for (const char* at = text ? text : ""; *at; ++at) {
            if (IsControlCharacter(*at)) {
                CopyText(copy, text);
                ReplaceControlCharacters(copy);
                shown = copy.data();
                return;
            }
        }
    }
    char* Text() const { return const_cast<char*>(shown); }

    std::array<char, kFormatCapacity> copy;
    const char* shown;
};

}  // namespace

void AddColumn(HWND list, int subItem, const char* title, int width)
{
    LVCOLUMNA column{};
    column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM | LVCF_FMT;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<char*>(title);
    column.iSubItem = subItem;
    SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(subItem), reinterpret_cast<LPARAM>(&column));
}

void SetFullRowSelect(HWND list)
{
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
}

int RowCount(HWND list)
{
    return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
}

int InsertRow(HWND list, const char* text, LPARAM data, int at)
{
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = at;
    const ListText shown(text);
    item.pszText = shown.Text();
    item.lParam = data;
    return static_cast<int>(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void SetCell(HWND list, int row, int subItem, const char* text)
{
    LVITEMA item{};
    item.iSubItem = subItem;
    const ListText shown(text);
    item.pszText = shown.Text();
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void ReadCell(HWND list, int row, int subItem, std::span<char> text)
{
    if (text.empty())
        return;
    text[0] = '\0';
    LVITEMA item{};
    item.iSubItem = subItem;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    text[text.size() - 1] = '\0';
}

LPARAM RowData(HWND list, int row)
{
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return item.lParam;
}

void SetRowData(HWND list, int row, LPARAM data)
{
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.lParam = data;
    SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

bool IsRowSelected(HWND list, int row)
{
    return (SendMessageA(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

int NextSelectedRow(HWND list, int row)
{
    return static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(row), LVNI_SELECTED));
}

void DeleteRow(HWND list, int row)
{
    SendMessageA(list, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
}

int FindRowByText(HWND list, const char* text)
{
    LVFINDINFOA find{};
    find.flags = LVFI_STRING;
    const ListText shown(text);
    find.psz = shown.Text();
    return static_cast<int>(SendMessageA(list, LVM_FINDITEMA, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)));
}

int FindRowByData(HWND list, LPARAM data)
{
    LVFINDINFOA find{};
    find.flags = LVFI_PARAM;
    find.lParam = data;
    return static_cast<int>(SendMessageA(list, LVM_FINDITEMA, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)));
}

void ShowContextMenu(HMENU menu, HWND owner, UINT flags)
{
    POINT cursor{};
    GetCursorPos(&cursor);
    TrackPopupMenu(menu, flags, cursor.x, cursor.y, 0, owner, nullptr);
    PostMessageA(owner, WM_NULL, 0, 0);
}

RedrawPause::RedrawPause(HWND paused) : list(paused)
{
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
}

RedrawPause::~RedrawPause()
{
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}
