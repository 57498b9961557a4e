// The History page through the real main window, its real dialog resources and its
// real owner-data list: the events go the way delivery hands them over into the
// history the program's start-up opened, the boxes are set and Search pressed as a
// person would, and the list is read back through its own messages.
#include <windows.h>
#include <commctrl.h>
#include <lm.h>

#include <sqlite3.h>

#include <array>
#include <string>
#include <vector>

#include "core/text.h"
#include "engine/watch/activity_batch.h"
#include "engine/watch/delivery.h"
#include "engine/watch/engine_state.h"
#include "engine/history/history_store.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "resources/resource.h"
#include "rules/computer_list.h"
#include "support/test_support.h"
#include "windows/black_list_page.h"
#include "windows/history_page.h"
#include "windows/log_page.h"
#include "windows/main_window.h"
#include "windows/server_choice.h"
#include "windows/window_state.h"

namespace {

using Row = std::vector<std::string>;

// A file's lines, without their ends.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

// A trip as the tripped list knows it: the user alone.
TripAsked TrippedUser(const wchar_t* user)
{
    TripAsked trip{};
    CopyWideText(trip.user, user);
    return trip;
}

class HistoryPageTest : public MainWindowTest {
protected:
    HWND Page() const { return windowState.pages[HistoryPageIndex]; }
    HWND List() const { return GetDlgItem(Page(), IDC_HISTORY_LIST); }

    static void At(WORD hour, WORD minute, WORD second) { TheFakeClock().Set(2026, 3, 7, hour, minute, second); }
    static void Connected(std::wstring computer, std::wstring user)
    {
        AddConnectionEvent(LocalWatch(), SESSION_INFO_1{computer.data(), user.data(), 1, 0, 0, 0}, TakePollTime());
        DeliverActivity(LocalWatch());
    }
    static void Opened(std::wstring path, DWORD permissions, std::wstring user)
    {
        static DWORD id = 0;
        AddFileOpenEvent(LocalWatch(), FILE_INFO_3{++id, permissions, 0, path.data(), user.data()}, TakePollTime());
        DeliverActivity(LocalWatch());
    }
    static void Tripped(const std::wstring& user)
    {
        AddTripwireEvent(LocalWatch(), user.c_str(), " opened a bait file", TakePollTime());
        DeliverActivity(LocalWatch());
    }
    static void Stored() { ASSERT_TRUE(WaitForHistoryWrites(20000)); }

    // Pumps the window's messages until `done` holds (20 s at most).
    template <typename Done>
    bool PumpUntil(Done done)
    {
        for (int round = 0; round < 1000; ++round) {
            if (done())
                return true;
            PumpMessages(20);
        }
        return done();
    }
    std::string BoxText(int box) const
    {
        std::array<char, 64> text{};
        GetDlgItemTextA(Page(), box, text.data(), static_cast<int>(text.size()));
        return text.data();
    }
    // A restore list's end: the trip looked up, its writes searched, the file written.
    bool RestoreListWritten()
    {
        return PumpUntil([&] { return Found().find("lines written") != std::string::npos; }) &&
               ReadHistoryJob().succeeded;
    }
    std::string Found() const
    {
        std::array<char, 256> text{};
        GetDlgItemTextA(Page(), IDC_HISTORY_FOUND, text.data(), static_cast<int>(text.size()));
        return text.data();
    }
    // The list's rows as it draws them, once the search is over and every row is read.
    std::vector<Row> Rows()
    {
        std::vector<Row> rows;
        const bool read = PumpUntil([&] {
            if (Found().find(" found") == std::string::npos || Found().find("so far") != std::string::npos)
                return false;
            rows.clear();
            const int count = static_cast<int>(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0));
            for (int index = 0; index < count; ++index) {
                Row row;
                for (int column = 0; column < 7; ++column) {
                    std::array<char, 512> text{};
                    LVITEMA item{};
                    item.iSubItem = column;
                    item.pszText = text.data();
                    item.cchTextMax = static_cast<int>(text.size());
                    SendMessageA(List(), LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
                    row.push_back(text.data());
                }
                if (row[0].empty())
                    return false;  // its page is still being read
                rows.push_back(row);
            }
            return true;
        });
        EXPECT_TRUE(read) << "the search did not end: " << Found();
        return rows;
    }
    void Type(int box, const char* text) { SetDlgItemTextA(Page(), box, text); }
    void Press(int button) { SendMessageA(Page(), WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0); }
    void Check(int box, bool on) { CheckDlgButton(Page(), box, on ? BST_CHECKED : BST_UNCHECKED); }
    // Enter in a box: the main window's dialog loop hands it over as IDOK.
    void EnterIn(int box)
    {
        SetFocus(GetDlgItem(Page(), box));
        SendMessageA(window, WM_COMMAND, IDOK, 0);
    }
    std::string PickerText(int picker) const
    {
        SYSTEMTIME time{};
        if (SendDlgItemMessageA(Page(), picker, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&time)) != GDT_VALID)
            return "none";
        std::array<char, 32> text{};
        wsprintfA(text.data(), "%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
        return text.data();
    }
};

// [history] enabled=0: the program keeps no history.
class HistoryOffPageTest : public HistoryPageTest {
protected:
    void BeforeStart() override
    {
        WritePrivateProfileStringA("history", "enabled", "0", (folder + "quorvel.ini").c_str());
    }
};

}  // namespace

// With no history kept, the page's first search, Enter in a box and the writes after a
// trip each say so at once over an empty list, instead of "Searching..." for ever.
TEST_F(HistoryOffPageTest, EverySearchSaysNoHistoryIsKept)
{
    ASSERT_FALSE(HistoryIsOpen());
    ShowPage(HistoryPageIndex);
    EXPECT_EQ(Found(), kHistoryNotKeptText);
    EXPECT_EQ(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0), 0);
    Type(IDC_HISTORY_USER, "ann");
    EnterIn(IDC_HISTORY_USER);
    EXPECT_EQ(Found(), kHistoryNotKeptText);
    ShowUserWritesAfterTrip(TrippedUser(L"bob"));
    PumpMessages();
    EXPECT_EQ(Found(), kHistoryNotKeptText);
    EXPECT_EQ(BoxText(IDC_HISTORY_USER), "bob") << "the boxes are set as for a user without trips";
    EXPECT_EQ(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0), 0);
}

// Each box narrows what is found, newest first, the cells as the columns say; the
// texts are taken literally (% _ * are characters, not patterns) and in any case;
// Enter in a box searches like the button; no kind chosen finds nothing, said so.
TEST_F(HistoryPageTest, TheBoxesNarrowTheSearchNewestFirstAndEnterSearchesToo)
{
    ASSERT_TRUE(HistoryIsOpen()) << "the start-up opens the history";
    At(9, 0, 0);
    Connected(L"PC1", L"ann");
    At(9, 1, 0);
    Opened(L"C:\\a\\50%_off*.txt", PERM_FILE_READ, L"ann");
    At(9, 2, 0);
    Opened(L"C:\\a\\500_off.txt", PERM_FILE_READ, L"ann");
    At(9, 3, 0);
    Opened(L"C:\\b\\Report.docx", PERM_FILE_READ | PERM_FILE_WRITE, L"Bob");
    Stored();

    ShowPage(HistoryPageIndex);
    EXPECT_EQ(Rows().size(), 4u) << "the page's first search: everything";
    EXPECT_EQ(Found(), "4 found");

    Type(IDC_HISTORY_USER, "BOB");
    Press(IDC_HISTORY_SEARCH);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"2026-03-07 09:03:00", "This computer", "File open", "", "Bob",
                                         "C:\\b\\Report.docx", "ReadWrite"}}));

    Type(IDC_HISTORY_USER, "");
    Type(IDC_HISTORY_PATH, "50%_OFF*");
    EnterIn(IDC_HISTORY_PATH);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"2026-03-07 09:01:00", "This computer", "File open", "", "ann",
                                         "C:\\a\\50%_off*.txt", "Read"}}))
        << "literal: 500_off.txt is not found by 50%_off*";

    Type(IDC_HISTORY_PATH, "");
    for (int box = IDC_HISTORY_CONNECTIONS; box <= IDC_HISTORY_ACTIONS; ++box)
        Check(box, box == IDC_HISTORY_CONNECTIONS);
    EnterIn(IDC_HISTORY_COMPUTER);
    EXPECT_EQ(Rows(), (std::vector<Row>{{"2026-03-07 09:00:00", "This computer", "Connection", "PC1", "ann", "", ""}}));

    Check(IDC_HISTORY_CONNECTIONS, false);
    Press(IDC_HISTORY_SEARCH);
    EXPECT_EQ(Found(), kHistoryNoKindText);
    EXPECT_EQ(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0), 0);

    for (int box = IDC_HISTORY_CONNECTIONS; box <= IDC_HISTORY_ACTIONS; ++box)
        Check(box, true);
    SYSTEMTIME from{2026, 3, 6, 7, 9, 1, 30, 0};  // 09:01:30: the two newest events only
    SendDlgItemMessageA(Page(), IDC_HISTORY_FROM, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&from));
    SYSTEMTIME to{2026, 3, 6, 7, 9, 2, 59, 0};
    SendDlgItemMessageA(Page(), IDC_HISTORY_TO, DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&to));
    Press(IDC_HISTORY_SEARCH);
    const std::vector<Row> between = Rows();
    ASSERT_EQ(between.size(), 1u) << "from and to are both kept to";
    EXPECT_EQ(between[0][5], "C:\\a\\500_off.txt");
}

// A share user's batch file in a found row: Enter on the list and the menu's Explore show
// it in its folder, and never run it.
TEST_F(HistoryPageTest, ExploreShowsAFileInItsFolderAndNeverRunsIt)
{
    const std::string share = folder + "eve-share";
    ASSERT_TRUE(CreateDirectoryA(share.c_str(), nullptr));
    const std::string marker = share + "\\ran.txt";
    WriteWholeFile(share + "\\run.bat", "echo ran > \"" + marker + "\"\r\n");
    std::array<wchar_t, MAX_PATH> batch{};
    MultiByteToWideChar(CP_ACP, 0, (share + "\\run.bat").c_str(), -1, batch.data(), static_cast<int>(batch.size()));
    At(9, 0, 0);
    Opened(batch.data(), PERM_FILE_READ | PERM_FILE_WRITE, L"eve");
    Stored();
    ShowPage(HistoryPageIndex);
    ASSERT_EQ(Rows().size(), 1u);
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(List(), LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
    ExpectExploreShowsTheFolderAndRunsNothing(List(), Page(), IDM_HISTORY_EXPLORE, "eve-share", marker);
}

// After a trip the tripped row's "Show what this user wrote" finds the trip in the
// history and shows that user's write and create opens from an hour before it to now,
// nobody else's and no reads; the restore list holds the same paths, each once,
// sorted; a Log page line names the trip the same way; other lines are not trips.
TEST_F(HistoryPageTest, AfterATripTheUsersWritesFromAnHourBeforeAndTheRestoreList)
{
    At(7, 0, 0);
    Opened(L"C:\\d\\early.txt", PERM_FILE_WRITE, L"bob");  // two hours before: not shown
    At(8, 30, 0);
    Opened(L"C:\\d\\b.txt", PERM_FILE_WRITE | PERM_FILE_CREATE, L"bob");
    Opened(L"C:\\d\\a.txt", PERM_FILE_READ | PERM_FILE_WRITE, L"bob");
    Opened(L"C:\\d\\read.txt", PERM_FILE_READ, L"bob");
    Opened(L"C:\\d\\ann.txt", PERM_FILE_WRITE, L"ann");
    At(9, 0, 0);
    Tripped(L"bob");
    At(9, 4, 0);
    Opened(L"C:\\d\\a.txt", PERM_FILE_WRITE, L"bob");
    Stored();

    AddComputerWide(engineState.rules.tripped, L"\\\\PC9", kPermanent, L"bob");
    ShowPage(BlackListPageIndex);
    ListView_SetItemState(windowState.trippedView, 0, LVIS_SELECTED, LVIS_SELECTED);
    SendMessageA(windowState.pages[BlackListPageIndex], WM_COMMAND, IDM_SHOW_USER_WRITES, 0);
    EXPECT_EQ(windowState.currentPage, Page());
    const std::vector<Row> rows = Rows();
    std::vector<std::string> paths;
    for (const Row& row : rows)
        paths.push_back(row[0] + " " + row[4] + " " + row[5]);
    EXPECT_EQ(paths, (std::vector<std::string>{"2026-03-07 09:04:00 bob C:\\d\\a.txt", "2026-03-07 08:30:00 bob C:\\d\\a.txt",
                                               "2026-03-07 08:30:00 bob C:\\d\\b.txt"}));
    EXPECT_EQ(PickerText(IDC_HISTORY_FROM), "08:00:00") << "an hour before the trip";

    const std::string list = folder + "restore.txt";
    ExportRestoreListAfterTrip(TrippedUser(L"bob"), list.c_str());
    ASSERT_TRUE(PumpUntil([] { return !ReadHistoryJob().running && ReadHistoryJob().lines > 0; }));
    EXPECT_TRUE(ReadHistoryJob().succeeded);
    EXPECT_EQ(ReadWholeFile(list), "C:\\d\\a.txt\r\nC:\\d\\b.txt\r\n");

    // The Log page's line of the same trip, as the page shows it.
    TripAsked trip{};
    SYSTEMTIME now{2026, 3, 6, 7, 9, 5, 0, 0};
    ASSERT_TRUE(ReadTripLine("[9:0:0] Tripwire [bob] opened a bait file", now, &trip));
    EXPECT_EQ(std::wstring(trip.user.data()), L"bob");
    EXPECT_STREQ(trip.server.data(), "") << "this computer's";
    EXPECT_EQ(trip.local.wDay, 7);
    EXPECT_EQ(trip.local.wHour, 9);
    ASSERT_TRUE(ReadTripLine("[23:59:58] [\\\\FS1] Tripwire [eve] burst", now, &trip)) << "a watched server's line";
    EXPECT_EQ(std::wstring(trip.user.data()), L"eve");
    EXPECT_STREQ(trip.server.data(), "\\\\FS1");
    EXPECT_EQ(trip.local.wDay, 6) << "a time still to come today was yesterday's";
    for (const char* other : {"[9:0:0] [bob][Write] C:\\d\\a.txt", "[9:0:0] User bob connected from PC1", "",
                              "Tripwire [bob]", "[9:0:0] Tripwire []", "[99:0:0] Tripwire [bob] x",
                              "[9:0:0] [\\\\FS1 Tripwire [bob] x"})
        EXPECT_FALSE(ReadTripLine(other, now, &trip)) << other;

    // The page holds the run's lines: five file opens, then the trip, then one more.
    ShowPage(LogPageIndex);
    SyncLogPageView();
    EXPECT_FALSE(ReadTripOfLogLine(0, &trip));
    EXPECT_FALSE(ReadTripOfLogLine(6, &trip));
    ASSERT_TRUE(ReadTripOfLogLine(5, &trip));
    EXPECT_EQ(std::wstring(trip.user.data()), L"bob");
    EXPECT_EQ(trip.local.wHour, 9);
    EXPECT_FALSE(ReadTripOfLogLine(99, &trip)) << "past the last line";
    RunTripCommand(IDM_SHOW_USER_WRITES, trip);
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_EQ(PickerText(IDC_HISTORY_FROM), "08:00:00");
}

// FS2 watched besides this computer, without its worker: its events are made here.
class HistoryServerPageTest : public HistoryPageTest {
protected:
    void SetUp() override
    {
        RunServerWorkers(false);
        HistoryPageTest::SetUp();
        ServerList list{};
        list.count = 1;
        CopyText(list.names[0], "FS2");
        WatchServers(list);
        UpdateServerChoices();
    }
    void TearDown() override
    {
        WatchServers(ServerList{});
        HistoryPageTest::TearDown();
        RunServerWorkers(true);
    }
    static ServerWatch Fs2()
    {
        ServerWatch watch{};
        EXPECT_TRUE(WatchOf(1, &watch));
        return watch;
    }
    static void OpenedOnFs2(std::wstring path, std::wstring user)
    {
        static DWORD id = 0;
        AddFileOpenEvent(Fs2(), FILE_INFO_3{++id, PERM_FILE_WRITE, 0, path.data(), user.data()}, TakePollTime());
        DeliverActivity(Fs2());
    }
};

// A trip on FS2, by a user whose name the code page cannot write: the Log page's line
// shows the name with its letters lost, yet the writes and the restore list are the
// trip's own: that user's, as the history names them, on FS2 and not on this computer,
// where the same path is another file.
TEST_F(HistoryServerPageTest, ATripsWritesAreOfItsServerAndOfItsUserAsTheHistoryNamesThem)
{
    const std::wstring dmitry = L"\u0414\u043c\u0438\u0442\u0440\u0438\u0439";
    At(8, 30, 0);
    OpenedOnFs2(L"D:\\docs\\report.docx", dmitry);
    OpenedOnFs2(L"D:\\docs\\plan.xlsx", dmitry);
    Opened(L"D:\\docs\\report.docx", PERM_FILE_WRITE, dmitry);  // this computer's, not FS2's
    Opened(L"D:\\docs\\mine.txt", PERM_FILE_WRITE, dmitry);
    At(9, 0, 0);
    AddTripwireEvent(Fs2(), dmitry.c_str(), " opened a bait file", TakePollTime());
    DeliverActivity(Fs2());
    Stored();

    ShowPage(LogPageIndex);
    SyncLogPageView();
    TripAsked trip{};
    int line = 0;
    while (line < 10 && !ReadTripOfLogLine(line, &trip))
        ++line;
    ASSERT_LT(line, 10) << "the trip's line";
    EXPECT_STREQ(trip.server.data(), "\\\\FS2");
    if (GetACP() != 1251) {
        EXPECT_NE(std::wstring(trip.user.data()), dmitry) << "the line's name lost its letters";
    }
    const std::string list = folder + "restore.txt";
    ExportRestoreListAfterTrip(trip, list.c_str());
    ASSERT_TRUE(RestoreListWritten()) << Found();
    EXPECT_EQ(ReadWholeFile(list), "D:\\docs\\plan.xlsx\r\nD:\\docs\\report.docx\r\n");
    EXPECT_EQ(Found(), "2 lines written");
    std::array<wchar_t, 64> user{};
    GetDlgItemTextW(Page(), IDC_HISTORY_USER, user.data(), static_cast<int>(user.size()));
    EXPECT_EQ(std::wstring(user.data()), dmitry) << "the history's name, not the line's";
    EXPECT_EQ(BoxText(IDC_HISTORY_SERVER), "\\\\FS2");
    EXPECT_EQ(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0), 2) << "FS2's two writes";

    // The tripped list's user: the newest trip is found by name, and its server with it.
    ExportRestoreListAfterTrip(TrippedUser(dmitry.c_str()), list.c_str());
    ASSERT_TRUE(RestoreListWritten());
    EXPECT_EQ(ReadWholeFile(list), "D:\\docs\\plan.xlsx\r\nD:\\docs\\report.docx\r\n");

    // A line whose trip the history does not hold: the line's own name, and said so.
    TripAsked unknown = trip;
    unknown.local.wHour = 7;
    ExportRestoreListAfterTrip(unknown, list.c_str());
    ASSERT_TRUE(RestoreListWritten());
    EXPECT_EQ(ReadWholeFile(list).rfind("# This trip is not in the history yet", 0), 0u) << ReadWholeFile(list);
}

// With the history behind (another program holds its lock) the list says so on its
// first line and the page after the count; a user without writes is said to have none.
TEST_F(HistoryPageTest, ARestoreListMadeWhileTheHistoryIsBehindSaysSoFirst)
{
    At(8, 30, 0);
    Opened(L"C:\\d\\kept.txt", PERM_FILE_WRITE, L"bob");
    At(9, 0, 0);
    Tripped(L"bob");
    Stored();
    sqlite3* other = nullptr;
    const std::string database = std::string(engineState.logFolder.data()) + "quorvel-history.db";
    ASSERT_EQ(sqlite3_open_v2(database.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    At(9, 1, 0);
    Opened(L"C:\\d\\not-yet.txt", PERM_FILE_WRITE, L"bob");
    const std::string list = folder + "restore.txt";
    ExportRestoreListAfterTrip(TrippedUser(L"bob"), list.c_str());
    ASSERT_TRUE(RestoreListWritten()) << Found();
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    const std::vector<std::string> lines = Lines(ReadWholeFile(list));
    ASSERT_EQ(lines.size(), 2u) << ReadWholeFile(list);
    EXPECT_EQ(lines[0].rfind("# History is behind", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "C:\\d\\kept.txt");
    EXPECT_NE(Found().find("1 lines written. History is behind"), std::string::npos) << Found();

    Stored();
    ExportRestoreListAfterTrip(TrippedUser(L"nobody"), list.c_str());
    ASSERT_TRUE(RestoreListWritten()) << Found();
    EXPECT_EQ(Lines(ReadWholeFile(list)),
              (std::vector<std::string>{"# No trip of this user is in the history: the last day's writes on every server are shown",
                                        "# No writes of this user were found in the history on this server in that time"}));
}

// A server's names reach the page as they came: line breaks and control characters
// are shown as '?', a name of 70,000 characters is cut to what the cell holds, and
// the page goes on searching.
TEST_F(HistoryPageTest, HostileNamesAreShownCutAndWithoutControlCharacters)
{
    Opened(L"C:\\evil\r\nfake line\t\x01.txt", PERM_FILE_READ, std::wstring(70000, L'u'));
    Opened(L"C:\\plain.txt", PERM_FILE_WRITE, L"ann");
    Stored();
    ShowPage(HistoryPageIndex);
    const std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][5], "C:\\evil??fake line??.txt");
    EXPECT_FALSE(rows[1][4].empty());
    EXPECT_LT(rows[1][4].size(), 512u);
    EXPECT_EQ(rows[1][4].find_first_not_of('u'), std::string::npos);
    Type(IDC_HISTORY_PATH, "fake line");
    Press(IDC_HISTORY_SEARCH);
    EXPECT_EQ(Rows().size(), 1u);
}

// The status while the daily logs are read in: files and lines, a count past 32 bits
// whole; stopped, where it stopped; otherwise nothing added; a short room is cut.
TEST(HistoryPageStatus, TheBackfillTellsTheFilesAndLinesRead)
{
    HistoryStatus status{};
    status.backfill = BackfillState::Running;
    status.filesDone = 3;
    status.filesTotal = 365;
    status.linesRead = 5000000001ull;
    std::array<char, 256> text{};
    CopyText(text, "History is up to date");
    AppendBackfillText(status, text);
    EXPECT_STREQ(text.data(), "History is up to date; reading the daily logs: 3 of 365, 5000000001 lines");
    status.backfill = BackfillState::Stopped;
    CopyText(text, "History is up to date");
    AppendBackfillText(status, text);
    EXPECT_STREQ(text.data(), "History is up to date; reading the daily logs stopped at 3 of 365");
    status.backfill = BackfillState::Done;
    CopyText(text, "History is up to date");
    AppendBackfillText(status, text);
    EXPECT_STREQ(text.data(), "History is up to date");
    std::array<char, 30> room{};
    status.backfill = BackfillState::Running;
    AppendBackfillText(status, room);
    EXPECT_STREQ(room.data(), "; reading the daily logs: 3 o");

    // What a restore list says first: the writer's trouble, then the logs not all read.
    std::array<HistoryGapText, kHistoryGapsMost> gaps{};
    status.health = HistoryHealth::Current;
    EXPECT_EQ(DescribeHistoryGaps(status, true, gaps), 1);
    EXPECT_STREQ(gaps[0].data(), "The daily logs are still being read into the history (3 of 365): older events may be missing");
    status.health = HistoryHealth::Locked;
    status.backfill = BackfillState::Stopped;
    EXPECT_EQ(DescribeHistoryGaps(status, true, gaps), 2);
    EXPECT_STREQ(gaps[0].data(), "History is behind: another program has locked the database; what happened since is not all stored yet");
    EXPECT_STREQ(gaps[1].data(), "Reading the daily logs into the history stopped at 3 of 365: older events may be missing");
    status.health = HistoryHealth::Current;
    status.backfill = BackfillState::Done;
    EXPECT_EQ(DescribeHistoryGaps(status, true, gaps), 0);
    EXPECT_EQ(DescribeHistoryGaps(status, false, gaps), 1) << "what was queued is not stored";
}
