#include "windows/black_list_page.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/product.h"
#include "core/text.h"
#include "core/time_text.h"
#include "engine/watch/engine_state.h"
#include "resources/resource.h"
#include "rules/block_rules.h"
#include "windows/engine_link.h"
#include "windows/history_page.h"
#include "windows/layout.h"
#include "windows/list_view.h"
#include "windows/window_state.h"

namespace {

constexpr char kWhitelistTitle[] = "Add computer into whitelist";

BlockMode ActiveList()
{
    return engineState.rules.blockMode ? Whitelist : Blacklist;
}

bool BlackListPageIsCurrent()
{
    return windowState.currentPage && windowState.currentPage == windowState.pages[BlackListPageIndex];
}

// The tripped computers' part of the page, under the list, in dialog units.
constexpr int kListToLabel = 5;
constexpr int kLabelToTrippedList = 10;
constexpr int kReleaseAboveLabel = 3;

void InitBlackListPage(HWND page)
{
    PlacePageAtOrigin(page);
    windowState.blackListView = GetDlgItem(page, IDC_BLACKLIST_LIST);
    SetFullRowSelect(windowState.blackListView);
    AddColumn(windowState.blackListView, 0, "Computer", 150);
    AddColumn(windowState.blackListView, 1, "Time remaining", 150);
    windowState.trippedView = GetDlgItem(page, IDC_TRIPPED_LIST);
    SetFullRowSelect(windowState.trippedView);
    AddColumn(windowState.trippedView, 0, "Computer", 150);
    AddColumn(windowState.trippedView, 1, "User", 100);
    AddColumn(windowState.trippedView, 2, "Time remaining", 110);
    AddColumn(windowState.trippedView, 3, "Denied at", 80);
}

int DialogUnitsDown(HWND page, int units)
{
    RECT rect{0, 0, 0, units};
    MapDialogRect(page, &rect);
    return rect.bottom;
}

void ReleaseSelectedComputers()
{
    HWND view = windowState.trippedView;
    for (int row = NextSelectedRow(view, -1); row >= 0; row = NextSelectedRow(view, row))
        ReleaseTripped(static_cast<std::size_t>(RowData(view, row)));
    RefreshTrippedView();
}

// After a trip: the first selected tripped computer's user, as the trip named it.
const wchar_t* SelectedTrippedUser()
{
    const int row = NextSelectedRow(windowState.trippedView, -1);
    const auto slot = row >= 0 ? static_cast<std::size_t>(RowData(windowState.trippedView, row)) : SIZE_MAX;
    const ComputerList& tripped = engineState.rules.tripped;
    if (slot >= tripped.size() || !tripped[slot].inUse || tripped[slot].user[0] == L'\0')
        return nullptr;
    return tripped[slot].user.data();
}

void OnTrippedCommand(WORD command)
{
    const wchar_t* user = SelectedTrippedUser();
    if (!user)
        return;
    static TripAsked trip;
    trip = TripAsked{};
    CopyWideText(trip.user, user);
    if (command == IDM_SHOW_USER_WRITES)
        ShowUserWritesAfterTrip(trip);
    else
        ExportRestoreListAfterTrip(trip);
}

void OpenAddComputerDialog(HWND page)
{
    windowState.addTargetsWhitelist = IsDlgButtonChecked(page, IDC_MODE_BLACKLIST) == BST_CHECKED ? 0 : 1;
    DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_ADD_COMPUTER), page, AddComputerDialog, 0);
}

void OnBlackListCommand(HWND page, WORD command)
{
    switch (command) {
    case IDM_REMOVE: RemoveSelectedComputers(); break;
    case IDM_ADD: OpenAddComputerDialog(page); break;
    case IDC_RELEASE: ReleaseSelectedComputers(); break;
    case IDC_MODE_BLACKLIST: ChangeBlockMode(Blacklist); break;
    case IDC_MODE_WHITELIST: ChangeBlockMode(Whitelist); break;
    case IDM_SHOW_USER_WRITES:
    case IDM_EXPORT_RESTORE_LIST: OnTrippedCommand(command); break;
    }
}

void OnBlackListNotify(HWND page, const NMHDR* header)
{
    if (header->idFrom == IDC_TRIPPED_LIST && header->code == LVN_KEYDOWN &&
        reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE)
        ReleaseSelectedComputers();
    if (header->idFrom == IDC_TRIPPED_LIST && header->code == NM_RCLICK && SelectedTrippedUser())
        ShowContextMenu(windowState.tripMenu, page);
    if (header->idFrom != IDC_BLACKLIST_LIST)
        return;
    if (header->code == NM_RCLICK)
        ShowContextMenu(windowState.blackListMenu, page);
    else if (header->code == LVN_KEYDOWN && reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE)
        RemoveSelectedComputers();
}

// The list takes the page but for the tripped computers' part at the bottom.
void LayoutBlackListPage(HWND page)
{
    LayoutLock lock(page);
    RECT client{};
    GetClientRect(page, &client);
    const auto place = [page](int control, int x, int y, int width, int height) {
        SetWindowPos(GetDlgItem(page, control), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    };
    const auto rectOf = [page](int control) {
        RECT rect{};
        GetWindowRect(GetDlgItem(page, control), &rect);
        MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };
    const RECT tripped = rectOf(IDC_TRIPPED_LIST);
    const RECT label = rectOf(IDC_TRIPPED_LABEL);
    const RECT list = rectOf(IDC_BLACKLIST_LIST);
    const int trippedTop = client.bottom - (tripped.bottom - tripped.top);
    const int labelTop = trippedTop - DialogUnitsDown(page, kLabelToTrippedList);
    place(IDC_TRIPPED_LIST, tripped.left, trippedTop, client.right - tripped.left, tripped.bottom - tripped.top);
    place(IDC_TRIPPED_LABEL, label.left, labelTop, label.right - label.left, label.bottom - label.top);
    place(IDC_BLACKLIST_LIST, list.left, list.top, client.right - list.left,
          std::max<int>(0, labelTop - DialogUnitsDown(page, kListToLabel) - list.top));
    AnchorRowToRight(page, {IDM_REMOVE, IDM_ADD});
    const RECT release = rectOf(IDC_RELEASE);
    place(IDC_RELEASE, client.right - (release.right - release.left), labelTop - DialogUnitsDown(page, kReleaseAboveLabel),
          release.right - release.left, release.bottom - release.top);
}

void InitAddComputerDialog(HWND dialog)
{
    if (windowState.addTargetsWhitelist)
        SetWindowTextA(dialog, kWhitelistTitle);
    // No longer than a list entry holds, so that nothing typed is cut or refused.
    SendDlgItemMessageA(dialog, IDC_NAME_EDIT, EM_LIMITTEXT, kMaxComputerName, 0);
    SetFocus(GetDlgItem(dialog, IDC_NAME_EDIT));
}

void OnAddComputerOk(HWND dialog)
{
    std::array<char, kCellCapacity> name{};
    GetDlgItemTextA(dialog, IDC_NAME_EDIT, name.data(), static_cast<int>(name.size()));
    if (name[0] == '\0') {
        MessageBoxA(dialog, kInvalidComputerNameMessage, kMessageCaption, MB_OK);
        return;
    }
    std::array<wchar_t, kCellCapacity> wide{};
    WideFromAnsi(wide, name.data());
    AddComputerTo(ActiveList(), wide.data(), kPermanent);
    EndDialog(dialog, IDOK);
}

void OnAddComputerCommand(HWND dialog, WORD command)
{
    switch (command) {
    case IDOK: OnAddComputerOk(dialog); break;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    }
}

}  // namespace

void FormatTimeRemaining(const BlockEntry& entry, std::span<char> text)
{
    if (entry.ticksLeft == kPermanent)
        CopyText(text, "~");
    else
        FormatDuration(static_cast<uint32_t>(entry.ticksLeft / kBlockTicksPerSecond), text);
}

void FormatDeniedShares(const BlockEntry& entry, std::span<char> text)
{
    if (entry.deniedShares <= 0)
        CopyText(text, "");
    else
        FormatText(text, "%d share%s", entry.deniedShares, entry.deniedShares == 1 ? "" : "s");
}

void RefreshBlackListView(const ComputerList& list)
{
    if (!BlackListPageIsCurrent())
        return;
    HWND view = windowState.blackListView;
    const uint32_t generation = ++windowState.blackListGeneration;
    std::array<char, kCellCapacity> name{};
    std::array<char, 32> remaining{};
    std::array<bool, kComputerListSlots> needsRow{};
    for (std::size_t slot = 0; slot < list.size(); ++slot) {
        const BlockEntry& entry = list[slot];
        if (!entry.inUse)
            continue;
        AnsiFromWide(name, entry.name.data());
        needsRow[slot] = true;
        const int row = FindRowByText(view, name.data());
        if (row < 0)
            continue;
        SetRowData(view, row, static_cast<LPARAM>(generation));
        FormatTimeRemaining(entry, remaining);
        SetCell(view, row, 1, remaining.data());
        needsRow[slot] = false;
    }
    const auto previous = static_cast<LPARAM>(static_cast<uint32_t>(generation - 1));
    for (int row = FindRowByData(view, previous); row >= 0; row = FindRowByData(view, previous))
        DeleteRow(view, row);
    for (std::size_t slot = 0; slot < list.size(); ++slot) {
        const BlockEntry& entry = list[slot];
        if (!entry.inUse || !needsRow[slot])
            continue;
        AnsiFromWide(name, entry.name.data());
        const int row = InsertRow(view, name.data(), static_cast<LPARAM>(generation));
        FormatTimeRemaining(entry, remaining);
        SetCell(view, row, 1, remaining.data());
    }
}

void RefreshTrippedView()
{
    if (!BlackListPageIsCurrent())
        return;
    HWND view = windowState.trippedView;
    const ComputerList& tripped = engineState.rules.tripped;
    // A row stands for a slot of the table, by its number in the item data.
    for (int row = RowCount(view) - 1; row >= 0; --row) {
        const auto slot = static_cast<std::size_t>(RowData(view, row));
        if (slot >= tripped.size() || !tripped[slot].inUse)
            DeleteRow(view, row);
    }
    std::array<char, kCellCapacity> text{};
    for (std::size_t slot = 0; slot < tripped.size(); ++slot) {
        const BlockEntry& entry = tripped[slot];
        if (!entry.inUse)
            continue;
        AnsiFromWide(text, entry.name.data());
        int row = FindRowByData(view, static_cast<LPARAM>(slot));
        if (row < 0)
            row = InsertRow(view, text.data(), static_cast<LPARAM>(slot));
        else
            SetCell(view, row, 0, text.data());
        AnsiFromWide(text, entry.user.data());
        SetCell(view, row, 1, text.data());
        FormatTimeRemaining(entry, text);
        SetCell(view, row, 2, text.data());
        FormatDeniedShares(entry, text);
        SetCell(view, row, 3, text.data());
    }
}

void ShowBlockModeRadios()
{
    HWND page = windowState.pages[BlackListPageIndex];
    CheckDlgButton(page, IDC_MODE_BLACKLIST, BST_UNCHECKED);
    CheckDlgButton(page, IDC_MODE_WHITELIST, BST_UNCHECKED);
    CheckDlgButton(page, engineState.rules.blockMode ? IDC_MODE_WHITELIST : IDC_MODE_BLACKLIST, BST_CHECKED);
}

void RemoveSelectedComputers()
{
    HWND view = windowState.blackListView;
    for (int row = 0; row < RowCount(view); ++row) {
        if (!IsRowSelected(view, row))
            continue;
        std::array<char, kCellCapacity> name{};
        ReadCell(view, row, 0, name);
        RemoveComputerFrom(ActiveList(), name.data());
    }
}

INT_PTR CALLBACK BlackListPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: InitBlackListPage(page); break;
    case WM_COMMAND: OnBlackListCommand(page, LOWORD(wParam)); break;
    case WM_NOTIFY: OnBlackListNotify(page, reinterpret_cast<const NMHDR*>(lParam)); break;
    case WM_SIZE: LayoutBlackListPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}

INT_PTR CALLBACK AddComputerDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitAddComputerDialog(dialog); break;
    case WM_COMMAND: OnAddComputerCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); break;
    }
    return 0;
}
