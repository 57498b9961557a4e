// List view plumbing, written once for every page: 8-bit texts throughout, so each
// call sends the A message explicitly.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <span>

#include "core/text.h"

// Rows are always appended: the list puts them at its end (or where it sorts them).
constexpr int kAppendRow = 65535;

void AddColumn(HWND list, int subItem, const char* title, int width);
void SetFullRowSelect(HWND list);

int RowCount(HWND list);
// Inserts a row with its first cell and item data; returns its index (-1 on failure).
int InsertRow(HWND list, const char* text, LPARAM data, int at = kAppendRow);
void SetCell(HWND list, int row, int subItem, const char* text);
// Reads a cell into `text`, cut to its size.
void ReadCell(HWND list, int row, int subItem, std::span<char> text);
LPARAM RowData(HWND list, int row);
void SetRowData(HWND list, int row, LPARAM data);
bool IsRowSelected(HWND list, int row);
// The next selected row after `row` (-1: from the start), or -1 when there is none.
int NextSelectedRow(HWND list, int row);
void DeleteRow(HWND list, int row);

// The platform's own searches from the start of the list: the whole text compared
// without regard to case, or the item data.
int FindRowByText(HWND list, const char* text);
int FindRowByData(HWND list, LPARAM data);

// Holds a list's drawing while many rows change, then redraws it once: the list
// otherwise works out its drawing again for every cell that changes.
struct RedrawPause {
    explicit RedrawPause(HWND list);
    ~RedrawPause();
    RedrawPause(const RedrawPause&) = delete;
    RedrawPause& operator=(const RedrawPause&) = delete;
    HWND list;
};

// A popup menu at the cursor, owned by `owner`, whose commands arrive there.
void ShowContextMenu(HMENU menu, HWND owner, UINT flags = 0);
