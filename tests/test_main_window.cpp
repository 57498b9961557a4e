#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest-spi.h>
#include <sqlite3.h>

#include <array>
#include <string>

#include "rules/block_rules.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "windows/exit_program.h"
#include "engine/watch/delivery.h"
#include "engine/watch/detection.h"
#include "engine/watch/poll.h"
#include "core/server_api.h"
#include "windows/tray_icon.h"
#include "resources/resource.h"
#include "engine/watch/watches.h"
#include "engine/watch/share_denies.h"
#include "engine/watch/log_text.h"
#include "engine/history/history_store.h"
#include "core/event_log.h"
#include "app/startup.h"
#include "core/product.h"
#include "support/test_support.h"
#include "windows/list_view.h"
#include "windows/main_window.h"

namespace {

std::string ItemText(HWND list, int index)
{
    std::array<char, 64> text{};
    LVITEMA item{};
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    return text.data();
}

int SelectedCount(HWND list)
{
    return static_cast<int>(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0));
}

void SelectItem(HWND list, int index, bool selected)
{
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = selected ? LVIS_SELECTED | LVIS_FOCUSED : 0;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

TEST_F(MainWindowTest, ComesUpTitledAt720By480OnTheMonitoringPage)
{
    std::array<char, 64> title{};
    GetWindowTextA(window, title.data(), static_cast<int>(title.size()));
    EXPECT_STREQ(title.data(), "Quorvel 1.2");
    RECT frame{};
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, 720);
    EXPECT_EQ(frame.bottom - frame.top, 480);
    EXPECT_EQ(windowState.mainWindow, window);
    EXPECT_EQ(windowState.currentPage, windowState.pages[MonitoringPage]);
    EXPECT_TRUE(IsShown(windowState.pages[MonitoringPage]));
    for (int index : {BlackListPageIndex, SharesPageIndex, LogPageIndex})
        EXPECT_FALSE(IsShown(windowState.pages[static_cast<std::size_t>(index)])) << "page " << index;
    EXPECT_NE(GetMenu(window), nullptr);
    EXPECT_EQ(GetMenuItemID(GetSubMenu(GetMenu(window), 0), 2), static_cast<UINT>(IDM_EXIT));
}

TEST_F(MainWindowTest, TheNavigationBarListsTheFivePagesInOrderWithNothingSelected)
{
    HWND nav = GetDlgItem(window, IDC_NAV_BAR);
    ASSERT_EQ(nav, windowState.navList);
    ASSERT_EQ(SendMessageA(nav, LVM_GETITEMCOUNT, 0, 0), 5);
    const std::array<const char*, 5> texts = {"Monitoring", "Black list", "Shares", "Log", "History"};
    for (int index = 0; index < 5; ++index) {
        EXPECT_EQ(ItemText(nav, index), texts[static_cast<std::size_t>(index)]);
        LVITEMA item{};
        item.mask = LVIF_IMAGE;
        item.iItem = index;
        SendMessageA(nav, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        EXPECT_EQ(item.iImage, index);
    }
    EXPECT_EQ(SelectedCount(nav), 0);
    int width = 0, height = 0;
    ASSERT_TRUE(ImageList_GetIconSize(windowState.navImages, &width, &height));
    EXPECT_EQ(width, 32);
    EXPECT_EQ(height, 32);
    EXPECT_EQ(ImageList_GetImageCount(windowState.navImages), 5);
    EXPECT_EQ(reinterpret_cast<HIMAGELIST>(SendMessageA(nav, LVM_GETIMAGELIST, LVSIL_NORMAL, 0)), windowState.navImages);
    EXPECT_EQ(static_cast<COLORREF>(SendMessageA(nav, LVM_GETBKCOLOR, 0, 0)), GetSysColor(COLOR_BTNFACE));
}

TEST_F(MainWindowTest, EveryPageSitsAtThePageOrigin)
{
    const RECT marker = ClientRectOf(GetDlgItem(window, IDC_PAGE_ORIGIN));
    EXPECT_EQ(windowState.pageOrigin.x, marker.left);
    EXPECT_EQ(windowState.pageOrigin.y, marker.top);
    EXPECT_GT(marker.left, 0);
    for (HWND page : windowState.pages) {
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(GetParent(page), window);
        const RECT rect = ClientRectOf(page);
        EXPECT_EQ(rect.left, windowState.pageOrigin.x);
        EXPECT_EQ(rect.top, windowState.pageOrigin.y);
    }
}

TEST_F(MainWindowTest, ShowPageHidesTheOldPageAndShowsTheNewOneEvenWhenItIsCurrent)
{
    ShowPage(SharesPageIndex);
    EXPECT_EQ(windowState.currentPage, windowState.pages[SharesPageIndex]);
    EXPECT_TRUE(IsShown(windowState.pages[SharesPageIndex]));
    EXPECT_FALSE(IsShown(windowState.pages[MonitoringPage]));
    ShowPage(SharesPageIndex);
    EXPECT_TRUE(IsShown(windowState.pages[SharesPageIndex]));
    ShowPage(LogPageIndex);
    EXPECT_FALSE(IsShown(windowState.pages[SharesPageIndex]));
    EXPECT_TRUE(IsShown(windowState.pages[LogPageIndex]));
    ShowPage(7);
    EXPECT_EQ(windowState.currentPage, windowState.pages[LogPageIndex]) << "an index that names no page changes nothing";
}

TEST_F(MainWindowTest, ShowingTheBlackListPageSetsTheModeRadios)
{
    engineState.rules.blockMode = Whitelist;
    ShowPage(BlackListPageIndex);
    HWND page = windowState.pages[BlackListPageIndex];
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_MODE_WHITELIST), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_MODE_BLACKLIST), static_cast<UINT>(BST_UNCHECKED));
    engineState.rules.blockMode = Blacklist;
    ShowPage(BlackListPageIndex);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_MODE_WHITELIST), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_MODE_BLACKLIST), static_cast<UINT>(BST_CHECKED));
}

TEST_F(MainWindowTest, ChoosingANavigationItemShowsItsPage)
{
    SelectItem(windowState.navList, 2, true);
    EXPECT_EQ(windowState.currentPage, windowState.pages[SharesPageIndex]);
    SelectItem(windowState.navList, 2, false);  // a click on empty space
    EXPECT_EQ(windowState.currentPage, windowState.pages[SharesPageIndex]);
    SelectItem(windowState.navList, 1, true);
    EXPECT_EQ(windowState.currentPage, windowState.pages[BlackListPageIndex]);
    // Pages chosen elsewhere leave the bar's highlight where the user put it.
    SendMessageA(window, WM_COMMAND, IDM_TRAY_LOGS, 0);
    EXPECT_EQ(windowState.currentPage, windowState.pages[LogPageIndex]);
    EXPECT_EQ(SendMessageA(windowState.navList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 1);
}

TEST_F(MainWindowTest, AResizeStretchesEveryPageAndTheNavigationBar)
{
    SetWindowPos(window, nullptr, 0, 0, 900, 650, SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    GetClientRect(window, &client);
    for (HWND page : windowState.pages) {
        RECT rect{};
        GetWindowRect(page, &rect);
        EXPECT_EQ(rect.right - rect.left, client.right - windowState.pageOrigin.x);
        EXPECT_EQ(rect.bottom - rect.top, client.bottom - windowState.pageOrigin.y);
        const RECT placed = ClientRectOf(page);
        EXPECT_EQ(placed.left, windowState.pageOrigin.x) << "pages are resized, never moved";
    }
    const RECT nav = ClientRectOf(windowState.navList);
    EXPECT_EQ(nav.bottom, client.bottom);
    const RECT navBefore = nav;
    SetWindowPos(window, nullptr, 0, 0, 500, 300, SWP_NOMOVE | SWP_NOZORDER);
    const RECT navAfter = ClientRectOf(windowState.navList);
    EXPECT_EQ(navAfter.right - navAfter.left, navBefore.right - navBefore.left) << "the bar keeps its width";
    GetClientRect(window, &client);
    EXPECT_EQ(navAfter.bottom, client.bottom);
}

TEST_F(MainWindowTest, CloseHidesTheWindowAndEscapeDoesNothing)
{
    SendMessageA(window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(IsShown(window));
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsShown(window));
    EXPECT_EQ(windowState.mainWindowShown, 0);
}

TEST_F(MainWindowTest, TheShownFlagFollowsTheWindow)
{
    EXPECT_EQ(windowState.mainWindowShown, 1);
    ShowWindow(window, SW_HIDE);
    EXPECT_EQ(windowState.mainWindowShown, 0);
    ShowWindow(window, SW_SHOW);
    EXPECT_EQ(windowState.mainWindowShown, 1);
}

TEST_F(MainWindowTest, TheHotKeyTogglesTheWindowAndLeavesTheActivityUnseen)
{
    windowState.unseenActivity = 1;
    SendMessageA(window, WM_HOTKEY, 0, 0);
    EXPECT_FALSE(IsShown(window));
    SendMessageA(window, WM_HOTKEY, 0, 0);
    EXPECT_TRUE(IsShown(window));
    EXPECT_EQ(windowState.unseenActivity, 1);
}

TEST_F(MainWindowTest, TheTrayIconsLeftClickShowsTheWindowAndClearsTheActivity)
{
    ShowWindow(window, SW_HIDE);
    windowState.unseenActivity = 1;
    SendMessageA(window, WM_TRAY_NOTIFY, 0, WM_MOUSEMOVE);
    SendMessageA(window, WM_TRAY_NOTIFY, 0, WM_LBUTTONUP);
    EXPECT_FALSE(IsShown(window)) << "other mouse messages do nothing";
    EXPECT_EQ(windowState.unseenActivity, 1);
    SendMessageA(window, WM_TRAY_NOTIFY, 0, WM_LBUTTONDOWN);
    EXPECT_TRUE(IsShown(window));
    EXPECT_EQ(windowState.unseenActivity, 0);
}

TEST_F(MainWindowTest, TheTrayMenusItemsShowTheirPageInFront)
{
    struct Case {
        WPARAM command;
        int page;
    };
    for (const Case& item : {Case{IDM_TRAY_SHARES, SharesPageIndex}, Case{IDM_TRAY_BLACKLIST, BlackListPageIndex},
                             Case{IDM_TRAY_LOGS, LogPageIndex}, Case{IDM_TRAY_MONITORING, MonitoringPage}}) {
        ShowWindow(window, SW_HIDE);
        windowState.unseenActivity = 1;
        SendMessageA(window, WM_COMMAND, item.command, 0);
        EXPECT_TRUE(IsShown(window)) << item.command;
        EXPECT_EQ(windowState.unseenActivity, 0) << item.command;
        EXPECT_EQ(windowState.currentPage, windowState.pages[static_cast<std::size_t>(item.page)]) << item.command;
    }
    ShowWindow(window, SW_HIDE);
    windowState.unseenActivity = 1;
    SendMessageA(window, WM_COMMAND, IDM_TRAY_SHOW, 0);
    EXPECT_TRUE(IsShown(window));
    EXPECT_EQ(windowState.unseenActivity, 0);
    EXPECT_EQ(windowState.currentPage, windowState.pages[MonitoringPage]);
}

TEST_F(MainWindowTest, EnterOutsideTheListsAndUnknownCommandsDoNothing)
{
    SetFocus(windowState.navList);
    SendMessageA(window, WM_COMMAND, IDOK, 0);
    SendMessageA(window, WM_COMMAND, 12345, 0);
    EXPECT_TRUE(IsShown(window));
}

TEST_F(MainWindowTest, TheContextMenusAreLoadedOnceWithTheirItems)
{
    EXPECT_EQ(GetMenuItemCount(windowState.trayMenu), 7);
    EXPECT_EQ(GetMenuItemID(windowState.trayMenu, 0), static_cast<UINT>(IDM_TRAY_MONITORING));
    EXPECT_EQ(GetMenuItemID(windowState.trayMenu, 6), static_cast<UINT>(IDM_TRAY_EXIT));
    EXPECT_EQ(GetMenuItemCount(windowState.sessionsMenu), 7);
    HMENU temporary = GetSubMenu(windowState.sessionsMenu, 6);
    ASSERT_NE(temporary, nullptr);
    EXPECT_EQ(GetMenuItemCount(temporary), 7);
    EXPECT_EQ(GetMenuItemID(temporary, 6), static_cast<UINT>(IDM_BLOCK_MORE));
    EXPECT_EQ(GetMenuItemCount(windowState.filesMenu), 4);
    EXPECT_EQ(GetMenuItemCount(windowState.blackListMenu), 2);
    EXPECT_EQ(GetMenuItemCount(windowState.sharesMenu), 1);
    EXPECT_EQ(GetMenuItemCount(windowState.exportMenu), 2);
    EXPECT_EQ(GetMenuItemID(windowState.exportMenu, 1), static_cast<UINT>(IDM_EXPORT_CSV));
}

TEST_F(MainWindowTest, TheTrayIconIsAddedWithTheProductTip)
{
    EXPECT_EQ(windowState.trayIconAdded, 1);
    EXPECT_EQ(windowState.trayIcon.hWnd, window);
    EXPECT_EQ(windowState.trayIcon.uCallbackMessage, static_cast<UINT>(WM_TRAY_NOTIFY));
    EXPECT_EQ(windowState.trayIcon.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(windowState.trayIcon.hIcon, windowState.normalIcon);
    EXPECT_STREQ(windowState.trayIcon.szTip, "Quorvel 1.2");
    EXPECT_NE(windowState.normalIcon, windowState.alertIcon);
}

TEST_F(MainWindowTest, TheExitRemovesTheTrayIconThenSavesTheLists)
{
    AddComputer(engineState.rules.blacklist, "pc1", kPermanent);
    engineState.rules.blockMode = Whitelist;
    PrepareExit();
    EXPECT_EQ(windowState.trayIconAdded, 0);
    EXPECT_EQ(ReadSettingInt("blacklist", "count", -1), 1);
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", -1), 1);
}

TEST_F(MainWindowTest, TheExitKeepsWhatTheSharesDeniesDidLastInTheHistory)
{
    RecordTrial("faults", "the program ending just after the share denies denied a user, before a round took their notice",
                "the deny is on the Log page, in the event log and stored in the history all the same");
    ASSERT_TRUE(HistoryIsOpen());
    server->shares = {{L"Docs", STYPE_DISKTREE, L"", 0, L"D:\\Docs"}};
    server->accounts = {{L"mallory", L"S-1-5-21-7-7-7-1105"}};
    DenyAtShares(nullptr, L"mallory", 0);
    // No message runs meanwhile, so no round takes the notice.
    const auto denied = [] { return ShareDeniesIdle() && DeniedShareCount(L"mallory") == 1; };
    for (int wait = 0; wait < 500 && !denied(); ++wait)
        Sleep(20);
    ASSERT_TRUE(denied());
    PrepareExit();
    EXPECT_NE(std::string(WholeLogText(engineState.logText)).find("mallory is denied at 1 share of this computer."),
              std::string::npos);
    bool reported = false;
    for (const RecordedEvent& event : RecordedEvents())
        reported |= event.id == QUORVEL_EVENT_SHARES_DENIED;
    EXPECT_TRUE(reported);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((std::string(engineState.logFolder.data()) + "quorvel-history.db").c_str(), &db,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* count = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM events WHERE kind / 8 = ?1", -1, &count, nullptr), SQLITE_OK);
    sqlite3_bind_int(count, 1, static_cast<int>(EventKind::SharesDenied));
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 1) << "stored before the history closed";
    sqlite3_finalize(count);
    sqlite3_close(db);
}

TEST_F(MainWindowTest, TheExitDeliversEveryEventAScanFoundBeforeTheProgramEnds)
{
    RecordTrial("faults", "the program ending while the 3,000 new files of a scan wait to be delivered",
                "every line in the day's text log, every record in the CSV log, the scan's buffer given back");
    engineState.settings.savecsvlogs = 1;
    for (DWORD id = 1; id <= 3000; ++id)
        server->files.push_back({id, PERM_FILE_READ, 0, L"C:\\Shares\\f" + std::to_wstring(id) + L".txt", L"ann"});
    // What the poll keeps of a scan until its lines are out.
    Enumeration<FILE_INFO_3> files;
    EnumerateOpenFiles(&files);
    ASSERT_TRUE(ScanOpenFilesOf(LocalWatch(), files.status, files.Records(), TakePollTime()));
    files.Detach();
    PrepareExit();
    const std::string log = ReadWholeFile(std::string(engineState.logFolder.data()) + "7.3.2026.log");
    const std::string csv = ReadWholeFile(std::string(engineState.logFolder.data()) + "7.3.2026.csv");
    std::size_t lines = 0, records = 0;
    for (std::size_t at = log.find("[ann][Read]"); at != std::string::npos; at = log.find("[ann][Read]", at + 1))
        ++lines;
    for (std::size_t at = csv.find("\"Read\", \"ann\""); at != std::string::npos;
         at = csv.find("\"Read\", \"ann\"", at + 1))
        ++records;
    EXPECT_EQ(lines, 3000u);
    EXPECT_EQ(records, 3000u);
    EXPECT_NE(log.find("f3000.txt\r\n"), std::string::npos);
    EXPECT_FALSE(IsDelivering(LocalWatch()));
}

TEST_F(MainWindowTest, AThreadTimerTheFixturesDoNotStopFailsTheTestThatMeetsIt)
{
    // A timer the program might add one day without the fixtures knowing it.
    static int strayRuns = 0;
    static int metBefore = 0;
    metBefore = StrayTimersMet();
    const UINT_PTR stray = SetTimer(nullptr, 0, 1, [](HWND, UINT, UINT_PTR, DWORD) { ++strayRuns; });
    ASSERT_NE(stray, 0u);
    EXPECT_NONFATAL_FAILURE(
        for (int k = 0; k < 500 && StrayTimersMet() == metBefore; ++k) PumpMessages(10),
        "a thread timer the fixtures do not stop fired");
    KillTimer(nullptr, stray);
    EXPECT_EQ(strayRuns, 0) << "its procedure was not run";
}

// The blink, step by step, while the main window is not in front.

namespace {

class BlinkTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        ShowWindow(window, SW_HIDE);
        ASSERT_NE(GetForegroundWindow(), window);
    }
    HICON Showing() const { return windowState.trayIcon.hIcon; }
};

}  // namespace

TEST_F(BlinkTest, UnseenActivityAlternatesTheIconsStartingWithTheAlert)
{
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon) << "nothing unseen, nothing blinks";
    windowState.unseenActivity = 1;
    OnBlinkTick();
    EXPECT_EQ(windowState.blinkPhase, 1);
    EXPECT_EQ(Showing(), windowState.alertIcon);
    OnBlinkTick();
    EXPECT_EQ(windowState.blinkPhase, 0);
    EXPECT_EQ(Showing(), windowState.normalIcon);
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.alertIcon);
    windowState.unseenActivity = 1;  // more activity does not restart the rhythm
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon);
}

TEST_F(BlinkTest, TurningTrayNotificationOffWhileTheAlertShowsRestoresTheNormalIcon)
{
    windowState.unseenActivity = 1;
    OnBlinkTick();
    ASSERT_EQ(Showing(), windowState.alertIcon);
    engineState.settings.enabletraynotify = 0;
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon);
    EXPECT_EQ(windowState.blinkPhase, 0);
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon);
    EXPECT_EQ(windowState.unseenActivity, 1);
}

TEST_F(BlinkTest, SeeingTheWindowStopsTheBlink)
{
    windowState.unseenActivity = 1;
    OnBlinkTick();
    SendMessageA(window, WM_TRAY_NOTIFY, 0, WM_LBUTTONDOWN);
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon);
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon);
}

TEST_F(BlinkTest, TheWindowInFrontShowsTheNormalIconButKeepsTheActivityUnseen)
{
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    PumpMessages();
    if (GetForegroundWindow() != window)
        GTEST_SKIP() << "this display gives no foreground window";
    windowState.unseenActivity = 1;
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.normalIcon);
    EXPECT_EQ(windowState.unseenActivity, 1);
    ShowWindow(window, SW_HIDE);
    OnBlinkTick();
    EXPECT_EQ(Showing(), windowState.alertIcon) << "blinking resumes once another window is in front";
}

namespace {

// A hand-edited settings file with savelogs neither 0 nor 1.
class OddSavelogsTest : public MainWindowTest {
protected:
    void BeforeStart() override
    {
        const std::string ini = folder + "quorvel.ini";
        WritePrivateProfileStringA("main", "savelogs", "2", ini.c_str());
        WritePrivateProfileStringA("main", "savecsvlogs", "0", ini.c_str());
    }
};

}  // namespace

TEST_F(OddSavelogsTest, StartUpOpensNoLogUnlessSavelogsIsOne)
{
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((std::string(engineState.logFolder.data()) + "*.*").c_str(), &found);
    int logs = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do
            logs += found.cFileName[0] != '.';
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(engineState.settings.savelogs, 2);
    EXPECT_EQ(logs, 0);
}

namespace {

INT_PTR CALLBACK BareWindowProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

// The main window's template with no start-up of its own: the test runs the steps.
class StartUpSequenceTest : public MainWindowTest {
protected:
    DLGPROC Procedure() const override { return BareWindowProc; }
};

}  // namespace

TEST_F(StartUpSequenceTest, EachStepStartsWhatTheNextNeedsAndTheLastShowsTheFirstPage)
{
    server->sessions.push_back({L"PC1", L"ann"});
    const auto steps = StartUpSequence();
    ASSERT_GE(steps.size(), 3u);
    bool trayBeforeTimers = false;
    for (const StartUpStep& step : steps) {
        EXPECT_EQ(windowState.currentPage, nullptr) << "no page before the last steps: " << step.what;
        step.run(window);
        if (windowState.trayIconAdded && !windowState.pollTimer)
            trayBeforeTimers = true;
        if (windowState.pollTimer) {
            EXPECT_NE(SettingsFilePath()[0], '\0') << "the timers come after the folders";
            EXPECT_NE(windowState.navList, nullptr) << "and after the navigation bar";
        }
        if (windowState.currentPage)
            break;
    }
    EXPECT_TRUE(trayBeforeTimers);
    EXPECT_EQ(windowState.currentPage, windowState.pages[MonitoringPage]);
    EXPECT_EQ(RowCount(windowState.sessionsList), 1) << "the first page's first refresh";
    std::array<char, 64> title{};
    GetWindowTextA(window, title.data(), static_cast<int>(title.size()));
    EXPECT_STREQ(title.data(), kProductTitle);
}
