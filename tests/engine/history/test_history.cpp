// The history: events the engine publishes are stored and found again by a search,
// whichever filter narrows it, across a day and a year change and several servers;
// the rows found go to a CSV file and a user's writes to a restore list; old events
// go after the days kept; the logs' lines are read back as delivery writes them.
#include <windows.h>
#include <lm.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/settings.h"
#include "engine/watch/actions.h"
#include "engine/watch/log_text.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/share_denies.h"
#include "engine/watch/trips.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_lines.h"
#include "rules/tripwires.h"
#include "support/history_fixture.h"

namespace {

void FakeLocalTime(SYSTEMTIME* now)
{
    *now = TheFakeClock().now;
}

ULONGLONG FakeMilliseconds()
{
    return TheFakeClock().milliseconds;
}

// A clock five and a half hours ahead of UTC: a zone that is not a whole hour.
void UniversalTimeOfIndia(SYSTEMTIME* now)
{
    int64_t seconds = 0;
    HistorySecondsOf(TheFakeClock().now, &seconds);
    *now = SystemTimeOfHistorySeconds(seconds - 330 * 60);
}

constexpr ClockSource kIndiaClock = {FakeLocalTime, FakeMilliseconds, UniversalTimeOfIndia};

template <std::size_t N>
void Put(std::array<char, N>& field, const std::string& text)
{
    CopyText(field, text);
}

std::vector<std::string> PathsOf(const std::vector<HistoryRow>& rows)
{
    std::vector<std::string> paths;
    for (const HistoryRow& row : rows)
        paths.push_back(Text(row.path));
    return paths;
}

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

}  // namespace

TEST_F(HistoryTest, EveryKindIsStoredAndFoundByEachFilterAcrossADayAndAYearChange)
{
    InstallClock(&kIndiaClock);
    OpenHistoryHere();
    clock->Set(2026, 12, 31, 23, 59, 58);
    Connected(L"PC1", L"Ann");
    Opened(L"C:\\Shares\\100%_done'*.txt", PERM_FILE_READ, L"ann");
    clock->Set(2027, 1, 1, 0, 0, 1);
    Opened(L"C:\\Shares\\100x_done.txt", PERM_FILE_WRITE, L"Bob");
    Opened(L"C:\\Shares\\R\u00c9SUM\u00c9.doc", PERM_FILE_WRITE | PERM_FILE_CREATE, L"ann");
    Tripped(L"ann", " opened the bait file C:\\Shares\\canary.txt");
    clock->Set(2027, 1, 1, 0, 0, 5);
    Published(EventKind::SessionCutOff, "\\\\FS1", L"PC2", L"", L"", "blacklist");
    Published(EventKind::ShareRemoved, "", L"", L"", L"Public", "");
    Published(EventKind::FileOpen, "\\\\FS1", L"", L"carol", L"D:\\x.txt", "");
    Flush();

    const std::vector<HistoryRow> all = Find(AllEvents());
    ASSERT_EQ(all.size(), 8u);
    for (std::size_t k = 1; k < all.size(); ++k)
        EXPECT_GT(all[k - 1].key, all[k].key) << "newest first";
    const HistoryRow& connection = all.back();
    EXPECT_EQ(connection.kind, EventKind::Connection);
    EXPECT_EQ(Text(connection.computer), "PC1");
    EXPECT_EQ(Text(connection.user), "Ann");
    EXPECT_EQ(Text(connection.server), "");
    EXPECT_TRUE(SameTime(connection.local, Time(2026, 12, 31, 23, 59, 58))) << "the local time the log shows";
    EXPECT_TRUE(SameTime(connection.utc, Time(2026, 12, 31, 18, 29, 58)));
    EXPECT_EQ(Text(all[0].server), "\\\\FS1");
    EXPECT_EQ(Text(all[0].user), "carol");

    const auto count = [](auto fill) {
        HistoryQuery query{};
        fill(query);
        return Find(query).size();
    };
    // Kinds, reads and writes told apart by the open mode.
    EXPECT_EQ(PathsOf(Find([] { HistoryQuery q{}; q.kinds = HistoryReads; return q; }())),
              (std::vector<std::string>{"D:\\x.txt", "C:\\Shares\\100%_done'*.txt"}));
    EXPECT_EQ(PathsOf(Find([] { HistoryQuery q{}; q.kinds = HistoryWrites; return q; }())),
              (std::vector<std::string>{Utf8(L"C:\\Shares\\R\u00c9SUM\u00c9.doc"), "C:\\Shares\\100x_done.txt"}));
    EXPECT_EQ(count([](HistoryQuery& q) { q.kinds = HistoryConnections; }), 1u);
    const std::vector<HistoryRow> trips = Find([] { HistoryQuery q{}; q.kinds = HistoryTrips; return q; }());
    ASSERT_EQ(trips.size(), 1u);
    EXPECT_EQ(Text(trips[0].detail), " opened the bait file C:\\Shares\\canary.txt");
    const std::vector<HistoryRow> blocks = Find([] { HistoryQuery q{}; q.kinds = HistoryBlocks; return q; }());
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(Text(blocks[0].computer) + " " + Text(blocks[0].detail) + " " + Text(blocks[0].server),
              "PC2 blacklist \\\\FS1");
    EXPECT_EQ(count([](HistoryQuery& q) { q.kinds = HistoryActions; }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { q.kinds = HistoryReads | HistoryWrites; }), 4u);

    // Names whole and in any case; servers.
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.user, "ANN"); }), 4u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.user, "an"); }), 0u) << "a user name is whole";
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.computer, "\\\\pc1"); }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { q.serverChoice = HistoryServerChoice::Named; Put(q.server, "fs1"); }), 2u);
    EXPECT_EQ(count([](HistoryQuery& q) { q.serverChoice = HistoryServerChoice::ThisComputer; }), 6u);

    // A part of the path: every character literal, letters in any case.
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.pathContains, "100%_done'*"); }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.pathContains, "%"); }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.pathContains, "_"); }), 2u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.pathContains, "*"); }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.pathContains, "'"); }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.pathContains, Utf8(L"r\u00e9sum\u00e9")); }), 1u);
    EXPECT_EQ(count([](HistoryQuery& q) { Put(q.user, "bob"); Put(q.pathContains, "100"); }), 1u);

    // Time ranges in UTC, both ends inclusive, across the local year change.
    EXPECT_EQ(count([](HistoryQuery& q) { q.from = Time(2026, 12, 31, 18, 30, 0); }), 6u);
    EXPECT_EQ(count([](HistoryQuery& q) { q.to = Time(2026, 12, 31, 18, 29, 58); }), 2u);
    EXPECT_EQ(count([](HistoryQuery& q) {
                  q.from = Time(2026, 12, 31, 18, 29, 58);
                  q.to = Time(2026, 12, 31, 18, 30, 1);
              }),
              5u);
}

// A trip's deny at the shares and its restore are kept beside the trip, found by its user,
// each with its words: at how many shares of which server.
TEST_F(HistoryTest, ATripsDenyAtTheSharesAndTheirRestoreAreFoundByItsUser)
{
    OpenHistoryHere();
    engineState.rules.tripwires.enabled = 1;
    engineState.rules.tripwires.denyShares = 1;
    engineState.rules.tripwires.blockMinutes = 0;
    AddBaitPattern(engineState.rules.tripwires, "*\\canary*");
    server->shares = {{L"Projects", STYPE_DISKTREE, L"", 0, L"D:\\Projects"},
                      {L"HR", STYPE_DISKTREE, L"", 0, L"D:\\HR"}};
    server->accounts = {{L"mallory", L"S-1-5-21-7-7-7-1105"}};
    server->sessions = {{L"PC66", L"mallory"}};
    ASSERT_TRUE(StartShareDenies((folder + kDenyJournalName).c_str()));
    RunEngineRounds(1);
    server->files.push_back({700, PERM_FILE_READ, 0, L"D:\\Projects\\canary.docx", L"mallory"});
    const auto settled = [](int32_t shares) {
        return PollUntil([&] {
            RunEngineRounds(1);
            return ShareDeniesIdle() && DeniedShareCount(L"mallory") == shares &&
                   engineState.rules.tripped[0].deniedShares == shares;
        });
    };
    ASSERT_TRUE(settled(2)) << WholeLogText(engineState.logText);
    ReleaseTrippedComputer(0);
    ASSERT_TRUE(settled(0) && !HoldsShareDenies(L"mallory")) << WholeLogText(engineState.logText);
    RunEngineRounds(5);  // the restore's notice taken by the engine's round
    StopShareDenies();
    Flush();

    HistoryQuery query{};
    Put(query.user, "MALLORY");
    query.kinds = HistoryActions;
    std::vector<std::string> found;
    for (const HistoryRow& row : Find(query))
        found.push_back(std::string(HistoryKindName(row.kind)) + ": " + Text(row.detail));
    EXPECT_EQ(found, (std::vector<std::string>{
                         "Shares restored: The permissions of 2 shares of this computer are as before the trip of mallory.",
                         "Shares denied: mallory is denied at 2 shares of this computer.",
                     }))
        << "newest first";
    query.kinds = HistoryTrips;
    EXPECT_EQ(Find(query).size(), 1u) << "the trip itself, beside them";
}

HistoryRestoreAsk RestoreAsk(const char* user, const SYSTEMTIME& from, const SYSTEMTIME& to,
                             HistoryServerChoice choice = HistoryServerChoice::Any, const char* server = "")
{
    HistoryRestoreAsk ask{};
    Put(ask.user, user);
    ask.serverChoice = choice;
    Put(ask.server, server);
    ask.from = from;
    ask.to = to;
    return ask;
}

void WrittenOn(const char* server, const std::wstring& path, const std::wstring& user)
{
    const PollTime time = TakePollTime();
    PublishEvent({EventKind::FileOpen, time.at, time.utc, server, L"", user, path, PERM_FILE_WRITE, "", "a line"});
}

// Paths are each server's own: the list is of one server's, this computer's or all.
// Nothing found is said in the file, on a line no path can be.
TEST_F(HistoryTest, ExportWritesTheRowsFoundAndTheRestoreListAUsersWritesInTheRange)
{
    OpenHistoryHere();
    clock->Set(2026, 3, 7, 10, 0, 0);
    Opened(L"C:\\d\\b.txt", PERM_FILE_WRITE, L"ann");
    Opened(L"C:\\d\\\u00c4.txt", PERM_FILE_CREATE, L"ann");
    Opened(L"C:\\d\\c.txt", PERM_FILE_READ, L"ann");
    Opened(L"C:\\d\\a.txt", PERM_FILE_READ | PERM_FILE_WRITE, L"ANN");
    Opened(L"C:\\d\\b.txt", PERM_FILE_WRITE, L"ann");
    Opened(L"C:\\d\\e.txt", PERM_FILE_WRITE, L"bob");
    Opened(L"=HYPERLINK(\"http://x\")", PERM_FILE_WRITE, L"ann");
    clock->Set(2026, 3, 8, 10, 0, 0);
    Opened(L"C:\\d\\late.txt", PERM_FILE_WRITE, L"ann");
    clock->Set(2026, 3, 7, 11, 0, 0);
    WrittenOn("\\\\FS2", L"C:\\d\\b.txt", L"ann");
    WrittenOn("\\\\FS2", L"C:\\d\\fs2.txt", L"ann");
    Flush();

    const std::string list = folder + "restore.txt";
    const SYSTEMTIME from = Time(2026, 3, 7, 0, 0, 0), to = Time(2026, 3, 7, 23, 59, 59);
    ASSERT_TRUE(StartHistoryRestoreList(list.c_str(), RestoreAsk("ann", from, to, HistoryServerChoice::Named, "\\\\fs2")));
    ASSERT_TRUE(PollUntil([] { return !ReadHistoryJob().running; }));
    EXPECT_EQ(ReadWholeFile(list), "C:\\d\\b.txt\r\nC:\\d\\fs2.txt\r\n") << "FS2's own, its name in any case";
    EXPECT_STREQ(ReadHistoryJob().note.data(), "");
    ASSERT_TRUE(StartHistoryRestoreList(list.c_str(), RestoreAsk("ann", from, to, HistoryServerChoice::ThisComputer)));
    ASSERT_TRUE(PollUntil([] { return !ReadHistoryJob().running; }));
    EXPECT_TRUE(ReadHistoryJob().succeeded);
    EXPECT_EQ(ReadHistoryJob().lines, 4u);
    EXPECT_EQ(ReadWholeFile(list), "=HYPERLINK(\"http://x\")\r\nC:\\d\\a.txt\r\nC:\\d\\b.txt\r\n" +
                                       Utf8(L"C:\\d\\\u00c4.txt") + "\r\n")
        << "distinct, sorted, only writes and creates of that user in the range";
    ASSERT_TRUE(StartHistoryRestoreList(list.c_str(), RestoreAsk("ann", from, to)));
    ASSERT_TRUE(PollUntil([] { return !ReadHistoryJob().running; }));
    EXPECT_EQ(ReadHistoryJob().lines, 5u) << "every server's";
    ASSERT_TRUE(StartHistoryRestoreList(list.c_str(), RestoreAsk("nobody", {}, {})));
    ASSERT_TRUE(PollUntil([] { return !ReadHistoryJob().running; }));
    EXPECT_TRUE(ReadHistoryJob().succeeded);
    EXPECT_EQ(ReadHistoryJob().lines, 0u);
    EXPECT_EQ(ReadWholeFile(list), "# No writes of this user were found in the history on this server in that time\r\n");
    EXPECT_STREQ(ReadHistoryJob().note.data(),
                 "No writes of this user were found in the history on this server in that time");

    uint32_t generation = 0;
    HistoryQuery anns{};
    Put(anns.user, "ann");
    ASSERT_EQ(Find(anns, &generation).size(), 9u);
    const std::string csv = folder + "found.csv";
    ASSERT_TRUE(StartHistoryExport(generation, csv.c_str()));
    ASSERT_TRUE(PollUntil([] { return !ReadHistoryJob().running; }));
    EXPECT_TRUE(ReadHistoryJob().succeeded);
    const std::vector<std::string> lines = Lines(ReadWholeFile(csv));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBF\"Time\",\"Server\",\"Kind\",\"Computer\",\"User\",\"Path or detail\",\"Mode\"");
    EXPECT_EQ(lines[1], "\"2026-03-08 10:00:00\",\"\",\"File open\",\"\",\"ann\",\"C:\\d\\late.txt\",\"Write\"");
    EXPECT_EQ(lines[4], "\"2026-03-07 10:00:00\",\"\",\"File open\",\"\",\"ann\",\"'=HYPERLINK(\"\"http://x\"\")\",\"Write\"")
        << "quotes doubled; a formula is not run by a spreadsheet";
    EXPECT_EQ(lines[6], "\"2026-03-07 10:00:00\",\"\",\"File open\",\"\",\"ANN\",\"C:\\d\\a.txt\",\"ReadWrite\"");
    EXPECT_EQ(lines[9], "\"2026-03-07 10:00:00\",\"\",\"File open\",\"\",\"ann\",\"C:\\d\\b.txt\",\"Write\"");

    EXPECT_FALSE(StartHistoryExport(generation + 5, csv.c_str()) && PollUntil([] { return !ReadHistoryJob().running; }) &&
                 ReadHistoryJob().succeeded)
        << "the rows of a search that is not the last are not exported";
}

TEST_F(HistoryTest, ANewerSearchReplacesTheOlderAndRowsComeInPagesNewestFirst)
{
    std::mutex told;
    std::vector<std::pair<HistoryNoticeKind, uint32_t>> notices;
    struct Context {
        std::mutex* told;
        std::vector<std::pair<HistoryNoticeKind, uint32_t>>* notices;
    } context{&told, &notices};
    SetHistoryNotice(
        [](HistoryNoticeKind kind, uint32_t generation, void* data) {
            auto* to = static_cast<Context*>(data);
            std::lock_guard<std::mutex> lock(*to->told);
            to->notices->push_back({kind, generation});
        },
        &context);
    OpenHistoryHere();
    // Seven hours apart: the events lie over half a year, many to a day and many days
    // with none of a user's.
    for (int k = 0; k < 600; ++k) {
        clock->AdvanceMilliseconds(7 * 3600 * 1000);
        Opened(L"C:\\p\\" + std::to_wstring(k), PERM_FILE_READ, k % 3 == 0 ? L"ann" : L"bob");
    }
    Flush();

    const uint32_t older = StartHistorySearch(AllEvents());
    HistoryQuery anns{};
    Put(anns.user, "ann");
    uint32_t newer = 0;
    const std::vector<HistoryRow> rows = Find(anns, &newer);
    EXPECT_GT(newer, older);
    EXPECT_EQ(ReadHistorySearch().generation, newer);
    HistoryRow row{};
    EXPECT_FALSE(GetHistoryRow(older, 0, &row)) << "rows of a replaced search are not given";
    ASSERT_EQ(rows.size(), 200u);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(Text(rows[k].path), "C:\\p\\" + std::to_string(597 - 3 * k)) << "row " << k;
        EXPECT_EQ(Text(rows[k].user), "ann");
    }
    // Ranges that end inside a day, by user and by path.
    HistoryQuery cut = anns;
    cut.to = rows[100].utc;  // event 297
    EXPECT_EQ(Find(cut).size(), 100u);
    cut.from = rows[150].utc;  // event 147
    const std::vector<HistoryRow> between = Find(cut);
    ASSERT_EQ(between.size(), 51u);
    EXPECT_EQ(Text(between.front().path), "C:\\p\\297");
    EXPECT_EQ(Text(between.back().path), "C:\\p\\147");
    HistoryQuery ones{};
    Put(ones.pathContains, "p\\1");
    const std::vector<HistoryRow> paths = Find(ones);
    ASSERT_EQ(paths.size(), 111u) << "1, 10 to 19, 100 to 199";
    EXPECT_EQ(Text(paths.front().path), "C:\\p\\199");
    for (std::size_t k = 1; k < paths.size(); ++k)
        EXPECT_GT(paths[k - 1].key, paths[k].key) << "newest first, row " << k;
    std::lock_guard<std::mutex> lock(told);
    int finishedNewer = 0;
    int rowsNewer = 0;
    for (const auto& [kind, generation] : notices) {
        finishedNewer += kind == HistoryNoticeKind::Finished && generation == newer;
        rowsNewer += kind == HistoryNoticeKind::Rows && generation == newer;
    }
    EXPECT_EQ(finishedNewer, 1);
    EXPECT_GE(rowsNewer, 1) << "the page is told when rows it asked for are there";
}

TEST_F(HistoryTest, OldEventsGoAfterTheDaysKeptWithTheNamesOnlyTheyUsed)
{
    WriteSettingText(kHistorySection, kKeepDaysKey, "30");
    EXPECT_EQ(ReadHistoryKeepDays(), 30);
    for (const char* bad : {"", "x", "-1", "36501", "99999999999", "1e3"}) {
        WriteSettingText(kHistorySection, kKeepDaysKey, bad);
        EXPECT_EQ(ReadHistoryKeepDays(), kKeepDaysDefault) << "keepdays=" << bad;
    }
    WriteSettingText(kHistorySection, kKeepDaysKey, "0");
    EXPECT_EQ(ReadHistoryKeepDays(), 0) << "keeps everything";

    // A log older than the days kept is not read in.
    WriteWholeFile(std::string(engineState.logFolder.data()) + "1.1.2026.log", "[9:0:0] User old connected from PC9\r\n");
    OpenHistoryHere(30);
    clock->Set(2026, 1, 20, 8, 0, 0);
    Opened(L"C:\\old.txt", PERM_FILE_READ, L"olduser");
    Opened(L"C:\\kept.txt", PERM_FILE_READ, L"shared");
    clock->Set(2026, 3, 7, 8, 0, 0);
    Opened(L"C:\\new.txt", PERM_FILE_READ, L"shared");
    Opened(L"C:\\kept.txt", PERM_FILE_READ, L"newuser");
    Flush();
    ASSERT_TRUE(PollUntil([] { return ReadHistoryStatus().backfill == BackfillState::Done; }));

    clock->Set(2026, 3, 8, 0, 0, 1);  // a new day: the writer prunes
    ASSERT_TRUE(PollUntil([this] { return CountIn("SELECT count(*) FROM names WHERE text = 'olduser'") == 0; }));
    EXPECT_EQ(PathsOf(Find(AllEvents())), (std::vector<std::string>{"C:\\kept.txt", "C:\\new.txt"}));
    EXPECT_EQ(CountIn("SELECT count(*) FROM paths WHERE text = 'C:\\old.txt'"), 0);
    EXPECT_EQ(CountIn("SELECT count(*) FROM paths WHERE text = 'C:\\kept.txt'"), 1);
    EXPECT_EQ(CountIn("SELECT count(*) FROM names WHERE text IN ('shared', 'newuser')"), 2);
    EXPECT_EQ(CountIn("SELECT count(*) FROM names WHERE text = 'old'"), 0) << "the old log was never read";
}

// What a window of the service asked is kept with the account that asked.
TEST_F(HistoryTest, AnActionAskedThroughThePipeKeepsWhoAsked)
{
    OpenHistoryHere();
    ASSERT_TRUE(ListComputerAction(Blacklist, L"PC-EVE", kPermanent, L"CORP\\ann"));
    CloseSessionAction(kThisComputer, L"\\\\PC-EVE", L"eve", L"CORP\\bob");
    ListComputerAction(Whitelist, L"PC-OWN", kPermanent);  // the program's own window
    Flush();
    const std::vector<HistoryRow> rows = Find(AllEvents());
    std::vector<std::string> details;
    for (const HistoryRow& row : rows)
        details.push_back(Text(row.detail));
    EXPECT_EQ(details, (std::vector<std::string>{"whitelist", "by CORP\\bob", "blacklist, by CORP\\ann"}))
        << "newest first";
    const std::string log(WholeLogText(engineState.logText));
    EXPECT_NE(log.find("] CORP\\ann asked through the service's pipe: PC-EVE added to the blacklist\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("] CORP\\bob asked through the service's pipe: Session of \\\\PC-EVE closed\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("PC-OWN"), std::string::npos) << "the program's own window asks in its own right";
}

TEST(HistoryLines, LinesAreReadBackAsDeliveryWritesThemAndAnythingElseIsRefused)
{
    const SYSTEMTIME at = Time(2026, 3, 7, 9, 5, 7);
    std::array<char, kFormatCapacity> line{};
    LogLine parsed{};
    ASSERT_TRUE(FormatLogLineOf(EventKind::FileOpen, 3, L"ann", L"", L"C:\\a][Read] b.txt", "", at, line));
    EXPECT_STREQ(line.data(), "[9:5:7] [ann][ReadWrite] C:\\a][Read] b.txt");
    ASSERT_TRUE(ParseLogLine(line.data(), &parsed));
    EXPECT_EQ(parsed.secondOfDay, 9 * 3600 + 5 * 60 + 7);
    EXPECT_EQ(parsed.kind, EventKind::FileOpen);
    EXPECT_EQ(parsed.mode, 3u);
    EXPECT_EQ(parsed.user, "ann");
    EXPECT_EQ(parsed.path, "C:\\a][Read] b.txt");

    ASSERT_TRUE(FormatLogLineOf(EventKind::Connection, 0, L"bob", L"PC1", L"", "", at, line));
    ASSERT_TRUE(ParseLogLine(line.data(), &parsed));
    EXPECT_EQ(parsed.kind, EventKind::Connection);
    EXPECT_EQ(std::string(parsed.user) + "@" + std::string(parsed.computer), "bob@PC1");
    ASSERT_TRUE(FormatLogLineOf(EventKind::Connection, 0, L"", L"PC2", L"", "", at, line));
    ASSERT_TRUE(ParseLogLine(line.data(), &parsed));
    EXPECT_EQ(parsed.user, "Guest");

    ASSERT_TRUE(FormatLogLineOf(EventKind::Tripwire, 0, L"eve", L"", L"", " opened a bait file", at, line));
    ASSERT_TRUE(ParseLogLine(line.data(), &parsed));
    EXPECT_EQ(parsed.kind, EventKind::Tripwire);
    EXPECT_EQ(std::string(parsed.user) + "|" + std::string(parsed.detail), "eve| opened a bait file");
    EXPECT_FALSE(FormatLogLineOf(EventKind::ShareRemoved, 0, L"", L"", L"x", "", at, line)) << "not in the logs";

    for (const char* bad : {"", "[", "[9:5:7]", "[9:5:7] ", "[24:0:0] User a connected from b",
                            "[9:60:0] [a][Read] x", "[9:5:100] [a][Read] x", "[9:5] [a][Read] x",
                            "[-1:5:7] [a][Read] x", "9:5:7 [a][Read] x", "[9:5:7] [a][Bogus] x", "[9:5:7] [a]",
                            "[9:5:7] User nobody", "[9:5:7] Tripwire [no end", "[9:5:7] something else",
                            "[009:5:7] [a][Read] x", "#File generated by Quorvel 1.2"})
        EXPECT_FALSE(ParseLogLine(bad, &parsed)) << bad;
    const std::string nul("[9:5:7] [a\0b][Read] x", 21);
    ASSERT_TRUE(ParseLogLine(nul, &parsed)) << "a line is taken by its length";
    EXPECT_EQ(parsed.user.size(), 3u);

    SYSTEMTIME day{};
    ASSERT_TRUE(ParseLogFileName("29.2.2028.log", &day));
    EXPECT_EQ(DayNumberOf(day), 20280229);
    for (const char* bad : {"29.2.2027.log", "31.4.2026.log", "0.1.2026.log", "1.13.2026.log", "1.1.2026.csv",
                            "1.1.2026", "1.1.2026.log.bak", "a.1.2026.log", "1..2026.log", "1.1.20266.log", ".log"})
        EXPECT_FALSE(ParseLogFileName(bad, &day)) << bad;
}

// A summer time picked in winter (or the other way round) is as far from UTC as that
// date was; the machine's own zone decides, so the check bites where it has summer time.
TEST(HistoryTimes, ALocalTimeIsTakenToUtcByTheRulesOfItsOwnDate)
{
    for (const WORD month : {WORD{1}, WORD{4}, WORD{7}, WORD{10}}) {
        const SYSTEMTIME utc = Time(2026, month, 15, 12, 0, 0);
        SYSTEMTIME local{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
        EXPECT_TRUE(SameTime(UtcOfLocalTime(local), utc)) << "month " << month;
    }
    // A clock set for a test keeps its own distance from UTC.
    TheFakeClock().Set(2026, 1, 10, 8, 0, 0);
    InstallClock(&kIndiaClock);
    const SYSTEMTIME india = UtcOfLocalTime(Time(2026, 7, 1, 10, 0, 0));
    InstallClock(nullptr);
    EXPECT_TRUE(SameTime(india, Time(2026, 7, 1, 4, 30, 0)));
}
