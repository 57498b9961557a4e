// The History page through the real main window, its real dialog resources and its
// real owner-data list: the events go the way delivery hands them over into the
// history the program's start-up opened, the boxes are set and Search pressed as a
// person would, and the list is read back through its own messages.
#include <windows.h>
#include <commctrl.h>
#include <lm.h>

#include <array>
#include <string>
#include <vector>

#include "core/text.h"
#include "engine/activity_batch.h"
#include "engine/delivery.h"
#include "engine/engine_state.h"
#include "engine/history_store.h"
#include "engine/watches.h"
#include "resources/resource.h"
#include "rules/computer_list.h"
#include "support/test_support.h"
#include "windows/black_list_page.h"
#include "windows/history_page.h"
#include "windows/log_page.h"
#include "windows/main_window.h"
#include "windows/window_state.h"

namespace {

using Row = std::vector<std::string>;

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
    std::string BoxText(int box) const
    {
        std::array<char, 64> text{};
        GetDlgItemTextA(Page(), box, text.data(), static_cast<int>(text.size()));
        return text.data();
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
    ShowUserWritesAfterTrip(L"bob", nullptr);
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
    ExportRestoreListAfterTrip(L"bob", nullptr, list.c_str());
    ASSERT_TRUE(PumpUntil([] { return !ReadHistoryJob().running && ReadHistoryJob().lines > 0; }));
    EXPECT_TRUE(ReadHistoryJob().succeeded);
    EXPECT_EQ(ReadWholeFile(list), "C:\\d\\a.txt\r\nC:\\d\\b.txt\r\n");

    // The Log page's line of the same trip, as the page shows it.
    TripOfLine trip{};
    SYSTEMTIME now{2026, 3, 6, 7, 9, 5, 0, 0};
    ASSERT_TRUE(ReadTripLine("[9:0:0] Tripwire [bob] opened a bait file", now, &trip));
    EXPECT_EQ(std::wstring(trip.user.data()), L"bob");
    EXPECT_EQ(trip.local.wDay, 7);
    EXPECT_EQ(trip.local.wHour, 9);
    ASSERT_TRUE(ReadTripLine("[23:59:58] [\\\\FS1] Tripwire [eve] burst", now, &trip)) << "a watched server's line";
    EXPECT_EQ(std::wstring(trip.user.data()), L"eve");
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
}
