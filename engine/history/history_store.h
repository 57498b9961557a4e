// The history: every event the engine publishes, kept in one SQLite database in the
// log folder (quorvel-history.db), so that the program can be asked what happened.
//
// The engine's thread only copies each event into a queue (engine/history/history_queue.h);
// a writer thread stores what is queued in one transaction each time it wakes, reads
// the daily logs the database does not hold yet (engine/history/history_import.h), and once a
// day removes what is older than [history] keepdays. Searches run on a thread of their
// own (engine/history/history_search.h). Nothing here waits on the database from the engine's
// thread: when the disk is full or another program holds the file, events wait in the
// queue, the logs go on, and the status says why the history is behind.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/history/history_state.h"
#include "engine/history/history_status.h"

constexpr char kHistorySection[] = "history";
constexpr char kKeepDaysKey[] = "keepdays";
constexpr int32_t kKeepDaysDefault = 365;
constexpr int32_t kKeepDaysMost = 36500;  // a hundred years: beyond is a typing mistake
// [history] enabled=0 keeps no history at all (the daily logs go on): for a machine
// whose disk has no room for it, and to measure the program without it.
constexpr char kHistoryEnabledKey[] = "enabled";

// [history] keepdays: 0 keeps everything; a value that is not a number within
// [0, kKeepDaysMost] gives the default.
int32_t ReadHistoryKeepDays();
// [history] enabled: 1 unless it reads 0.
bool ReadHistoryEnabled();
// The days kept from now on; the next prune runs at once. Values outside
// [0, kKeepDaysMost] are refused (false).
bool SetHistoryKeepDays(int32_t keepDays);
int32_t HistoryKeepDays();
// SetHistoryKeepDays, and the value written to [history] keepdays when it was taken.
bool SaveHistoryKeepDays(int32_t keepDays);

struct HistoryOptions {
    std::size_t queueBytes;  // 0: kHistoryQueueBytes
};

// Opens the history of the logs in `logFolder` (ending with a backslash: the day
// logs' folder) and starts its writer and search threads; the engine's events go to
// it from now on. False when its storage or threads cannot be made (the program
// runs on without a history). Call after the day logs open, before the first poll.
bool OpenHistory(const char* logFolder, int32_t keepDays, const HistoryOptions& options = {});
// Stores what is still queued (waiting at most `waitMs`, and not at all when the
// history is behind: the day's log has it for the next start), then stops both
// threads and closes the file. The event sink stays registered and takes nothing.
void CloseHistory(DWORD waitMs = 5000);
// The window of the protection service searches the service's file (in the service's
// log folder, ending with a backslash): the search thread only, no writer, no sink.
// CloseHistory stops it.
bool OpenHistoryForSearch(const char* logFolder);


// The reading of the daily logs into the history: stopped, it resumes where it
// stopped when resumed or at the next start.
void StopHistoryBackfill();
void ResumeHistoryBackfill();

// Once after a damaged file was moved aside: the sentence for the user. False when
// there is nothing to tell (or it was told already).
bool TakeHistoryNotice(std::span<char> text);
