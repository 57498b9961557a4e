#include "monitor/shares_page.h"

#include "core/app_state.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

void InitSharesPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.sharesList = GetDlgItem(page, IDC_SHARES_LIST);
}

}  // namespace

void RefreshShares() {}

INT_PTR CALLBACK SharesPageProc(HWND page, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitSharesPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
