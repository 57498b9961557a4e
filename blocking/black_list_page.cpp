#include "blocking/black_list_page.h"

#include <array>

#include "core/app_state.h"
#include "core/text.h"
#include "core/time_text.h"
#include "core/product.h"
#include "monitor/monitoring_page.h"
#include "resources/resource.h"
#include "ui/layout.h"
#include "ui/list_view.h"
#include "ui/main_window.h"

namespace {

constexpr char kWhitelistTitle[] = "Add computer into whitelist";

bool BlackListPageIsCurrent()
{
    return appState.currentPage && appState.currentPage == appState.pages[BlackListPageIndex];
}

void InitBlackListPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.blackListView = GetDlgItem(page, IDC_BLACKLIST_LIST);
    SetFullRowSelect(appState.blackListView);
    AddColumn(appState.blackListView, 0, "Computer", 150);
    AddColumn(appState.blackListView, 1, "Time remaining", 150);
}

void OpenAddComputerDialog(HWND page)
{
    appState.addTargetsWhitelist = IsDlgButtonChecked(page, IDC_MODE_BLACKLIST) == BST_CHECKED ? 0 : 1;
    DialogBoxParamA(appState.instance, MAKEINTRESOURCEA(IDD_ADD_COMPUTER), page, AddComputerDialog, 0);
}

void OnBlackListCommand(HWND page, WORD command)
{
    switch (command) {
    case IDM_REMOVE: RemoveSelectedComputers(); break;
    case IDM_ADD: OpenAddComputerDialog(page); break;
    case IDC_MODE_BLACKLIST: appState.blockMode = Blacklist; break;
    case IDC_MODE_WHITELIST: appState.blockMode = Whitelist; break;
    }
}

void OnBlackListNotify(HWND page, const NMHDR* header)
{
    if (header->idFrom != IDC_BLACKLIST_LIST)
        return;
    if (header->code == NM_RCLICK)
        ShowContextMenu(appState.blackListMenu, page);
    else if (header->code == LVN_KEYDOWN && reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE)
        RemoveSelectedComputers();
}

void LayoutBlackListPage(HWND page)
{
    LayoutLock lock(page);
    StretchToEdges(page, IDC_BLACKLIST_LIST, true);
    AnchorRowToRight(page, {IDM_REMOVE, IDM_ADD});
}

void InitAddComputerDialog(HWND dialog)
{
    if (appState.addTargetsWhitelist)
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
    AddComputer(ActiveComputerList(), name.data(), kPermanent);
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

void RefreshBlackListView(ComputerList& list)
{
    if (!BlackListPageIsCurrent())
        return;
    HWND view = appState.blackListView;
    const uint32_t generation = ++appState.blackListGeneration;
    std::array<char, kCellCapacity> name{};
    std::array<char, 32> remaining{};
    for (BlockEntry& entry : list) {
        if (!entry.inUse)
            continue;
        AnsiFromWide(name, entry.name.data());
        entry.needsRow = 1;
        const int row = FindRowByText(view, name.data());
        if (row < 0)
            continue;
        SetRowData(view, row, static_cast<LPARAM>(generation));
        FormatTimeRemaining(entry, remaining);
        SetCell(view, row, 1, remaining.data());
        entry.needsRow = 0;
    }
    const auto previous = static_cast<LPARAM>(static_cast<uint32_t>(generation - 1));
    for (int row = FindRowByData(view, previous); row >= 0; row = FindRowByData(view, previous))
        DeleteRow(view, row);
    for (BlockEntry& entry : list) {
        if (!entry.inUse || !entry.needsRow)
            continue;
        AnsiFromWide(name, entry.name.data());
        const int row = InsertRow(view, name.data(), static_cast<LPARAM>(generation));
        FormatTimeRemaining(entry, remaining);
        SetCell(view, row, 1, remaining.data());
    }
}

void ShowBlockModeRadios()
{
    HWND page = appState.pages[BlackListPageIndex];
    CheckDlgButton(page, IDC_MODE_BLACKLIST, BST_UNCHECKED);
    CheckDlgButton(page, IDC_MODE_WHITELIST, BST_UNCHECKED);
    CheckDlgButton(page, appState.blockMode ? IDC_MODE_WHITELIST : IDC_MODE_BLACKLIST, BST_CHECKED);
}

void RemoveSelectedComputers()
{
    HWND view = appState.blackListView;
    for (int row = 0; row < RowCount(view); ++row) {
        if (!IsRowSelected(view, row))
            continue;
        std::array<char, kCellCapacity> name{};
        ReadCell(view, row, 0, name);
        RemoveComputer(ActiveComputerList(), name.data());
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
