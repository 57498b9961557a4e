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
    RecordTrial("faults", "the day changing at a month end while the program runs, text and CSV logs",
                "each line lands in its own day's file; the new CSV log gets its header");
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
    RecordTrial("faults", "the day changing at a year end while the program runs",
                "the first line of the new year opens 1.1.YYYY; nothing of the old year moves");
    clock->Set(2026, 12, 31, 23, 59, 59);
    AppendActivityText("old year\r\n");
    clock->AdvanceMilliseconds(1000);
    AppendActivityText("new year\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("31.12.2026", "log")), "old year\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("1.1.2027", "log")), "new year\r\n");
}

TEST_F(EventLogTest, AMonthOrAYearLaterToTheDayIsANewDayToo)
{
    RecordTrial("faults", "the next write coming a month, then a year later on the same day of the month",
                "a new file for the new date each time, not the old day's file");
    appState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 7, 12, 0, 0);
    AppendActivityText("march\r\n");
    clock->Set(2026, 4, 7, 12, 0, 0);  // a month later to the day, without a write in between
    AppendActivityText("april\r\n");
    WriteCsvRecord("Read", L"ann", L"C:\\a");
    clock->Set(2027, 4, 7, 12, 0, 0);
    AppendActivityText("a year on\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "march\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.4.2026", "log")), "april\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.4.2027", "log")), "a year on\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.4.2026", "csv")),
              std::string(kCsvLogHeader) + "\"12:0:0\", \"Read\", \"ann\", \"C:\\a\"\r\n");
}

TEST_F(EventLogTest, ReopeningANonEmptyCsvLogAddsNoSecondHeader)
{
    OpenCsvLog();
    appState.settings.savecsvlogs = 1;
    WriteCsvRecord("Read", L"ann", L"C:\\a");
    CloseHandle(appState.logs.csvFile);
    appState.logs.csvFile = nullptr;
    OpenCsvLog();  // a restart on the same day
    appState.logs.csvDay = clock->now;
    WriteCsvRecord("Write", L"ann", L"C:\\b");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "csv")), std::string(kCsvLogHeader) +
                                                             "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n"
                                                             "\"9:5:7\", \"Write\", \"ann\", \"C:\\b\"\r\n");
}

TEST_F(EventLogTest, ALogFolderThatCannotBeWrittenKeepsTheTextUntilItCan)
{
    RecordTrial("faults", "the log folder gone and replaced by a file, so that nothing can be created in it",
                "the lines wait in memory; once the folder can be made again they are written in order, within a second");
    appState.settings.savecsvlogs = 1;
    // A file where the folder should be: nothing can be created in it.
    const std::string logFolder = appState.logFolder.data();
    RemoveDirectoryA(logFolder.c_str());
    WriteWholeFile(logFolder.substr(0, logFolder.size() - 1), "in the way");
    AppendActivityText("[9:5:7] kept");
    AppendActivityText("\r\n");
    WriteCsvRecord("Read", L"ann", L"C:\\a");
    EXPECT_EQ(appState.logs.textFile, nullptr);
    EXPECT_EQ(appState.logs.csvFile, nullptr);
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n") << "the run's copy has it at once";

    DeleteFileA(logFolder.substr(0, logFolder.size() - 1).c_str());
    WriteLogBacklogs();  // what the poll does once a second: the folder is made again
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "[9:5:7] kept\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "csv")),
              std::string(kCsvLogHeader) + "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n");
    AppendActivityText("[9:5:7] next\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "[9:5:7] kept\r\n[9:5:7] next\r\n");
}

TEST_F(EventLogTest, AnOutageLongerThanTheBacklogLosesWholeLinesOnly)
{
    RecordTrial("faults", "100 lines of 1,000 characters while the log cannot be written",
                "64 KiB of them are kept and written later; the rest are dropped as whole lines, never half a line");
    const std::string logFolder = appState.logFolder.data();
    RemoveDirectoryA(logFolder.c_str());
    WriteWholeFile(logFolder.substr(0, logFolder.size() - 1), "in the way");
    const std::string line(1000, 'x');
    int written = 0;
    for (; written < 100; ++written) {
        AppendActivityText((std::to_string(written) + line).c_str());
        AppendActivityText("\r\n");
    }
    DeleteFileA(logFolder.substr(0, logFolder.size() - 1).c_str());
    AppendActivityText("after\r\n");
    const std::string log = ReadWholeFile(LogPath("7.3.2026", "log"));
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2, ++lines) {
        const std::string one = log.substr(at, end - at);
        EXPECT_TRUE(one == "after" || (one.size() > line.size() && one.substr(one.size() - line.size()) == line))
            << "a whole line: " << one.substr(0, 20);
    }
    EXPECT_GE(lines, 60u) << "64 KiB of it was kept";
    EXPECT_LT(lines, 100u);
    EXPECT_EQ(log.substr(log.size() - 7), "after\r\n");
    EXPECT_EQ(log.find("\r\n\r\n"), std::string::npos);
}

TEST_F(EventLogTest, ANewDaysLogHeldByAnotherProgramGetsItsLinesWhenItIsReleased)
{
    RecordTrial("faults", "the new day's text and CSV logs held open without sharing by another program",
                "the lines wait, and reach the files in order once the other program lets go");
    appState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 7, 23, 59, 59);
    AppendActivityText("[23:59:59] one\r\n");
    WriteCsvRecord("Read", L"ann", L"C:\\a");
    // Another program holds the next day's files open without sharing them.
    HANDLE held[2] = {};
    int index = 0;
    for (const char* extension : {"log", "csv"}) {
        held[index] = CreateFileA(LogPath("8.3.2026", extension).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held[index], INVALID_HANDLE_VALUE);
        ++index;
    }
    clock->AdvanceMilliseconds(1000);
    AppendActivityText("[0:0:0] two\r\n");
    WriteCsvRecord("Write", L"ann", L"C:\\b");
    WriteLogBacklogs();
    EXPECT_EQ(appState.logs.textFile, nullptr);
    EXPECT_EQ(appState.logs.csvFile, nullptr);
    for (HANDLE file : held)
        CloseHandle(file);
    clock->AdvanceMilliseconds(1000);
    AppendActivityText("[0:0:1] three\r\n");
    WriteCsvRecord("Create", L"ann", L"C:\\c");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "[23:59:59] one\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("8.3.2026", "log")), "[0:0:0] two\r\n[0:0:1] three\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("8.3.2026", "csv")), std::string(kCsvLogHeader) +
                                                             "\"0:0:0\", \"Write\", \"ann\", \"C:\\b\"\r\n"
                                                             "\"0:0:1\", \"Create\", \"ann\", \"C:\\c\"\r\n");
}

TEST_F(EventLogTest, AnOpenLogCannotBeDeletedUnderTheProgram)
{
    RecordTrial("faults", "deleting the day's log while the program has it open",
                "the platform refuses the deletion; no line is lost");
    AppendActivityText("[9:5:7] one\r\n");
    EXPECT_FALSE(DeleteFileA(LogPath("7.3.2026", "log").c_str()));
    AppendActivityText("[9:5:7] two\r\n");
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), "[9:5:7] one\r\n[9:5:7] two\r\n");
}

TEST_F(EventLogTest, ARecordThatNoLongerFitsTheRunBufferIsLeftOutWhileTheCsvLogGetsIt)
{
    RecordTrial("load", "the run's 2 MiB CSV buffer filled to its last byte",
                "the record that does not fit is left out of it, whole; the day's CSV log still gets it");
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

TEST_F(EventLogTest, AFullDiskKeepsTheLinesUntilThereIsRoomAgain)
{
    RecordTrial("faults", "the disk holding the logs full (a 256 KiB file system filled to the last byte)",
                "the writes fail quietly and the lines wait; once there is room they reach both logs in order");
    char volume[MAX_PATH] = {};
    if (GetEnvironmentVariableA("QUORVEL_FULL_DISK", volume, sizeof(volume)) == 0)
        GTEST_SKIP() << "needs QUORVEL_FULL_DISK: a small file system of its own (scripts/test.sh mounts one as root)";
    const std::string logs = std::string(volume) + "\\quorvel_logs\\";
    CreateDirectoryA(logs.c_str(), nullptr);
    FormatText(appState.logFolder, "%s", logs.c_str());
    appState.settings.savecsvlogs = 1;
    AppendActivityText("[9:5:7] before\r\n");
    WriteCsvRecord("Read", L"ann", L"C:\\a");

    const std::string fillerPath = std::string(volume) + "\\filler";
    HANDLE filler = CreateFileA(fillerPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(filler, INVALID_HANDLE_VALUE);
    const std::string block(4096, 'f');
    DWORD written = 0;
    for (int k = 0; k < 100000 && WriteFile(filler, block.data(), 4096, &written, nullptr) && written == 4096; ++k) {
    }
    for (DWORD size = 2048; size > 0; size /= 2)
        while (WriteFile(filler, block.data(), size, &written, nullptr) && written == size) {
        }
    CloseHandle(filler);

    // What is left of the files' last blocks fills up, then the writes fail.
    std::string expectedText = "[9:5:7] before\r\n";
    std::string expectedCsv = std::string(kCsvLogHeader) + "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n";
    int lines = 0;
    for (; lines < 3000 && (appState.logs.textBacklog.length == 0 || appState.logs.csvBacklog.length == 0); ++lines) {
        const std::string line = "[9:5:7] line " + std::to_string(lines);
        AppendActivityText(line.c_str());
        AppendActivityText("\r\n");
        WriteCsvRecord("Write", L"ann", (L"C:\\" + std::to_wstring(lines)).c_str());
        expectedText += line + "\r\n";
        expectedCsv += "\"9:5:7\", \"Write\", \"ann\", \"C:\\" + std::to_string(lines) + "\"\r\n";
    }
    ASSERT_GT(appState.logs.textBacklog.length, 0u) << "the disk never filled";
    ASSERT_GT(appState.logs.csvBacklog.length, 0u) << "the disk never filled";
    EXPECT_LT(ReadWholeFile(LogPath("7.3.2026", "log")).size(), expectedText.size());

    ASSERT_TRUE(DeleteFileA(fillerPath.c_str()));
    WriteLogBacklogs();
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "log")), expectedText) << lines << " lines";
    EXPECT_EQ(ReadWholeFile(LogPath("7.3.2026", "csv")), expectedCsv);
}
