// The history's benchmark: a busy office's year (by default 10,000,000 events over
// 365 days, 200,000 distinct paths, 2,000 users, 3,000 computers) as daily logs or
// straight into a database, and the figures the history is held to.
//
//   bench_history make-logs FOLDER [events] [days]   the year as daily text logs
//   bench_history make-db FOLDER [events] [days]     the year straight into the database
//   bench_history backfill FOLDER                    reads the logs in: time, lines/s
//   bench_history writer FOLDER [events]             live events through the engine's sink: events/s
//   bench_history queries FOLDER                     searches, and bytes per event
//
// FOLDER is a log folder; the year ends yesterday. tools/bench/history.sh runs them all.
#include <windows.h>
#include <lm.h>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "engine/watch/event_record.h"
#include "engine/history/history_db.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_search.h"
#include "engine/history/history_store.h"

namespace {

constexpr int kUsers = 2000;
constexpr int kComputers = 3000;
constexpr int kPaths = 200000;

double Seconds()
{
    LARGE_INTEGER frequency{}, now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Random {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    uint32_t Next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    uint32_t Below(uint32_t most) { return Next() % most; }
};

std::string UserName(int user)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "user%04d", user);
    return text.data();
}

std::string ComputerName(int computer)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "PC-%04d", computer);
    return text.data();
}

std::string PathName(int path)
{
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(), "\\\\FS1\\Shares\\Dept%02d\\Project%03d\\Folder%02d\\Document%06d.docx",
                  path % 40, path / 40 % 250, path / 7 % 50, path);
    return text.data();
}

// One event of the office: who, what, when in the day.
struct OfficeEvent {
    int secondOfDay;
    bool connection;
    int user;
    int computer;
    int path;
    uint32_t mode;
};

// A day's events, in time order: people work from 7 to 19; each has a working set of
// a hundred documents and now and then opens anything; one event in ten is a
// connection from one of their two computers.
void MakeDay(Random& random, int count, std::vector<OfficeEvent>& events)
{
    events.resize(static_cast<std::size_t>(count));
    for (OfficeEvent& event : events) {
        event.secondOfDay = 7 * 3600 + static_cast<int>(random.Below(12 * 3600));
        event.user = static_cast<int>(random.Below(kUsers));
        event.connection = random.Below(10) == 0;
        event.computer = (event.user * 3 / 2 + static_cast<int>(random.Below(2))) % kComputers;
        event.path = random.Below(5) == 0 ? static_cast<int>(random.Below(kPaths))
                                          : (event.user * 100 + static_cast<int>(random.Below(100))) % kPaths;
        const uint32_t kind = random.Below(100);
        event.mode = kind < 75 ? PERM_FILE_READ : kind < 95 ? PERM_FILE_READ | PERM_FILE_WRITE
                                                            : PERM_FILE_WRITE | PERM_FILE_CREATE;
    }
    std::sort(events.begin(), events.end(),
              [](const OfficeEvent& a, const OfficeEvent& b) { return a.secondOfDay < b.secondOfDay; });
}

// The first day of the year that ends yesterday, as history seconds of its midnight.
int64_t FirstDay(int days)
{
    SYSTEMTIME today{};
    GetLocalTime(&today);
    today.wHour = today.wMinute = today.wSecond = today.wMilliseconds = 0;
    int64_t seconds = 0;
    HistorySecondsOf(today, &seconds);
    return seconds - int64_t{days} * 86400;
}

int DayEvents(int64_t events, int days, int day)
{
    return static_cast<int>(events / days + (day < events % days ? 1 : 0));
}

const char* ModeText(uint32_t mode)
{
    return mode == PERM_FILE_READ ? "Read" : mode == (PERM_FILE_READ | PERM_FILE_WRITE) ? "ReadWrite" : "WriteCreate";
}

int MakeLogs(const std::string& folder, int64_t total, int days)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    Random random;
    std::vector<OfficeEvent> events;
    std::string text;
    const double start = Seconds();
    const int64_t first = FirstDay(days);
    for (int day = 0; day < days; ++day) {
        MakeDay(random, DayEvents(total, days, day), events);
        text.clear();
        for (const OfficeEvent& event : events) {
            std::array<char, 256> line{};
            const int h = event.secondOfDay / 3600, m = event.secondOfDay / 60 % 60, s = event.secondOfDay % 60;
            if (event.connection)
                std::snprintf(line.data(), line.size(), "[%d:%d:%d] User %s connected from %s\r\n", h, m, s,
                              UserName(event.user).c_str(), ComputerName(event.computer).c_str());
            else
                std::snprintf(line.data(), line.size(), "[%d:%d:%d] [%s][%s] %s\r\n", h, m, s,
                              UserName(event.user).c_str(), ModeText(event.mode), PathName(event.path).c_str());
            text += line.data();
        }
        const SYSTEMTIME date = SystemTimeOfHistorySeconds(first + int64_t{day} * 86400);
        std::array<char, MAX_PATH> path{};
        std::snprintf(path.data(), path.size(), "%s\\%d.%d.%d.log", folder.c_str(), date.wDay, date.wMonth, date.wYear);
        HANDLE file = CreateFileA(path.data(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    std::printf("made %lld log lines in %d daily logs in %.1f s\n", static_cast<long long>(total), days,
                Seconds() - start);
    return 0;
}

int MakeDatabase(const std::string& folder, int64_t total, int days)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string path = folder + "\\" + kHistoryFileName;
    sqlite3* db = nullptr;
    if (OpenHistoryDatabase(path.c_str(), &db) != HistoryOpening::Created) {
        std::printf("%s: could not create a new database (is one there already?)\n", path.c_str());
        return 1;
    }
    static HistoryWriter writer;
    if (const char* pragma = std::getenv("BENCH_PRAGMA"))
        sqlite3_exec(db, pragma, nullptr, nullptr, nullptr);
    // The events' indexes are made once at the end, as a bulk load makes them: kept up
    // row by row, each day's transaction rewrites most of their pages (the writer's own
    // rate is measured by the writer mode, the logs' by the back-fill).
    std::vector<std::string> indexes;
    std::vector<std::string> drops;
    sqlite3_stmt* listed = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = 'events'"
                               " AND sql IS NOT NULL", -1, &listed, nullptr) == SQLITE_OK)
        while (sqlite3_step(listed) == SQLITE_ROW) {
            indexes.push_back(reinterpret_cast<const char*>(sqlite3_column_text(listed, 1)));
            drops.push_back(std::string("DROP INDEX ") + reinterpret_cast<const char*>(sqlite3_column_text(listed, 0)));
        }
    sqlite3_finalize(listed);  // a table being read cannot lose an index
    for (const std::string& drop : drops)
        if (sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            std::printf("%s: %s\n", drop.c_str(), sqlite3_errmsg(db));
    PrepareHistoryWriter(writer, db);
    Random random;
    std::vector<OfficeEvent> events;
    const double start = Seconds();
    const int64_t first = FirstDay(days);
    for (int day = 0; day < days; ++day) {
        MakeDay(random, DayEvents(total, days, day), events);
        BeginHistoryWrite(writer);
        for (const OfficeEvent& event : events) {
            const std::string user = UserName(event.user);
            const std::string computer = ComputerName(event.computer);
            const std::string file = PathName(event.path);
            const StoredEvent stored{0,
                                     HistoryKindCode(event.connection ? EventKind::Connection : EventKind::FileOpen,
                                                     event.mode),
                                     first + int64_t{day} * 86400 + event.secondOfDay,
                                     0,
                                     "",
                                     event.connection ? computer : std::string_view(),
                                     user,
                                     event.connection ? std::string_view() : file,
                                     ""};
            StoreHistoryEvent(writer, stored);
        }
        if (CommitHistoryWrite(writer) != SQLITE_OK) {
            std::printf("day %d: %s\n", day, sqlite3_errmsg(db));
            return 1;
        }
    }
    const double stored = Seconds() - start;
    for (const std::string& index : indexes)
        if (sqlite3_exec(db, index.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            std::printf("%s: %s\n", index.c_str(), sqlite3_errmsg(db));
    const double spent = Seconds() - start;
    std::printf("stored %lld events straight into the database in %.1f s, its %zu indexes made after in %.1f s\n",
                static_cast<long long>(total), stored, indexes.size(), spent - stored);
    FinishHistoryWriter(writer);
    CloseHistoryDatabase(db);
    return 0;
}

const char* StateName(BackfillState state)
{
    switch (state) {
    case BackfillState::Idle: return "idle";
    case BackfillState::Running: return "running";
    case BackfillState::Stopped: return "stopped";
    case BackfillState::Done: return "done";
    }
    return "?";
}

int Backfill(const std::string& folder)
{
    const double start = Seconds();
    if (!OpenHistory((folder + "\\").c_str(), 0))
        return 1;
    double told = start;
    while (ReadHistoryStatus().backfill != BackfillState::Done) {
        Sleep(100);
        if (Seconds() - told > 15) {
            const HistoryStatus status = ReadHistoryStatus();
            std::printf("  %s: %u of %u logs, %llu lines, %.0f s\n", StateName(status.backfill), status.filesDone,
                        status.filesTotal, static_cast<unsigned long long>(status.linesRead), Seconds() - start);
            told = Seconds();
        }
    }
    const double spent = Seconds() - start;
    const HistoryStatus status = ReadHistoryStatus();
    std::printf("back-fill: %u logs, %llu lines (%llu stored) in %.1f s: %.0f lines/s\n", status.filesTotal,
                static_cast<unsigned long long>(status.linesRead), static_cast<unsigned long long>(status.linesTaken),
                spent, static_cast<double>(status.linesRead) / spent);
    CloseHistory();
    return 0;
}

int Writer(const std::string& folder, int64_t total)
{
    if (!OpenHistory((folder + "\\").c_str(), 0))
        return 1;
    while (ReadHistoryStatus().health == HistoryHealth::Starting ||
           ReadHistoryStatus().backfill == BackfillState::Running)
        Sleep(50);
    Random random;
    constexpr int kBurst = 2000;
    const double start = Seconds();
    for (int64_t done = 0; done < total; done += kBurst) {
        SYSTEMTIME local{};
        GetLocalTime(&local);
        SYSTEMTIME utc{};
        GetSystemTime(&utc);
        for (int k = 0; k < kBurst; ++k) {
            const int user = static_cast<int>(random.Below(kUsers));
            const std::string userText = UserName(user);
            const std::wstring userName(userText.begin(), userText.end());
            const std::string pathText = PathName((user * 100 + static_cast<int>(random.Below(100))) % kPaths);
            const std::wstring path(pathText.begin(), pathText.end());
            const EventRecord record{EventKind::FileOpen, local, utc, "", L"", userName, path, PERM_FILE_READ, "", ""};
            PublishEvent(record);
        }
        // Keep the queue from overflowing: the figure is what the writer stores, not what it drops.
        while (ReadHistoryStatus().waiting > 12000)
            Sleep(1);
    }
    WaitForHistoryWrites(600000);
    const double spent = Seconds() - start;
    const HistoryStatus status = ReadHistoryStatus();
    std::printf("writer: %lld events through the sink in %.2f s: %.0f events/s (missed %llu)\n",
                static_cast<long long>(total), spent, static_cast<double>(total) / spent,
                static_cast<unsigned long long>(status.missed));
    CloseHistory();
    return 0;
}

HANDLE noticed;
std::atomic<uint32_t> waitedFor{0};
std::atomic<int32_t> waitedKind{0};

void OnNotice(HistoryNoticeKind kind, uint32_t generation, void*)
{
    if (generation == waitedFor.load() &&
        (kind == static_cast<HistoryNoticeKind>(waitedKind.load()) || kind == HistoryNoticeKind::Rows))
        SetEvent(noticed);
}

// A search as a page runs it: the first 100 rows on screen, then the count.
void TimeSearch(const char* what, const HistoryQuery& query)
{
    const double start = Seconds();
    waitedKind.store(static_cast<int32_t>(HistoryNoticeKind::FirstRows));
    const uint32_t generation = StartHistorySearch(query);
    waitedFor.store(generation);
    for (;;) {
        const HistorySearchStatus status = ReadHistorySearch();
        if (status.generation == generation && (status.found >= 100 || status.finished))
            break;
        WaitForSingleObject(noticed, 5);
    }
    const uint32_t wanted = std::min<uint32_t>(100, ReadHistorySearch().found);
    HintHistoryRows(generation, 0, wanted ? wanted - 1 : 0);
    static HistoryRow row;
    for (uint32_t k = 0; k < wanted; ++k)
        while (!GetHistoryRow(generation, k, &row))
            WaitForSingleObject(noticed, 5);
    const double firstRows = Seconds() - start;
    while (!(ReadHistorySearch().generation == generation && ReadHistorySearch().finished))
        WaitForSingleObject(noticed, 5);
    const double finished = Seconds() - start;
    const HistorySearchStatus status = ReadHistorySearch();
    std::printf("  %-58s first %3u rows %7.1f ms, all %8u%s %8.1f ms\n", what, wanted, firstRows * 1000,
                status.found, status.more ? "+" : " ", finished * 1000);
}

void PrintSizes(const std::string& folder)
{
    const std::string path = folder + "\\" + kHistoryFileName;
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_stmt* statement = nullptr;
    int64_t events = 0;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM events", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        events = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    const double bytes = static_cast<double>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    std::printf("database: %lld events, %.1f MB, %.1f bytes per event\n", static_cast<long long>(events), bytes / 1e6,
                events ? bytes / static_cast<double>(events) : 0.0);
    if (sqlite3_prepare_v2(db, "SELECT name, sum(pgsize) FROM dbstat GROUP BY name ORDER BY 2 DESC", -1, &statement,
                           nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW)
            std::printf("  %-20s %8.1f MB %6.1f bytes per event\n", sqlite3_column_text(statement, 0),
                        static_cast<double>(sqlite3_column_int64(statement, 1)) / 1e6,
                        events ? static_cast<double>(sqlite3_column_int64(statement, 1)) / static_cast<double>(events)
                               : 0.0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

int Queries(const std::string& folder)
{
    PrintSizes(folder);
    noticed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetHistoryNotice(OnNotice, nullptr);
    if (!OpenHistory((folder + "\\").c_str(), 0))
        return 1;
    while (ReadHistoryStatus().health == HistoryHealth::Starting)
        Sleep(20);
    std::printf("searches (a page's first 100 rows, then the whole count; at most %u kept):\n", kHistoryFoundMost);
    for (int round = 0; round < 2; ++round) {
        std::printf(round == 0 ? " first, the file's pages cold:\n" : " again:\n");
        TimeSearch("newest events of the whole year", HistoryQuery{});
        HistoryQuery userAndPath{};
        CopyText(userAndPath.user, "user0042");
        CopyText(userAndPath.pathContains, "project05");
        TimeSearch("user0042, path contains project05, the whole year", userAndPath);
        HistoryQuery userWrites{};
        CopyText(userWrites.user, "USER0042");
        userWrites.kinds = HistoryWrites;
        const int64_t day = FirstDay(365) + 200 * 86400;
        userWrites.from = SystemTimeOfHistorySeconds(day);
        userWrites.to = SystemTimeOfHistorySeconds(day + 86399);
        TimeSearch("what user0042 wrote in one day", userWrites);
        HistoryQuery onePath{};
        CopyText(onePath.pathContains, "document004242");
        TimeSearch("path contains document004242 (one document)", onePath);
        HistoryQuery broadPath{};
        CopyText(broadPath.pathContains, "dept07\\project1");
        TimeSearch("path contains dept07\\project1 (many documents)", broadPath);
        HistoryQuery computer{};
        CopyText(computer.computer, "pc-0042");
        TimeSearch("computer PC-0042, the whole year", computer);
        HistoryQuery trips{};
        trips.kinds = HistoryTrips;
        TimeSearch("every trip of the year (none)", trips);
    }
    CloseHistory();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::printf("usage: bench_history make-logs|make-db|backfill|writer|queries FOLDER [events] [days]\n"
                    "(tools/bench/history.sh runs them all)\n");
        return 0;
    }
    const std::string mode = argv[1];
    std::string folder = argv[2];
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    const int64_t events = argc > 3 ? std::atoll(argv[3]) : (mode == "writer" ? 500000 : 10000000);
    const int days = argc > 4 ? std::atoi(argv[4]) : 365;
    if (mode == "make-logs")
        return MakeLogs(folder, events, days);
    if (mode == "make-db")
        return MakeDatabase(folder, events, days);
    if (mode == "backfill")
        return Backfill(folder);
    if (mode == "writer")
        return Writer(folder, events);
    if (mode == "queries")
        return Queries(folder);
    std::printf("unknown mode %s\n", mode.c_str());
    return 1;
}
