// What the history's state says, read by any thread: the page's status, whether the
// writer has caught up, and what may leave events out of a search made now. Only
// reads the shared state (engine/history/history_state.h), so the search thread may ask it;
// what others outside the history need of its state.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

// The state of the history as the page shows it: one word.
enum class HistoryHealth : int32_t {
    Off = 0,       // not opened
    Starting,      // opening the file, taking back what the logs hold
    Current,       // every event is stored as it comes
    DiskFull,      // behind: the disk is full
    Locked,        // behind: another program holds the file
    Failing,       // behind: the file cannot be written for another reason
    NewerFile,     // off: the file was made by a newer Quorvel and is left alone
    Unmovable,     // off: the file is damaged and could not be moved aside
    ServiceOwned,  // the protection service keeps it: this process only searches its file
};

enum class BackfillState : int32_t { Idle = 0, Running, Stopped, Done };

bool HistoryIsOpen();
bool HistoryIsSearchOnly();

// Waits until every event queued before the call is stored (or `waitMs` passes);
// false when it did not happen in time. Not for the engine's thread.
bool WaitForHistoryWrites(DWORD waitMs);

struct HistoryStatus {
    HistoryHealth health;
    uint64_t stored;   // events stored this run, live and from the logs
    uint64_t waiting;  // queued, not stored yet
    uint64_t missed;   // could not be queued: taken back from the day's text log
    uint64_t lost;     // could not be queued, and in no log: lost
    BackfillState backfill;
    uint32_t filesDone;
    uint32_t filesTotal;
    uint64_t linesRead;
    uint64_t linesTaken;
};
HistoryStatus ReadHistoryStatus();
// The sentence the page shows for a state ("History is behind: the disk is full").
const char* HistoryHealthText(HistoryHealth health);

// What may leave events out of what the history finds now, a sentence each: the
// writer behind (`caughtUp` false: what was queued is not all stored) and the daily
// logs not all read in. The count of sentences (0 to kHistoryGapsMost).
constexpr int kHistoryGapsMost = 2;
using HistoryGapText = std::array<char, 256>;
int DescribeHistoryGaps(const HistoryStatus& status, bool caughtUp, std::array<HistoryGapText, kHistoryGapsMost>& gaps);
