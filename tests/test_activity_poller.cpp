#include <windows.h>
#include <commctrl.h>

#include <string>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/text.h"
#include "engine/watch/detection.h"
#include "engine/watch/poll.h"
#include "engine/watch/day_logs.h"
#include "core/server_api.h"
#include "engine/watch/delivery.h"
#include "engine/watch/watches.h"
#include "windows/engine_rounds.h"
#include "windows/log_page.h"
#include "engine/watch/log_text.h"
#include "support/session_script.h"
#include "support/test_support.h"

namespace {

class ActivityPollerTest : public QuorvelTest {
protected:
    static void PollTicks(int count) { RunPollTicks(count); }
    static void PollNow() { OnPollTick(); }
    void SetUp() override
    {
        QuorvelTest::SetUp();
        // A Log page edit box and a notify list to watch where the lines land.
        logEdit = CreateWindowExA(0, "EDIT", "", ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        SendMessageA(logEdit, EM_SETLIMITTEXT, 0, 0);
        notifyList = CreateWindowExA(0, WC_LISTVIEWA, "", LVS_LIST, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                                     nullptr);
        notifyWindow = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        windowState.logPageEdit = logEdit;
        windowState.notifyList = notifyList;
        windowState.notifyWindow = notifyWindow;
        windowState.soundAlertEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
    bool SoundSignalled() const { return WaitForSingleObject(windowState.soundAlertEvent, 0) == WAIT_OBJECT_0; }
    std::string TextLog() const { return ReadWholeFile(std::string(engineState.logFolder.data()) + "\\7.3.2026.log"); }
    std::string CsvLog() const { return ReadWholeFile(std::string(engineState.logFolder.data()) + "\\7.3.2026.csv"); }

    void AddFile(DWORD id, const std::wstring& path, const std::wstring& user = L"bob", DWORD permissions = 3)
    {
        server->files.push_back({id, permissions, 0, path, user});
    }

    HWND logEdit = nullptr;
    HWND notifyList = nullptr;
    HWND notifyWindow = nullptr;
};

}  // namespace

TEST_F(ActivityPollerTest, FileOpenLineAndRecordTexts)
{
    AddFile(1, L"C:\\Shares\\Docs\\plan.txt", L"bob", PERM_FILE_READ | PERM_FILE_WRITE);
    AddFile(2, L"C:\\none", L"eve", 0);
    AddFile(3, L"C:\\all \"quoted\", here", L"carol", PERM_FILE_READ | PERM_FILE_WRITE | PERM_FILE_CREATE);
    engineState.settings.savecsvlogs = 1;
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
    engineState.settings.savecsvlogs = 1;
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
    engineState.settings.savefiles = 0;
    engineState.settings.savecsvlogs = 1;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(), "");
    EXPECT_EQ(RunCsvText(), "");
    EXPECT_FALSE(FileExists(std::string(engineState.logFolder.data()) + "\\7.3.2026.csv"));
    EXPECT_EQ(NotifyLines(), 1);
    EXPECT_EQ(NotifyLine(0), "[9:5:7] [bob][ReadWrite] C:\\x");
    EXPECT_EQ(windowState.unseenActivity, 1);
}

TEST_F(ActivityPollerTest, DisplayfilesOffKeepsFileOpensOutOfTheNotifyWindow)
{
    engineState.settings.displayfiles = 0;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(NotifyLines(), 0);
    EXPECT_NE(LogPageText(), "");
}

TEST_F(ActivityPollerTest, SavelogsOffStillFillsTheLogPageButNoFileNorTheRunBuffer)
{
    engineState.settings.savelogs = 0;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(), "[9:5:7] [bob][ReadWrite] C:\\x\r\n");
    EXPECT_EQ(RunCsvText(), "");
    EXPECT_FALSE(FileExists(std::string(engineState.logFolder.data()) + "\\7.3.2026.log"));
    EXPECT_FALSE(FileExists(std::string(engineState.logFolder.data()) + "\\7.3.2026.csv"));
}

TEST_F(ActivityPollerTest, SavecsvlogsOnWithSavelogsOffWritesOnlyTheDaysCsvLog)
{
    engineState.settings.savelogs = 0;
    engineState.settings.savecsvlogs = 1;
    AddFile(1, L"C:\\x");
    RunPollTicks(1);
    EXPECT_EQ(RunCsvText(), "");
    EXPECT_EQ(CsvLog(), std::string(kCsvLogHeader) + "\"9:5:7\", \"ReadWrite\", \"bob\", \"C:\\x\"\r\n");
}

TEST_F(ActivityPollerTest, SoundForFileOpensOnlyWhenHiddenAndTheFilterSaysAnyFile)
{
    engineState.settings.soundalert = 1;
    engineState.settings.soundalertevents = 0;
    AddFile(1, L"C:\\x");
    windowState.mainWindowShown = 1;
    RunPollTicks(1);
    EXPECT_FALSE(SoundSignalled()) << "no sound while the main window is shown";
    EXPECT_EQ(windowState.unseenActivity, 1);
    EXPECT_EQ(NotifyLines(), 0) << "and no notify line";

    windowState.mainWindowShown = 0;
    AddFile(2, L"C:\\y");
    RunPollTicks(1);
    EXPECT_TRUE(SoundSignalled());

    ResetEvent(windowState.soundAlertEvent);
    engineState.settings.soundalertevents = 1;
    AddFile(3, L"C:\\z");
    RunPollTicks(1);
    EXPECT_FALSE(SoundSignalled()) << "the drive-share filter ignores file opens";

    engineState.settings.soundalert = 0;
    engineState.settings.soundalertevents = 0;
    AddFile(4, L"C:\\w");
    RunPollTicks(1);
    EXPECT_FALSE(SoundSignalled());
}

TEST_F(ActivityPollerTest, ShareScanSoundsForDriveSharesOrHiddenSharesInUse)
{
    engineState.settings.soundalert = 1;
    const auto soundsWith = [&](int events, std::vector<FakeShare> shares) {
        server->shares = std::move(shares);
        engineState.settings.soundalertevents = events;
        ResetEvent(windowState.soundAlertEvent);
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

    windowState.mainWindowShown = 1;
    const int before = server->shareEnumCalls;
    EXPECT_FALSE(soundsWith(2, {{L"C$", STYPE_SPECIAL, L"", 1}}));
    EXPECT_EQ(server->shareEnumCalls, before) << "no share scan while the main window is shown";
}

TEST_F(ActivityPollerTest, NoShareScanUnlessTheSoundAlertNeedsIt)
{
    RunPollTicks(5);
    EXPECT_EQ(server->shareEnumCalls, 0);
    engineState.settings.soundalert = 1;
    engineState.settings.soundalertevents = 0;
    RunPollTicks(5);
    EXPECT_EQ(server->shareEnumCalls, 0);
    engineState.settings.soundalertevents = 2;
    RunPollTicks(5);
    EXPECT_EQ(server->shareEnumCalls, 5);
}

// Connections


namespace {

using ConnectionTest = SessionScript<ActivityPollerTest>;

}  // namespace

TEST_F(ConnectionTest, ConnectionLineRecordAndNotifyLine)
{
    engineState.settings.savecsvlogs = 1;
    SecondTick();
    Connect(L"PC17", L"bob");
    SecondTick();
    EXPECT_EQ(LogPageText(), "[9:5:9] User bob connected from PC17\r\n");
    EXPECT_EQ(RunCsvText(), "\"9:5:9\", \"CONNECT\", \"bob\", \"PC17\"\r\n");
    EXPECT_EQ(CsvLog(), std::string(kCsvLogHeader) + RunCsvText());
    EXPECT_EQ(TextLog(), LogPageText());
    ASSERT_EQ(NotifyLines(), 1);
    EXPECT_EQ(NotifyLine(0), "[9:5:9] User bob connected from PC17");
    EXPECT_EQ(windowState.unseenActivity, 1);
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
    engineState.settings.savesess = 0;
    engineState.settings.savecsvlogs = 1;
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
    engineState.settings.displaysess = 0;
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    EXPECT_EQ(NotifyLines(), 0);
    EXPECT_NE(LogPageText(), "");
}

TEST_F(ActivityPollerTest, AFailedEnumerationCountsAsNoRecords)
{
    AddFile(5, L"C:\\x");
    server->fileStatus = ERROR_NOT_SUPPORTED;
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(), "");
    EXPECT_EQ(engineState.local.files.highestReported, 0u);
    server->fileStatus = ERROR_MORE_DATA;  // a partial answer still carries its records
    RunPollTicks(1);
    EXPECT_EQ(engineState.local.files.highestReported, 5u);
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
    AfterEngineStep();
    EXPECT_EQ(LogPageText(), "[9:5:7] [][Read] \r\n[9:5:7] User Guest connected from \r\n");
    EXPECT_EQ(TextLog(), LogPageText());
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Read\", \"\", \"\"\r\n\"9:5:7\", \"CONNECT\", \"Guest\", \"\"\r\n");
}
