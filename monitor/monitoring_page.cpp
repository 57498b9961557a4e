#include "monitor/monitoring_page.h"

#include "core/app_state.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

void InitMonitoringPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.sessionsList = GetDlgItem(page, IDC_SESSIONS_LIST);
    appState.filesList = GetDlgItem(page, IDC_FILES_LIST);
}

}  // namespace

void RefreshSessions() {}
void RefreshOpenFiles() {}
void ExploreSelectedSessions() {}
void ExploreSelectedFiles() {}

INT_PTR CALLBACK MonitoringPageProc(HWND page, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitMonitoringPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
