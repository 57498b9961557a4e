#include "engine/history/history_status.h"

#include <algorithm>

#include "core/clock.h"
#include "core/text.h"
#include "engine/history/history_state.h"

bool HistoryIsSearchOnly()
{
    return historyState.searchOnly != 0;
}

bool HistoryIsOpen()
{
    return historyState.writerThread != nullptr;
}

bool WaitForHistoryWrites(DWORD waitMs)
{
    if (!HistoryIsOpen())
        return false;
    const uint64_t target = historyState.queue.head.load(std::memory_order_acquire);
    const ULONGLONG start = PacingMillisecondsNow();
    SetEvent(historyState.writerWake);
    while (historyState.queue.tail.load(std::memory_order_acquire) < target) {
        const ULONGLONG spent = PacingMillisecondsNow() - start;
        if (spent >= waitMs)
            return false;
        WaitForSingleObject(historyState.written, static_cast<DWORD>(std::min<ULONGLONG>(waitMs - spent, 50)));
    }
    return true;
}

HistoryStatus ReadHistoryStatus()
{
    HistoryStatus status{};
    status.health = static_cast<HistoryHealth>(historyState.health.load());
    status.stored = historyState.stored.load();
    status.waiting = historyState.queue.queued.load() - historyState.queue.released.load();
    status.missed = historyState.queue.missed.load();
    status.lost = historyState.queue.lost.load();
    status.backfill = static_cast<BackfillState>(historyState.backfill.load());
    status.filesDone = historyState.filesDone.load();
    status.filesTotal = historyState.filesTotal.load();
    status.linesRead = historyState.linesRead.load();
    status.linesTaken = historyState.linesTaken.load();
    return status;
}

const char* HistoryHealthText(HistoryHealth health)
{
    switch (health) {
    case HistoryHealth::Off: return "History is off";
    case HistoryHealth::Starting: return "History is starting";
    case HistoryHealth::Current: return "History is up to date";
    case HistoryHealth::DiskFull: return "History is behind: the disk is full";
    case HistoryHealth::Locked: return "History is behind: another program has locked the database";
    case HistoryHealth::Failing: return "History is behind: the database cannot be written";
    case HistoryHealth::NewerFile: return "History is off: the database was made by a newer version of Quorvel";
    case HistoryHealth::Unmovable: return "History is off: the damaged database could not be moved aside";
    case HistoryHealth::ServiceOwned: return "History is kept by the protection service";
    }
    return "History is off";
}

int DescribeHistoryGaps(const HistoryStatus& status, bool caughtUp, std::array<HistoryGapText, kHistoryGapsMost>& gaps)
{
    int count = 0;
    const bool failing = status.health == HistoryHealth::DiskFull || status.health == HistoryHealth::Locked ||
                         status.health == HistoryHealth::Failing;
    if (failing || !caughtUp)
        FormatText(gaps[count++], "%s; what happened since is not all stored yet",
                   failing ? HistoryHealthText(status.health) : "History is behind");
    if (status.backfill == BackfillState::Running)
        FormatText(gaps[count++], "The daily logs are still being read into the history (%u of %u): older events may be missing",
                   status.filesDone, status.filesTotal);
    else if (status.backfill == BackfillState::Stopped)
        FormatText(gaps[count++], "Reading the daily logs into the history stopped at %u of %u: older events may be missing",
                   status.filesDone, status.filesTotal);
    return count;
}
