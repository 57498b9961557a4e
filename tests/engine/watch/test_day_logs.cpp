// The day's text and CSV logs as the program writes them: events go in the way the
// poll hands them over (detection adds them, one delivery takes the batch), and the
// tests read the files in the log folder and the Log page's text.
#include <windows.h>
#include <lm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/text.h"
#include "engine/watch/day_logs.h"
#include "engine/watch/delivery.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/run_records.h"
#include "engine/watch/watches.h"
#include "support/engine_fixture.h"

namespace {

class EventLogTest : public EngineTest {
protected:
    // A day's file in the log folder, by the name the program gives it.
    static std::string DayLog(const char* day, const char* extension)
    {
        return std::string(engineState.logFolder.data()) + day + "." + extension;
    }
    static std::string PageText() { return std::string(engineState.logText.text.data(), engineState.logText.length); }
    static std::string Header() { return kCsvLogHeader; }

    // One poll's finding at the clock's time, delivered as the poll delivers it.
    static void Connected(std::wstring computer, std::wstring user)
    {
        const SESSION_INFO_1 session{computer.data(), user.data(), 1, 0, 0, 0};
        AddConnectionEvent(LocalWatch(), session, TakePollTime());
        DeliverActivity(LocalWatch());
    }
    void Opened(std::wstring path, DWORD permissions = PERM_FILE_READ)
    {
        std::wstring user = L"ann";
        const FILE_INFO_3 file{++lastFileId, permissions, 0, path.data(), user.data()};
        AddFileOpenEvent(LocalWatch(), file, TakePollTime());
        DeliverActivity(LocalWatch());
    }
    // Nothing can be made in the log folder: a file stands where it should be.
    static std::string BlockLogFolder()
    {
        const std::string logFolder = engineState.logFolder.data();
        const std::string inTheWay = logFolder.substr(0, logFolder.size() - 1);
        RemoveDirectoryA(logFolder.c_str());
        WriteWholeFile(inTheWay, "in the way");
        return inTheWay;
    }

    DWORD lastFileId = 0;
};

}  // namespace

TEST_F(EventLogTest, DailyFileNamesHaveNoLeadingZerosAndTwoBackslashesBeforeTheName)
{
    engineState.settings.savecsvlogs = 1;
    Opened(L"C:\\a");  // on 7 March 2026
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA((std::string(engineState.logFolder.data()) + "*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        if (entry.cFileName[0] != '.')
            names.push_back(entry.cFileName);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"7.3.2026.csv", "7.3.2026.log"}));

    PathText path{};
    FormatLogPathIn(path, engineState.logFolder.data(), clock->now, "log");
    EXPECT_EQ(std::string(path.data()), std::string(engineState.logFolder.data()) + "\\7.3.2026.log");
    EXPECT_EQ(ReadWholeFile(path.data()), "[9:5:7] [ann][Read] C:\\a\r\n") << "the platform takes that path";
}

TEST_F(EventLogTest, TheTextLogGetsTheTextWithoutATerminatorAndNoHeader)
{
    server->files.push_back({5, PERM_FILE_READ | PERM_FILE_WRITE, 0, L"C:\\Shares\\a.txt", L"bob"});
    RunEngineRounds(1);
    Connected(L"PC1", L"ann");
    const std::string lines = "[9:5:7] [bob][ReadWrite] C:\\Shares\\a.txt\r\n[9:5:7] User ann connected from PC1\r\n";
    EXPECT_EQ(PageText(), lines);
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), lines);
    EXPECT_FALSE(FileExists(DayLog("7.3.2026", "csv"))) << "the CSV log is off unless asked for";
}

TEST_F(EventLogTest, TheDayChangeOpensTheNextDaysFiles)
{
    RecordTrial("faults", "the day changing at a month end while the program runs, text and CSV logs",
                "each line lands in its own day's file; the new CSV log gets its header");
    engineState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 31, 23, 59, 59);
    Connected(L"PC1", L"ann");
    clock->AdvanceMilliseconds(1000);
    Connected(L"PC2", L"ben");
    EXPECT_EQ(ReadWholeFile(DayLog("31.3.2026", "log")), "[23:59:59] User ann connected from PC1\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("1.4.2026", "log")), "[0:0:0] User ben connected from PC2\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("31.3.2026", "csv")), Header() + "\"23:59:59\", \"CONNECT\", \"ann\", \"PC1\"\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("1.4.2026", "csv")), Header() + "\"0:0:0\", \"CONNECT\", \"ben\", \"PC2\"\r\n");
}

TEST_F(EventLogTest, TheYearEndChangesDayLikeAnyOther)
{
    RecordTrial("faults", "the day changing at a year end while the program runs",
                "the first line of the new year opens 1.1.YYYY; nothing of the old year moves");
    clock->Set(2026, 12, 31, 23, 59, 59);
    Opened(L"C:\\old");
    clock->AdvanceMilliseconds(1000);
    Opened(L"C:\\new");
    EXPECT_EQ(ReadWholeFile(DayLog("31.12.2026", "log")), "[23:59:59] [ann][Read] C:\\old\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("1.1.2027", "log")), "[0:0:0] [ann][Read] C:\\new\r\n");
}

TEST_F(EventLogTest, AMonthOrAYearLaterToTheDayIsANewDayToo)
{
    RecordTrial("faults", "the next write coming a month, then a year later on the same day of the month",
                "a new file for the new date each time, not the old day's file");
    engineState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 7, 12, 0, 0);
    Opened(L"C:\\march");
    clock->Set(2026, 4, 7, 12, 0, 0);  // a month later to the day, without a write in between
    Opened(L"C:\\april");
    clock->Set(2027, 4, 7, 12, 0, 0);
    Opened(L"C:\\a year on");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[12:0:0] [ann][Read] C:\\march\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("7.4.2026", "log")), "[12:0:0] [ann][Read] C:\\april\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("7.4.2027", "log")), "[12:0:0] [ann][Read] C:\\a year on\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("7.4.2026", "csv")), Header() + "\"12:0:0\", \"Read\", \"ann\", \"C:\\april\"\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("7.4.2027", "csv")), Header() + "\"12:0:0\", \"Read\", \"ann\", \"C:\\a year on\"\r\n");
}

TEST_F(EventLogTest, ReopeningANonEmptyCsvLogAddsNoSecondHeader)
{
    engineState.settings.savecsvlogs = 1;
    Opened(L"C:\\a");
    Restart();  // the program started again on the same day, opening the day's logs
    engineState.settings.savecsvlogs = 1;
    OpenDayLogs(engineState.local.logs, clock->now);
    Opened(L"C:\\b", PERM_FILE_WRITE);
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "csv")), Header() +
                                                            "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n"
                                                            "\"9:5:7\", \"Write\", \"ann\", \"C:\\b\"\r\n");
}

TEST_F(EventLogTest, ALogFolderThatCannotBeWrittenKeepsTheTextUntilItCan)
{
    RecordTrial("faults", "the log folder gone and replaced by a file, so that nothing can be created in it",
                "the lines wait in memory; once the folder can be made again they are written in order, within a second");
    engineState.settings.savecsvlogs = 1;
    const std::string inTheWay = BlockLogFolder();
    Opened(L"C:\\a");
    EXPECT_EQ(engineState.local.logs.textFile, nullptr);
    EXPECT_EQ(engineState.local.logs.csvFile, nullptr);
    EXPECT_EQ(PageText(), "[9:5:7] [ann][Read] C:\\a\r\n");
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n") << "the run's copy has it at once";

    DeleteFileA(inTheWay.c_str());
    RunEngineRounds(5);  // the poll's once-a-second step makes the folder again
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[9:5:7] [ann][Read] C:\\a\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "csv")), Header() + "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"\r\n");
    Opened(L"C:\\b");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[9:5:7] [ann][Read] C:\\a\r\n[9:5:8] [ann][Read] C:\\b\r\n");
}

TEST_F(EventLogTest, LinesThatWaitedPastMidnightGoToTheirOwnDaysLog)
{
    RecordTrial("faults", "the log folder unwritable from before midnight to after it, text and CSV logs",
                "each line that waited goes to the log of the day it was found, the next day's to its own");
    engineState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 7, 23, 59, 58);
    const std::string inTheWay = BlockLogFolder();
    Opened(L"C:\\late");
    clock->AdvanceMilliseconds(3000);  // 8 March, 0:0:1
    Opened(L"C:\\early");
    DeleteFileA(inTheWay.c_str());
    Opened(L"C:\\later");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[23:59:58] [ann][Read] C:\\late\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("8.3.2026", "log")),
              "[0:0:1] [ann][Read] C:\\early\r\n[0:0:1] [ann][Read] C:\\later\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "csv")), Header() + "\"23:59:58\", \"Read\", \"ann\", \"C:\\late\"\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("8.3.2026", "csv")), Header() + "\"0:0:1\", \"Read\", \"ann\", \"C:\\early\"\r\n" +
                                                            "\"0:0:1\", \"Read\", \"ann\", \"C:\\later\"\r\n");
}

TEST_F(EventLogTest, AnOutageLongerThanTheBacklogLosesWholeLinesOnly)
{
    RecordTrial("faults", "100 lines of 1,000 characters while the log cannot be written",
                "64 KiB of them are kept and written later; the rest are dropped as whole lines, never half a line");
    const std::string inTheWay = BlockLogFolder();
    const std::wstring filler(980, L'x');
    for (int k = 0; k < 100; ++k)
        Opened(L"C:\\" + std::to_wstring(k) + filler);
    DeleteFileA(inTheWay.c_str());
    Opened(L"C:\\after");
    const std::string tail(980, 'x');
    const std::string log = ReadWholeFile(DayLog("7.3.2026", "log"));
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2, ++lines) {
        const std::string one = log.substr(at, end - at);
        EXPECT_TRUE(one == "[9:5:7] [ann][Read] C:\\after" ||
                    (one.rfind("[9:5:7] [ann][Read] C:\\", 0) == 0 && one.substr(one.size() - tail.size()) == tail))
            << "a whole line: " << one.substr(0, 30);
    }
    EXPECT_GE(lines, 60u) << "64 KiB of it was kept";
    EXPECT_LT(lines, 100u);
    EXPECT_EQ(log.substr(log.size() - 10), "C:\\after\r\n");
    EXPECT_EQ(log.find("\r\n\r\n"), std::string::npos);
    const std::string page = PageText();
    EXPECT_EQ(std::count(page.begin(), page.end(), '\n'), 101) << "the Log page has every line";
}

TEST_F(EventLogTest, ANewDaysLogHeldByAnotherProgramGetsItsLinesWhenItIsReleased)
{
    RecordTrial("faults", "the new day's text and CSV logs held open without sharing by another program",
                "the lines wait, and reach the files in order once the other program lets go");
    engineState.settings.savecsvlogs = 1;
    clock->Set(2026, 3, 7, 23, 59, 59);
    Opened(L"C:\\a");
    // Another program holds the next day's files open without sharing them.
    std::vector<HANDLE> held;
    for (const char* extension : {"log", "csv"}) {
        held.push_back(CreateFileA(DayLog("8.3.2026", extension).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
    }
    clock->AdvanceMilliseconds(1000);
    Opened(L"C:\\b", PERM_FILE_WRITE);
    RunEngineRounds(5);  // the once-a-second step tries again, and fails again
    EXPECT_EQ(engineState.local.logs.textFile, nullptr);
    EXPECT_EQ(engineState.local.logs.csvFile, nullptr);
    for (HANDLE file : held)
        CloseHandle(file);
    Opened(L"C:\\c", PERM_FILE_CREATE);
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[23:59:59] [ann][Read] C:\\a\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("8.3.2026", "log")),
              "[0:0:0] [ann][Write] C:\\b\r\n[0:0:1] [ann][Create] C:\\c\r\n");
    EXPECT_EQ(ReadWholeFile(DayLog("8.3.2026", "csv")), Header() +
                                                            "\"0:0:0\", \"Write\", \"ann\", \"C:\\b\"\r\n"
                                                            "\"0:0:1\", \"Create\", \"ann\", \"C:\\c\"\r\n");
}

TEST_F(EventLogTest, AnOpenLogCannotBeDeletedUnderTheProgram)
{
    RecordTrial("faults", "deleting the day's log while the program has it open",
                "the platform refuses the deletion; no line is lost");
    Opened(L"C:\\one");
    EXPECT_FALSE(DeleteFileA(DayLog("7.3.2026", "log").c_str()));
    Opened(L"C:\\two");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[9:5:7] [ann][Read] C:\\one\r\n[9:5:7] [ann][Read] C:\\two\r\n");
}

TEST_F(EventLogTest, ARecordThatNoLongerFitsTheRunBufferIsLeftOutWhileTheCsvLogGetsIt)
{
    RecordTrial("load", "the run's 2 MiB CSV buffer filled to its last byte",
                "the record that does not fit is left out of it, whole; the day's CSV log still gets it");
    engineState.settings.savecsvlogs = 1;
    const std::string record = "\"9:5:7\", \"Read\", \"ann\", \"C:\\a\"";
    // Fill the buffer so that exactly one more record and its line end fit.
    const std::size_t room = kRunCsvBufferSize - 1 - (record.size() + 2);
    memset(engineState.run.buffer, 'x', room);
    engineState.run.buffer[room] = '\0';
    engineState.run.length = room;

    Opened(L"C:\\a");
    EXPECT_EQ(engineState.run.length, kRunCsvBufferSize - 1);
    EXPECT_EQ(engineState.run.buffer[kRunCsvBufferSize - 1], '\0');
    EXPECT_EQ(std::string(engineState.run.buffer + room), record + "\r\n");

    Opened(L"C:\\b", PERM_FILE_WRITE);
    EXPECT_EQ(engineState.run.length, kRunCsvBufferSize - 1) << "full: the record is not written";
    EXPECT_EQ(engineState.run.buffer[kRunCsvBufferSize - 1], '\0');
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "csv")), Header() + record + "\r\n" +
                                                            "\"9:5:7\", \"Write\", \"ann\", \"C:\\b\"\r\n")
        << "the day's CSV log still gets it";

    ClearRunRecords(engineState.run);  // the Log page's Clear
    Opened(L"C:\\b", PERM_FILE_WRITE);
    EXPECT_EQ(RunCsvText(), "\"9:5:7\", \"Write\", \"ann\", \"C:\\b\"\r\n");
}

TEST_F(EventLogTest, TurningTheLogsOnLaterOpensTheDaysFileAtTheNextEvent)
{
    engineState.settings.savelogs = 0;
    Opened(L"C:\\not kept");
    EXPECT_FALSE(FileExists(DayLog("7.3.2026", "log")));
    engineState.settings.savelogs = 1;
    Opened(L"C:\\kept");
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), "[9:5:7] [ann][Read] C:\\kept\r\n");
    EXPECT_EQ(PageText(), "[9:5:7] [ann][Read] C:\\not kept\r\n[9:5:7] [ann][Read] C:\\kept\r\n");
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
    FormatText(engineState.logFolder, "%s", logs.c_str());
    for (const char* extension : {"log", "csv"})  // an earlier run's, on the same volume
        DeleteFileA(DayLog("7.3.2026", extension).c_str());
    engineState.settings.savecsvlogs = 1;
    Opened(L"C:\\before");

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
    std::string expectedText = "[9:5:7] [ann][Read] C:\\before\r\n";
    std::string expectedCsv = Header() + "\"9:5:7\", \"Read\", \"ann\", \"C:\\before\"\r\n";
    int lines = 0;
    for (; lines < 3000 && (engineState.local.logs.textBacklog.length == 0 || engineState.local.logs.csvBacklog.length == 0); ++lines) {
        Opened(L"C:\\" + std::to_wstring(lines), PERM_FILE_WRITE);
        expectedText += "[9:5:7] [ann][Write] C:\\" + std::to_string(lines) + "\r\n";
        expectedCsv += "\"9:5:7\", \"Write\", \"ann\", \"C:\\" + std::to_string(lines) + "\"\r\n";
    }
    ASSERT_GT(engineState.local.logs.textBacklog.length, 0u) << "the disk never filled";
    ASSERT_GT(engineState.local.logs.csvBacklog.length, 0u) << "the disk never filled";
    EXPECT_LT(ReadWholeFile(DayLog("7.3.2026", "log")).size(), expectedText.size());

    ASSERT_TRUE(DeleteFileA(fillerPath.c_str()));
    RunEngineRounds(5);  // the poll's once-a-second step
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "log")), expectedText) << lines << " lines";
    EXPECT_EQ(ReadWholeFile(DayLog("7.3.2026", "csv")), expectedCsv);
}
