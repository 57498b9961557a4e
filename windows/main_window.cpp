#include "windows/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <array>

#include "engine/watch/engine_state.h"
#include "resources/resource.h"
#include "rules/block_rules.h"
#include "windows/black_list_page.h"
#include "windows/engine_rounds.h"
#include "windows/history_page.h"
#include "windows/exit_program.h"
#include "windows/log_page.h"
#include "windows/monitoring_page.h"
#include "windows/service_client.h"
#include "windows/settings_dialog.h"
#include "windows/shares_page.h"
#include "windows/tray_icon.h"
#include "windows/update_check.h"
#include "windows/window_state.h"

namespace {

constexpr std::size_t kNavImageSize = 32;
constexpr int kStatusLineUnits = 10;

struct NavItem {
    const char* text;
    int image;
    int mask;
};

// In page order: the item's index is the page's.
constexpr std::array<NavItem, kPageCount> kNavItems = {{
    {"Monitoring", IDB_NAV_MONITORING, IDB_NAV_MONITORING_MASK},
    {"Black list", IDB_NAV_BLACKLIST, IDB_NAV_BLACKLIST_MASK},
    {"Shares", IDB_NAV_SHARES, IDB_NAV_SHARES_MASK},
    {"Log", IDB_NAV_LOG, IDB_NAV_LOG_MASK},
    {"History", IDB_NAV_HISTORY, IDB_NAV_HISTORY_MASK},
}};

struct PageTemplate {
    int dialog;
    int index;
    DLGPROC procedure;
};

// The order in which the pages are created.
constexpr std::array<PageTemplate, kPageCount> kPageTemplates = {{
    {IDD_MONITORING_PAGE, MonitoringPage, MonitoringPageProc},
    {IDD_BLACKLIST_PAGE, BlackListPageIndex, BlackListPage},
    {IDD_LOG_PAGE, LogPageIndex, LogPageProc},
    {IDD_SHARES_PAGE, SharesPageIndex, SharesPageProc},
    {IDD_HISTORY_PAGE, HistoryPageIndex, HistoryPageProc},
}};

HMENU FirstPopup(int menu)
{
    return GetSubMenu(LoadMenuA(windowState.instance, MAKEINTRESOURCEA(menu)), 0);
}

void OpenWithShell(const char* target)
{
    ShellExecuteA(nullptr, "open", target, nullptr, nullptr, SW_SHOWNORMAL);
}

void OnMainWindowCreated(HWND window, MainWindowStartUp startUp)
{
    if (startUp)
        startUp(window);
}

// Hiding can be undone by the platform's own show right after creation, so repeat it.
void OnStartHiddenTimer(HWND window)
{
    for (int attempt = 0; attempt < 100 && IsWindowVisible(window); ++attempt)
        ShowWindow(window, SW_HIDE);
    KillTimer(window, kStartHiddenTimer);
}

// The status line's height, under the pages, while the protection service watches.
int StatusLineHeight(HWND window)
{
    if (!windowState.serviceMode)
        return 0;
    RECT line{0, 0, 0, kStatusLineUnits};
    MapDialogRect(window, &line);
    return line.bottom;
}

void LayoutMainWindow(HWND window)
{
    RECT client{};
    GetClientRect(window, &client);
    const int width = client.right - windowState.pageOrigin.x;
    const int status = StatusLineHeight(window);
    const int height = client.bottom - windowState.pageOrigin.y - status;
    if (status > 0)
        SetWindowPos(GetDlgItem(window, IDC_SERVICE_STATUS), nullptr, windowState.pageOrigin.x,
                     client.bottom - status, width, status, SWP_NOZORDER | SWP_NOACTIVATE);
    for (HWND page : windowState.pages)
        SetWindowPos(page, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT nav{};
    GetWindowRect(windowState.navList, &nav);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&nav), 2);
    SetWindowPos(windowState.navList, nullptr, 0, 0, nav.right - nav.left, client.bottom - nav.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void OnNavigationChanged()
{
    const int count = static_cast<int>(SendMessageA(windowState.navList, LVM_GETITEMCOUNT, 0, 0));
    for (int index = 0; index < count; ++index) {
        if (SendMessageA(windowState.navList, LVM_GETITEMSTATE, static_cast<WPARAM>(index), LVIS_SELECTED) &
            LVIS_SELECTED) {
            ShowPage(index);
            return;
        }
    }
}

void OnMainNotify(const NMHDR* header)
{
    if (header->idFrom == IDC_NAV_BAR && header->code == LVN_ITEMCHANGED)
        OnNavigationChanged();
}

void OnTrayNotify(HWND window, LPARAM mouseMessage)
{
    switch (mouseMessage) {
    case WM_RBUTTONDOWN: {
        POINT cursor{};
        GetCursorPos(&cursor);
        TrackPopupMenu(windowState.trayMenu, TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
        PostMessageA(window, WM_NULL, 0, 0);
        break;
    }
    case WM_LBUTTONDOWN: ShowMainWindow(); break;
    }
}

void OnHotKey(HWND window)
{
    ShowWindow(window, IsWindowVisible(window) ? SW_HIDE : SW_SHOWNORMAL);
}

// Enter reaches the main window as IDOK when the focused control does not take it.
void OnEnterKey()
{
    HWND focus = GetFocus();
    if (!focus)
        return;
    if (focus == windowState.sessionsList)
        ExploreSelectedSessions();
    else if (focus == windowState.filesList)
        ExploreSelectedFiles();
    else
        OnHistoryEnter(focus);
}

void RunDialog(int dialog, DLGPROC procedure)
{
    DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(dialog), windowState.mainWindow, procedure, 0);
}

void OnMainWindowShown(bool shown)
{
    windowState.mainWindowShown = shown ? 1 : 0;
    if (shown && windowState.currentPage && windowState.currentPage == windowState.pages[LogPageIndex])
        SyncLogPage();
}

// A click on the notify window's list, passed on by its thread: the pages are this thread's.
void OnNotifyWindowClicked()
{
    windowState.unseenActivity = 0;
    ShowPage(MonitoringPage);
    ShowWindow(windowState.mainWindow, SW_SHOW);
    SetForegroundWindow(windowState.mainWindow);
}

// Windows is ending the session: the process may be ended at any moment after this.
void OnEndSession(bool ending)
{
    if (ending)
        ExitProgram();
}

void ShowPageInFront(int index)
{
    ShowPage(index);
    ShowMainWindow();
}

void OnMainCommand(WPARAM command)
{
    switch (command) {
    case IDOK: OnEnterKey(); break;
    case IDM_EXIT:
    case IDM_TRAY_EXIT: ExitProgram();
    case IDM_SETTINGS: RunDialog(IDD_SETTINGS, SettingsDialogProc); break;
    case IDM_ABOUT: RunDialog(IDD_ABOUT, AboutDialogProc); break;
    case IDM_HELP_CONTENTS: OpenWithShell(windowState.helpPath.data()); break;
    case IDM_WEB: OpenWithShell(WebSiteAddress()); break;
    case IDM_TRAY_MONITORING: ShowPageInFront(MonitoringPage); break;
    case IDM_TRAY_BLACKLIST: ShowPageInFront(BlackListPageIndex); break;
    case IDM_TRAY_SHARES: ShowPageInFront(SharesPageIndex); break;
    case IDM_TRAY_LOGS: ShowPageInFront(LogPageIndex); break;
    case IDM_TRAY_SHOW: ShowMainWindow(); break;
    }
}

}  // namespace

void LoadContextMenus()
{
    windowState.sessionsMenu = FirstPopup(IDR_SESSIONS_MENU);
    windowState.filesMenu = FirstPopup(IDR_FILES_MENU);
    windowState.blackListMenu = FirstPopup(IDR_BLACKLIST_MENU);
    windowState.sharesMenu = FirstPopup(IDR_SHARES_MENU);
    windowState.trayMenu = FirstPopup(IDR_TRAY_MENU);
    windowState.exportMenu = FirstPopup(IDR_EXPORT_MENU);
    windowState.historyMenu = FirstPopup(IDR_HISTORY_MENU);
    windowState.tripMenu = FirstPopup(IDR_TRIP_MENU);
}

void BuildNavigationBar(HWND window)
{
    windowState.navList = GetDlgItem(window, IDC_NAV_BAR);
    windowState.navImages = ImageList_Create(kNavImageSize, kNavImageSize, ILC_COLOR32 | ILC_MASK, 1, 1);
    for (const NavItem& item : kNavItems) {
        HBITMAP image = LoadBitmapA(windowState.instance, MAKEINTRESOURCEA(item.image));
        HBITMAP mask = LoadBitmapA(windowState.instance, MAKEINTRESOURCEA(item.mask));
        ImageList_Add(windowState.navImages, image, mask);
        DeleteObject(image);  // the image list keeps copies
        DeleteObject(mask);
    }
    SendMessageA(windowState.navList, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(windowState.navImages));
    SendMessageA(windowState.navList, LVM_SETBKCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNFACE)));
    SendMessageA(windowState.navList, LVM_SETTEXTBKCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNFACE)));
    for (std::size_t index = 0; index < kNavItems.size(); ++index) {
        LVITEMA item{};
        item.mask = LVIF_TEXT | LVIF_IMAGE;
        item.iItem = static_cast<int>(index);
        item.iImage = static_cast<int>(index);
        item.pszText = const_cast<char*>(kNavItems[index].text);
        SendMessageA(windowState.navList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
}

void CreatePages(HWND window)
{
    for (const PageTemplate& page : kPageTemplates) {
        windowState.pages[static_cast<std::size_t>(page.index)] =
            CreateDialogParamA(windowState.instance, MAKEINTRESOURCEA(page.dialog), window, page.procedure, 0);
    }
}

void ShowPage(int index)
{
    if (index < 0 || index >= kPageCount)
        return;
    if (windowState.currentPage)
        ShowWindow(windowState.currentPage, SW_HIDE);
    HWND page = windowState.pages[static_cast<std::size_t>(index)];
    ShowWindow(page, SW_SHOWDEFAULT);
    windowState.currentPage = page;
    switch (index) {
    case MonitoringPage:
        RefreshSessions();
        RefreshOpenFiles();
        break;
    case BlackListPageIndex:
        RefreshBlackListView(ActiveComputerList(engineState.rules));
        RefreshTrippedView();
        ShowBlockModeRadios();
        break;
    case SharesPageIndex: RefreshShares(); break;
    case LogPageIndex: SyncLogPage(); break;
    case HistoryPageIndex: OnHistoryPageShown(); break;
    }
}

void ShowServiceStatus()
{
    HWND line = GetDlgItem(windowState.mainWindow, IDC_SERVICE_STATUS);
    if (!windowState.serviceMode) {
        ShowWindow(line, SW_HIDE);
        return;
    }
    const bool connected = windowState.serviceConnected != 0;
    const char* watching = ServiceRefusedPartOfItsFolder() ? kServiceWatchingRefusedText : kServiceWatchingText;
    SetWindowTextA(line, connected ? watching : kServiceNotRunningText);
    ShowWindow(line, SW_SHOWNA);
    SetTrayTip(connected ? kServiceWatchingTip : kServiceNotRunningText);
    LayoutMainWindow(windowState.mainWindow);
}

namespace {

void OnServiceFrameMessage(WPARAM slot)
{
    if (OnServiceFrame(slot).serviceState)
        ShowServiceStatus();
}

void OnServiceConnection(bool connected)
{
    TakeServiceConnection(connected);
    ShowServiceStatus();
}

}  // namespace

void ShowMainWindow()
{
    windowState.unseenActivity = 0;
    ShowWindow(windowState.mainWindow, SW_SHOW);
    SetForegroundWindow(windowState.mainWindow);
}

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: OnMainWindowCreated(window, reinterpret_cast<MainWindowStartUp>(lParam)); break;
    case WM_SHOWWINDOW: OnMainWindowShown(wParam != 0); break;
    case WM_SIZE: LayoutMainWindow(window); break;
    case WM_TIMER: OnStartHiddenTimer(window); break;
    case WM_CLOSE: ShowWindow(window, SW_HIDE); break;
    case WM_HOTKEY: OnHotKey(window); break;
    case WM_NOTIFY: OnMainNotify(reinterpret_cast<const NMHDR*>(lParam)); break;
    case WM_COMMAND: OnMainCommand(wParam); break;
    case WM_TRAY_NOTIFY: OnTrayNotify(window, lParam); break;
    case WM_NOTIFY_WINDOW_CLICKED: OnNotifyWindowClicked(); break;
    case WM_SERVER_REPLY: OnServerReply(static_cast<ServerId>(wParam), static_cast<uintptr_t>(lParam)); break;
    case WM_ENDSESSION: OnEndSession(wParam != 0); break;
    case WM_SERVICE_FRAME: OnServiceFrameMessage(wParam); break;
    case WM_SERVICE_CONNECTION: OnServiceConnection(wParam != 0); break;
    }
    return 0;
}
