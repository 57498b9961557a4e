#include <string>

#include "core/app_state.h"
#include "core/text.h"
#include "monitor/event_log.h"
#include "support/test_support.h"

namespace {

class EventLogTest : public QuorvelTest {
protected:
    std::string LogPath(const char* day, const char* extension) const
    {
        return std::string(appState.logFolder.data()) + "\\" + day + "." + extension;
    }
};

}  // namespace

TEST_F(EventLogTest, DailyFileNamesHaveNoLeadingZerosAndTwoBackslashesBeforeTheName)
{
    std::array<char, 600> path{};
    SYSTEMTIME day{};
    day.wDay = 7;
    day.wMonth = 3;
    day.wYear = 2026;
    FormatLogPath(path, day, "log");
    EXPECT_EQ(std::string(path.data()), std::string(appState.logFolder.data()) + "\\7.3.2026.log");
    EXPECT_NE(std::string(path.data()).find("quorvel_logs\\\\7.3.2026.log"), std::string::npos);
}

TEST_F(EventLogTest, TheTextLogGetsTheTextWithoutATerminatorAndNoHeader)
{
    AppendActivityText("[9:5:7] one");
    AppendActivityText("\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "[9:5:7] one\r\n");
}

TEST_F(EventLogTest, TheDayChangeOpensTheNextDaysFiles)
{
    appState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 31, 23, 59, 59);
    AppendActivityText("before midnight\r\n");
    WriteCsvRecord("CONNECT", L"ann", L"PC1");
    clock->AdvanceMilliseconds(1000);
    AppendActivityText("after midnight\r\n");
    WriteCsvRecord("CONNECT", L"ben", L"PC2");
    EXPECT_EQ(ReadWholeFile(LogPath("31.3.2026", "log")), "before midnight\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("1.4.2026", "log")), "after midnight\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("31.3.2026", "csv")),
              std::string(kCsvLogHeader) + "\"23:59:59\", \"CONNECT\", \"ann\", \"PC1\"\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("1.4.2026", "csv")),
              std::string(kCsvLogHeader) + "\"0:0:0\", \"CONNECT\", \"ben\", \"PC2\"\r\n");
}

TEST_F(EventLogTest, TheYearEndChangesDayLikeAnyOther)
{
    clock->Set(2026, 12, 31, 23, 59, 59);
    AppendActivityText("old year\r\n");
    clock->AdvanceMilliseconds(1000);
    AppendActivityText("new year\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("31.12.2026", "log")), "old year\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("1.1.2027", "log")), "new year\r\n");
}

TEST_F(EventLogTest, OnlyTheDayOfTheMonthIsCompared)
{
    clock->Set(2026, 3, 7, 12, 0, 0);
    AppendActivityText("march\r\n");
    clock->Set(2026, 4, 7, 12, 0, 0);  // a month later to the day, without a write in between
    AppendActivityText("april\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "march\r\napril\r\n");
    EXPECT_FALSE(FileExists(LogPath("7.4.2026", "log")));
}

TEST_F(EventLogTest, ReopeningANonEmptyCsvLogAddsNoSecondHeader)
{
    OpenCsvLog();
    appState.settings.savecsvlogs = 1;
    WriteCsvRecord("Read", L"ann", L"C:\\a");
    CloseHandle(appState.csvLogFile);
    appState.csvLogFile = nullptr;
    OpenCsvLog();  // a restart on the same day
    appState.csvLogDay = clock->now;
    WriteCsvRecord("Write", L"ann", L"C:\\b");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "csv")), std::string(kCsvLogHeader) +
                                                             "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n"
                                                             "\"9:5:7\", \"Write\", \"ann\", \"C:\\b\"\r\n");
}

TEST_F(EventLogTest, ATextLogThatCannotBeOpenedLosesTheTextQuietly)
{
    FormatText(appState.logFolder, "%s", "Q:\\no\\such\\folder\\");
    AppendActivityText("lost\r\n");
    EXPECT_EQ(appState.textLogFile, nullptr);
    appState.settings.savecsvlogs = 1;
    WriteCsvRecord("Read", L"ann", L"C:\\a");
    EXPECT_EQ(appState.csvLogFile, nullptr);
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n") << "the run's copy keeps it";
}

TEST_F(EventLogTest, ARecordThatNoLongerFitsTheRunBufferIsLeftOutWhileTheCsvLogGetsIt)
{
    appState.settings.savecsvlogs = 1;
    const std::string record = "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"";
    // Fill the buffer so that exactly one more record and its line end fit.
    const std::size_t room = kRunCsvBufferSize - 1 - (record.size() + 2);
    memset(appState.RunCsvBuffer, 'x', room);
    appState.RunCsvBuffer[room] = '\0';
    appState.runCsvLength = room;

    WriteCsvRecord("Read", L"ann", L"C:\\a");
    EXPECT_EQ(appState.runCsvLength, kRunCsvBufferSize - 1);
    EXPECT_EQ(appState.RunCsvBuffer[kRunCsvBufferSize - 1], '\0');
    EXPECT_EQ(std::string(appState.RunCsvBuffer + room), record + "\r\n");

    WriteCsvRecord("Write", L"ann", L"C:\\b");
    EXPECT_EQ(appState.runCsvLength, kRunCsvBufferSize - 1) << "full: the record is not written";
    EXPECT_EQ(appState.RunCsvBuffer[kRunCsvBufferSize - 1], '\0');
    const std::string log = ReadWholeFile(LogPath("7.3.2026", "csv"));
    EXPECT_NE(log.find("\"Write\", \"ann\", \"C:\\b\""), std::string::npos) << "the day's CSV log still gets it";

    ClearRunCsvBuffer();
    WriteCsvRecord("Write", L"ann", L"C:\\b");
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Write\", \"ann\", \"C:\\b\"\r\n");
}

TEST_F(EventLogTest, TurningTheLogsOnLaterOpensTheDaysFileAtTheNextEvent)
{
    appState.settings.savelogs = 0;
    AppendActivityText("not kept\r\n");
    appState.settings.savelogs = 1;
    AppendActivityText("kept\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "kept\r\n");
}
