// Servers watched besides this computer, without their worker threads: the test makes
// each worker's read itself, and the main window's thread takes the reply as it would.
#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "rules/block_rules.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/text.h"
#include "windows/log_page.h"
#include "windows/monitoring_page.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "windows/server_choice.h"
#include "resources/resource.h"
#include "engine/watch/log_text.h"
#include "engine/watch/event_record.h"
#include "windows/shares_page.h"
#include "support/test_support.h"
#include "windows/list_view.h"
#include "windows/main_window.h"

namespace {

std::string Usable(const char* typed)
{
    std::array<char, kServerNameUnits> name{};
    return UsableServerName(typed, name) ? std::string(name.data()) : std::string("<refused>");
}

class RemoteServerTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        RunServerWorkers(false);
        MainWindowTest::SetUp();
        ServerList list{};
        list.count = 2;
        CopyText(list.names[0], "FS2");
        CopyText(list.names[1], "fs3.branch.example");
        WatchServers(list);
        UpdateServerChoices();  // as the Servers dialog's OK does
        fs2 = &TheFakeServer(L"FS2");
        fs3 = &TheFakeServer(L"FS3.BRANCH.EXAMPLE");
    }
    void TearDown() override
    {
        WatchServers(ServerList{});
        MainWindowTest::TearDown();
        RunServerWorkers(true);
    }
    // A worker's round, a round's time after the last: its deletions, then a read,
    // taken by the main window's thread.
    void Read(ServerId place, ReplyKind kind)
    {
        clock->AdvanceMilliseconds(kRemoteSessionsMs);
        ReadServerOnce(place, kind);
        PumpMessages(20);
    }
    std::string Log(const std::string& folderName) const
    {
        return ReadWholeFile(std::string(engineState.logFolder.data()) + folderName + "7.3.2026.log");
    }
    // The server box of a page, as the user reads it.
    using Texts = std::vector<std::string>;
    static Texts ServerChoices(int page)
    {
        HWND box = GetDlgItem(windowState.pages[static_cast<std::size_t>(page)], IDC_SERVER_SELECT);
        Texts texts;
        for (LRESULT item = 0; item < SendMessageA(box, CB_GETCOUNT, 0, 0); ++item) {
            std::string text(static_cast<std::size_t>(SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(item), 0)) + 1, '\0');
            SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(text.data()));
            texts.push_back(text.c_str());
        }
        return texts;
    }
    FakeServer* fs2 = nullptr;
    FakeServer* fs3 = nullptr;
};

}  // namespace

TEST(ServerNames, BackslashesAndBlanksGoAndNoServersNameIsRefused)
{
    RecordTrial("bad input", "hand-edited and typed server names: empty, blanks, backslashes inside, quotes, "
                             "colons, control characters, 300 characters, dots",
                "each is refused or taken without its leading backslashes, never cut into another name");
    EXPECT_EQ(Usable("\\\\FS2"), "FS2");
    EXPECT_EQ(Usable("  fs2.corp.example  "), "fs2.corp.example");
    EXPECT_EQ(Usable("\\\\\\\\FS2"), "FS2");
    for (const char* bad : {"", "   ", "\\\\", "FS2\\share", "a\"b", "c:", "x\ty", "..", "a*b", "a|b", "FS 1"})
        EXPECT_EQ(Usable(bad), "<refused>") << bad;
    EXPECT_EQ(Usable(std::string(300, 's').c_str()), "<refused>");
    EXPECT_EQ(Usable(std::string(255, 's').c_str()), std::string(255, 's'));
    std::array<char, kServerNameUnits> own{};
    DWORD size = static_cast<DWORD>(own.size());
    ASSERT_TRUE(GetComputerNameExA(ComputerNameNetBIOS, own.data(), &size));
    EXPECT_TRUE(IsThisComputer(own.data())) << "this computer is watched already";
    EXPECT_TRUE(IsThisComputer("LOCALHOST"));
    EXPECT_FALSE(IsThisComputer("FS2"));
}

TEST_F(RemoteServerTest, AListOfManyBadAndRepeatedNamesKeepsSixteenGoodOnes)
{
    const std::string ini = SettingsFilePath();
    WritePrivateProfileStringA("servers", "count", "40", ini.c_str());
    for (int k = 1; k <= 40; ++k)
        WritePrivateProfileStringA("servers", ("server" + std::to_string(k)).c_str(),
                                   k % 5 == 0 ? "bad\\name" : (k == 2 ? "\\\\FS1" : ("FS" + std::to_string(k)).c_str()),
                                   ini.c_str());
    ServerList list{};
    LoadServerList(list);
    EXPECT_EQ(list.count, 12) << "16 keys read: 3 unusable, and FS1 twice";
    EXPECT_STREQ(list.names[0].data(), "FS1");
    EXPECT_STREQ(list.names[1].data(), "FS3") << "FS1 twice is listed once";
}

TEST_F(RemoteServerTest, AnotherServersEventsGoToItsOwnLogsAndTheLogPageNamesIt)
{
    fs2->sessions = {{L"PC9", L"ann"}};
    fs2->files = {{40, PERM_FILE_READ, 0, L"D:\\Data\\plan.txt", L"ann"}};
    Read(1, SessionsReply);
    Read(1, FilesReply);
    Read(1, FilesReply);
    const std::string own = Log("FS2\\");
    EXPECT_NE(own.find("] User ann connected from PC9\r\n"), std::string::npos) << own;
    EXPECT_NE(own.find("] [ann][Read] D:\\Data\\plan.txt\r\n"), std::string::npos);
    EXPECT_EQ(own.find("FS2"), std::string::npos) << "its own log needs no name";
    EXPECT_EQ(Log("").find("plan.txt"), std::string::npos) << "this computer's log is this computer's";
    EXPECT_EQ(RunCsvText().find("plan.txt"), std::string::npos);
    ShowPage(LogPageIndex);
    SyncLogPage();
    const std::string page(engineState.logText.text.data(), engineState.logText.length);
    EXPECT_NE(page.find("] [\\\\FS2] [ann][Read] D:\\Data\\plan.txt\r\n"), std::string::npos) << page;
    EXPECT_EQ(windowState.unseenActivity, 1);
}

TEST_F(RemoteServerTest, ABlacklistedComputerIsCutOffOnEveryServerItIsOn)
{
    AddComputer(engineState.rules.blacklist, "PC-BAD", kPermanent);
    fs2->sessions = {{L"PC-BAD", L"eve"}, {L"PC-GOOD", L"bob"}};
    fs3->sessions = {{L"pc-bad", L"eve"}};
    Read(1, SessionsReply);
    Read(2, SessionsReply);
    Read(1, SessionsReply);  // the worker's next round carries the deletion out first
    Read(2, SessionsReply);
    EXPECT_EQ(fs2->CallsStartingWith(L"NetSessionDel"), std::vector<std::wstring>{L"NetSessionDel \\\\PC-BAD <null>"});
    EXPECT_EQ(fs3->CallsStartingWith(L"NetSessionDel"), std::vector<std::wstring>{L"NetSessionDel \\\\pc-bad <null>"});
    EXPECT_TRUE(server->CallsStartingWith(L"NetSessionDel").empty()) << "nothing asked of this computer";
    EXPECT_EQ(fs2->sessions.size(), 1u);
}

TEST_F(RemoteServerTest, AServerThatDoesNotAnswerOrRefusesIsShownSoAndNothingElseHappens)
{
    HWND box = GetDlgItem(windowState.pages[MonitoringPage], IDC_SERVER_SELECT);
    EXPECT_TRUE(IsWindowVisible(box));
    EXPECT_EQ(ServerChoices(MonitoringPage),
              (Texts{"This computer", "\\\\FS2 (connecting)", "\\\\fs3.branch.example (connecting)"}));
    fs2->sessionStatus = 1722;  // RPC server unavailable
    fs3->sessionStatus = ERROR_ACCESS_DENIED;
    Read(1, SessionsReply);
    Read(2, SessionsReply);
    RunPollTicks(5);  // the boxes follow at the once-a-second step
    const Texts failing = {"This computer", "\\\\FS2 (not answering)", "\\\\fs3.branch.example (access denied)"};
    EXPECT_EQ(ServerChoices(MonitoringPage), failing);
    EXPECT_EQ(ServerChoices(SharesPageIndex), failing);
    EXPECT_FALSE(FileExists(std::string(engineState.logFolder.data()) + "FS2\\7.3.2026.log")) << "no events, no log";

    fs2->sessionStatus = NERR_Success;
    Read(1, SessionsReply);
    RunPollTicks(5);
    EXPECT_EQ(ServerChoices(MonitoringPage),
              (Texts{"This computer", "\\\\FS2", "\\\\fs3.branch.example (access denied)"}));
}

// The alarm for a server that stops answering: one event when it turns silent, not one
// per unanswered read; none for a server that refuses (it is there); again after it
// answered in between. The Log page says each turn once.
TEST_F(RemoteServerTest, AServerThatStopsAnsweringRaisesOneAlarmEachTimeItTurnsSilent)
{
    static std::vector<std::string> silent;
    silent.clear();
    AddEventSink(
        [](const EventRecord& record, void*) {
            if (record.kind == EventKind::ServerSilent)
                silent.push_back(std::string(record.server) + " | " + std::string(record.text));
        },
        nullptr);
    const auto lines = [](const char* what) {
        const std::string_view log = WholeLogText(engineState.logText);
        int count = 0;
        for (std::size_t at = log.find(what); at != std::string_view::npos; at = log.find(what, at + 1))
            ++count;
        return count;
    };
    fs2->sessionStatus = 1722;  // RPC server unavailable
    fs3->sessionStatus = ERROR_ACCESS_DENIED;
    for (int round = 0; round < 3; ++round) {
        Read(1, SessionsReply);
        Read(2, SessionsReply);
    }
    ASSERT_EQ(silent.size(), 1u) << "one alarm, not one per read";
    EXPECT_NE(silent[0].find("\\FS2 | "), std::string::npos) << silent[0];
    EXPECT_NE(silent[0].find("does not answer (error 1722)"), std::string::npos) << silent[0];
    EXPECT_EQ(lines("[\\\\FS2] The server does not answer"), 1);
    EXPECT_EQ(lines("fs3.branch.example] The server does not answer"), 0) << "access denied is an answer";

    fs2->sessionStatus = NERR_Success;
    Read(1, SessionsReply);
    Read(1, SessionsReply);
    EXPECT_EQ(lines("[\\\\FS2] The server answers again"), 1);
    EXPECT_EQ(silent.size(), 1u) << "answering again is no alarm";

    fs2->sessionStatus = ERROR_BAD_NETPATH;
    Read(1, SessionsReply);
    Read(1, SessionsReply);
    EXPECT_EQ(silent.size(), 2u) << "silent again: a second alarm";
    RemoveEventSinks();
}

TEST_F(RemoteServerTest, TheMonitoringPageShowsTheChosenServerAndClosesOnIt)
{
    fs2->sessions = {{L"PC9", L"ann", 2, 61}};
    fs2->files = {{40, PERM_FILE_READ, 0, L"D:\\Data\\plan.txt", L"ann"}};
    server->sessions = {{L"LOCALPC", L"bob"}};
    windowState.autoRefresh = 1;
    ShowServerOnMonitoringPage(1);
    Read(1, SessionsReply);
    Read(1, FilesReply);
    ASSERT_EQ(RowCount(windowState.sessionsList), 1);
    std::array<char, kCellCapacity> cell{};
    ReadCell(windowState.sessionsList, 0, 0, cell);
    EXPECT_STREQ(cell.data(), "PC9");
    ASSERT_EQ(RowCount(windowState.filesList), 1);
    ReadCell(windowState.filesList, 0, 0, cell);
    EXPECT_STREQ(cell.data(), "D:\\Data\\plan.txt");

    LVITEMA item{};
    item.stateMask = item.state = LVIS_SELECTED;
    SendMessageA(windowState.sessionsList, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
    SendMessageA(windowState.filesList, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
    CloseSelectedFiles();
    CloseSelectedSessions();
    Read(1, SessionsReply);
    EXPECT_EQ(fs2->CallsStartingWith(L"NetFileClose"), std::vector<std::wstring>{L"NetFileClose 40"});
    EXPECT_EQ(fs2->CallsStartingWith(L"NetSessionDel"), std::vector<std::wstring>{L"NetSessionDel \\\\PC9 ann"});
    EXPECT_TRUE(server->CallsStartingWith(L"NetSessionDel").empty());

    std::array<wchar_t, 64> path{};
    ASSERT_TRUE(FormatRemotePath(L"\\\\FS2", L"D:\\Data\\plan.txt", path));
    EXPECT_EQ(std::wstring(path.data()), L"\\\\FS2\\D$\\Data\\plan.txt") << "explored through the drive's share";

    ShowServerOnMonitoringPage(0);
    ASSERT_EQ(RowCount(windowState.sessionsList), 1);
    ReadCell(windowState.sessionsList, 0, 0, cell);
    EXPECT_STREQ(cell.data(), "LOCALPC");
}

TEST_F(RemoteServerTest, TheSharesPageListsAndRemovesTheChosenServersShares)
{
    fs2->shares = {{L"Data", STYPE_DISKTREE, L"", 2, L"D:\\Data"}, {L"Old", STYPE_DISKTREE, L"", 0, L"D:\\Old"}};
    server->shares = {{L"Local", STYPE_DISKTREE, L"", 0, L"C:\\Local"}};
    ShowPage(SharesPageIndex);
    ShowServerOnSharesPage(1);
    Read(1, SharesReply);
    ASSERT_EQ(RowCount(windowState.sharesList), 2);
    std::array<char, kCellCapacity> cell{};
    ReadCell(windowState.sharesList, 1, 0, cell);
    EXPECT_STREQ(cell.data(), "Old");
    LVITEMA item{};
    item.stateMask = item.state = LVIS_SELECTED;
    SendMessageA(windowState.sharesList, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&item));
    SendMessageA(windowState.pages[SharesPageIndex], WM_COMMAND, IDM_REMOVE, 0);
    Read(1, SharesReply);
    EXPECT_EQ(fs2->CallsStartingWith(L"NetShareDel"), std::vector<std::wstring>{L"NetShareDel Old"});
    EXPECT_TRUE(server->CallsStartingWith(L"NetShareDel").empty());
    ASSERT_EQ(RowCount(windowState.sharesList), 1);
}
