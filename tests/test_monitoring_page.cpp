#include <windows.h>
#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

#include "rules/block_rules.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "engine/watch/detection.h"
#include "engine/watch/poll.h"
#include "windows/list_export.h"
#include "windows/monitoring_page.h"
#include "resources/resource.h"
#include "support/dialog_driver.h"
#include "windows/engine_rounds.h"
#include "support/test_support.h"
#include "windows/list_view.h"
#include "windows/explore.h"
#include "windows/main_window.h"

namespace {

class MonitoringPageTest : public MainWindowTest {
protected:
    HWND Sessions() const { return windowState.sessionsList; }
    HWND Files() const { return windowState.filesList; }
    HWND Page() const { return windowState.pages[MonitoringPage]; }
    static std::string Cell(HWND list, int row, int column)
    {
        std::array<char, kCellCapacity> text{};
        ReadCell(list, row, column, text);
        return text.data();
    }
    static std::vector<std::string> Column(HWND list, int column)
    {
        std::vector<std::string> texts;
        for (int row = 0; row < RowCount(list); ++row)
            texts.push_back(Cell(list, row, column));
        return texts;
    }
    static void Select(HWND list, int row)
    {
        LVITEMA item{};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
    void Refresh()
    {
        RefreshOpenFiles();
        RefreshSessions();
    }
    void Session(const std::wstring& client, const std::wstring& user, DWORD opens = 0, DWORD flags = 0)
    {
        server->sessions.push_back({client, user, opens, 61, 2, flags});
    }
    void File(DWORD id, const std::wstring& path, const std::wstring& user = L"bob")
    {
        server->files.push_back({id, PERM_FILE_READ | PERM_FILE_WRITE, 1, path, user});
    }
    // Sends a key to a list as the list reports it to the page.
    void PressKey(HWND list, WORD key)
    {
        NMLVKEYDOWN down{};
        down.hdr.hwndFrom = list;
        down.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(list));
        down.hdr.code = LVN_KEYDOWN;
        down.wVKey = key;
        SendMessageA(Page(), WM_NOTIFY, down.hdr.idFrom, reinterpret_cast<LPARAM>(&down));
    }
    std::string ExportPath() const { return folder + "export.txt"; }
    static int InUseWhitelist()
    {
        int count = 0;
        for (const BlockEntry& entry : engineState.rules.whitelist)
            count += entry.inUse ? 1 : 0;
        return count;
    }
};

}  // namespace

TEST_F(MonitoringPageTest, TheListsHaveTheirColumns)
{
    const std::array<const char*, 6> sessionTitles = {"Computer", "User", "#Files", "Connected time", "Idle time", "Guest"};
    const std::array<int, 6> sessionWidths = {150, 80, 70, 120, 120, 50};
    for (int i = 0; i < 6; ++i) {
        std::array<char, 64> title{};
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = title.data();
        column.cchTextMax = static_cast<int>(title.size());
        SendMessageA(Sessions(), LVM_GETCOLUMNA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
        EXPECT_STREQ(title.data(), sessionTitles[static_cast<std::size_t>(i)]);
        EXPECT_EQ(column.cx, sessionWidths[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(SendMessageA(Files(), LVM_GETCOLUMNWIDTH, 4, 0), 0) << "the stamp column is hidden";
    EXPECT_EQ(SendMessageA(Files(), LVM_GETCOLUMNWIDTH, 0, 0), 350);
    EXPECT_TRUE(SendMessageA(Files(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);
    EXPECT_EQ(windowState.openFilesGeneration, 268435456u) << "start-up's first refresh";
    EXPECT_EQ(windowState.sessionsGeneration, 1u);
    EXPECT_EQ(windowState.autoRefresh, 1);
    EXPECT_EQ(IsDlgButtonChecked(Page(), IDC_AUTO_REFRESH), static_cast<UINT>(BST_CHECKED));
}

TEST_F(MonitoringPageTest, SessionsShowUpperCasedComputersAndNeverAnonymousOnes)
{
    Session(L"pc-one", L"bob", 2);
    Session(L"10.0.0.9", L"");
    Session(L"kiosk", L"Guest", 1, SESS_GUEST);
    Refresh();
    EXPECT_EQ(Column(Sessions(), 0), (std::vector<std::string>{"PC-ONE", "KIOSK"}));
    EXPECT_EQ(Cell(Sessions(), 0, 1), "bob");
    EXPECT_EQ(Cell(Sessions(), 0, 2), "2");
    EXPECT_EQ(Cell(Sessions(), 0, 3), "00:01:01");
    EXPECT_EQ(Cell(Sessions(), 0, 4), "00:00:02");
    EXPECT_EQ(Cell(Sessions(), 0, 5), "No");
    EXPECT_EQ(Cell(Sessions(), 1, 5), "Yes");
    EXPECT_EQ(Rows(windowState.sessionsSnapshot)[0].stamp, windowState.sessionsGeneration);

    server->sessions = {{L"10.0.0.9", L""}};
    Refresh();
    EXPECT_EQ(RowCount(Sessions()), 0) << "an anonymous session alone leaves the list empty";
}

TEST_F(MonitoringPageTest, TwoSessionsOfOneComputerCollapseToOneRowAtTheNextRefresh)
{
    Session(L"pc-one", L"ann", 1);
    Session(L"PC-ONE", L"ben", 5);
    Refresh();
    EXPECT_EQ(Column(Sessions(), 0), (std::vector<std::string>{"PC-ONE", "PC-ONE"}));
    Refresh();
    EXPECT_EQ(Column(Sessions(), 0), std::vector<std::string>{"PC-ONE"});
    EXPECT_EQ(Cell(Sessions(), 0, 1), "ben") << "the second entry's values win";
    EXPECT_EQ(Cell(Sessions(), 0, 2), "5");
}

TEST_F(MonitoringPageTest, AFileReopenedUnderANewIdMovesToTheEnd)
{
    File(701, L"C:\\a.txt");
    File(702, L"C:\\b.txt");
    Refresh();
    server->files[0].id = 703;
    Refresh();
    EXPECT_EQ(Column(Files(), 0), (std::vector<std::string>{"C:\\b.txt", "C:\\a.txt"}));
    EXPECT_EQ(Rows(windowState.filesSnapshot)[1].id, 703u);
    EXPECT_EQ(Cell(Files(), 0, 4), std::to_string(windowState.openFilesGeneration));
}

TEST_F(MonitoringPageTest, StaleRowsAtTheTopGoInOneRefreshAndSurvivorsKeepTheirSelection)
{
    for (DWORD id = 1; id <= 6; ++id)
        File(id, L"C:\\f" + std::to_wstring(id));
    Refresh();
    Select(Files(), 4);
    server->files.erase(server->files.begin(), server->files.begin() + 3);
    Refresh();
    EXPECT_EQ(Column(Files(), 0), (std::vector<std::string>{"C:\\f4", "C:\\f5", "C:\\f6"}));
    EXPECT_TRUE(IsRowSelected(Files(), 1));
    EXPECT_FALSE(IsRowSelected(Files(), 0));
}

TEST_F(MonitoringPageTest, NothingRefreshesWhileAnotherPageIsCurrent)
{
    Session(L"PC1", L"ann");
    Refresh();
    ShowPage(LogPageIndex);
    const uint32_t sessions = windowState.sessionsGeneration, files = windowState.openFilesGeneration;
    const int enumerations = server->sessionEnumCalls + server->fileEnumCalls;
    server->sessions.clear();
    Refresh();
    for (int i = 0; i < 10; ++i)
        OnPollTick();
    EXPECT_EQ(windowState.sessionsGeneration, sessions);
    EXPECT_EQ(windowState.openFilesGeneration, files);
    EXPECT_EQ(server->sessionEnumCalls + server->fileEnumCalls, enumerations + 12)
        << "only the poller's own scans: ten of the open files, two of the sessions";
    EXPECT_EQ(RowCount(Sessions()), 1) << "the list stays frozen";
    ShowPage(MonitoringPage);
    EXPECT_EQ(RowCount(Sessions()), 0) << "and is brought up to date when shown";
}

TEST_F(MonitoringPageTest, BlockAddsEverySelectedComputerToTheBlacklistInRowOrder)
{
    engineState.rules.blockMode = Whitelist;
    Session(L"pc1", L"a");
    Session(L"pc2", L"b");
    Session(L"pc3", L"c");
    Session(L"pc4", L"d");
    Refresh();
    BlockSelectedComputers(kPermanent);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0) << "nothing selected, nothing blocked";
    for (int row : {0, 2, 3})
        Select(Sessions(), row);
    SendMessageA(Page(), WM_COMMAND, IDM_BLOCK_4_MIN, 0);
    ASSERT_EQ(engineState.rules.blacklist.inUse, 3);
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[0].name.data()), L"\\\\PC1");
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[1].name.data()), L"\\\\PC3");
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[2].name.data()), L"\\\\PC4");
    EXPECT_EQ(engineState.rules.blacklist[0].ticksLeft, 2400);
    EXPECT_EQ(InUseWhitelist(), 0);
    PressKey(Sessions(), 'B');
    EXPECT_EQ(engineState.rules.blacklist.inUse, 6);
    EXPECT_EQ(engineState.rules.blacklist[5].ticksLeft, kPermanent);
}

TEST_F(MonitoringPageTest, ClosingSendsTheNamesTheServerNeedsThenRefreshesFilesFirst)
{
    Session(L"pc1", L"ann");
    Session(L"pc2", L"ben");
    File(700, L"C:\\a");
    File(701, L"C:\\b");
    Refresh();
    Select(Sessions(), 1);
    Select(Files(), 0);
    Select(Files(), 1);
    server->calls.clear();
    PressKey(Sessions(), VK_DELETE);
    // The names as the server gave them, not as the cells show them.
    EXPECT_EQ(server->calls, (std::vector<std::wstring>{L"NetSessionDel \\\\pc2 ben", L"NetFileEnum 3", L"NetSessionEnum 1"}));
    server->calls.clear();
    SendMessageA(Page(), WM_COMMAND, IDM_CLOSE_FILE, 0);
    EXPECT_EQ(server->CallsStartingWith(L"NetFileClose"),
              (std::vector<std::wstring>{L"NetFileClose 700", L"NetFileClose 701"}));
    EXPECT_EQ(RowCount(Files()), 0);
}

TEST_F(MonitoringPageTest, RefreshTriggersRunInTheirOrder)
{
    server->calls.clear();
    PressKey(Files(), VK_F5);
    EXPECT_EQ(server->calls.front(), L"NetSessionEnum 1") << "F5: sessions first";
    server->calls.clear();
    SendMessageA(Page(), WM_COMMAND, IDC_REFRESH, 0);
    EXPECT_EQ(server->calls.front(), L"NetFileEnum 3") << "the button: open files first";
    server->calls.clear();
    ShowPage(MonitoringPage);
    EXPECT_EQ(server->calls.front(), L"NetSessionEnum 1") << "showing the page: sessions first";
}

TEST_F(MonitoringPageTest, TheAutoRefreshBoxIsStoredAtOnceAndDrivesThePoller)
{
    CheckDlgButton(Page(), IDC_AUTO_REFRESH, BST_UNCHECKED);
    SendMessageA(Page(), WM_COMMAND, IDC_AUTO_REFRESH, 0);
    EXPECT_EQ(windowState.autoRefresh, 0);
    EXPECT_EQ(ReadSettingInt(kMainSection, "autorefresh", -1), 0);
    const uint32_t generation = windowState.openFilesGeneration;
    for (int i = 0; i < 5; ++i)
        OnPollTick();
    EXPECT_EQ(windowState.openFilesGeneration, generation);
    CheckDlgButton(Page(), IDC_AUTO_REFRESH, BST_CHECKED);
    SendMessageA(Page(), WM_COMMAND, IDC_AUTO_REFRESH, 0);
    EXPECT_EQ(ReadSettingInt(kMainSection, "autorefresh", -1), 1);
    for (int i = 0; i < 5; ++i)
        OnPollTick();
    EXPECT_EQ(windowState.openFilesGeneration, generation + 1);
}

TEST_F(MonitoringPageTest, LongPathsAndNamesAreCutToACell)
{
    File(1, L"C:\\" + std::wstring(400, L'p'), std::wstring(300, L'u'));
    Refresh();
    EXPECT_EQ(Cell(Files(), 0, 0).size(), 255u);
    EXPECT_EQ(Cell(Files(), 0, 1).size(), 255u);
    ASSERT_TRUE(WriteMonitoringLists(ExportPath().c_str()));
    const std::string exported = ReadWholeFile(ExportPath());
    EXPECT_NE(exported.find(Cell(Files(), 0, 0) + "\t\t[" + Cell(Files(), 0, 1).substr(0, 10)), std::string::npos);
}

TEST_F(MonitoringPageTest, AnExportOfEmptyListsIsExactlyFiveLines)
{
    ASSERT_TRUE(WriteMonitoringLists(ExportPath().c_str()));
    EXPECT_EQ(ReadWholeFile(ExportPath()),
              "Sessions[0]:\r\nFormat: Computer\t[User][#Files]-[Connection time][Idle time]-[Guest]\r\n"
              "\r\nOpened files[0]:\r\nFormat:\tFile\t[User][#Locks][Open mode]\r\n");
}

TEST_F(MonitoringPageTest, AnExportWritesTheListsAsTheyStand)
{
    server->sessions.push_back({L"pc-office", L"alice", 2, 847, 3, 0});
    server->files.push_back({9, PERM_FILE_READ | PERM_FILE_WRITE, 0, L"D:\\Shared\\plan.xls", L"alice"});
    Refresh();
    server->sessions.clear();  // not refreshed before the export
    ASSERT_TRUE(WriteMonitoringLists(ExportPath().c_str()));
    EXPECT_EQ(ReadWholeFile(ExportPath()),
              "Sessions[1]:\r\nFormat: Computer\t[User][#Files]-[Connection time][Idle time]-[Guest]\r\n"
              "PC-OFFICE\t\t[alice][#2]-[00:14:07][00:00:03]-[No]\r\n"
              "\r\nOpened files[1]:\r\nFormat:\tFile\t[User][#Locks][Open mode]\r\n"
              "D:\\Shared\\plan.xls\t\t[alice][#0][ReadWrite]\r\n");
    EXPECT_FALSE(WriteMonitoringLists("Q:\\no\\such\\folder\\x.txt"));
}

TEST(ExportNames, TheExtensionIsAddedUnlessTheNameEndsWithIt)
{
    const auto named = [](const char* chosen, const char* extension) {
        std::array<char, kExportNameCapacity + 4> name{};
        strcpy(name.data(), chosen);
        AddExportExtension(name, extension);
        return std::string(name.data());
    };
    EXPECT_EQ(named("C:\\report", ".txt"), "C:\\report.txt");
    EXPECT_EQ(named("C:\\report.TXT", ".txt"), "C:\\report.TXT");
    EXPECT_EQ(named("C:\\report.txt.bak", ".txt"), "C:\\report.txt.bak.txt");
    EXPECT_EQ(named("a", ".log"), "a.log");
    EXPECT_EQ(named("x.LOG", ".log"), "x.LOG");
    EXPECT_EQ(named("report.txt", ".log"), "report.txt.log");
    EXPECT_EQ(named(std::string(kExportNameCapacity - 1, 'n').c_str(), ".csv").size(), kExportNameCapacity + 3)
        << "the longest name the dialog gives still gets its extension";
}

TEST(BlockMinutes, OnlyAPositiveNumberThatFitsInBlockTicks)
{
    int32_t minutes = 0;
    for (const char* text : {"0", "-3", "abc", "", "   ", "3579140", "99999999999999"})
        EXPECT_FALSE(ParseBlockMinutes(text, &minutes)) << "'" << text << "'";
    ASSERT_TRUE(ParseBlockMinutes("5min", &minutes));
    EXPECT_EQ(minutes, 5);
    ASSERT_TRUE(ParseBlockMinutes(" +7", &minutes));
    EXPECT_EQ(minutes, 7);
    ASSERT_TRUE(ParseBlockMinutes("3579139", &minutes));
    EXPECT_EQ(minutes * 600, 2147483400);
}

TEST_F(MonitoringPageTest, TheBlockDialogRefusesBadNumbersAndReturnsGoodOnes)
{
    const auto run = [&](const char* typed, std::string* message) {
        DialogDriver driver([=] {
            HWND dialog = WaitForDialog("Block", 5000);
            if (!dialog)
                return;
            SetDlgItemTextA(dialog, IDC_MINUTES_EDIT, typed);
            PressButton(dialog, IDOK);
            if (HWND box = WaitForMessageBoxOf(dialog)) {
                *message = MessageBoxText(box);
                PressButton(box, IDOK);
                WaitUntilGone(box);
                if (!IsWindow(dialog))
                    *message += " (and the dialog ended)";
                PressButton(dialog, IDCANCEL);
            }
        });
        return DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_BLOCK), Page(), BlockDialogProc, 0);
    };
    std::string message;
    EXPECT_EQ(run("5min", &message), 5);
    EXPECT_EQ(message, "");
    for (const char* bad : {"0", "-3", "abc", "", "x5", "1e3", "3579140"}) {
        message.clear();
        EXPECT_EQ(run(bad, &message), 0) << bad;
        EXPECT_EQ(message, "Please enter valid number") << bad;
    }
}

TEST_F(MonitoringPageTest, TheLayoutPutsTheButtonsAtTheRightEdge)
{
    SetWindowPos(window, nullptr, 0, 0, 1000, 700, SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    GetClientRect(Page(), &client);
    const auto rect = [&](int id) { return RectInPage(Page(), id); };
    EXPECT_EQ(rect(IDC_REFRESH).right, client.right);
    EXPECT_EQ(rect(IDC_EXPORT_LIST).right, rect(IDC_REFRESH).left - 5);
    EXPECT_EQ(rect(IDC_AUTO_REFRESH).right, rect(IDC_EXPORT_LIST).left - 5);
    EXPECT_EQ(rect(IDC_SESSIONS_LIST).right, client.right);
    EXPECT_EQ(rect(IDC_FILES_LIST).right, client.right);
    EXPECT_EQ(rect(IDC_FILES_LIST).bottom, client.bottom);
}

TEST_F(MonitoringPageTest, NamesOutsideTheCodePageReachTheServerAsItGaveThem)
{
    const std::wstring client = L"\x0416-\x65e5";  // no ANSI code page here holds these
    const std::wstring user = L"\x0436\x0435\x043d\x044f";
    Session(client, user);
    Refresh();
    ASSERT_EQ(RowCount(Sessions()), 1);
    Select(Sessions(), 0);
    PressKey(Sessions(), 'B');
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[0].name.data()), L"\\\\" + client);
    server->calls.clear();
    PressKey(Sessions(), VK_DELETE);
    ASSERT_FALSE(server->calls.empty());
    EXPECT_EQ(server->calls[0], L"NetSessionDel \\\\" + client + L" " + user);
}

// What a share user can put in the tables: a batch file in an open file's row, and a
// computer's name that is a path to a program on another share.
TEST_F(MonitoringPageTest, ExploreShowsAFileInItsFolderAndNeverRunsIt)
{
    const std::string share = folder + "mallory-share";
    ASSERT_TRUE(CreateDirectoryA(share.c_str(), nullptr));
    const std::string marker = share + "\\ran.txt";
    WriteWholeFile(share + "\\run.bat", "echo ran > \"" + marker + "\"\r\n");
    std::array<wchar_t, MAX_PATH> batch{};
    MultiByteToWideChar(CP_ACP, 0, (share + "\\run.bat").c_str(), -1, batch.data(), static_cast<int>(batch.size()));
    File(7, batch.data());
    Refresh();
    ASSERT_EQ(RowCount(Files()), 1);
    Select(Files(), 0);

    ExpectExploreShowsTheFolderAndRunsNothing(Files(), Page(), IDM_EXPLORE_FILE, "mallory-share", marker);
}

TEST_F(MonitoringPageTest, OnlyPlainPathsAndComputerNamesReachTheShell)
{
    for (const wchar_t* path : {L"C:\\Data\\plan.txt", L"d:\\a", L"\\\\FS2\\D$\\Data\\plan.txt", L"\\\\10.0.0.9\\s\\f"})
        EXPECT_TRUE(IsExplorablePath(path)) << std::wstring_view(path).size();
    for (const wchar_t* path :
         {L"", L"C:", L"C:\\", L"plan.txt", L"\\Data\\plan.txt", L"C:\\Data\\plan.txt:hidden.exe", L"\\\\?\\C:\\run.bat",
          L"\\\\.\\pipe\\Quorvel", L"\\\\FS2\\D$", L"\\\\FS2\\\\x", L"\\\\FS2\\D$\\", L"C:\\a\"b", L"C:\\a*", L"C:\\a\nb",
          L"\\\\F:S\\s\\f", L"\\\\FS2/x\\s\\f"})
        EXPECT_FALSE(IsExplorablePath(path)) << std::wstring_view(path).size();
    EXPECT_FALSE(IsExplorablePath(std::wstring(40000, L'a').insert(0, L"C:\\")));

    for (const wchar_t* name : {L"PC1", L"pc-one.corp.example", L"10.0.0.9", L"Дмитрий-ПК"})
        EXPECT_TRUE(IsExplorableComputer(name)) << std::wstring_view(name).size();
    for (const wchar_t* name : {L"", L".", L"..", L"EVIL\\c$\\run.hta", L"evil/x", L"C:", L"a\tb", L"a\"b", L"a?"})
        EXPECT_FALSE(IsExplorableComputer(name)) << std::wstring_view(name).size();
    EXPECT_FALSE(IsExplorableComputer(std::wstring(300, L'A')));
    RecordTrial("Explore", "paths with streams, device and raw prefixes, quotes, wildcards, control characters; "
                "computer names holding a path", "refused before the shell sees them");
}
