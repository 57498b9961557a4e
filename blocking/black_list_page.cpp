#include "blocking/black_list_page.h"

#include "core/app_state.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

void InitBlackListPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.blackListView = GetDlgItem(page, IDC_BLACKLIST_LIST);
}

}  // namespace

void RefreshBlackListView(const ComputerList&) {}

void ShowBlockModeRadios()
{
    HWND page = appState.pages[BlackListPageIndex];
    CheckDlgButton(page, IDC_MODE_BLACKLIST, BST_UNCHECKED);
    CheckDlgButton(page, IDC_MODE_WHITELIST, BST_UNCHECKED);
    CheckDlgButton(page, appState.blockMode ? IDC_MODE_WHITELIST : IDC_MODE_BLACKLIST, BST_CHECKED);
}

INT_PTR CALLBACK BlackListPage(HWND page, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitBlackListPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
