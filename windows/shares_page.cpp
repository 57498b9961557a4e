#include "windows/shares_page.h"

#include <lm.h>

#include <array>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/text.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "core/server_api.h"
#include "windows/server_choice.h"
#include "resources/resource.h"
#include "windows/engine_link.h"
#include "windows/layout.h"
#include "windows/list_view.h"

namespace {

constexpr std::array<const char*, 5> kTitles = {"Name", "Path", "Type", "Connections", "Remark"};
constexpr std::array<int, 5> kWidths = {90, 150, 70, 60, 150};

void InitSharesPage(HWND page)
{
    PlacePageAtOrigin(page);
    windowState.sharesList = GetDlgItem(page, IDC_SHARES_LIST);
    SetFullRowSelect(windowState.sharesList);
    for (std::size_t i = 0; i < kTitles.size(); ++i)
        AddColumn(windowState.sharesList, static_cast<int>(i), kTitles[i], kWidths[i]);
}

void OnSharesCommand(HWND page, WORD command, WORD code)
{
    if (command == IDC_SERVER_SELECT && code == CBN_SELCHANGE) {
        ShowServerOnSharesPage(ChosenServer(page));
        return;
    }
    switch (command) {
    case IDM_REFRESH: RefreshShares(); break;
    case IDM_REMOVE: RemoveSelectedShares(); break;
    }
}

void OnSharesNotify(HWND page, const NMHDR* header)
{
    if (header->idFrom != IDC_SHARES_LIST)
        return;
    if (header->code == NM_RCLICK)
        ShowContextMenu(windowState.sharesMenu, page);
    else if (header->code == LVN_KEYDOWN && reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE)
        RemoveSelectedShares();
}

void LayoutSharesPage(HWND page)
{
    LayoutLock lock(page);
    StretchToEdges(page, IDC_SHARES_LIST, true);
    AnchorRowToRight(page, {IDM_REFRESH, IDM_REMOVE});
}

}  // namespace

void FormatShareType(DWORD type, std::span<char> text)
{
    CopyText(text, "");
    if (type == STYPE_DISKTREE)
        AppendText(text, "Drive ");
    if (type == STYPE_PRINTQ)
        AppendText(text, "Printer ");
    if (type == STYPE_DEVICE)
        AppendText(text, "Device ");
    if (type == STYPE_IPC)
        AppendText(text, "IPC ");
    if (type & STYPE_SPECIAL)
        AppendText(text, "Special ");
}

void ShowServerOnSharesPage(ServerId shown)
{
    ShownServer remote{};
    windowState.shownSharesServer = FindShownServer(shown, &remote) ? shown : kThisComputer;
    WatchServerShown();
    FillServerChoice(windowState.pages[SharesPageIndex], windowState.shownSharesServer);
    ShowShares({});
    RefreshShares();
}

void RefreshShares()
{
    // Another server answers on its worker: the list is filled when its shares come.
    TableReading<SHARE_INFO_502> shares;
    if (ReadShares(windowState.shownSharesServer, &shares))
        ShowShares(shares.records);
}

void ShowShares(std::span<const SHARE_INFO_502> shares)
{
    HWND list = windowState.sharesList;
    ShareNames& names = windowState.shareNames;
    ReserveStore(names.texts.store, kMaxShareRows * 512);
    EmptyArena(names.texts);
    names.count = 0;
    RedrawPause pause(list);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    std::array<char, kCellCapacity> text{};
    for (const SHARE_INFO_502& share : shares) {
        const wchar_t* name = names.count < kMaxShareRows ? KeepWideText(names.texts, share.shi502_netname) : nullptr;
        if (!name)
            break;  // past what the page holds
        AnsiFromWide(text, share.shi502_netname);
        // The list sorts its rows: each carries the number of its share's name.
        const int row = InsertRow(list, text.data(), static_cast<LPARAM>(names.count));
        names.names[names.count++] = name;
        AnsiFromWide(text, share.shi502_path);
        SetCell(list, row, 1, text.data());
        FormatShareType(share.shi502_type, text);
        SetCell(list, row, 2, text.data());
        FormatText(text, "%d", static_cast<int>(share.shi502_current_uses));
        SetCell(list, row, 3, text.data());
        AnsiFromWide(text, share.shi502_remark);
        SetCell(list, row, 4, text.data());
    }
}

void RemoveSelectedShares()
{
    // By the name the server gave, not the cell's picture of it.
    const ShareNames& names = windowState.shareNames;
    HWND list = windowState.sharesList;
    for (int row = NextSelectedRow(list, -1); row >= 0; row = NextSelectedRow(list, row)) {
        const auto share = static_cast<std::size_t>(RowData(list, row));
        if (share >= names.count)
            continue;
        RemoveShareOn(windowState.shownSharesServer, names.names[share]);
    }
    RefreshShares();
}

INT_PTR CALLBACK SharesPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: InitSharesPage(page); break;
    case WM_COMMAND: OnSharesCommand(page, LOWORD(wParam), HIWORD(wParam)); break;
    case WM_NOTIFY: OnSharesNotify(page, reinterpret_cast<const NMHDR*>(lParam)); break;
    case WM_SIZE: LayoutSharesPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
