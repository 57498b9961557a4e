// The real program's history: the office demo played (quickly) against the simulated
// server, then the History page searched through the window as a person would, and
// the restore list after a bait trip held against the server's own journal.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "e2e/program_runner.h"

namespace {

// The ids the test reaches into the program with (resources/resource.h).
constexpr int kNavBar = 1000;
constexpr int kTrippedList = 1110;
constexpr int kHistoryUser = 1205;
constexpr int kHistoryPath = 1206;
constexpr int kHistorySearch = 1213;
constexpr int kHistoryExport = 1214;
constexpr int kHistoryFound = 1215;
constexpr int kHistoryList = 1218;
constexpr WPARAM kExportRestoreList = 40104;
constexpr int kHistoryPage = 4;
constexpr int kBlackListPage = 1;

// The office's six minutes in twelve seconds, then eve writes and reads the bait.
constexpr char kSpeed[] = "30";
constexpr char kEveAfterTheOffice[] =
    "362 connect PC-EVE eve\n"
    "363 open PC-EVE eve \"D:\\Shares\\Projects\\Harbour Bridge\\plan.docx\" perm=rw\n"
    "364 open PC-EVE eve D:\\Shares\\Projects\\Zeta\\notes.txt perm=wc\n"
    "365 open PC-EVE eve D:\\Shares\\Projects\\Zeta\\notes.txt perm=w\n"
    "366 open PC-EVE eve D:\\Shares\\Projects\\readme.txt perm=r\n"
    "367 open PC-EVE eve D:\\Shares\\Accounts\\2024\\budget.xlsx perm=rw\n"
    "370 open PC-EVE eve D:\\Shares\\HR\\salaries.xlsx perm=r\n";

class HistoryProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ForgetEarlierRuns();
        // No history of an earlier test's program: its file and its write-ahead log, all gone.
        const std::string logs = DocumentsFolder() + "\\quorvel_logs\\quorvel-history.db";
        const auto gone = [&] {
            bool all = true;
            for (const char* end : {"", "-wal", "-shm"}) {
                DeleteFileA((logs + end).c_str());
                all = all && GetFileAttributesA((logs + end).c_str()) == INVALID_FILE_ATTRIBUTES;
            }
            return all;
        };
        ASSERT_TRUE(WaitFor(gone, 10000)) << "an earlier history is still there";
        scratch = MakeScratchFolder("HistoryProgramTest");
        journalPath = scratch + "server.journal";
    }
    void TearDown() override
    {
        KillProgram(&program);
        UseSimulatedServer("", "");
        SetEnvironmentVariableA("QUORVEL_SIM_SPEED", nullptr);
    }

    // The office demo without its refusals (an access denied ends the program), then eve.
    static std::string Scenario()
    {
        std::string scenario;
        for (const std::string& line : Lines(ReadFile(ProgramFolder() + "office.scenario")))
            if (line.find(" refuse ") == std::string::npos)
                scenario += line + "\n";
        return scenario + kEveAfterTheOffice;
    }

    template <typename Done>
    static bool WaitFor(Done done, DWORD ms)
    {
        for (const ULONGLONG deadline = GetTickCount64() + ms; GetTickCount64() < deadline; Sleep(50))
            if (done())
                return true;
        return done();
    }
    HWND Control(int id) const { return FindProgramControl(program.mainWindow, id); }
    std::string TextOf(HWND control) const
    {
        std::array<char, 512> text{};
        DWORD_PTR result = 0;
        SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_BLOCK, 5000,
                            &result);
        return text.data();
    }
    void Show(int page) const { SelectRemoteRow(program, Control(kNavBar), page); }
    // Types into the page's boxes and presses Search; the list's rows once all are read.
    std::vector<std::vector<std::string>> Search(const char* user, const char* path)
    {
        SendMessageA(Control(kHistoryUser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(user));
        SendMessageA(Control(kHistoryPath), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path));
        SendMessageA(GetParent(Control(kHistorySearch)), WM_COMMAND, MAKEWPARAM(kHistorySearch, BN_CLICKED), 0);
        std::vector<std::vector<std::string>> rows;
        const bool read = WaitFor(
            [&] {
                const std::string found = TextOf(Control(kHistoryFound));
                if (found.find(" found") == std::string::npos || found.find("so far") != std::string::npos)
                    return false;
                rows.clear();
                for (int column = 0; column < 7; ++column) {
                    const std::vector<std::string> cells = RemoteListColumn(program, Control(kHistoryList), column);
                    rows.resize(cells.size());
                    for (std::size_t row = 0; row < cells.size(); ++row)
                        rows[row].push_back(cells[row]);
                }
                return std::none_of(rows.begin(), rows.end(), [](const auto& row) { return row[0].empty(); });
            },
            20000);
        EXPECT_TRUE(read) << "the search did not end: " << TextOf(Control(kHistoryFound));
        return rows;
    }
    // The save dialog the program opened under this title: the name typed, then Save.
    bool SaveAs(const char* title, const std::string& path)
    {
        HWND dialog = nullptr;
        if (!WaitFor(
                [&] {
                    const std::vector<HWND> found = ProgramDialogs(program, title);
                    dialog = found.empty() ? nullptr : found.front();
                    return dialog != nullptr;
                },
                10000))
            return false;
        HWND name = nullptr;
        EnumChildWindows(
            dialog,
            [](HWND child, LPARAM found) {
                std::array<char, 16> kind{};
                GetClassNameA(child, kind.data(), static_cast<int>(kind.size()));
                if (lstrcmpiA(kind.data(), "Edit") != 0 || !IsWindowVisible(child))
                    return TRUE;
                *reinterpret_cast<HWND*>(found) = child;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&name));
        if (!name)
            return false;
        SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return true;
    }

    RunningProgram program;
    std::string scratch;
    std::string journalPath;
};

// What the day's text log says a user did, as the page's cells would show it.
std::multiset<std::string> LoggedFor(const std::string& log, const std::string& user)
{
    std::multiset<std::string> events;
    for (const std::string& line : Lines(log)) {
        const std::string connected = "] User " + user + " connected from ";
        const std::string opened = "] [" + user + "][";
        if (const std::size_t at = line.find(connected); at != std::string::npos)
            events.insert("Connection " + line.substr(at + connected.size()));
        else if (const std::size_t open = line.find(opened); open != std::string::npos)
            events.insert("File open " + line.substr(line.find("] ", open + opened.size()) + 2));
    }
    return events;
}

}  // namespace

TEST_F(HistoryProgramTest, TheOfficeDaySearchedByUserAndPathAndTheRestoreListAfterABaitTrip)
{
    RecordProperty("area", "history");
    WriteFile(DocumentsFolder() + "\\quorvel.ini", "[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\salaries*\r\n");
    WriteFile(scratch + "office.scenario", Scenario());
    UseSimulatedServer(scratch + "office.scenario", journalPath);
    SetEnvironmentVariableA("QUORVEL_SIM_SPEED", kSpeed);
    ASSERT_TRUE(StartProgram("", &program));
    program.mainWindow = WaitForMainWindow(program, 20000);
    ASSERT_NE(program.mainWindow, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Control(kHistoryList) && Control(kTrippedList); }, 10000));
    // The day is over once eve's bait read has cut her computer off.
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const JournalLine& line : ReadJournal(journalPath))
                if (line.kind == "call" && line.what == "NetSessionDel" && line.Field("client") == "\\\\PC-EVE")
                    return true;
            return false;
        },
        40000));

    Show(kHistoryPage);
    const std::string log = ReadFile(TodaysLogPath("log"));
    for (const char* user : {"anna", "ben", "eve"}) {
        std::multiset<std::string> shown;
        for (const auto& row : Search(user, ""))
            if (row[1] == "This computer")  // the day's log is this computer's
                shown.insert(row[2] + " " + (row[2] == "Connection" ? row[3] : row[5]));
        std::multiset<std::string> found;
        for (const std::string& event : shown)
            if (event.rfind("Connection ", 0) == 0 || event.rfind("File open ", 0) == 0)
                found.insert(event);
        EXPECT_EQ(found, LoggedFor(log, user)) << user << ": the history holds what the day's log says";
        EXPECT_FALSE(found.empty()) << user;
    }
    std::vector<std::string> harbour;
    const auto harbourRows = Search("", "harbour BRIDGE");
    for (const auto& row : harbourRows)
        if (row[1] == "This computer")
            harbour.push_back(row[5]);
    std::vector<std::string> logged;
    for (const std::string& line : Lines(log))
        if (line.find("\\Harbour Bridge\\") != std::string::npos)
            logged.push_back(line.substr(line.find("] ", line.find("][")) + 2));
    std::sort(harbour.begin(), harbour.end());
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(harbour, logged) << "a part of the path, in any case";

    // What was found, exported from the page: the header, then a line per row with its path.
    const std::string csv = scratch + "harbour.csv";
    PostMessageA(GetParent(Control(kHistoryExport)), WM_COMMAND, MAKEWPARAM(kHistoryExport, BN_CLICKED), 0);
    ASSERT_TRUE(SaveAs("Export to CSV", csv));
    std::vector<std::string> exported;
    ASSERT_TRUE(WaitFor([&] { return (exported = Lines(ReadFile(csv))).size() == harbourRows.size() + 1; }, 20000))
        << exported.size() << " lines for " << harbourRows.size() << " rows";
    EXPECT_EQ(exported[0].find("\"Time\",\"Server\",\"Kind\""), 3u) << "after the byte order mark";
    for (std::size_t k = 1; k < exported.size(); ++k)
        EXPECT_NE(exported[k].find("\\Harbour Bridge\\"), std::string::npos) << exported[k];

    // The restore list from the Black list page's tripped row: eve's write opens, as the server saw them.
    Show(kBlackListPage);
    ASSERT_TRUE(WaitFor([&] { return RemoteListColumn(program, Control(kTrippedList), 0).size() == 1; }, 10000));
    SelectRemoteRow(program, Control(kTrippedList), 0);
    PostMessageA(GetParent(Control(kTrippedList)), WM_COMMAND, kExportRestoreList, 0);
    const std::string list = scratch + "restore.txt";
    ASSERT_TRUE(SaveAs("Export restore list", list));
    ASSERT_TRUE(WaitFor([&] { return !ReadFile(list).empty(); }, 20000)) << "no restore list written";
    ASSERT_EQ(ExitProgramThroughMenu(&program), 0u);

    std::set<std::string> written;
    for (const JournalLine& line : ReadJournal(journalPath))
        if (line.kind == "event" && line.what == "open" && line.Field("user") == "eve" &&
            (std::stoi("0" + line.Field("perm")) & 6) != 0)  // PERM_FILE_WRITE, PERM_FILE_CREATE
            written.insert(line.Field("path"));
    std::string expected;
    for (const std::string& path : written)
        expected += path + "\r\n";
    EXPECT_EQ(written.size(), 3u);
    EXPECT_EQ(ReadFile(list), expected);
}
