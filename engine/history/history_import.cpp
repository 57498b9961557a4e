#include "engine/history/history_import.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/file_trust.h"
#include "core/hash.h"
#include "core/text.h"
#include "core/utf8.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_lines.h"
#include "engine/history/history_queue.h"

namespace {

constexpr int64_t kDaySeconds = 86400;
// Around a day's local seconds, the UTC seconds its events can have: zones reach 16 hours.
constexpr int64_t kZoneReach = 17 * 3600;
// The stored events of one second compared at once; a second holding more is not
// filled in from the log (a line is never stored twice, even there).
constexpr std::size_t kGroupEvents = 4096;
constexpr std::size_t kZones = 8;

enum Phase : int32_t { NotStarted = 0, AwaitingDrain = 1, Reading = 2 };

enum ImportStatement : std::size_t { ZonesOfDay, EventsOfSecond };
constexpr const char* kStatementText[] = {
    "SELECT DISTINCT zone FROM events WHERE id >= ?1 AND id < ?2",
    "SELECT e.kind, u.text, c.text, p.text, d.text FROM events e"
    " LEFT JOIN names u ON u.id = e.user LEFT JOIN names c ON c.id = e.computer"
    " LEFT JOIN paths p ON p.id = e.path LEFT JOIN names d ON d.id = e.detail"
    " WHERE e.id >= ?1 AND e.id < ?2 AND (e.id >> 12) - e.lag = ?3 AND e.zone = ?4"
    " AND e.server IS (SELECT id FROM servers WHERE text = ?5 COLLATE NOCASE) AND e.kind < 24",
};

// What one compared file needs while it is read.
struct Comparing {
    std::array<int32_t, kZones> zones;
    std::size_t zoneCount;
    std::array<uint64_t, kGroupEvents> stored;  // the lines of the second's stored events
    std::array<uint8_t, kGroupEvents> used;
    std::size_t storedCount;
    bool overflowed;
};

// The writer's thread alone reads logs: one of each.
Comparing comparing;
std::array<int32_t, 24> zoneOfHour;
std::array<bool, 24> zoneOfHourKnown;

int64_t DayStartSeconds(int32_t day)
{
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(day / 10000);
    time.wMonth = static_cast<WORD>(day / 100 % 100);
    time.wDay = static_cast<WORD>(day % 100);
    int64_t seconds = 0;
    HistorySecondsOf(time, &seconds);
    return seconds;
}

// The zone this computer gives a local time of the log's day now (its rules for that date).
int32_t ZoneOfLocal(int64_t localSeconds)
{
    const auto hour = static_cast<std::size_t>((localSeconds % kDaySeconds + kDaySeconds) % kDaySeconds / 3600);
    if (zoneOfHourKnown[hour])
        return zoneOfHour[hour];
    const SYSTEMTIME local = SystemTimeOfHistorySeconds(localSeconds - localSeconds % 3600);
    SYSTEMTIME utc{};
    int64_t utcSeconds = 0;
    int32_t zone = 0;
    if (TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) && HistorySecondsOf(utc, &utcSeconds))
        zone = HistoryZoneOf(localSeconds - localSeconds % 3600, utcSeconds);
    zoneOfHour[hour] = zone;
    zoneOfHourKnown[hour] = true;
    return zone;
}

void AddZone(int32_t zone)
{
    for (std::size_t k = 0; k < comparing.zoneCount; ++k)
        if (comparing.zones[k] == zone)
            return;
    if (comparing.zoneCount < comparing.zones.size())
        comparing.zones[comparing.zoneCount++] = zone;
}

std::string_view ColumnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string_view();
}

void BindServer(sqlite3_stmt* statement, int place, const LogToImport& file)
{
    if (file.server[0])
        sqlite3_bind_text(statement, place, file.server.data(), -1, SQLITE_STATIC);
    else
        sqlite3_bind_null(statement, place);
}

int PrepareStatements(ImportWork& work, sqlite3* db)
{
    for (std::size_t k = 0; k < work.statements.size(); ++k) {
        if (work.statements[k])
            continue;
        const int result = sqlite3_prepare_v3(db, kStatementText[k], -1, SQLITE_PREPARE_PERSISTENT,
                                              &work.statements[k], nullptr);
        if (result != SQLITE_OK)
            return result;
    }
    return SQLITE_OK;
}

// The zones the history's events around the log's day have, and this computer's own.
int LoadZones(ImportWork& work, const LogToImport& file)
{
    comparing.zoneCount = 0;
    const int64_t start = DayStartSeconds(file.day);
    sqlite3_stmt* zones = work.statements[ZonesOfDay];
    sqlite3_bind_int64(zones, 1, HistoryKeyOfSecond(start - kZoneReach));
    sqlite3_bind_int64(zones, 2, HistoryKeyOfSecond(start + kDaySeconds + kZoneReach));
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(zones)) == SQLITE_ROW)
        AddZone(sqlite3_column_int(zones, 0));
    sqlite3_reset(zones);
    AddZone(ZoneOfLocal(start));
    AddZone(ZoneOfLocal(start + kDaySeconds - 1));
    return result == SQLITE_DONE ? SQLITE_OK : result;
}

uint64_t LineHash(std::string_view line)
{
    TextHash hash;
    hash.Add(line);
    return hash.value;
}

// The lines delivery would have written for the events stored at this local second.
int LoadStoredSecond(ImportWork& work, const LogToImport& file, int64_t localSecond, int64_t maxLag)
{
    comparing.storedCount = 0;
    comparing.overflowed = false;
    const SYSTEMTIME local = SystemTimeOfHistorySeconds(localSecond);
    sqlite3_stmt* events = work.statements[EventsOfSecond];
    for (std::size_t z = 0; z < comparing.zoneCount; ++z) {
        const int64_t second = localSecond - int64_t{comparing.zones[z]} * kHistoryZoneSeconds;
        sqlite3_bind_int64(events, 1, HistoryKeyOfSecond(second));
        sqlite3_bind_int64(events, 2, HistoryKeyOfSecond(second + 1 + maxLag));
        sqlite3_bind_int64(events, 3, second);
        sqlite3_bind_int(events, 4, comparing.zones[z]);
        BindServer(events, 5, file);
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(events)) == SQLITE_ROW) {
            if (comparing.storedCount == comparing.stored.size()) {
                comparing.overflowed = true;
                continue;
            }
            const int32_t code = sqlite3_column_int(events, 0);
            std::array<wchar_t, kQueuedNameUnits + 1> user{};
            std::array<wchar_t, kQueuedNameUnits + 1> computer{};
            std::array<wchar_t, kQueuedPathUnits + 1> path{};
            std::array<char, kFormatCapacity> detail{};
            const std::size_t userLength = WideFromUtf8(user, ColumnText(events, 1));
            const std::size_t computerLength = WideFromUtf8(computer, ColumnText(events, 2));
            const std::size_t pathLength = WideFromUtf8(path, ColumnText(events, 3));
            AnsiFromUtf8(detail, ColumnText(events, 4));
            std::array<char, kFormatCapacity> line{};
            if (FormatLogLineOf(EventKindOfCode(code), ModeOfCode(code), {user.data(), userLength},
                                {computer.data(), computerLength}, {path.data(), pathLength}, detail.data(), local,
                                line)) {
                comparing.used[comparing.storedCount] = 0;
                comparing.stored[comparing.storedCount++] = LineHash(line.data());
            }
        }
        sqlite3_reset(events);
        if (result != SQLITE_DONE)
            return result;
    }
    return SQLITE_OK;
}

// Whether the history holds the event of this line not yet matched to another line.
bool TakeStoredLine(std::string_view line)
{
    const uint64_t hash = LineHash(line);
    for (std::size_t k = 0; k < comparing.storedCount; ++k) {
        if (!comparing.used[k] && comparing.stored[k] == hash) {
            comparing.used[k] = 1;
            return true;
        }
    }
    return comparing.overflowed;  // a crowded second: better one line short than one twice
}

int StoreLine(HistoryWriter& writer, const LogToImport& file, const LogLine& parsed, int64_t localSecond)
{
    std::array<char, Utf8Room(kQueuedNameUnits)> user{};
    std::array<char, Utf8Room(kQueuedNameUnits)> computer{};
    std::array<char, Utf8Room(kQueuedPathUnits)> path{};
    std::array<char, Utf8Room(kQueuedRuleBytes)> detail{};
    const int32_t zone = ZoneOfLocal(localSecond);
    const StoredEvent event{0,
                            HistoryKindCode(parsed.kind, parsed.mode),
                            localSecond - int64_t{zone} * kHistoryZoneSeconds,
                            zone,
                            file.server.data(),
                            {computer.data(), Utf8FromAnsi(computer, parsed.computer)},
                            {user.data(), Utf8FromAnsi(user, parsed.user)},
                            {path.data(), Utf8FromAnsi(path, parsed.path)},
                            {detail.data(), Utf8FromAnsi(detail, parsed.detail)}};
    return StoreHistoryEvent(writer, event);
}

// The start of the line that ends just before `end` (a '\n', or the text's end).
std::size_t StartOfLineBefore(std::string_view text, std::size_t end)
{
    const std::size_t newline = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    return newline == std::string_view::npos ? 0 : newline + 1;
}

bool ParseLineAt(std::string_view text, std::size_t start, std::size_t end, LogLine* parsed)
{
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return ParseLogLine(line, parsed);
}

// A compared chunk (whole lines) ends where its last second's lines begin, so that
// a second is compared whole in the next; a chunk of one second is taken as it is.
std::size_t EndOfWholeSeconds(std::string_view text)
{
    const std::size_t lastEnd = text.size() - 1;
    std::size_t start = StartOfLineBefore(text, lastEnd);
    LogLine last{};
    if (!ParseLineAt(text, start, lastEnd, &last))
        return text.size();
    while (start > 0) {
        const std::size_t previousStart = StartOfLineBefore(text, start - 1);
        LogLine previous{};
        if (!ParseLineAt(text, previousStart, start - 1, &previous) || previous.secondOfDay != last.secondOfDay)
            break;
        start = previousStart;
    }
    return start > 0 ? start : text.size();
}

// Stores the chunk's lines (whole lines, ending with '\n') inside the open transaction.
int StoreChunk(ImportWork& work, HistoryWriter& writer, const LogToImport& file, std::string_view text,
               ImportCounts& counts)
{
    const int64_t dayStart = DayStartSeconds(file.day);
    int64_t groupSecond = -1;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        ++counts.linesRead;
        LogLine parsed{};
        if (!ParseLogLine(line, &parsed))
            continue;
        const int64_t localSecond = dayStart + parsed.secondOfDay;
        if (file.compared) {
            if (localSecond != groupSecond) {
                const int result = LoadStoredSecond(work, file, localSecond, writer.maxLag);
                if (result != SQLITE_OK)
                    return result;
                groupSecond = localSecond;
            }
            if (TakeStoredLine(line))
                continue;
        }
        const int result = StoreLine(writer, file, parsed, localSecond);
        if (result != SQLITE_OK)
            return result;
        ++counts.linesTaken;
    }
    return SQLITE_OK;
}

HANDLE OpenLog(const char* logFolder, const LogToImport& file)
{
    PathText path{};
    FormatText(path, "%s%s", logFolder, file.name.data());
    // The program may be writing it: share it for writing too.
    return CreateGuardedFile(path.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

int64_t SizeOf(const char* logFolder, const LogToImport& file)
{
    const HANDLE handle = OpenLog(logFolder, file);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER size{};
    const bool known = GetFileSizeEx(handle, &size) != 0;
    CloseHandle(handle);
    return known ? size.QuadPart : -1;
}

// Reads up to a chunk from the file's offset; the bytes read.
std::size_t ReadChunk(ImportWork& work, const char* logFolder, const LogToImport& file)
{
    const HANDLE handle = OpenLog(logFolder, file);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    const auto wanted = static_cast<DWORD>(std::min<int64_t>(file.limit - work.offset, kImportChunkBytes));
    LARGE_INTEGER at{};
    at.QuadPart = work.offset;
    DWORD got = 0;
    if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !ReadFile(handle, work.chunk, wanted, &got, nullptr))
        got = 0;
    CloseHandle(handle);
    return got;
}

void AddLogsOf(ImportWork& work, HistoryWriter& writer, const char* logFolder, const char* subfolder,
               int32_t oldestDay)
{
    PathText pattern{};
    FormatText(pattern, "%s%s%s*.log", logFolder, subfolder, subfolder[0] ? "\\" : "");
    WIN32_FIND_DATAA entry{};
    const HANDLE find = FindFirstFileA(pattern.data(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        SYSTEMTIME day{};
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !ParseLogFileName(entry.cFileName, &day))
            continue;
        const int32_t dayNumber = DayNumberOf(day);
        if (dayNumber < oldestDay)
            continue;
        LogToImport file{};
        FormatText(file.name, "%s%s%s", subfolder, subfolder[0] ? "\\" : "", entry.cFileName);
        if (subfolder[0])
            FormatText(file.server, "\\\\%s", subfolder);
        file.day = dayNumber;
        file.compared = writer.firstDay == 0 || dayNumber >= writer.firstDay;
        const int64_t size = (static_cast<int64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        const int64_t done = ReadLogDone(writer, file.name.data());
        // A log shorter than what was read of it was replaced: read on, never again.
        const bool waiting = file.compared ? done != size : done < size;
        if (!waiting)
            continue;
        if (work.count == kImportFiles) {
            work.more = 1;
            continue;
        }
        work.files[work.count++] = file;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

bool ComesFirst(const LogToImport& a, const LogToImport& b)
{
    if (a.compared != b.compared)
        return a.compared > b.compared;
    if (a.day != b.day)
        return a.day < b.day;
    return strcmp(a.name.data(), b.name.data()) < 0;
}

}  // namespace

bool MakeImportWork(ImportWork& work)
{
    work.files = static_cast<LogToImport*>(
        VirtualAlloc(nullptr, sizeof(LogToImport) * kImportFiles, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    work.chunk = static_cast<char*>(VirtualAlloc(nullptr, kImportChunkBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    work.count = 0;
    work.next = 0;
    return work.files && work.chunk;
}

void FreeImportWork(ImportWork& work)
{
    FinishImportStatements(work);
    if (work.files)
        VirtualFree(work.files, 0, MEM_RELEASE);
    if (work.chunk)
        VirtualFree(work.chunk, 0, MEM_RELEASE);
    work.files = nullptr;
    work.chunk = nullptr;
}

void FinishImportStatements(ImportWork& work)
{
    for (sqlite3_stmt*& statement : work.statements) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
}

uint32_t PlanLogImport(ImportWork& work, HistoryWriter& writer, const char* logFolder, int32_t oldestDay)
{
    work.count = 0;
    work.next = 0;
    work.more = 0;
    work.started = NotStarted;
    if (!work.files)
        return 0;
    AddLogsOf(work, writer, logFolder, "", oldestDay);
    PathText pattern{};
    FormatText(pattern, "%s*", logFolder);
    WIN32_FIND_DATAA entry{};
    const HANDLE find = FindFirstFileA(pattern.data(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string_view name = entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != "." && name != "..")
                AddLogsOf(work, writer, logFolder, entry.cFileName, oldestDay);
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    std::sort(work.files, work.files + work.count, ComesFirst);
    return work.count;
}

ImportStep ImportNextChunk(ImportWork& work, HistoryWriter& writer, const char* logFolder, bool drained,
                           ImportCounts& counts, int* result)
{
    *result = SQLITE_OK;
    while (work.next < work.count) {
        LogToImport& file = work.files[work.next];
        if (work.started == NotStarted) {
            // The size first, then the drain: every line within it had its event queued before.
            file.limit = SizeOf(logFolder, file);
            work.offset = file.compared ? 0 : std::max<int64_t>(ReadLogDone(writer, file.name.data()), 0);
            zoneOfHourKnown = {};
            if (file.limit < 0 || work.offset >= file.limit) {
                ++work.next;
                ++counts.filesDone;
                continue;
            }
            work.started = file.compared ? AwaitingDrain : Reading;
            if (file.compared)
                return ImportStep::NeedsDrain;
        }
        if (work.started == AwaitingDrain) {
            if (!drained)
                return ImportStep::NeedsDrain;
            *result = PrepareStatements(work, writer.db);
            if (*result == SQLITE_OK)
                *result = LoadZones(work, file);
            if (*result != SQLITE_OK)
                return ImportStep::Chunk;
            work.started = Reading;
        }
        const std::size_t got = work.offset < file.limit ? ReadChunk(work, logFolder, file) : 0;
        const std::string_view text(work.chunk, got);
        std::size_t end = text.rfind('\n');
        end = end == std::string_view::npos ? (got == kImportChunkBytes ? got : 0) : end + 1;
        if (file.compared && end > 0 && work.offset + static_cast<int64_t>(end) < file.limit)
            end = EndOfWholeSeconds(text.substr(0, end));
        const bool last = end == 0 || work.offset + static_cast<int64_t>(end) >= file.limit;
        *result = BeginHistoryWrite(writer);
        ImportCounts chunkCounts{};
        if (*result == SQLITE_OK)
            *result = StoreChunk(work, writer, file, text.substr(0, end), chunkCounts);
        // A compared log's place is kept once it is compared whole: until then it is compared again.
        if (*result == SQLITE_OK && (!file.compared || last))
            *result = WriteLogDone(writer, file.name.data(), file.compared ? file.limit : work.offset + end);
        if (*result == SQLITE_OK)
            *result = CommitHistoryWrite(writer);
        if (*result != SQLITE_OK) {
            RollBackHistoryWrite(writer);
            if (file.compared)
                work.started = NotStarted;  // compared again from the start, after a new drain
            return ImportStep::Chunk;
        }
        counts.linesRead += chunkCounts.linesRead;
        counts.linesTaken += chunkCounts.linesTaken;
        work.offset += static_cast<int64_t>(end);
        if (last) {
            ++work.next;
            ++counts.filesDone;
            work.started = NotStarted;
        }
        return ImportStep::Chunk;
    }
    return ImportStep::Finished;
}
