#include "core/event_log.h"
#include "engine/history/history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>

#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/utf8.h"
#include "engine/history/history_import.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_search.h"

namespace {

// The writer looks into the queue this often when nothing wakes it sooner.
constexpr DWORD kWriterPauseMs = 100;
// After a failed write (no room, the file locked), and before opening again.
constexpr ULONGLONG kRetryMs = 1000;
constexpr ULONGLONG kReopenMs = 2000;
constexpr int kPruneEvents = 20000;
constexpr int kPruneTexts = 5000;
constexpr int64_t kDaySeconds = 86400;

enum PrunePhase : int32_t { PruneIdle = 0, PruneEventsPhase, PrunePathsPhase, PruneNamesPhase };

// The writer thread's own.
struct WriterWork {
    ImportWork import;
    uint64_t missedPlanned;  // the missed count the last plan of the logs took in
    uint64_t missedSeen;     // the missed count the last turn saw: the logs are planned again once it stops
    ULONGLONG retryAt;       // pacing: the platform's time (PacingMillisecondsNow)
    int64_t prunedDay;       // the UTC day of the last prune
    int32_t prunePhase;
    int64_t pruneBeforeKey;
};

WriterWork work;

void SetHealth(HistoryHealth health)
{
    historyState.health.store(static_cast<int32_t>(health));
}

HistoryHealth HealthAfter(int result)
{
    const int primary = result & 0xFF;
    if (primary == SQLITE_FULL)
        return HistoryHealth::DiskFull;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        return HistoryHealth::Locked;
    return HistoryHealth::Failing;
}

int64_t UtcSecondsNow()
{
    int64_t seconds = 0;
    HistorySecondsOf(UniversalTimeNow(), &seconds);
    return seconds;
}

// The oldest day the history keeps, as yyyymmdd; 0 when it keeps everything.
int32_t OldestDayKept()
{
    const int32_t keepDays = historyState.keepDays.load();
    if (keepDays <= 0)
        return 0;
    int64_t today = 0;
    HistorySecondsOf(LocalTimeNow(), &today);
    return DayNumberOf(SystemTimeOfHistorySeconds(today - int64_t{keepDays} * kDaySeconds));
}

// An action asked through the service's pipe keeps who asked in its detail:
// "blacklist, by CORP\ann", or "by CORP\ann" for one with no rule. A deny at the shares
// or its restore keeps its words (at how many shares of which server): its rule,
// "tripwire", would say nothing its kind does not.
void HistorySink(const EventRecord& record, void*)
{
    if (!historyState.accepting.load(std::memory_order_relaxed))
        return;
    EventRecord stored = record;
    if (record.kind == EventKind::SharesDenied || record.kind == EventKind::SharesRestored)
        stored.rule = record.text;
    if (record.by.empty()) {
        PutHistoryEvent(historyState.queue, stored);
        return;
    }
    static std::array<char, kQueuedRuleBytes> detail;
    std::array<wchar_t, kQueuedNameUnits> wide{};
    CopyWideText(wide, record.by);
    std::array<char, kQueuedNameUnits * 2> by{};
    AnsiFromWide(by, wide.data());
    CopyText(detail, stored.rule);
    AppendText(detail, stored.rule.empty() ? "by " : ", by ");
    AppendText(detail, by.data());
    stored.rule = detail.data();
    PutHistoryEvent(historyState.queue, stored);
}

// An event from the queue as the store takes it: UTF-8 texts, the local time kept whole.
int StoreQueued(const QueuedEvent& queued)
{
    int64_t local = 0;
    int64_t utc = 0;
    const bool localKnown = HistorySecondsOf(queued.local, &local);
    const bool utcKnown = HistorySecondsOf(queued.utc, &utc);
    if (!localKnown && !utcKnown)
        return SQLITE_OK;  // a time that is none: nothing to keep it by
    if (!localKnown)
        local = utc;
    if (!utcKnown)
        utc = local;
    const int32_t zone = HistoryZoneOf(local, utc);
    static std::array<char, Utf8Room(kQueuedServerBytes)> server;
    static std::array<char, Utf8Room(kQueuedNameUnits)> computer;
    static std::array<char, Utf8Room(kQueuedNameUnits)> user;
    static std::array<char, Utf8Room(kQueuedPathUnits)> path;
    static std::array<char, Utf8Room(kQueuedRuleBytes)> rule;
    const StoredEvent event{1,
                            HistoryKindCode(queued.kind, queued.permissions),
                            local - int64_t{zone} * kHistoryZoneSeconds,
                            zone,
                            {server.data(), Utf8FromAnsi(server, queued.server)},
                            {computer.data(), Utf8FromWide(computer, queued.computer)},
                            {user.data(), Utf8FromWide(user, queued.user)},
                            {path.data(), Utf8FromWide(path, queued.path)},
                            {rule.data(), Utf8FromAnsi(rule, queued.rule)}};
    return StoreHistoryEvent(historyState.writer, event);
}

// Everything queued now, in one transaction; SQLite's result code. On a failure the
// events stay queued for the next try.
int WriteQueued()
{
    HistoryQueue& queue = historyState.queue;
    const uint64_t end = queue.head.load(std::memory_order_acquire);
    uint64_t position = queue.tail.load(std::memory_order_relaxed);
    if (position == end)
        return SQLITE_OK;
    HistoryWriter& writer = historyState.writer;
    int result = BeginHistoryWrite(writer);
    uint64_t count = 0;
    QueuedEvent event{};
    while (result == SQLITE_OK && PeekHistoryEvent(queue, position, end, &event)) {
        result = StoreQueued(event);
        ++count;
    }
    if (result == SQLITE_OK)
        result = CommitHistoryWrite(writer);
    if (result != SQLITE_OK) {
        RollBackHistoryWrite(writer);
        return result;
    }
    ReleaseHistoryEvents(queue, end, count);
    historyState.stored.fetch_add(count);
    SetEvent(historyState.written);
    return SQLITE_OK;
}

void PlanLogs()
{
    work.missedPlanned = historyState.queue.missed.load();
    const uint32_t files = PlanLogImport(work.import, historyState.writer, historyState.logFolder.data(),
                                         OldestDayKept());
    historyState.filesDone.store(0);
    historyState.filesTotal.store(files);
    historyState.backfill.store(static_cast<int32_t>(files ? BackfillState::Running : BackfillState::Done));
}

void CloseStore()
{
    FinishImportStatements(work.import);
    sqlite3* db = historyState.writer.db;
    FinishHistoryWriter(historyState.writer);
    CloseHistoryDatabase(db);
}

void OpenStore();

// A damaged file goes aside under a dated name, and a new one is filled from the logs.
void ReplaceDamagedFile()
{
    CloseStore();
    SendHistoryReadersAway();
    AcquireSRWLockExclusive(&historyState.fileLock);
    const bool moved = MoveHistoryAside(historyState.databasePath.data(), LocalTimeNow(), historyState.movedAsideTo);
    historyState.fileGeneration.fetch_add(1);
    ReleaseSRWLockExclusive(&historyState.fileLock);
    historyState.damageSeen.store(0);
    if (!moved) {
        SetHealth(HistoryHealth::Unmovable);
        work.retryAt = PacingMillisecondsNow() + kReopenMs * 30;
        LetHistoryReadersBack();
        return;
    }
    historyState.noticeWaiting.store(1);
    ReportProductEvent(QUORVEL_EVENT_HISTORY_SET_ASIDE,
                       {historyState.databasePath.data(), historyState.movedAsideTo.data(), "it was damaged"});
    OpenStore();
    LetHistoryReadersBack();
}

void OpenStore()
{
    work.retryAt = PacingMillisecondsNow() + kReopenMs;
    sqlite3* db = nullptr;
    const HistoryOpening opening = OpenHistoryDatabase(historyState.databasePath.data(), &db);
    if (opening == HistoryOpening::NotOurs) {
        historyState.damageSeen.store(1);  // moved aside on the writer's next turn
        return;
    }
    if (opening == HistoryOpening::Newer) {
        SetHealth(HistoryHealth::NewerFile);
        work.retryAt = ~0ull;
        return;
    }
    if (opening == HistoryOpening::Unavailable) {
        SetHealth(HistoryHealth::Failing);
        return;
    }
    HistoryWriter& writer = historyState.writer;
    if (!PrepareHistoryWriter(writer, db)) {
        CloseHistoryDatabase(db);
        SetHealth(HistoryHealth::Failing);
        return;
    }
    // A new file: the logs of today on may hold what the live writer stores from now.
    int result = BeginHistoryWrite(writer);
    if (result == SQLITE_OK && (opening == HistoryOpening::Created || writer.firstDay == 0)) {
        writer.firstDay = DayNumberOf(LocalTimeNow());
        result = WriteHistoryMeta(writer, "firstDay", writer.firstDay);
    }
    if (result == SQLITE_OK)
        result = WriteHistoryMeta(writer, "open", 1);
    if (result == SQLITE_OK)
        result = CommitHistoryWrite(writer);
    if (result != SQLITE_OK) {
        RollBackHistoryWrite(writer);
        CloseStore();
        SetHealth(IsDamagedResult(result) ? HistoryHealth::Failing : HealthAfter(result));
        if (IsDamagedResult(result))
            historyState.damageSeen.store(1);
        return;
    }
    work.retryAt = 0;
    SetHealth(HistoryHealth::Current);
    PlanLogs();
}

void Fail(int result)
{
    if (IsDamagedResult(result)) {
        historyState.damageSeen.store(1);
        return;
    }
    SetHealth(HealthAfter(result));
    work.retryAt = PacingMillisecondsNow() + kRetryMs;
}

// One transaction of the daily prune; true while there is more of it.
bool PruneStep(int* result)
{
    HistoryWriter& writer = historyState.writer;
    *result = SQLITE_OK;
    if (work.prunePhase == PruneIdle) {
        const int64_t now = UtcSecondsNow();
        const int32_t keepDays = historyState.keepDays.load();
        if (historyState.keepDaysChanged.exchange(0))
            work.prunedDay = -1;
        if (keepDays <= 0 || now / kDaySeconds == work.prunedDay)
            return false;
        work.pruneBeforeKey = HistoryKeyOfSecond(now - int64_t{keepDays} * kDaySeconds);
        work.prunePhase = PruneEventsPhase;
    }
    *result = BeginHistoryWrite(writer);
    if (*result != SQLITE_OK)
        return true;
    if (work.prunePhase == PruneEventsPhase) {
        int removed = 0;
        *result = PruneEvents(writer, work.pruneBeforeKey, kPruneEvents, &removed);
        if (*result == SQLITE_OK && removed < kPruneEvents)
            work.prunePhase = PrunePathsPhase;
    } else {
        const bool paths = work.prunePhase == PrunePathsPhase;
        int checked = 0;
        *result = PruneTexts(writer, paths, kPruneTexts, &checked);
        if (*result == SQLITE_OK && checked < kPruneTexts) {
            work.prunePhase = paths ? PruneNamesPhase : PruneIdle;
            if (!paths)
                work.prunedDay = UtcSecondsNow() / kDaySeconds;
        }
    }
    if (*result == SQLITE_OK)
        *result = CommitHistoryWrite(writer);
    if (*result != SQLITE_OK) {
        RollBackHistoryWrite(writer);
        work.prunePhase = PruneEventsPhase;  // begun again: what is gone stays gone
    }
    // Ids removed may be given again to other texts.
    ForgetKnownTexts(writer);
    return work.prunePhase != PruneIdle;
}

// One chunk of the logs; true while there is more to read.
bool ImportStepOfLogs(int* result)
{
    *result = SQLITE_OK;
    if (historyState.backfillStopWanted.load()) {
        if (historyState.backfill.load() == static_cast<int32_t>(BackfillState::Running))
            historyState.backfill.store(static_cast<int32_t>(BackfillState::Stopped));
        return false;
    }
    // Events the queue missed come back from the day's log, planned once an overflow is
    // over: planned while it lasts, the log would be read again from its start each turn.
    const uint64_t missed = historyState.queue.missed.load();
    const bool overflowEnded = missed != work.missedPlanned && missed == work.missedSeen;
    work.missedSeen = missed;
    if (historyState.backfillResumeWanted.exchange(0) || overflowEnded)
        PlanLogs();
    if (historyState.backfill.load() != static_cast<int32_t>(BackfillState::Running))
        return false;
    ImportCounts counts{};
    HistoryWriter& writer = historyState.writer;
    const char* folder = historyState.logFolder.data();
    ImportStep step = ImportNextChunk(work.import, writer, folder, false, counts, result);
    if (step == ImportStep::NeedsDrain) {
        *result = WriteQueued();
        if (*result != SQLITE_OK)
            return true;
        step = ImportNextChunk(work.import, writer, folder, true, counts, result);
    }
    historyState.filesDone.fetch_add(counts.filesDone);
    historyState.linesRead.fetch_add(counts.linesRead);
    historyState.linesTaken.fetch_add(counts.linesTaken);
    historyState.stored.fetch_add(counts.linesTaken);
    if (step == ImportStep::Finished) {
        if (work.import.more)
            PlanLogs();
        else
            historyState.backfill.store(static_cast<int32_t>(BackfillState::Done));
    }
    return historyState.backfill.load() == static_cast<int32_t>(BackfillState::Running);
}

void WriteOnClose()
{
    if (!historyState.writer.db)
        return;
    for (int tries = 0; tries < 3 && WriteQueued() != SQLITE_OK; ++tries)
        WaitForSingleObject(historyState.writerWake, static_cast<DWORD>(kRetryMs / 4));
    HistoryWriter& writer = historyState.writer;
    int result = BeginHistoryWrite(writer);
    if (result == SQLITE_OK)
        result = WriteHistoryMeta(writer, "open", 0);
    if (result == SQLITE_OK)
        result = CommitHistoryWrite(writer);
    if (result != SQLITE_OK)
        RollBackHistoryWrite(writer);
}

DWORD WINAPI WriterMain(void*)
{
    OpenStore();
    bool busy = false;
    while (!historyState.closing.load()) {
        WaitForSingleObject(historyState.writerWake, busy ? 0 : kWriterPauseMs);
        busy = false;
        if (historyState.closing.load())
            break;
        if (historyState.damageSeen.load()) {
            ReplaceDamagedFile();
            continue;
        }
        const ULONGLONG now = PacingMillisecondsNow();
        if (now < work.retryAt)
            continue;
        if (!historyState.writer.db) {
            OpenStore();
            continue;
        }
        int result = WriteQueued();
        if (result == SQLITE_OK)
            busy = ImportStepOfLogs(&result);
        if (result == SQLITE_OK)
            busy = PruneStep(&result) || busy;
        if (result != SQLITE_OK) {
            Fail(result);
            busy = false;
        } else {
            SetHealth(HistoryHealth::Current);
        }
    }
    WriteOnClose();
    CloseStore();
    return 0;
}

}  // namespace

int32_t ReadHistoryKeepDays()
{
    std::array<char, 32> text{};
    ReadSettingText(kHistorySection, kKeepDaysKey, "", text);
    int32_t value = 0;
    return ReadNumber(text.data(), 0, kKeepDaysMost, &value) ? value : kKeepDaysDefault;
}

bool ReadHistoryEnabled()
{
    std::array<char, 16> text{};
    ReadSettingText(kHistorySection, kHistoryEnabledKey, "", text);
    int32_t value = 1;
    return !ReadNumber(text.data(), 0, 1, &value) || value != 0;
}

bool SetHistoryKeepDays(int32_t keepDays)
{
    if (keepDays < 0 || keepDays > kKeepDaysMost)
        return false;
    historyState.keepDays.store(keepDays);
    historyState.keepDaysChanged.store(1);
    if (historyState.writerWake)
        SetEvent(historyState.writerWake);
    return true;
}

bool SaveHistoryKeepDays(int32_t keepDays)
{
    if (!SetHistoryKeepDays(keepDays))
        return false;
    std::array<char, 16> text{};
    FormatText(text, "%d", keepDays);
    WriteSettingText(kHistorySection, kKeepDaysKey, text.data());
    return true;
}

int32_t HistoryKeepDays()
{
    return historyState.keepDays.load();
}

bool OpenHistory(const char* logFolder, int32_t keepDays, const HistoryOptions& options)
{
    if (HistoryIsOpen())
        return true;
    CopyText(historyState.logFolder, logFolder);
    FormatText(historyState.databasePath, "%s%s", logFolder, kHistoryFileName);
    historyState.keepDays.store(std::clamp(keepDays, 0, kKeepDaysMost));
    historyState.keepDaysChanged.store(0);
    historyState.health.store(static_cast<int32_t>(HistoryHealth::Starting));
    historyState.stored.store(0);
    historyState.backfill.store(static_cast<int32_t>(BackfillState::Idle));
    historyState.backfillStopWanted.store(0);
    historyState.backfillResumeWanted.store(0);
    historyState.filesDone.store(0);
    historyState.filesTotal.store(0);
    historyState.linesRead.store(0);
    historyState.linesTaken.store(0);
    historyState.noticeWaiting.store(0);
    historyState.readersLeave.store(0);
    historyState.damageSeen.store(0);
    historyState.closing.store(0);
    InitializeSRWLock(&historyState.fileLock);
    work = {};
    work.prunedDay = -1;
    historyState.writerWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    historyState.written = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const std::size_t queueBytes = options.queueBytes ? options.queueBytes : kHistoryQueueBytes;
    bool made = historyState.writerWake && historyState.written && MakeImportWork(work.import) &&
                MakeHistoryQueue(historyState.queue, queueBytes, historyState.writerWake) &&
                StartHistorySearchThread();
    if (made) {
        historyState.writerThread = CreateThread(nullptr, 0, WriterMain, nullptr, 0, nullptr);
        made = historyState.writerThread != nullptr;
        // Its work can wait for the engine's and the window's: it has its queue, and
        // what the queue misses the day's log gives back.
        if (made)
            SetThreadPriority(historyState.writerThread, THREAD_PRIORITY_BELOW_NORMAL);
    }
    if (!made) {
        historyState.closing.store(1);
        StopHistorySearchThread();
        FreeHistoryQueue(historyState.queue);
        FreeImportWork(work.import);
        for (HANDLE* handle : {&historyState.writerWake, &historyState.written}) {
            if (*handle)
                CloseHandle(*handle);
            *handle = nullptr;
        }
        historyState.health.store(static_cast<int32_t>(HistoryHealth::Off));
        return false;
    }
    historyState.accepting.store(1);
    AddEventSink(HistorySink, nullptr);
    return true;
}

bool OpenHistoryForSearch(const char* logFolder)
{
    if (HistoryIsOpen() || historyState.searchOnly)
        return true;
    CopyText(historyState.logFolder, logFolder);
    FormatText(historyState.databasePath, "%s%s", logFolder, kHistoryFileName);
    historyState.readersLeave.store(0);
    historyState.damageSeen.store(0);
    InitializeSRWLock(&historyState.fileLock);
    if (!StartHistorySearchThread()) {
        StopHistorySearchThread();
        return false;
    }
    historyState.searchOnly = 1;
    SetHealth(HistoryHealth::ServiceOwned);
    return true;
}

void CloseHistory(DWORD waitMs)
{
    if (historyState.searchOnly) {
        StopHistorySearchThread();
        historyState.searchOnly = 0;
        SetHealth(HistoryHealth::Off);
        return;
    }
    if (!HistoryIsOpen())
        return;
    historyState.accepting.store(0);
    // Behind already (no room, locked): the day's log holds what is queued, for the next start.
    const auto health = static_cast<HistoryHealth>(historyState.health.load());
    if (health == HistoryHealth::Current || health == HistoryHealth::Starting)
        WaitForHistoryWrites(waitMs);
    StopHistorySearchThread();
    historyState.closing.store(1);
    SetEvent(historyState.writerWake);
    WaitForSingleObject(historyState.writerThread, INFINITE);
    CloseHandle(historyState.writerThread);
    historyState.writerThread = nullptr;
    FreeHistoryQueue(historyState.queue);
    FreeImportWork(work.import);
    CloseHandle(historyState.writerWake);
    CloseHandle(historyState.written);
    historyState.writerWake = nullptr;
    historyState.written = nullptr;
    historyState.health.store(static_cast<int32_t>(HistoryHealth::Off));
}

void StopHistoryBackfill()
{
    historyState.backfillStopWanted.store(1);
}

void ResumeHistoryBackfill()
{
    historyState.backfillStopWanted.store(0);
    historyState.backfillResumeWanted.store(1);
    if (historyState.writerWake)
        SetEvent(historyState.writerWake);
}

bool TakeHistoryNotice(std::span<char> text)
{
    if (!historyState.noticeWaiting.exchange(0))
        return false;
    FormatText(text,
               "The history database was damaged. It was moved aside as %s, and a new one is being filled from the "
               "daily logs.",
               historyState.movedAsideTo.data());
    return true;
}
