#include "engine/history/history_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include "core/hash.h"
#include "core/text.h"
#include "core/utf8.h"
#include "engine/history/history_keys.h"

namespace {

constexpr int kBusyMilliseconds = 200;

// The events' indexes lead with the key's bucket (engine/history/history_keys.h): the
// expression is written out here as the searches write it.
static_assert(kHistoryBucketShift == 29);
constexpr char kEventIndexes[] =
    // The path beside the user: a user's events are tested against a path's words
    // in the index, without reading each event.
    "CREATE INDEX events_by_user ON events(id >> 29, user, path) WHERE user IS NOT NULL;"
    "CREATE INDEX events_by_path ON events(id >> 29, path) WHERE path IS NOT NULL;"
    "CREATE INDEX events_by_computer ON events(id >> 29, computer) WHERE computer IS NOT NULL;"
    "CREATE INDEX events_by_detail ON events(id >> 29, detail) WHERE detail IS NOT NULL;"
    // Texts the pruned events referred to, to be removed once no event does.
    "CREATE TABLE IF NOT EXISTS pruned_texts(paths INTEGER NOT NULL, id INTEGER NOT NULL, PRIMARY KEY(paths, id))"
    " WITHOUT ROWID;";

constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE servers(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);"
    "CREATE TABLE names(id INTEGER PRIMARY KEY, hash INTEGER NOT NULL, text TEXT NOT NULL);"
    "CREATE INDEX names_by_hash ON names(hash);"
    "CREATE TABLE paths(id INTEGER PRIMARY KEY, hash INTEGER NOT NULL, text TEXT NOT NULL);"
    "CREATE INDEX paths_by_hash ON paths(hash);"
    "CREATE TABLE events(id INTEGER PRIMARY KEY, lag INTEGER NOT NULL, zone INTEGER NOT NULL,"
    " kind INTEGER NOT NULL, server INTEGER, computer INTEGER, user INTEGER, path INTEGER, detail INTEGER);"
    "CREATE TABLE logs(name TEXT PRIMARY KEY, done INTEGER NOT NULL) WITHOUT ROWID;";

// The first version's indexes were by the text alone: each transaction wrote a page
// of each index for nearly every event; the second's by user held no path. They are
// made again the new way.
constexpr char kFromOlderVersion[] =
    "DROP INDEX IF EXISTS events_by_user; DROP INDEX IF EXISTS events_by_path;"
    "DROP INDEX IF EXISTS events_by_computer; DROP INDEX IF EXISTS events_by_detail;";

enum Statement : std::size_t {
    InsertEvent,
    LastKeyIn,
    FindName,
    AddName,
    FindPath,
    AddPath,
    FindServer,
    AddServer,
    Begin,
    Commit,
    RollBack,
    WriteMeta,
    ReadDone,
    WriteDone,
    kStatements
};
static_assert(kStatements <= std::tuple_size_v<decltype(HistoryWriter::statements)>);

constexpr const char* kStatementText[kStatements] = {
    "INSERT INTO events(id, lag, zone, kind, server, computer, user, path, detail) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9)",
    kHistoryNewestKeyIn,
    "SELECT id FROM names WHERE hash = ?1 AND text = ?2",
    "INSERT INTO names(hash, text) VALUES(?1, ?2)",
    "SELECT id FROM paths WHERE hash = ?1 AND text = ?2",
    "INSERT INTO paths(hash, text) VALUES(?1, ?2)",
    // A server's name in any case is the same server: a log folder "fs01" is FS01's.
    "SELECT id FROM servers WHERE text = ?2 COLLATE NOCASE",
    "INSERT INTO servers(text) VALUES(?2)",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)",
    "SELECT done FROM logs WHERE name = ?1",
    "INSERT OR REPLACE INTO logs(name, done) VALUES(?1, ?2)",
};

// Which table a text goes to: the statements that find and add it.
struct TextTable {
    Statement find;
    Statement add;
    uint64_t salt;  // keeps a name and a path of the same text apart in the memory
};
constexpr TextTable kNames{FindName, AddName, 1};
constexpr TextTable kPaths{FindPath, AddPath, 2};
constexpr TextTable kServers{FindServer, AddServer, 3};

int Execute(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// The one integer a statement gives, or `fallback`; the result code in `result`.
int64_t QueryInteger(sqlite3* db, const char* sql, int64_t fallback, int* result)
{
    sqlite3_stmt* statement = nullptr;
    *result = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    int64_t value = fallback;
    if (*result == SQLITE_OK) {
        *result = sqlite3_step(statement);
        if (*result == SQLITE_ROW) {
            value = sqlite3_column_int64(statement, 0);
            *result = SQLITE_OK;
        } else if (*result == SQLITE_DONE) {
            *result = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return value;
}

// The one text a statement gives ("ok" of a check); false on any failure.
bool QueryTextIs(sqlite3* db, const char* sql, const char* expected)
{
    sqlite3_stmt* statement = nullptr;
    bool same = false;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        same = text && strcmp(text, expected) == 0;
    }
    sqlite3_finalize(statement);
    return same;
}

}  // namespace

int QuickCheck(sqlite3* db)
{
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &statement, nullptr);
    if (result == SQLITE_OK) {
        result = sqlite3_step(statement);
        if (result == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            result = text && strcmp(text, "ok") == 0 ? SQLITE_OK : SQLITE_CORRUPT;
        }
    }
    sqlite3_finalize(statement);
    return result;
}

namespace {

HistoryOpening ClassifyFailure(int result)
{
    return IsDamagedResult(result) ? HistoryOpening::NotOurs : HistoryOpening::Unavailable;
}

// A new file's tables (WAL first: it cannot change inside a transaction), or an older
// version's brought up to date.
int CreateSchema(sqlite3* db, int64_t fromVersion)
{
    int result = Execute(db, "BEGIN IMMEDIATE");
    if (result != SQLITE_OK)
        return result;
    result = Execute(db, fromVersion == 0 ? kSchema : kFromOlderVersion);
    if (result == SQLITE_OK)
        result = Execute(db, kEventIndexes);
    if (result == SQLITE_OK) {
        std::array<char, 128> pragmas{};
        FormatText(pragmas, "PRAGMA application_id=%d; PRAGMA user_version=%d;", kHistoryApplicationId,
                   kHistorySchemaVersion);
        result = Execute(db, pragmas.data());
    }
    result = result == SQLITE_OK ? Execute(db, "COMMIT") : result;
    if (result != SQLITE_OK)
        Execute(db, "ROLLBACK");
    return result;
}

HistoryOpening CheckAndPrepare(sqlite3* db)
{
    int result = SQLITE_OK;
    const int64_t application = QueryInteger(db, "PRAGMA application_id", 0, &result);
    if (result != SQLITE_OK)
        return ClassifyFailure(result);
    const int64_t version = QueryInteger(db, "PRAGMA user_version", 0, &result);
    if (result != SQLITE_OK)
        return ClassifyFailure(result);
    const int64_t tables = QueryInteger(db, "SELECT count(*) FROM sqlite_schema", 0, &result);
    if (result != SQLITE_OK)
        return ClassifyFailure(result);
    const bool empty = application == 0 && version == 0 && tables == 0;
    if (!empty && application != kHistoryApplicationId)
        return HistoryOpening::NotOurs;
    if (!empty && version > kHistorySchemaVersion)
        return HistoryOpening::Newer;
    if (!empty && version != kHistorySchemaVersion && version != 1 && version != 2)
        return HistoryOpening::NotOurs;
    if (!QueryTextIs(db, "PRAGMA journal_mode=WAL", "wal"))
        return HistoryOpening::Unavailable;
    // Pages read through a mapping of the file: each read elsewhere is a system call,
    // slow under Wine. Checkpoints every 160 MB of log: a burst rewrites the same index
    // pages delivery after delivery, and a checkpoint copies each page once however often.
    result = Execute(db, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768; PRAGMA temp_store=MEMORY;"
                         "PRAGMA mmap_size=1073741824; PRAGMA wal_autocheckpoint=40000;"
                         "PRAGMA journal_size_limit=67108864;");
    if (result != SQLITE_OK)
        return ClassifyFailure(result);
    // A run that ended without closing (killed, or the machine stopped) may have left damage behind.
    const bool checkWhole = !empty && QueryInteger(db, "SELECT value FROM meta WHERE key = 'open'", 0, &result) != 0;
    if (result != SQLITE_OK)
        return ClassifyFailure(result);
    if (checkWhole) {
        result = QuickCheck(db);
        if (result != SQLITE_OK)
            return ClassifyFailure(result);
    }
    if (empty || version != kHistorySchemaVersion) {
        result = CreateSchema(db, empty ? 0 : version);
        if (result != SQLITE_OK)
            return ClassifyFailure(result);
    }
    return empty ? HistoryOpening::Created : HistoryOpening::Opened;
}

void Utf8Path(const char* path, PathText& utf8)
{
    Utf8FromAnsi(utf8, path);
}

uint64_t HashOf(std::string_view text, uint64_t salt)
{
    TextHash hash;
    hash.Add(static_cast<uint16_t>(salt));
    hash.Add(text);
    return hash.value;
}

// A second, independent hash (FNV-1a from another start, the length mixed in).
uint64_t CheckOf(std::string_view text, uint64_t salt)
{
    uint64_t value = 0x9E3779B97F4A7C15ull ^ (salt << 56) ^ text.size();
    for (const char c : text) {
        value ^= static_cast<unsigned char>(c);
        value *= 0x100000001B3ull;
        value ^= value >> 29;
    }
    return value;
}

void BindText(sqlite3_stmt* statement, int place, std::string_view text)
{
    sqlite3_bind_text(statement, place, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// Runs a statement that gives nothing back; its result code.
int RunToEnd(sqlite3_stmt* statement)
{
    const int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    return result == SQLITE_DONE || result == SQLITE_ROW ? SQLITE_OK : result;
}

// The text's id in its table, added when new; 0 for an empty text.
int InternText(HistoryWriter& writer, const TextTable& table, std::string_view text, int64_t* id)
{
    *id = 0;
    if (text.empty())
        return SQLITE_OK;
    const uint64_t hash = HashOf(text, table.salt);
    const uint64_t check = CheckOf(text, table.salt);
    KnownText& known = writer.known[hash & (kKnownTexts - 1)];
    if (known.id && known.hash == hash && known.check == check) {
        *id = known.id;
        return SQLITE_OK;
    }
    sqlite3_stmt* find = writer.statements[table.find];
    sqlite3_bind_int64(find, 1, static_cast<int64_t>(hash));
    BindText(find, 2, text);
    int result = sqlite3_step(find);
    if (result == SQLITE_ROW)
        *id = sqlite3_column_int64(find, 0);
    sqlite3_reset(find);
    if (result != SQLITE_ROW && result != SQLITE_DONE)
        return result;
    if (*id == 0) {
        sqlite3_stmt* add = writer.statements[table.add];
        sqlite3_bind_int64(add, 1, static_cast<int64_t>(hash));
        BindText(add, 2, text);
        result = RunToEnd(add);
        if (result != SQLITE_OK)
            return result;
        *id = sqlite3_last_insert_rowid(writer.db);
    }
    known = {hash, check, *id};
    return SQLITE_OK;
}

// The first free key at or after the event's second: the one after the last key
// the second holds, or the next second's places when it holds 4096.
int FreeKeyFor(HistoryWriter& writer, int64_t second, int64_t* key)
{
    if (writer.cachedSecond == second && writer.nextKey < writer.cachedLimit) {
        *key = writer.nextKey++;
        return SQLITE_OK;
    }
    int64_t from = writer.cachedSecond == second ? writer.cachedLimit : HistoryKeyOfSecond(second);
    if (from > writer.lastKey) {
        // Beyond every key stored: free without asking (the live writer's usual case).
        *key = from;
        writer.cachedSecond = second;
        writer.nextKey = from + 1;
        writer.cachedLimit = (from / kHistorySecondEvents + 1) * kHistorySecondEvents;
        return SQLITE_OK;
    }
    sqlite3_stmt* last = writer.statements[LastKeyIn];
    // A clock gone wild could fill seconds on end: a day of full seconds is the limit.
    for (int tries = 0; tries < 86400; ++tries) {
        const int64_t end = (from / kHistorySecondEvents + 1) * kHistorySecondEvents;
        sqlite3_bind_int64(last, 1, from);
        sqlite3_bind_int64(last, 2, end);
        const int result = sqlite3_step(last);
        const bool found = result == SQLITE_ROW && sqlite3_column_type(last, 0) != SQLITE_NULL;
        const int64_t lastKey = found ? sqlite3_column_int64(last, 0) : 0;
        sqlite3_reset(last);
        if (result != SQLITE_ROW)
            return result;
        const int64_t candidate = found ? lastKey + 1 : from;
        if (candidate < end) {
            *key = candidate;
            writer.cachedSecond = second;
            writer.nextKey = candidate + 1;
            writer.cachedLimit = end;
            return SQLITE_OK;
        }
        from = end;
    }
    return SQLITE_FULL;
}

void BindId(sqlite3_stmt* statement, int place, int64_t id)
{
    if (id)
        sqlite3_bind_int64(statement, place, id);
    else
        sqlite3_bind_null(statement, place);
}

}  // namespace

bool IsDamagedResult(int result)
{
    const int primary = result & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

HistoryOpening OpenHistoryDatabase(const char* path, sqlite3** db)
{
    *db = nullptr;
    PathText utf8{};
    Utf8Path(path, utf8);
    sqlite3* opened = nullptr;
    const int result = sqlite3_open_v2(utf8.data(), &opened, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (result != SQLITE_OK) {
        sqlite3_close(opened);
        return ClassifyFailure(result);
    }
    sqlite3_busy_timeout(opened, kBusyMilliseconds);
    const HistoryOpening opening = CheckAndPrepare(opened);
    if (opening == HistoryOpening::Opened || opening == HistoryOpening::Created)
        *db = opened;
    else
        sqlite3_close(opened);
    return opening;
}

bool OpenHistoryReader(const char* path, sqlite3** db)
{
    *db = nullptr;
    PathText utf8{};
    Utf8Path(path, utf8);
    sqlite3* opened = nullptr;
    if (sqlite3_open_v2(utf8.data(), &opened, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(opened);
        return false;
    }
    sqlite3_busy_timeout(opened, kBusyMilliseconds);
    // Not query_only: a search fills temp tables. The reader's statements only read the file.
    Execute(opened, "PRAGMA cache_size=-16000; PRAGMA temp_store=MEMORY; PRAGMA mmap_size=1073741824;");
    *db = opened;
    return true;
}

void CloseHistoryDatabase(sqlite3*& db)
{
    if (db)
        sqlite3_close(db);
    db = nullptr;
}

bool MoveHistoryAside(const char* path, const SYSTEMTIME& today, PathText& movedTo)
{
    for (int attempt = 1; attempt <= 100; ++attempt) {
        if (attempt == 1)
            FormatText(movedTo, "%s.corrupt-%04u-%02u-%02u", path, today.wYear, today.wMonth, today.wDay);
        else
            FormatText(movedTo, "%s.corrupt-%04u-%02u-%02u-%d", path, today.wYear, today.wMonth, today.wDay, attempt);
        if (GetFileAttributesA(movedTo.data()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (!MoveFileExA(path, movedTo.data(), 0))
            return false;
        // Its log of changes goes with it, so the pair stays one; the shared index is rebuilt from them.
        std::array<char, kPathCapacity + 8> from{};
        std::array<char, kPathCapacity + 8> to{};
        FormatText(from, "%s-wal", path);
        FormatText(to, "%s-wal", movedTo.data());
        MoveFileExA(from.data(), to.data(), 0);
        FormatText(from, "%s-shm", path);
        DeleteFileA(from.data());
        return true;
    }
    return false;
}

bool PrepareHistoryWriter(HistoryWriter& writer, sqlite3* db)
{
    writer.db = db;
    if (!writer.known)
        writer.known = static_cast<KnownText*>(
            VirtualAlloc(nullptr, sizeof(KnownText) * kKnownTexts, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    bool prepared = writer.known != nullptr;
    for (std::size_t k = 0; k < kStatements && prepared; ++k)
        prepared = sqlite3_prepare_v3(db, kStatementText[k], -1, SQLITE_PREPARE_PERSISTENT, &writer.statements[k],
                                      nullptr) == SQLITE_OK;
    if (!prepared) {
        FinishHistoryWriter(writer);
        return false;
    }
    ForgetKnownTexts(writer);
    int result = SQLITE_OK;
    writer.lastKey = QueryInteger(db, "SELECT coalesce(max(id), -9223372036854775807) FROM events", INT64_MAX, &result);
    if (result != SQLITE_OK)
        writer.lastKey = INT64_MAX;  // unknown: every key is asked for
    writer.maxLag = ReadHistoryMeta(db, "maxLag", 0);
    writer.firstDay = static_cast<int32_t>(ReadHistoryMeta(db, "firstDay", 0));
    writer.inTransaction = 0;
    return true;
}

void FinishHistoryWriter(HistoryWriter& writer)
{
    for (sqlite3_stmt*& statement : writer.statements) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    writer.db = nullptr;
}

void ForgetKnownTexts(HistoryWriter& writer)
{
    if (writer.known)
        ZeroMemory(writer.known, sizeof(KnownText) * kKnownTexts);
    writer.cachedSecond = INT64_MIN;
    writer.nextKey = 0;
    writer.cachedLimit = 0;
}

int BeginHistoryWrite(HistoryWriter& writer)
{
    const int result = RunToEnd(writer.statements[Begin]);
    writer.inTransaction = result == SQLITE_OK;
    return result;
}

int CommitHistoryWrite(HistoryWriter& writer)
{
    const int result = RunToEnd(writer.statements[Commit]);
    if (result == SQLITE_OK)
        writer.inTransaction = 0;
    else
        RollBackHistoryWrite(writer);
    return result;
}

void RollBackHistoryWrite(HistoryWriter& writer)
{
    if (sqlite3_get_autocommit(writer.db) == 0)
        RunToEnd(writer.statements[RollBack]);
    writer.inTransaction = 0;
    ForgetKnownTexts(writer);
    writer.maxLag = ReadHistoryMeta(writer.db, "maxLag", writer.maxLag);
    writer.firstDay = static_cast<int32_t>(ReadHistoryMeta(writer.db, "firstDay", writer.firstDay));
}

int StoreHistoryEvent(HistoryWriter& writer, const StoredEvent& event)
{
    std::array<int64_t, 5> ids{};
    int result = InternText(writer, kServers, event.server, &ids[0]);
    if (result == SQLITE_OK)
        result = InternText(writer, kNames, event.computer, &ids[1]);
    if (result == SQLITE_OK)
        result = InternText(writer, kNames, event.user, &ids[2]);
    if (result == SQLITE_OK)
        result = InternText(writer, kPaths, event.path, &ids[3]);
    if (result == SQLITE_OK)
        result = InternText(writer, kNames, event.detail, &ids[4]);
    int64_t key = 0;
    if (result == SQLITE_OK)
        result = FreeKeyFor(writer, event.second, &key);
    if (result != SQLITE_OK)
        return result;
    writer.lastKey = std::max(writer.lastKey, key);
    const int64_t lag = (key >> kHistorySequenceBits) - event.second;
    if (lag > writer.maxLag) {
        result = WriteHistoryMeta(writer, "maxLag", lag);
        if (result != SQLITE_OK)
            return result;
        writer.maxLag = lag;
    }
    if (event.live) {
        // A clock set back: that day's logs now hold lines this writer stored too.
        const int32_t day = DayNumberOf(SystemTimeOfHistorySeconds(event.second + event.zone * kHistoryZoneSeconds));
        if (writer.firstDay == 0 || day < writer.firstDay) {
            result = WriteHistoryMeta(writer, "firstDay", day);
            if (result != SQLITE_OK)
                return result;
            writer.firstDay = day;
        }
    }
    sqlite3_stmt* insert = writer.statements[InsertEvent];
    sqlite3_bind_int64(insert, 1, key);
    sqlite3_bind_int64(insert, 2, lag);
    sqlite3_bind_int(insert, 3, event.zone);
    sqlite3_bind_int(insert, 4, event.kindCode);
    for (std::size_t k = 0; k < ids.size(); ++k)
        BindId(insert, static_cast<int>(k) + 5, ids[k]);
    return RunToEnd(insert);
}

int64_t ReadHistoryMeta(sqlite3* db, const char* key, int64_t fallback)
{
    sqlite3_stmt* statement = nullptr;
    int64_t value = fallback;
    if (sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key = ?1", -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC);
        if (sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
}

int WriteHistoryMeta(HistoryWriter& writer, const char* key, int64_t value)
{
    sqlite3_stmt* statement = writer.statements[WriteMeta];
    sqlite3_bind_text(statement, 1, key, -1, SQLITE_STATIC);
    sqlite3_bind_int64(statement, 2, value);
    return RunToEnd(statement);
}

int64_t ReadLogDone(HistoryWriter& writer, std::string_view name)
{
    sqlite3_stmt* statement = writer.statements[ReadDone];
    BindText(statement, 1, name);
    const int64_t done = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_reset(statement);
    return done;
}

int WriteLogDone(HistoryWriter& writer, std::string_view name, int64_t done)
{
    sqlite3_stmt* statement = writer.statements[WriteDone];
    BindText(statement, 1, name);
    sqlite3_bind_int64(statement, 2, done);
    return RunToEnd(statement);
}

namespace {

int RunWithIntegers(sqlite3* db, const char* sql, int64_t first, int64_t second)
{
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (result == SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, first);
        sqlite3_bind_int64(statement, 2, second);
        result = sqlite3_step(statement);
        result = result == SQLITE_DONE || result == SQLITE_ROW ? SQLITE_OK : result;
    }
    sqlite3_finalize(statement);
    return result;
}

}  // namespace

bool NewestHistoryBucket(sqlite3_stmt* newest, int64_t from, int64_t before, int64_t* bucket, int* result)
{
    sqlite3_bind_int64(newest, 1, from);
    sqlite3_bind_int64(newest, 2, before);
    const int step = sqlite3_step(newest);
    const bool found = step == SQLITE_ROW && sqlite3_column_type(newest, 0) != SQLITE_NULL;
    if (found)
        *bucket = HistoryBucketOfKey(sqlite3_column_int64(newest, 0));
    sqlite3_reset(newest);
    *result = step == SQLITE_ROW ? SQLITE_OK : step;
    return found;
}

int PruneEvents(HistoryWriter& writer, int64_t beforeKey, int most, int* removed)
{
    *removed = 0;
    // The texts go in a table, not a memory: a run that ends here still removes them later.
    int result = RunWithIntegers(
        writer.db,
        "WITH chosen AS MATERIALIZED (SELECT user, computer, path, detail FROM events WHERE id < ?1 ORDER BY id LIMIT ?2)"
        " INSERT OR IGNORE INTO pruned_texts(paths, id)"
        " SELECT 1, path FROM chosen WHERE path IS NOT NULL"
        " UNION ALL SELECT 0, user FROM chosen WHERE user IS NOT NULL"
        " UNION ALL SELECT 0, computer FROM chosen WHERE computer IS NOT NULL"
        " UNION ALL SELECT 0, detail FROM chosen WHERE detail IS NOT NULL",
        beforeKey, most);
    if (result == SQLITE_OK)
        result = RunWithIntegers(
            writer.db, "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE id < ?1 ORDER BY id LIMIT ?2)",
            beforeKey, most);
    if (result == SQLITE_OK)
        *removed = sqlite3_changes(writer.db);
    return result;
}

namespace {

// The buckets that hold events, newest first, into temp.history_buckets: a seek each.
int ListBuckets(HistoryWriter& writer)
{
    int result = Execute(writer.db, "CREATE TEMP TABLE IF NOT EXISTS history_buckets(newest INTEGER PRIMARY KEY);"
                                    "DELETE FROM temp.history_buckets;");
    sqlite3_stmt* add = nullptr;
    if (result == SQLITE_OK)
        result = sqlite3_prepare_v2(writer.db, "INSERT INTO temp.history_buckets(newest) VALUES(?1)", -1, &add,
                                    nullptr);
    int64_t before = INT64_MAX;
    int64_t bucket = 0;
    while (result == SQLITE_OK &&
           NewestHistoryBucket(writer.statements[LastKeyIn], INT64_MIN, before, &bucket, &result)) {
        sqlite3_bind_int64(add, 1, -bucket);  // its row order is newest first
        result = RunToEnd(add);
        before = HistoryFirstKeyOfBucket(bucket);
    }
    sqlite3_finalize(add);
    return result;
}

}  // namespace

int PruneTexts(HistoryWriter& writer, bool paths, int most, int* checked)
{
    *checked = 0;
    int result = ListBuckets(writer);
    // Each test seeks a bucket at a time, newest first: a text in use is found at once.
    if (result == SQLITE_OK)
        result = RunWithIntegers(
            writer.db,
            paths ? "DELETE FROM paths WHERE id IN (SELECT id FROM pruned_texts WHERE paths = ?1 ORDER BY id LIMIT ?2)"
                    " AND NOT EXISTS (SELECT 1 FROM temp.history_buckets b CROSS JOIN events e"
                    " WHERE (e.id >> 29) = -b.newest AND e.path = paths.id)"
                  : "DELETE FROM names WHERE id IN (SELECT id FROM pruned_texts WHERE paths = ?1 ORDER BY id LIMIT ?2)"
                    " AND NOT EXISTS (SELECT 1 FROM temp.history_buckets b CROSS JOIN events e"
                    " WHERE (e.id >> 29) = -b.newest AND e.user = names.id)"
                    " AND NOT EXISTS (SELECT 1 FROM temp.history_buckets b CROSS JOIN events e"
                    " WHERE (e.id >> 29) = -b.newest AND e.computer = names.id)"
                    " AND NOT EXISTS (SELECT 1 FROM temp.history_buckets b CROSS JOIN events e"
                    " WHERE (e.id >> 29) = -b.newest AND e.detail = names.id)",
            paths ? 1 : 0, most);
    if (result == SQLITE_OK)
        result = RunWithIntegers(writer.db,
                                 "DELETE FROM pruned_texts WHERE paths = ?1 AND id IN"
                                 " (SELECT id FROM pruned_texts WHERE paths = ?1 ORDER BY id LIMIT ?2)",
                                 paths ? 1 : 0, most);
    if (result == SQLITE_OK)
        *checked = sqlite3_changes(writer.db);
    return result;
}
