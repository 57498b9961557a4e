#include <windows.h>

#include <string>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "engine/watch/delivery.h"
#include "windows/log_page.h"
#include "resources/resource.h"
#include "engine/watch/watches.h"
#include "engine/watch/log_text.h"
#include "support/test_support.h"
#include "windows/main_window.h"

namespace {

// Lines for the Log page as delivery hands them over, the page catching up after.
void AppendToLogPage(const char* text)
{
    AppendLogText(engineState.logText, text);
    SyncLogPageView();
}

class LogPageTest : public MainWindowTest {
protected:
    HWND Edit() const { return windowState.logPageEdit; }
    HWND Page() const { return windowState.pages[LogPageIndex]; }
    // What the control shows once the page is in sight.
    std::string PageText() const
    {
        SyncLogPage();
        std::string text(static_cast<std::size_t>(GetWindowTextLengthA(Edit())) + 1, '\0');
        const int read = GetWindowTextA(Edit(), text.data(), static_cast<int>(text.size()));
        text.resize(static_cast<std::size_t>(read));
        return text;
    }
};

}  // namespace

TEST_F(LogPageTest, ThePollersLinesLandInThePageAndTheDaysLog)
{
    ASSERT_EQ(Edit(), GetDlgItem(Page(), IDC_LOG_EDIT));
    server->files.push_back({5, PERM_FILE_READ, 0, L"C:\\a.txt", L"bob"});
    RunPollTicks(1);
    EXPECT_EQ(PageText(), "[9:5:7] [bob][Read] C:\\a.txt\r\n");
}

TEST_F(LogPageTest, ClearEmptiesThePageAndTheRunsRecordsButNotTheLogFiles)
{
    server->files.push_back({5, PERM_FILE_READ, 0, L"C:\\a", L"bob"});
    RunPollTicks(1);
    ASSERT_EQ(RunCsvText(), "\"9:5:7\", \"Read\", \"bob\", \"C:\\a\"\r\n");
    SendMessageA(Page(), WM_COMMAND, IDC_CLEAR_LOG, 0);
    EXPECT_EQ(PageText(), "");
    EXPECT_EQ(RunCsvText(), "");
    ASSERT_TRUE(WriteLogExport(ExportKind::Csv, (folder + "after-clear.csv").c_str()));
    EXPECT_EQ(ReadWholeFile(folder + "after-clear.csv"), "") << "Clear then Export to CSV writes an empty file";
    EXPECT_EQ(ReadWholeFile(std::string(engineState.logFolder.data()) + "7.3.2026.log"), "[9:5:7] [bob][Read] C:\\a\r\n");
}

TEST_F(LogPageTest, ExportToCsvWritesExactlyTheRunsRecords)
{
    std::wstring computer = L"PC1", user = L"ann", path = L"C:\\x, \"y\"";
    const PollTime time = TakePollTime();
    AddConnectionEvent(LocalWatch(), SESSION_INFO_1{computer.data(), user.data(), 1, 0, 0, 0}, time);
    AddFileOpenEvent(LocalWatch(), FILE_INFO_3{7, PERM_FILE_READ, 0, path.data(), user.data()}, time);
    DeliverActivity(LocalWatch());
    ASSERT_TRUE(WriteLogExport(ExportKind::Csv, (folder + "run.csv").c_str()));
    EXPECT_EQ(ReadWholeFile(folder + "run.csv"), "\"9:5:7\", \"CONNECT\", \"ann\", \"PC1\"\r\n"
                                                 "\"9:5:7\", \"Read\", \"ann\", \"C:\\x, \"y\"\"\r\n");
    EXPECT_EQ(ReadWholeFile(folder + "run.csv"), RunCsvText());
}

TEST_F(LogPageTest, APageOfWellOver65535CharactersStillAppendsAtTheEndAndExportsWhole)
{
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        const std::wstring path = L"C:\\Shares\\folder\\file number " + std::to_wstring(i);
        server->files.push_back({static_cast<DWORD>(i + 1), PERM_FILE_READ, 0, path, L"user"});
        expected += "[9:5:7] [user][Read] C:\\Shares\\folder\\file number " + std::to_string(i) + "\r\n";
    }
    RunPollTicks(1);
    ASSERT_GT(expected.size(), 150000u);
    // A selection the user left somewhere does not move where lines go.
    ShowPage(LogPageIndex);
    SendMessageA(Edit(), EM_SETSEL, 10, 20);
    server->files.push_back({5000, PERM_FILE_READ, 0, L"last line", L"user"});
    RunPollTicks(1);
    expected += "[9:5:7] [user][Read] last line\r\n";
    EXPECT_EQ(PageText(), expected);
    ASSERT_TRUE(WriteLogExport(ExportKind::Text, (folder + "page.log").c_str()));
    EXPECT_EQ(ReadWholeFile(folder + "page.log"), expected);
}

TEST_F(LogPageTest, WhenThePageIsFullTheOldestLinesGoFirst)
{
    const std::string line(99, 'x');
    for (int i = 0; i < static_cast<int>(kLogTextCapacity) / 100 + 500; ++i)
        AppendToLogPage((line + (i % 2 ? "\n" : "\n")).c_str());
    AppendToLogPage("newest\r\n");
    const std::string text = PageText();
    EXPECT_LE(text.size(), static_cast<std::size_t>(static_cast<int>(kLogTextCapacity)));
    EXPECT_GT(text.size(), static_cast<std::size_t>(static_cast<int>(kLogTextCapacity) / 2));
    EXPECT_EQ(text.substr(text.size() - 8), "newest\r\n");
    EXPECT_EQ(text.substr(0, 99), line) << "whole lines are dropped";
}

TEST_F(LogPageTest, TheLayoutPutsOpenFolderAtTheRightThenExportThenClear)
{
    SetWindowPos(window, nullptr, 0, 0, 950, 640, SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    GetClientRect(Page(), &client);
    const auto rect = [&](int id) { return RectInPage(Page(), id); };
    EXPECT_EQ(rect(IDC_OPEN_FOLDER).right, client.right);
    EXPECT_EQ(rect(IDC_EXPORT_LOG).right, rect(IDC_OPEN_FOLDER).left - 5);
    EXPECT_EQ(rect(IDC_CLEAR_LOG).right, rect(IDC_EXPORT_LOG).left - 5);
    EXPECT_EQ(rect(IDC_LOG_EDIT).right, client.right);
    EXPECT_EQ(rect(IDC_LOG_EDIT).bottom, client.bottom);
}

TEST_F(LogPageTest, OutOfSightTheControlIsLeftAloneAndTheFirstSightBringsEveryLine)
{
    const auto WindowText = [](HWND edit) {
        std::string text(static_cast<std::size_t>(GetWindowTextLengthA(edit)) + 1, '\0');
        text.resize(static_cast<std::size_t>(GetWindowTextA(edit, text.data(), static_cast<int>(text.size()))));
        return text;
    };
    AppendToLogPage("[1:1:1] first\r\n");
    AppendToLogPage("[1:1:2] second\r\n");
    EXPECT_EQ(GetWindowTextLengthA(Edit()), 0) << "the Monitoring page is in front";
    ShowPage(LogPageIndex);
    EXPECT_EQ(WindowText(Edit()), "[1:1:1] first\r\n[1:1:2] second\r\n");
    AppendToLogPage("[1:1:3] third\r\n");
    EXPECT_EQ(WindowText(Edit()), "[1:1:1] first\r\n[1:1:2] second\r\n[1:1:3] third\r\n") << "in sight: at once";
    ShowWindow(window, SW_HIDE);
    AppendToLogPage("[1:1:4] fourth\r\n");
    EXPECT_EQ(GetWindowTextLengthA(Edit()), 46);
    ShowWindow(window, SW_SHOW);
    EXPECT_EQ(WindowText(Edit()).substr(46), "[1:1:4] fourth\r\n") << "shown again on the Log page";
}
