#include "engine/history/history_search.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <string_view>

#include "core/text.h"
#include "engine/history/history_db.h"
#include "engine/history/history_export.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_match.h"
#include "engine/history/history_state.h"
#include "engine/history/history_status.h"

namespace {

constexpr uint32_t kFirstRows = 100;
constexpr uint32_t kRowsBetweenLooks = 256;  // a search looks for newer searches and wanted pages
// A path filter that matches at most this many paths finds its events through the
// path index; a broader one is tested on each event, newest first.
constexpr int64_t kPathsThroughIndex = 5000;

enum PageState : int32_t { PageEmpty = 0, PageWanted, PageReady };

struct RowPage {
    uint32_t generation;
    uint32_t first;
    uint32_t count;
    int32_t state;
    uint64_t lastUse;
};

enum class JobKind : int32_t { None = 0, Export, RestoreList };

struct Job {
    JobKind kind;
    uint32_t generation;
    PathText path;
    HistoryRestoreAsk restore;
};

enum SearchStatement : std::size_t { RowByKey, kSearchStatements };

struct SearchThread {
    HANDLE thread;
    HANDLE wake;
    std::atomic<int32_t> stop;

    SRWLOCK lock;  // the fields up to `latest`
    HistoryQuery query;
    uint32_t queryGeneration;
    int32_t queryWaiting;
    std::array<RowPage, kHistoryPagesKept> pages;
    HistoryRow* rows;  // kHistoryPagesKept pages of kHistoryPageRows, made once
    uint64_t uses;
    Job job;
    int32_t jobWaiting;
    HistoryNotice notice;
    void* noticeContext;

    std::atomic<uint32_t> latest;  // the newest generation asked for
    std::atomic<int32_t> pagesWanted;
    std::atomic<int32_t> searching;  // stepping a search: a newer one interrupts it
    std::atomic<uint32_t> statusGeneration;
    std::atomic<int32_t> finished;
    std::atomic<int32_t> failed;
    std::atomic<uint32_t> found;
    std::atomic<int32_t> more;
    std::atomic<int32_t> jobRunning;
    std::atomic<int32_t> jobSucceeded;
    std::atomic<uint32_t> jobLines;
    std::array<char, 256> jobNote;  // under `lock`

    // The thread's own; `connection` guards `db` against an interrupt from elsewhere.
    SRWLOCK connection;
    sqlite3* db;
    uint32_t dbGeneration;
    int32_t holdingFile;
    std::array<sqlite3_stmt*, kSearchStatements> statements;
    int64_t* keys;  // kHistoryFoundMost, made once
    uint32_t keyCount;
    uint32_t keysGeneration;
    int32_t keysFinished;
};

SearchThread search;

void Notify(HistoryNoticeKind kind, uint32_t generation)
{
    AcquireSRWLockShared(&search.lock);
    const HistoryNotice notice = search.notice;
    void* context = search.noticeContext;
    ReleaseSRWLockShared(&search.lock);
    if (notice)
        notice(kind, generation, context);
}

void Interrupt()
{
    AcquireSRWLockShared(&search.connection);
    if (search.db)
        sqlite3_interrupt(search.db);
    ReleaseSRWLockShared(&search.connection);
}

void CloseReader()
{
    for (sqlite3_stmt*& statement : search.statements) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    AcquireSRWLockExclusive(&search.connection);
    CloseHistoryDatabase(search.db);
    ReleaseSRWLockExclusive(&search.connection);
    if (search.holdingFile)
        ReleaseSRWLockShared(&historyState.fileLock);
    search.holdingFile = 0;
}

constexpr char kTempTables[] =
    "CREATE TEMP TABLE IF NOT EXISTS found_users(id INTEGER PRIMARY KEY);"
    "CREATE TEMP TABLE IF NOT EXISTS found_computers(id INTEGER PRIMARY KEY);"
    "CREATE TEMP TABLE IF NOT EXISTS found_paths(id INTEGER PRIMARY KEY);"
    "CREATE TEMP TABLE IF NOT EXISTS found_servers(id INTEGER PRIMARY KEY);"
    "CREATE TEMP TABLE IF NOT EXISTS found_kinds(code INTEGER PRIMARY KEY);";

constexpr char kRowByKey[] =
    "SELECT e.lag, e.zone, e.kind, s.text, c.text, u.text, p.text, d.text FROM events e"
    " LEFT JOIN servers s ON s.id = e.server LEFT JOIN names c ON c.id = e.computer"
    " LEFT JOIN names u ON u.id = e.user LEFT JOIN paths p ON p.id = e.path"
    " LEFT JOIN names d ON d.id = e.detail WHERE e.id = ?1";

// The connection to the current file, opened again after the writer replaced it.
bool EnsureReader()
{
    while (historyState.readersLeave.load() && !search.stop.load()) {
        CloseReader();
        WaitForSingleObject(search.wake, 100);
    }
    if (search.db && search.dbGeneration == historyState.fileGeneration.load())
        return true;
    CloseReader();
    if (search.stop.load())
        return false;
    AcquireSRWLockShared(&historyState.fileLock);
    search.holdingFile = 1;
    search.dbGeneration = historyState.fileGeneration.load();
    sqlite3* db = nullptr;
    if (!OpenHistoryReader(historyState.databasePath.data(), &db)) {
        CloseReader();
        return false;
    }
    AcquireSRWLockExclusive(&search.connection);
    search.db = db;
    ReleaseSRWLockExclusive(&search.connection);
    const bool ready = RegisterHistoryMatches(db) == SQLITE_OK &&
                       sqlite3_exec(db, kTempTables, nullptr, nullptr, nullptr) == SQLITE_OK &&
                       sqlite3_prepare_v3(db, kRowByKey, -1, SQLITE_PREPARE_PERSISTENT, &search.statements[RowByKey],
                                          nullptr) == SQLITE_OK;
    if (!ready)
        CloseReader();
    return ready;
}

void ReportDamage(int result)
{
    if (IsDamagedResult(result))
        historyState.damageSeen.store(1);
}

std::string_view ColumnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string_view();
}

// One event's row; a key no longer stored (removed as too old) gives an empty row.
int ReadRow(int64_t key, HistoryRow* row)
{
    sqlite3_stmt* statement = search.statements[RowByKey];
    *row = {};
    row->key = key;
    sqlite3_bind_int64(statement, 1, key);
    const int result = sqlite3_step(statement);
    if (result == SQLITE_ROW) {
        const int64_t second = HistorySecondOfKey(key, sqlite3_column_int64(statement, 0));
        const int32_t zone = sqlite3_column_int(statement, 1);
        const int32_t code = sqlite3_column_int(statement, 2);
        row->utc = SystemTimeOfHistorySeconds(second);
        row->local = SystemTimeOfHistorySeconds(second + int64_t{zone} * kHistoryZoneSeconds);
        row->kind = EventKindOfCode(code);
        row->mode = ModeOfCode(code);
        CopyText(row->server, ColumnText(statement, 3));
        CopyText(row->computer, ColumnText(statement, 4));
        CopyText(row->user, ColumnText(statement, 5));
        CopyText(row->path, ColumnText(statement, 6));
        CopyText(row->detail, ColumnText(statement, 7));
    }
    sqlite3_reset(statement);
    return result == SQLITE_ROW || result == SQLITE_DONE ? SQLITE_OK : result;
}

// Fills the pages asked for that the current keys can fill.
void ServePages()
{
    search.pagesWanted.store(0);
    for (;;) {
        std::size_t slot = search.pages.size();
        RowPage page{};
        AcquireSRWLockExclusive(&search.lock);
        for (std::size_t k = 0; k < search.pages.size(); ++k) {
            RowPage& candidate = search.pages[k];
            if (candidate.state != PageWanted)
                continue;
            if (candidate.generation != search.keysGeneration) {
                if (candidate.generation != search.latest.load())
                    candidate.state = PageEmpty;
                continue;
            }
            if (search.keysFinished || candidate.first + kHistoryPageRows <= search.keyCount) {
                slot = k;
                page = candidate;
                break;
            }
        }
        ReleaseSRWLockExclusive(&search.lock);
        if (slot == search.pages.size())
            return;
        const uint32_t count = page.first >= search.keyCount
                                   ? 0
                                   : std::min(kHistoryPageRows, search.keyCount - page.first);
        // The slot is the search thread's to fill while it is wanted: no one reads it.
        HistoryRow* rows = search.rows + slot * kHistoryPageRows;
        int result = SQLITE_OK;
        for (uint32_t k = 0; k < count && result == SQLITE_OK; ++k)
            result = ReadRow(search.keys[page.first + k], rows + k);
        ReportDamage(result);
        AcquireSRWLockExclusive(&search.lock);
        RowPage& now = search.pages[slot];
        const bool same = now.state == PageWanted && now.generation == page.generation && now.first == page.first;
        if (same) {
            now.count = count;
            now.state = result == SQLITE_OK ? PageReady : PageEmpty;
        }
        ReleaseSRWLockExclusive(&search.lock);
        if (result != SQLITE_OK)
            return;  // asked again when drawn again
        if (same)
            Notify(HistoryNoticeKind::Rows, page.generation);
    }
}

int RunStatement(const char* sql, std::string_view text)
{
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(search.db, sql, -1, &statement, nullptr);
    if (result == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        result = sqlite3_step(statement);
        result = result == SQLITE_DONE || result == SQLITE_ROW ? SQLITE_OK : result;
    }
    sqlite3_finalize(statement);
    return result;
}

// Fills a temp table with the ids whose text matches; the count found.
int FindTexts(const char* table, const char* fill, std::string_view wanted, int64_t* count)
{
    std::array<char, 256> sql{};
    FormatText(sql, "DELETE FROM temp.%s", table);
    int result = RunStatement(sql.data(), {});
    if (result == SQLITE_OK)
        result = RunStatement(fill, wanted);
    *count = result == SQLITE_OK ? sqlite3_changes(search.db) : 0;
    return result;
}

// Which kind codes a kind mask lets through.
int FindKinds(uint32_t kinds)
{
    int result = RunStatement("DELETE FROM temp.found_kinds", {});
    sqlite3_stmt* insert = nullptr;
    if (result == SQLITE_OK)
        result = sqlite3_prepare_v2(search.db, "INSERT INTO temp.found_kinds(code) VALUES(?1)", -1, &insert, nullptr);
    for (int32_t kind = 0; kind < kEventKinds && result == SQLITE_OK; ++kind) {
        for (uint32_t mode = 0; mode <= kHistoryModeBits && result == SQLITE_OK; ++mode) {
            const auto event = static_cast<EventKind>(kind);
            uint32_t bit = HistoryActions;
            if (event == EventKind::Connection)
                bit = HistoryConnections;
            else if (event == EventKind::FileOpen)
                bit = (mode & kHistoryWriteBits) ? HistoryWrites : HistoryReads;
            else if (event == EventKind::Tripwire)
                bit = HistoryTrips;
            else if (event == EventKind::SessionCutOff)
                bit = HistoryBlocks;
            if (!(kinds & bit))
                continue;
            sqlite3_bind_int(insert, 1, kind * 8 + static_cast<int32_t>(mode));
            const int step = sqlite3_step(insert);
            result = step == SQLITE_DONE ? SQLITE_OK : step;
            sqlite3_reset(insert);
        }
    }
    sqlite3_finalize(insert);
    return result;
}

struct KeyRange {
    int64_t from;  // keys
    int64_t to;    // exclusive
    int64_t fromSecond;
    int64_t toSecond;
    bool exact;  // some event's key lies later than its second: check the seconds too
    bool byBucket;  // the search's statement takes one bucket of keys at a time
};

KeyRange RangeOf(const SYSTEMTIME& from, const SYSTEMTIME& to)
{
    const int64_t maxLag = ReadHistoryMeta(search.db, "maxLag", 0);
    KeyRange range{INT64_MIN, INT64_MAX, INT64_MIN / 8192, INT64_MAX / 8192, maxLag > 0, false};
    int64_t seconds = 0;
    if (from.wYear && HistorySecondsOf(from, &seconds)) {
        range.from = HistoryKeyOfSecond(seconds);
        range.fromSecond = seconds;
    }
    if (to.wYear && HistorySecondsOf(to, &seconds)) {
        range.to = HistoryKeyOfSecond(seconds + 1 + maxLag);
        range.toSecond = seconds;
    }
    return range;
}

void BindRange(sqlite3_stmt* statement, const KeyRange& range)
{
    sqlite3_bind_int64(statement, 1, range.from);
    sqlite3_bind_int64(statement, 2, range.to);
    sqlite3_bind_int64(statement, 3, range.fromSecond);
    sqlite3_bind_int64(statement, 4, range.toSecond);
}

// What a search narrows by, and how many of each were found.
struct SearchFilters {
    bool byUser, byComputer, byPath, byServer, byKind;
    int64_t users, computers, paths, servers;
};

int FindSearchTexts(const HistoryQuery& query, SearchFilters& f)
{
    f = {query.user[0] != '\0', query.computer[0] != '\0', query.pathContains[0] != '\0',
         query.serverChoice == HistoryServerChoice::Named,
         query.kinds != 0 && (query.kinds & HistoryAllKinds) != HistoryAllKinds, 0, 0, 0, 0};
    int result = SQLITE_OK;
    if (f.byUser)
        result = FindTexts("found_users", "INSERT INTO temp.found_users SELECT id FROM names WHERE history_same(text, ?1)",
                           query.user.data(), &f.users);
    if (result == SQLITE_OK && f.byComputer)
        result = FindTexts("found_computers",
                           "INSERT INTO temp.found_computers SELECT id FROM names WHERE history_same(text, ?1)",
                           query.computer.data(), &f.computers);
    if (result == SQLITE_OK && f.byServer)
        result = FindTexts("found_servers",
                           "INSERT INTO temp.found_servers SELECT id FROM servers WHERE history_same(text, ?1)",
                           query.server.data(), &f.servers);
    if (result == SQLITE_OK && f.byPath)
        result = FindTexts("found_paths",
                           "INSERT INTO temp.found_paths SELECT id FROM paths WHERE history_contains(text, ?1)",
                           query.pathContains.data(), &f.paths);
    if (result == SQLITE_OK && f.byKind)
        result = FindKinds(query.kinds);
    return result;
}

// The search's statement: `driver` names the column whose index drives it ("" none).
void WriteSearchSql(std::span<char> sql, const HistoryQuery& query, const SearchFilters& f, const KeyRange& range,
                    const char* driver)
{
    const auto filter = [driver, sql](const char* column, const char* table) {
        AppendText(sql, strcmp(driver, column) == 0 ? " AND " : " AND +");
        AppendText(sql, column);
        AppendText(sql, " IN (SELECT id FROM temp.");
        AppendText(sql, table);
        AppendText(sql, ")");
    };
    CopyText(sql, "SELECT id FROM events WHERE id >= ?1 AND id < ?2");
    // The driving index leads with the bucket: the search takes one at a time (?5).
    static_assert(kHistoryBucketShift == 29);
    if (range.byBucket)
        AppendText(sql, " AND (id >> 29) = ?5");
    if (range.exact)
        AppendText(sql, " AND (id >> 12) - lag BETWEEN ?3 AND ?4");
    if (f.byUser)
        filter("user", "found_users");
    if (f.byComputer)
        filter("computer", "found_computers");
    if (f.byPath)
        filter("path", "found_paths");
    if (f.byServer)
        AppendText(sql, " AND +server IN (SELECT id FROM temp.found_servers)");
    if (query.serverChoice == HistoryServerChoice::ThisComputer)
        AppendText(sql, " AND server IS NULL");
    if (f.byKind)
        AppendText(sql, " AND +kind IN (SELECT code FROM temp.found_kinds)");
    AppendText(sql, " ORDER BY id DESC");
}

const char* DriverOf(const SearchFilters& f)
{
    if (f.byUser)
        return "user";
    if (f.byPath && f.paths <= kPathsThroughIndex)
        return "path";
    return f.byComputer ? "computer" : "";
}

// The search's statement, from fixed pieces only: the values are bound. The filter
// that narrows most drives (its index gives events newest first); the others are
// marked with a unary plus so that SQLite tests them on each event instead.
int PrepareSearch(const HistoryQuery& query, sqlite3_stmt** statement, bool* empty, KeyRange* range)
{
    *empty = false;
    SearchFilters f{};
    const int found = FindSearchTexts(query, f);
    if (found != SQLITE_OK)
        return found;
    if ((f.byUser && f.users == 0) || (f.byComputer && f.computers == 0) || (f.byPath && f.paths == 0) ||
        (f.byServer && f.servers == 0)) {
        *empty = true;
        return SQLITE_OK;
    }
    const char* driver = DriverOf(f);
    *range = RangeOf(query.from, query.to);
    range->byBucket = driver[0] != '\0';
    std::array<char, 1024> sql{};
    WriteSearchSql(sql, query, f, *range, driver);
    const int result = sqlite3_prepare_v2(search.db, sql.data(), -1, statement, nullptr);
    if (result == SQLITE_OK)
        BindRange(*statement, *range);
    return result;
}

bool AskPage(uint32_t generation, uint32_t first);

// The rows a list shows first are read before it is told there are rows: its first
// paint finds them, not a page to ask for and wait on.
void ServeFirstPage(uint32_t generation)
{
    AcquireSRWLockExclusive(&search.lock);
    AskPage(generation, 0);
    ReleaseSRWLockExclusive(&search.lock);
    ServePages();
}

void SetSearchStatus(uint32_t generation, int32_t finished, int32_t failed)
{
    search.found.store(search.keyCount);
    search.failed.store(failed);
    search.finished.store(finished);
    search.statusGeneration.store(generation);
}

// The keys the search finds, newest first, up to kHistoryFoundMost, the first page
// served as soon as it is found; a newer search stops it. SQLITE_OK, or what failed.
int CollectKeys(sqlite3_stmt* statement, sqlite3_stmt* older, const KeyRange& range, uint32_t generation,
                bool* firstTold)
{
    int result = SQLITE_OK;
    int64_t before = range.to;  // the keys left to search lie below
    bool inBucket = !range.byBucket;
    uint32_t steps = 0;
    while (search.latest.load() == generation) {
        if (!inBucket) {
            int64_t bucket = 0;
            if (!NewestHistoryBucket(older, range.from, before, &bucket, &result))
                break;
            sqlite3_reset(statement);
            sqlite3_bind_int64(statement, 5, bucket);
            before = HistoryFirstKeyOfBucket(bucket);
            inBucket = true;
        }
        const int step = sqlite3_step(statement);
        if (step == SQLITE_DONE && range.byBucket) {
            inBucket = false;
            continue;
        }
        if (step == SQLITE_DONE)
            break;
        if (step != SQLITE_ROW) {
            result = step;
            break;
        }
        if (search.keyCount == kHistoryFoundMost) {
            search.more.store(1);
            break;
        }
        search.keys[search.keyCount++] = sqlite3_column_int64(statement, 0);
        search.found.store(search.keyCount);
        if (search.keyCount == kFirstRows) {
            ServeFirstPage(generation);
            Notify(HistoryNoticeKind::FirstRows, generation);
            *firstTold = true;
        }
        if (++steps % kRowsBetweenLooks == 0 && search.pagesWanted.load())
            ServePages();
    }
    return result;
}

void RunSearch(const HistoryQuery& query, uint32_t generation)
{
    search.keysGeneration = generation;
    search.keyCount = 0;
    search.keysFinished = 0;
    search.more.store(0);
    SetSearchStatus(generation, 0, 0);
    sqlite3_stmt* statement = nullptr;
    bool empty = false;
    KeyRange range{};
    int result = EnsureReader() ? PrepareSearch(query, &statement, &empty, &range) : SQLITE_CANTOPEN;
    sqlite3_stmt* older = nullptr;
    if (result == SQLITE_OK && !empty && range.byBucket)
        result = sqlite3_prepare_v2(search.db, kHistoryNewestKeyIn, -1, &older, nullptr);
    bool firstTold = false;
    search.searching.store(1);
    if (result == SQLITE_OK && !empty)
        result = CollectKeys(statement, older, range, generation, &firstTold);
    search.searching.store(0);
    sqlite3_finalize(statement);
    sqlite3_finalize(older);
    if (search.latest.load() != generation)
        return;  // a newer search replaced this one
    ReportDamage(result);
    search.keysFinished = 1;
    SetSearchStatus(generation, 1, result != SQLITE_OK);
    if (firstTold) {
        ServePages();
    } else {
        ServeFirstPage(generation);
        Notify(HistoryNoticeKind::FirstRows, generation);
    }
    Notify(HistoryNoticeKind::Finished, generation);
}

bool RunExport(const Job& job, uint32_t* lines)
{
    if (job.generation != search.keysGeneration || !search.keysFinished || !EnsureReader())
        return false;
    static OutputFile output;
    if (!CreateOutputFile(output, job.path.data()))
        return false;
    WriteOutput(output, kHistoryCsvHeader);
    static HistoryRow row;
    static std::array<char, kCsvRowRoom> record;
    int result = SQLITE_OK;
    for (uint32_t k = 0; k < search.keyCount && result == SQLITE_OK && !search.stop.load(); ++k) {
        result = ReadRow(search.keys[k], &row);
        if (result == SQLITE_OK && row.local.wYear) {
            WriteOutput(output, {record.data(), FormatHistoryCsvRow(row, record)});
            ++*lines;
        }
    }
    ReportDamage(result);
    return CloseOutputFile(output) && result == SQLITE_OK && !search.stop.load();
}

constexpr char kNoWritesFoundText[] = "No writes of this user were found in the history on this server in that time";

// The notes a restore list starts with: each a line, "# " before it.
void WriteNote(OutputFile& output, const char* note, int* notes)
{
    if (!note[0])
        return;
    if (++*notes == 1) {
        AcquireSRWLockExclusive(&search.lock);
        CopyText(search.jobNote, note);
        ReleaseSRWLockExclusive(&search.lock);
    }
    WriteOutput(output, "# ");
    WriteOutput(output, note);
    WriteOutput(output, "\r\n");
}

bool RunRestoreList(const Job& job, uint32_t* lines)
{
    const HistoryRestoreAsk& ask = job.restore;
    // What was queued when it was asked for belongs in it: given a moment to be stored.
    const bool caughtUp = HistoryIsSearchOnly() || WaitForHistoryWrites(kRestoreCatchUpMs);
    if (!EnsureReader())
        return false;
    int64_t users = 0, servers = 0;
    int result = FindTexts("found_users", "INSERT INTO temp.found_users SELECT id FROM names WHERE history_same(text, ?1)",
                           ask.user.data(), &users);
    const bool byServer = ask.serverChoice == HistoryServerChoice::Named;
    if (result == SQLITE_OK && byServer)
        result = FindTexts("found_servers",
                           "INSERT INTO temp.found_servers SELECT id FROM servers WHERE history_same(text, ?1)",
                           ask.server.data(), &servers);
    const KeyRange range = RangeOf(ask.from, ask.to);
    std::array<char, 640> sql{};
    CopyText(sql, "SELECT DISTINCT p.text FROM events e JOIN paths p ON p.id = e.path"
                  " WHERE e.user IN (SELECT id FROM temp.found_users) AND e.id >= ?1 AND e.id < ?2"
                  " AND e.kind >= 8 AND e.kind < 16 AND (e.kind & 6) <> 0 AND (e.id >> 29) BETWEEN ?5 AND ?6");
    if (range.exact)
        AppendText(sql, " AND (e.id >> 12) - e.lag BETWEEN ?3 AND ?4");
    // Paths are each server's own: a trip on one server restores that server's files.
    if (byServer)
        AppendText(sql, " AND e.server IN (SELECT id FROM temp.found_servers)");
    else if (ask.serverChoice == HistoryServerChoice::ThisComputer)
        AppendText(sql, " AND e.server IS NULL");
    AppendText(sql, " ORDER BY p.text");
    sqlite3_stmt* statement = nullptr;
    if (result == SQLITE_OK)
        result = sqlite3_prepare_v2(search.db, sql.data(), -1, &statement, nullptr);
    static OutputFile output;
    const bool created = result == SQLITE_OK && CreateOutputFile(output, job.path.data());
    if (created) {
        int notes = 0;
        WriteNote(output, ask.note.data(), &notes);
        std::array<HistoryGapText, kHistoryGapsMost> gaps{};
        const int gapCount = HistoryIsSearchOnly() ? 0 : DescribeHistoryGaps(ReadHistoryStatus(), caughtUp, gaps);
        for (int k = 0; k < gapCount; ++k)
            WriteNote(output, gaps[k].data(), &notes);
        BindRange(statement, range);
        sqlite3_bind_int64(statement, 5, HistoryBucketOfKey(range.from));
        sqlite3_bind_int64(statement, 6, HistoryBucketOfKey(range.to));
        int step = sqlite3_step(statement);
        if (step == SQLITE_DONE)
            WriteNote(output, kNoWritesFoundText, &notes);
        for (; step == SQLITE_ROW; step = sqlite3_step(statement)) {
            WriteOutput(output, ColumnText(statement, 0));
            WriteOutput(output, "\r\n");
            ++*lines;
        }
        result = step == SQLITE_DONE ? SQLITE_OK : step;
    }
    sqlite3_finalize(statement);
    ReportDamage(result);
    const bool closed = created && CloseOutputFile(output);
    return closed && result == SQLITE_OK;
}

void RunJob(const Job& job)
{
    AcquireSRWLockExclusive(&search.lock);
    search.jobNote[0] = '\0';
    ReleaseSRWLockExclusive(&search.lock);
    uint32_t lines = 0;
    const bool succeeded = job.kind == JobKind::Export ? RunExport(job, &lines) : RunRestoreList(job, &lines);
    search.jobLines.store(lines);
    search.jobSucceeded.store(succeeded ? 1 : 0);
    search.jobRunning.store(0);
    Notify(HistoryNoticeKind::JobDone, job.generation);
}

DWORD WINAPI SearchThreadMain(void*)
{
    static HistoryQuery query;
    static Job job;
    while (!search.stop.load()) {
        WaitForSingleObject(search.wake, 1000);
        // The writer replacing the file: the connection goes until the new file is there.
        if (historyState.readersLeave.load())
            EnsureReader();
        AcquireSRWLockExclusive(&search.lock);
        const bool searchWaiting = search.queryWaiting != 0;
        const uint32_t generation = search.queryGeneration;
        if (searchWaiting)
            query = search.query;
        search.queryWaiting = 0;
        const bool jobWaiting = !searchWaiting && search.jobWaiting != 0;
        if (jobWaiting)
            job = search.job;
        search.jobWaiting = jobWaiting ? 0 : search.jobWaiting;
        ReleaseSRWLockExclusive(&search.lock);
        if (searchWaiting) {
            RunSearch(query, generation);
            SetEvent(search.wake);  // a job may wait behind the search
        } else if (jobWaiting) {
            RunJob(job);
        }
        if (search.pagesWanted.load())
            ServePages();
    }
    CloseReader();
    return 0;
}

bool AskPage(uint32_t generation, uint32_t first)
{
    // Under the lock. A page already there or asked for is left as it is.
    for (RowPage& page : search.pages)
        if (page.state != PageEmpty && page.generation == generation && page.first == first)
            return false;
    RowPage* victim = nullptr;
    for (RowPage& page : search.pages) {
        if (page.state == PageWanted && page.generation == generation)
            continue;  // being read for this search
        if (!victim || page.state == PageEmpty || (victim->state != PageEmpty && page.lastUse < victim->lastUse))
            victim = &page;
        if (victim->state == PageEmpty)
            break;
    }
    if (!victim)
        return false;
    *victim = {generation, first, 0, PageWanted, ++search.uses};
    return true;
}

}  // namespace

void SetHistoryNotice(HistoryNotice notice, void* context)
{
    AcquireSRWLockExclusive(&search.lock);
    search.notice = notice;
    search.noticeContext = context;
    ReleaseSRWLockExclusive(&search.lock);
}

uint32_t StartHistorySearch(const HistoryQuery& query)
{
    if (!search.wake)
        return 0;  // no search thread: nothing would ever answer
    AcquireSRWLockExclusive(&search.lock);
    const uint32_t generation = search.queryGeneration + 1;
    search.query = query;
    search.queryGeneration = generation;
    search.queryWaiting = 1;
    search.latest.store(generation);
    ReleaseSRWLockExclusive(&search.lock);
    if (search.searching.load())
        Interrupt();
    SetEvent(search.wake);
    return generation;
}

HistorySearchStatus ReadHistorySearch()
{
    HistorySearchStatus status{};
    status.generation = search.statusGeneration.load();
    status.finished = search.finished.load();
    status.failed = search.failed.load();
    status.found = search.found.load();
    status.more = search.more.load();
    return status;
}

bool GetHistoryRow(uint32_t generation, uint32_t index, HistoryRow* row)
{
    if (generation != search.latest.load() || !search.rows)
        return false;
    const uint32_t first = index - index % kHistoryPageRows;
    bool there = false;
    bool asked = false;
    AcquireSRWLockExclusive(&search.lock);
    std::size_t slot = 0;
    for (; slot < search.pages.size(); ++slot) {
        RowPage& page = search.pages[slot];
        if (page.state != PageEmpty && page.generation == generation && page.first == first)
            break;
    }
    if (slot < search.pages.size()) {
        RowPage& page = search.pages[slot];
        if (page.state == PageReady && index - first < page.count) {
            *row = search.rows[slot * kHistoryPageRows + (index - first)];
            page.lastUse = ++search.uses;
            there = true;
        }
    } else {
        asked = AskPage(generation, first);
    }
    ReleaseSRWLockExclusive(&search.lock);
    if (asked) {
        search.pagesWanted.store(1);
        SetEvent(search.wake);
    }
    return there;
}

void HintHistoryRows(uint32_t generation, uint32_t from, uint32_t to)
{
    if (generation != search.latest.load() || !search.rows || to < from)
        return;
    bool asked = false;
    AcquireSRWLockExclusive(&search.lock);
    uint32_t pages = 0;
    for (uint32_t first = from - from % kHistoryPageRows; first <= to && pages < kHistoryPagesKept / 2;
         first += kHistoryPageRows, ++pages)
        asked = AskPage(generation, first) || asked;
    ReleaseSRWLockExclusive(&search.lock);
    if (asked) {
        search.pagesWanted.store(1);
        SetEvent(search.wake);
    }
}

namespace {

bool StartJob(const Job& job)
{
    if (!search.wake)
        return false;
    AcquireSRWLockExclusive(&search.lock);
    const bool free = !search.jobWaiting && !search.jobRunning.load();
    if (free) {
        search.job = job;
        search.jobWaiting = 1;
        search.jobRunning.store(1);
    }
    ReleaseSRWLockExclusive(&search.lock);
    if (free)
        SetEvent(search.wake);
    return free;
}

}  // namespace

bool StartHistoryExport(uint32_t generation, const char* path)
{
    Job job{};
    job.kind = JobKind::Export;
    job.generation = generation;
    CopyText(job.path, path);
    return StartJob(job);
}

bool StartHistoryRestoreList(const char* path, const HistoryRestoreAsk& ask)
{
    Job job{};
    job.kind = JobKind::RestoreList;
    CopyText(job.path, path);
    job.restore = ask;
    return StartJob(job);
}

HistoryJobStatus ReadHistoryJob()
{
    HistoryJobStatus status{search.jobRunning.load(), search.jobSucceeded.load(), search.jobLines.load(), {}};
    AcquireSRWLockShared(&search.lock);
    CopyText(status.note, search.jobNote.data());
    ReleaseSRWLockShared(&search.lock);
    return status;
}

bool StartHistorySearchThread()
{
    InitializeSRWLock(&search.lock);
    InitializeSRWLock(&search.connection);
    if (!search.keys)
        search.keys = static_cast<int64_t*>(
            VirtualAlloc(nullptr, sizeof(int64_t) * kHistoryFoundMost, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!search.rows)
        search.rows = static_cast<HistoryRow*>(VirtualAlloc(
            nullptr, sizeof(HistoryRow) * kHistoryPageRows * kHistoryPagesKept, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    search.pages = {};
    search.queryWaiting = 0;
    search.jobWaiting = 0;
    search.jobRunning.store(0);
    search.keyCount = 0;
    search.keysGeneration = 0;
    search.stop.store(0);
    search.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!search.keys || !search.rows || !search.wake)
        return false;
    search.thread = CreateThread(nullptr, 0, SearchThreadMain, nullptr, 0, nullptr);
    return search.thread != nullptr;
}

void StopHistorySearchThread()
{
    search.stop.store(1);
    Interrupt();
    if (search.wake)
        SetEvent(search.wake);
    if (search.thread) {
        WaitForSingleObject(search.thread, INFINITE);
        CloseHandle(search.thread);
    }
    if (search.wake)
        CloseHandle(search.wake);
    search.thread = nullptr;
    search.wake = nullptr;
}

void SendHistoryReadersAway()
{
    historyState.readersLeave.store(1);
    Interrupt();
    if (search.wake)
        SetEvent(search.wake);
}

void LetHistoryReadersBack()
{
    historyState.readersLeave.store(0);
    if (search.wake)
        SetEvent(search.wake);
}
