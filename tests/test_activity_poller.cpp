#include <windows.h>
#include <commctrl.h>

#include <string>

#include "core/app_state.h"
#include "core/text.h"
#include "monitor/activity_poller.h"
#include "monitor/event_log.h"
#include "monitor/server_api.h"
#include "support/test_support.h"

namespace {

class ActivityPollerTest : public QuorvelTest {
protected:
    void SetUp() override
    {
        QuorvelTest::SetUp();
        // A Log page edit box and a notify list to watch where the lines land.
        logEdit = CreateWindowExA(0, "EDIT", "", ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        SendMessageA(logEdit, EM_SETLIMITTEXT, 0, 0);
        notifyList = CreateWindowExA(0, WC_LISTVIEWA, "", LVS_LIST, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                                     nullptr);
        notifyWindow = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        appState.logPageEdit = logEdit;
        appState.notifyList = notifyList;
        appState.notifyWindow = notifyWindow;
        appState.soundAlertEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(logEdit);
        DestroyWindow(notifyList);
        DestroyWindow(notifyWindow);
        QuorvelTest::TearDown();
    }

    std::string LogPageText() const
    {
        SyncLogPage();
        std::string text(static_cast<std::size_t>(GetWindowTextLengthA(logEdit)) + 1, '\0');
        GetWindowTextA(logEdit, text.data(), static_cast<int>(text.size()));
        text.resize(text.size() - 1);
        return text;
    }
    int NotifyLines() const { return static_cast<int>(SendMessageA(notifyList, LVM_GETITEMCOUNT, 0, 0)); }
    std::string NotifyLine(int index) const
    {
        std::array<char, 1100> text{};
        LVITEMA item{};
        item.iSubItem = 0;
        item.pszText = text.data();
        item.cchTextMax = static_cast<int>(text.size());
        SendMessageA(notifyList, LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
        return text.data();
    }
    bool SoundSignalled() const { return WaitForSingleObject(appState.soundAlertEvent, 0) == WAIT_OBJECT_0; }
    std::string TextLog() const { return ReadWholeFile(std::string(appState.logFolder.data()) + "\\7.3.2026.log"); }
    std::string CsvLog() const { return ReadWholeFile(std::string(appState.logFolder.data()) + "\\7.3.2026.csv"); }

    void AddFile(DWORD id, const std::wstring& path, const std::wstring& user = L"bob", DWORD permissions = 3)
    {
        server->files.push_back({id, permissions, 0, path, user});
    }

    HWND logEdit = nullptr;
    HWND notifyList = nullptr;
    HWND notifyWindow = nullptr;
};

}  // namespace

TEST_F(ActivityPollerTest, FilesAlreadyOpenAreReportedAtTheFirstTickInEnumerationOrder)
{
    AddFile(12, L"C:\\Shares\\Docs\\b.txt");
    AddFile(7, L"C:\\Shares\\Docs\\a.txt", L"alice", PERM_FILE_READ);
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(),
              "[9:5:7] [bob][ReadWrite] C:\\Shares\\Docs\\b.txt\r\n"
              "[9:5:7] [alice][Read] C:\\Shares\\Docs\\a.txt\r\n");
    EXPECT_EQ(appState.highestReportedFileId, 12u);
    RunPollTicks(3);
    EXPECT_EQ(server->fileEnumCalls, 4) << "the open files are fetched on every tick";
    EXPECT_EQ(TextLog(), LogPageText()) << "nothing is reported twice";
}

TEST_F(ActivityPollerTest, FilesTheLastScanHeldAreNotReportedAgainWhateverTheirIds)
{
    AddFile(100, L"C:\\a");
    AddFile(40, L"C:\\older");
    RunPollTicks(1);
    AddFile(101, L"C:\\b");
    AddFile(103, L"C:\\c");
    RunPollTicks(3);
    EXPECT_EQ(appState.highestReportedFileId, 103u);
    const std::string text = LogPageText();
    EXPECT_LT(text.find("C:\\b"), text.find("C:\\c"));
    for (const char* path : {"C:\\a", "C:\\older", "C:\\b", "C:\\c"})
        EXPECT_EQ(text.find(path), text.rfind(path)) << path << " once";
}

TEST_F(ActivityPollerTest, AServerWhoseIdsStartAgainFromLowIsFollowed)
{
    RecordTrial("faults", "the server's file ids starting again from 1 after a restart",
                "the new files are reported, each once, and the count goes on from there");
    AddFile(4513, L"C:\\before");
    AddFile(4600, L"C:\\before-too");
    RunPollTicks(1);
    // The server service restarts: its files are gone and the ids begin again.
    server->files.clear();
    RunPollTicks(1);
    AddFile(1, L"C:\\after-one");
    AddFile(2, L"C:\\after-two");
    RunPollTicks(1);
    EXPECT_EQ(appState.highestReportedFileId, 2u) << "the count goes on from the new ids";
    AddFile(3, L"C:\\after-three");
    RunPollTicks(2);
    const std::string text = LogPageText();
    for (const char* path : {"after-one", "after-two", "after-three"})
        EXPECT_EQ(text.find(path), text.rfind(path)) << path << " once";
    EXPECT_NE(text.find("after-three"), std::string::npos);
    EXPECT_LT(text.find("after-one"), text.find("after-two"));
}

TEST_F(ActivityPollerTest, IdsAreComparedUnsignedAndFollowedPastTheTopOfTheRange)
{
    RecordTrial("bad input", "file ids at 0x7FFFFFFF and 0xFFFFFFFF, then going round to a low id",
                "compared unsigned; the top id reported once; the id after the wrap reported");
    AddFile(0x7FFFFFFF, L"C:\\mid");
    RunPollTicks(1);
    AddFile(0xFFFFFFFF, L"C:\\top");
    RunPollTicks(1);
    EXPECT_EQ(appState.highestReportedFileId, 0xFFFFFFFFu);
    EXPECT_NE(LogPageText().find("C:\\top"), std::string::npos);
    AddFile(5, L"C:\\wrapped");  // the counter went round
    RunPollTicks(2);
    EXPECT_EQ(appState.highestReportedFileId, 0xFFFFFFFFu);
    const std::string text = LogPageText();
    EXPECT_NE(text.find("wrapped"), std::string::npos);
    EXPECT_EQ(text.find("wrapped"), text.rfind("wrapped"));
    EXPECT_EQ(text.find("C:\\top"), text.rfind("C:\\top"));
}

TEST_F(ActivityPollerTest, ScansThatFailOrComeBackInPartsReportNothingTwice)
{
    RecordTrial("faults", "the open-file enumeration failing, then answering ERROR_MORE_DATA with a part of the table",
                "every file open reported exactly once");
    AddFile(10, L"C:\\ten");
    AddFile(11, L"C:\\eleven");
    RunPollTicks(1);
    server->fileStatus = ERROR_ACCESS_DENIED;
    RunPollTicks(2);
    server->fileStatus = ERROR_MORE_DATA;  // a part of the table, marked as such
    server->filesPerPartialAnswer = 1;
    RunPollTicks(2);
    server->fileStatus = NERR_Success;
    RunPollTicks(2);
    AddFile(12, L"C:\\twelve");
    RunPollTicks(1);
    const std::string text = LogPageText();
    for (const char* path : {"ten", "eleven", "twelve"}) {
        EXPECT_NE(text.find(path), std::string::npos) << path;
        EXPECT_EQ(text.find(path), text.rfind(path)) << path << " once";
    }
}

TEST_F(ActivityPollerTest, FileOpenLineAndRecordTexts)
{
    AddFile(1, L"C:\\Shares\\Docs\\plan.txt", L"bob", PERM_FILE_READ | PERM_FILE_WRITE);
    AddFile(2, L"C:\\none", L"eve", 0);
    AddFile(3, L"C:\\all \"quoted\", here", L"carol", PERM_FILE_READ | PERM_FILE_WRITE | PERM_FILE_CREATE);
    appState.settings.savecsvlogs = 1;
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(),
              "[9:5:7] [bob][ReadWrite] C:\\Shares\\Docs\\plan.txt\r\n"
              "[9:5:7] [eve][] C:\\none\r\n"
              "[9:5:7] [carol][ReadWriteCreate] C:\\all \"quoted\", here\r\n");
    const std::string records =
        "\"9:5:7\", \"ReadWrite\", \"bob\", \"C:\\Shares\\Docs\\plan.txt\"\r\n"
        "\"9:5:7\", \"\", \"eve\", \"C:\\none\"\r\n"
        "\"9:5:7\", \"ReadWriteCreate\", \"carol\", \"C:\\all \"quoted\", here\"\r\n";
    EXPECT_EQ(RunCsvText(), records);
    EXPECT_EQ(CsvLog(), std::string(kCsvLogHeader) + records);
    EXPECT_EQ(TextLog(), LogPageText());
}

TEST_F(ActivityPollerTest, ALongPathIsCutAt1023CharactersAndStaysOneLine)
{
    RecordTrial("bad input", "a path of many thousands of characters",
                "the line is cut at 1,023 characters and still ends");
    AddFile(1, L"C:\\" + std::wstring(3000, L'p'));
    appState.settings.savecsvlogs = 1;
    RunPollTicks(1);
    const std::string text = TextLog();
    ASSERT_EQ(text.size(), 1023u + 2u);
    EXPECT_EQ(text.substr(1023), "\r\n");
    const std::string csv = CsvLog().substr(sizeof(kCsvLogHeader) - 1);
    EXPECT_EQ(csv.size(), 1023u + 2u);
    EXPECT_EQ(csv.find('\n'), csv.size() - 1);
}

TEST_F(ActivityPollerTest, SavefilesOffKeepsFileOpensOutOfTheLogsButNotOutOfTheNotifyWindow)
{
    appState.settings.savefiles = 0;
    appState.settings.savecsvlogs = 1;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(), "");
    EXPECT_EQ(RunCsvText(), "");
    EXPECT_FALSE(FileExists(std::string(appState.logFolder.data()) + "\\7.3.2026.csv"));
    EXPECT_EQ(NotifyLines(), 1);
    EXPECT_EQ(NotifyLine(0), "[9:5:7] [bob][ReadWrite] C:\\x");
    EXPECT_EQ(appState.unseenActivity, 1);
}

TEST_F(ActivityPollerTest, DisplayfilesOffKeepsFileOpensOutOfTheNotifyWindow)
{
    appState.settings.displayfiles = 0;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(NotifyLines(), 0);
    EXPECT_NE(LogPageText(), "");
}

TEST_F(ActivityPollerTest, SavelogsOffStillFillsTheLogPageButNoFileNorTheRunBuffer)
{
    appState.settings.savelogs = 0;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(), "[9:5:7] [bob][ReadWrite] C:\\x\r\n");
    EXPECT_EQ(RunCsvText(), "");
    EXPECT_FALSE(FileExists(std::string(appState.logFolder.data()) + "\\7.3.2026.log"));
    EXPECT_FALSE(FileExists(std::string(appState.logFolder.data()) + "\\7.3.2026.csv"));
}

TEST_F(ActivityPollerTest, SavecsvlogsOnWithSavelogsOffWritesOnlyTheDaysCsvLog)
{
    appState.settings.savelogs = 0;
    appState.settings.savecsvlogs = 1;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(RunCsvText(), "");
    EXPECT_EQ(CsvLog(), std::string(kCsvLogHeader) + "\"9:5:7\", \"ReadWrite\", \"bob\", \"C:\\x\"\r\n");
}

TEST_F(ActivityPollerTest, SoundForFileOpensOnlyWhenHiddenAndTheFilterSaysAnyFile)
{
    appState.settings.soundalert = 1;
    appState.settings.soundalertevents = 0;
    AddFile(1, L"C:\\x");
    appState.mainWindowShown = 1;
    RunPollTicks(1);
    EXPECT_FALSE(SoundSignalled()) << "no sound while the main window is shown";
    EXPECT_EQ(appState.unseenActivity, 1);
    EXPECT_EQ(NotifyLines(), 0) << "and no notify line";

    appState.mainWindowShown = 0;
    AddFile(2, L"C:\\y");
    RunPollTicks(1);
    EXPECT_TRUE(SoundSignalled());

    ResetEvent(appState.soundAlertEvent);
    appState.settings.soundalertevents = 1;
    AddFile(3, L"C:\\z");
    RunPollTicks(1);
    EXPECT_FALSE(SoundSignalled()) << "the drive-share filter ignores file opens";

    appState.settings.soundalert = 0;
    appState.settings.soundalertevents = 0;
    AddFile(4, L"C:\\w");
    RunPollTicks(1);
    EXPECT_FALSE(SoundSignalled());
}

TEST_F(ActivityPollerTest, ShareScanSoundsForDriveSharesOrHiddenSharesInUse)
{
    appState.settings.soundalert = 1;
    const auto soundsWith = [&](int events, std::vector<FakeShare> shares) {
        server->shares = std::move(shares);
        appState.settings.soundalertevents = events;
        ResetEvent(appState.soundAlertEvent);
        RunPollTicks(1);
        return SoundSignalled();
    };
    EXPECT_TRUE(soundsWith(1, {{L"C$", STYPE_SPECIAL, L"", 1}}));
    EXPECT_FALSE(soundsWith(1, {{L"ADMIN$", STYPE_SPECIAL, L"", 1}}));
    EXPECT_TRUE(soundsWith(2, {{L"ADMIN$", STYPE_SPECIAL, L"", 1}}));
    EXPECT_TRUE(soundsWith(2, {{L"C$", STYPE_SPECIAL, L"", 3}}));
    EXPECT_FALSE(soundsWith(2, {{L"IPC$", STYPE_IPC | STYPE_SPECIAL, L"", 9}}));
    EXPECT_FALSE(soundsWith(1, {{L"IPC$", STYPE_IPC, L"", 9}}));
    EXPECT_FALSE(soundsWith(2, {{L"C$", STYPE_SPECIAL, L"", 0}})) << "not in use";
    EXPECT_FALSE(soundsWith(2, {{L"Docs", STYPE_DISKTREE, L"", 5}})) << "not hidden";
    EXPECT_FALSE(soundsWith(1, {{L"D$X", STYPE_DISKTREE, L"", 5}}));
    EXPECT_FALSE(soundsWith(3, {{L"C$", STYPE_SPECIAL, L"", 1}})) << "an unknown filter sounds for nothing";
    EXPECT_FALSE(soundsWith(-1, {{L"C$", STYPE_SPECIAL, L"", 1}}));
    EXPECT_TRUE(soundsWith(1, {{L"ipc$", STYPE_DISKTREE, L"", 1}, {L"D$", STYPE_SPECIAL, L"", 1}}))
        << "only the exact name IPC$ is skipped";

    appState.mainWindowShown = 1;
    const int before = server->shareEnumCalls;
    EXPECT_FALSE(soundsWith(2, {{L"C$", STYPE_SPECIAL, L"", 1}}));
    EXPECT_EQ(server->shareEnumCalls, before) << "no share scan while the main window is shown";
}

TEST_F(ActivityPollerTest, NoShareScanUnlessTheSoundAlertNeedsIt)
{
    RunPollTicks(5);
    EXPECT_EQ(server->shareEnumCalls, 0);
    appState.settings.soundalert = 1;
    appState.settings.soundalertevents = 0;
    RunPollTicks(5);
    EXPECT_EQ(server->shareEnumCalls, 0);
    appState.settings.soundalertevents = 2;
    RunPollTicks(5);
    EXPECT_EQ(server->shareEnumCalls, 5);
}

// Connections

namespace {

class ConnectionTest : public ActivityPollerTest {
protected:
    // A session that began `agoMs` before the current fake time (so a session that
    // connects between two scans has 0).
    void Connect(const std::wstring& client, const std::wstring& user, ULONGLONG agoMs = 0, DWORD flags = 0)
    {
        if (agoMs == 0)
            clock->AdvanceMilliseconds(10);  // strictly after the scan that just ran
        server->sessions.push_back({client, user, 0, 0, 0, flags});
        began.push_back(clock->milliseconds - agoMs);
    }
    // The server's connection times follow the clock, truncated to whole seconds.
    void AgeSessions()
    {
        for (std::size_t i = 0; i < server->sessions.size(); ++i)
            server->sessions[i].seconds = static_cast<DWORD>((clock->milliseconds - began[i]) / 1000);
    }
    // Moves the clock to the next once-a-second tick, `lateMs` late.
    void SecondTick(LONGLONG lateMs = 0)
    {
        for (int i = 0; i < 4; ++i)
            RunPollTicks(1);
        clock->AdvanceMilliseconds(static_cast<ULONGLONG>(200 + lateMs));
        AgeSessions();
        OnPollTick();
    }
    void Disconnect(const std::wstring& client)
    {
        for (std::size_t i = 0; i < server->sessions.size(); ++i)
            if (server->sessions[i].client == client) {
                server->sessions.erase(server->sessions.begin() + static_cast<std::ptrdiff_t>(i));
                began.erase(began.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
    }
    int Count(const std::string& text, const std::string& what) const
    {
        int found = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++found;
        return found;
    }

    std::vector<ULONGLONG> began;
};

}  // namespace

TEST_F(ConnectionTest, ConnectionLineRecordAndNotifyLine)
{
    appState.settings.savecsvlogs = 1;
    SecondTick();
    Connect(L"PC17", L"bob");
    SecondTick();
    EXPECT_EQ(LogPageText(), "[9:5:9] User bob connected from PC17\r\n");
    EXPECT_EQ(RunCsvText(), "\"9:5:9\", \"CONNECT\", \"bob\", \"PC17\"\r\n");
    EXPECT_EQ(CsvLog(), std::string(kCsvLogHeader) + RunCsvText());
    EXPECT_EQ(TextLog(), LogPageText());
    ASSERT_EQ(NotifyLines(), 1);
    EXPECT_EQ(NotifyLine(0), "[9:5:9] User bob connected from PC17");
    EXPECT_EQ(appState.unseenActivity, 1);
}

TEST_F(ConnectionTest, GuestsAreNamedGuestByEmptyNameOrByFlag)
{
    SecondTick();
    Connect(L"KIOSK", L"");
    Connect(L"LAPTOP", L"visitor", 0, SESS_GUEST);
    SecondTick();
    EXPECT_EQ(LogPageText(),
              "[9:5:9] User Guest connected from KIOSK\r\n"
              "[9:5:9] User Guest connected from LAPTOP\r\n");
    EXPECT_EQ(RunCsvText(),
              "\"9:5:9\", \"CONNECT\", \"Guest\", \"KIOSK\"\r\n"
              "\"9:5:9\", \"CONNECT\", \"Guest\", \"LAPTOP\"\r\n");
}

TEST_F(ConnectionTest, SavesessOffStillWritesTheRecord)
{
    appState.settings.savesess = 0;
    appState.settings.savecsvlogs = 1;
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    EXPECT_EQ(LogPageText(), "");
    EXPECT_EQ(RunCsvText(), "\"9:5:9\", \"CONNECT\", \"ann\", \"PC1\"\r\n");
    EXPECT_EQ(CsvLog(), std::string(kCsvLogHeader) + RunCsvText());
    EXPECT_EQ(NotifyLines(), 1);
}

TEST_F(ConnectionTest, DisplaysessOffKeepsConnectionsOutOfTheNotifyWindow)
{
    appState.settings.displaysess = 0;
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    EXPECT_EQ(NotifyLines(), 0);
    EXPECT_NE(LogPageText(), "");
}

TEST_F(ConnectionTest, SessionsOpenAtStartUpAreNotReported)
{
    Connect(L"OLD1", L"ann", 5000);
    Connect(L"OLD2", L"ben", 200);  // a second old at the first scan, which is on time
    StartActivityPoller();
    SecondTick();
    SecondTick(700);
    SecondTick();
    EXPECT_EQ(LogPageText(), "");
}

TEST_F(ConnectionTest, ASessionThatBeganAfterStartUpIsReportedAtTheFirstScan)
{
    clock->AdvanceMilliseconds(100);
    Connect(L"NEW", L"ann");
    SecondTick(600);  // late: the session is already a second old
    EXPECT_EQ(Count(LogPageText(), "connected from NEW"), 1);
}

TEST_F(ConnectionTest, EachNewSessionIsReportedExactlyOnceAcrossManyScans)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    for (int i = 0; i < 10; ++i)
        SecondTick(i % 3 == 0 ? 900 : 0);
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
}

TEST_F(ConnectionTest, AScanThatComesLateStillReportsTheConnection)
{
    SecondTick();
    Connect(L"PC1", L"ann", 0);
    SecondTick(1800);  // the session is already 2 seconds old at this scan
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);

    Connect(L"PC2", L"ben", 0);
    SecondTick(4000);
    EXPECT_EQ(Count(LogPageText(), "connected from PC2"), 1);
}

TEST_F(ConnectionTest, ASessionSeenAtZeroAndThenAtTwoSecondsIsReportedOnce)
{
    SecondTick();
    clock->AdvanceMilliseconds(800);
    Connect(L"PC1", L"ann");
    SecondTick(-800);
    EXPECT_EQ(server->sessions[0].seconds, 0u);
    SecondTick(1000);
    EXPECT_EQ(server->sessions[0].seconds, 2u);
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
}

TEST_F(ConnectionTest, AReconnectAfterLeavingIsReportedAgain)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    Disconnect(L"PC1");
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
}

TEST_F(ConnectionTest, TwoUsersFromOneComputerAreTwoConnections)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    Connect(L"PC1", L"ben");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
}

TEST_F(ConnectionTest, AFailedScanLosesNoConnection)
{
    RecordTrial("faults", "the session enumeration failing for two seconds while a computer connects",
                "the connection is reported once at the first scan that answers");
    SecondTick();
    server->sessionStatus = ERROR_ACCESS_DENIED;
    Connect(L"PC1", L"ann");
    SecondTick();
    SecondTick();
    EXPECT_EQ(LogPageText(), "");
    server->sessionStatus = NERR_Success;
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
}

TEST_F(ConnectionTest, PartialAnswersLoseNoConnectionAndReportNoneTwice)
{
    RecordTrial("faults", "the session enumeration answering ERROR_MORE_DATA with only its first record for "
                          "three seconds while computers connect",
                "the connection in the part is reported at once, the ones left out when the whole answer "
                "comes back; each exactly once");
    SecondTick();
    server->sessionStatus = ERROR_MORE_DATA;
    server->sessionsPerPartialAnswer = 1;
    Connect(L"PC0", L"ann");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC0"), 1);
    Connect(L"PC1", L"ben");
    SecondTick();
    Connect(L"PC2", L"cat");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 0) << "not in the part";
    server->sessionStatus = NERR_Success;
    SecondTick();
    SecondTick();
    for (const char* pc : {"PC0", "PC1", "PC2"})
        EXPECT_EQ(Count(LogPageText(), std::string("connected from ") + pc), 1) << pc;
}

TEST_F(ConnectionTest, SessionsAreScannedOnceASecondOnly)
{
    RunPollTicks(4);
    EXPECT_EQ(server->sessionEnumCalls, 0);
    RunPollTicks(1);
    EXPECT_EQ(server->sessionEnumCalls, 1);
    RunPollTicks(10);
    EXPECT_EQ(server->sessionEnumCalls, 3);
    EXPECT_EQ(server->CallsStartingWith(L"NetSessionEnum 1").size(), 3u);
}

TEST_F(ConnectionTest, ConnectionEventsComeBeforeTheTicksFileOpens)
{
    SecondTick();
    RunPollTicks(4);
    Connect(L"PC1", L"ann");
    AddFile(1, L"C:\\x", L"ann");
    clock->AdvanceMilliseconds(200);
    AgeSessions();
    OnPollTick();
    const std::string text = LogPageText();
    ASSERT_NE(text.find("C:\\x"), std::string::npos);
    EXPECT_LT(text.find("connected"), text.find("C:\\x"));
}

TEST(ActivityPollerMissingServer, AMissingEnumerationIsNeverCalledAndReportsNothing)
{
    // The platform's own table, with the enumerations never bound.
    InstallServerApi(nullptr);
    Enumeration<SESSION_INFO_1> sessions;
    EnumerateSessions1(&sessions);
    EXPECT_EQ(sessions.status, static_cast<NET_API_STATUS>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(sessions.Records().size(), 0u);
    Enumeration<FILE_INFO_3> files;
    EnumerateOpenFiles(&files);
    EXPECT_EQ(files.Records().size(), 0u);
    Enumeration<SHARE_INFO_502> shares;
    EnumerateShares(&shares);
    EXPECT_EQ(shares.Records().size(), 0u);
}

TEST_F(ActivityPollerTest, AFailedEnumerationCountsAsNoRecords)
{
    AddFile(5, L"C:\\x");
    server->fileStatus = ERROR_NOT_SUPPORTED;
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(), "");
    EXPECT_EQ(appState.highestReportedFileId, 0u);
    server->fileStatus = ERROR_MORE_DATA;  // a partial answer still carries its records
    RunPollTicks(1);
    EXPECT_EQ(appState.highestReportedFileId, 5u);
}

TEST_F(ActivityPollerTest, NullStringsFromTheServerReadAsEmpty)
{
    FILE_INFO_3 file{};
    file.fi3_id = 9;
    file.fi3_permissions = PERM_FILE_READ;
    const SESSION_INFO_1 session{};
    const PollTime time = TakePollTime();
    AddFileOpenEvent(LocalWatch(), file, time);
    AddConnectionEvent(LocalWatch(), session, time);
    DeliverActivity(LocalWatch());
    EXPECT_EQ(LogPageText(), "[9:5:7] [][Read] \r\n[9:5:7] User Guest connected from \r\n");
    EXPECT_EQ(TextLog(), LogPageText());
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Read\", \"\", \"\"\r\n\"9:5:7\", \"CONNECT\", \"Guest\", \"\"\r\n");
}

TEST_F(ConnectionTest, AReconnectBetweenTwoScansIsASecondConnection)
{
    // Scans a second apart; the pair leaves and comes back between two of them.
    SecondTick();
    Connect(L"PC1", L"ann");
    for (int i = 0; i < 5; ++i)
        SecondTick();
    clock->AdvanceMilliseconds(450);
    Disconnect(L"PC1");
    clock->AdvanceMilliseconds(150);
    Connect(L"PC1", L"ann");
    SecondTick(-610);
    EXPECT_EQ(server->sessions[0].seconds, 0u);
    SecondTick();
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "User ann connected from PC1"), 2);
}

TEST_F(ConnectionTest, ASecondSessionOfTheSamePairIsReportedWhileTheFirstStays)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    for (int i = 0; i < 4; ++i)
        SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
    Disconnect(L"PC1");  // the older one leaves: the newer is not reported again
    SecondTick();
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
}

TEST_F(ConnectionTest, ABusyServerReportsEachNewConnectionOnceAndNoneTwicePastTheMemory)
{
    RecordTrial("load", "16,400 and then 70,000 sessions on the server while new computers connect",
                "each new connection within the memory's 65,536 sessions is reported once; past it none "
                "is reported twice");
    auto addSessions = [this](std::size_t from, std::size_t count, ULONGLONG agoMs) {
        for (std::size_t i = from; i < from + count; ++i)
            Connect(L"WS" + std::to_wstring(i), L"user", agoMs);
    };
    // Scans a little over a second apart, as a busy machine's timer gives them.
    addSessions(0, 16400, 60000);
    SecondTick(50);
    Connect(L"NEW1", L"ann");
    Connect(L"NEW2", L"ben");
    SecondTick(-150);  // a new session is under a second old at one scan and just over at the next
    for (int i = 0; i < 3; ++i)
        SecondTick(50);
    EXPECT_EQ(Count(LogPageText(), "connected from NEW"), 2);
    EXPECT_EQ(Count(LogPageText(), "connected from WS"), 0);

    addSessions(16400, 70000 - 16400, 60000);
    SecondTick(50);
    for (int i = 0; i < 300; ++i)
        Connect(L"LATE" + std::to_wstring(i), L"cat");
    SecondTick(-150);
    for (int i = 0; i < 3; ++i)
        SecondTick(50);
    const std::string text = LogPageText();
    for (int i = 0; i < 300; ++i)
        EXPECT_LE(Count(text, "connected from LATE" + std::to_string(i) + "\r"), 1) << i;
    EXPECT_EQ(Count(text, "connected from WS"), 0);
}
