#include "monitor/log_page.h"

#include "core/app_state.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

void InitLogPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.logPageEdit = GetDlgItem(page, IDC_LOG_EDIT);
}

}  // namespace

INT_PTR CALLBACK LogPageProc(HWND page, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitLogPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
