// Tripwires: rules that cut computers off by themselves, whatever the block mode, when
// a user opens a bait file or opens too many new files for writing too fast, as a
// client that encrypts the shares does. Detection rides on the poll's own scan of the
// open files; a trip looks up the user's sessions once, deletes them at once, and
// keeps their computers off for a while, or until released by hand.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "blocking/computer_list.h"
#include "core/reserved_store.h"

struct PollTime;
struct ServerWatch;

constexpr char kTripwiresSection[] = "tripwires";
constexpr char kTrippedSection[] = "tripped";
constexpr std::size_t kMaxBaitPatterns = 32;
constexpr std::size_t kBaitPatternUnits = 260;
constexpr int32_t kMaxBurstFiles = 1000;
constexpr int32_t kMaxBurstSeconds = 3600;
constexpr int32_t kDefaultBurstFiles = 20;
constexpr int32_t kDefaultBurstSeconds = 10;
constexpr int32_t kDefaultTripMinutes = 60;
// Users whose writes are counted at once; past it the one quiet the longest is forgotten.
constexpr std::size_t kBurstUsers = 1024;
constexpr std::size_t kMaxTrippedComputers = 256;
constexpr std::size_t kTrippedUserUnits = 64;

struct TripwireRules {
    int32_t enabled;
    int32_t baitCount;
    std::array<std::array<wchar_t, kBaitPatternUnits>, kMaxBaitPatterns> baits;   // as written
    std::array<std::array<wchar_t, kBaitPatternUnits>, kMaxBaitPatterns> folded;  // as matched
    int32_t burstFiles;  // 0: the burst rule is off
    int32_t burstSeconds;
    int32_t blockMinutes;  // 0: until released by hand
};

struct BurstUser {
    uint64_t key;  // 0: a free slot
    ULONGLONG last;
    uint32_t next;   // where the next moment goes in the user's ring
    uint32_t count;  // moments in the ring
};

// The moments of each user's recent write opens, in rings of kMaxBurstFiles + 1.
struct BurstCounter {
    std::array<BurstUser, kBurstUsers> users;
    ReservedStore moments;
};

struct TrippedComputer {
    std::array<wchar_t, kBlockNameUnits> name;  // normal form: \\NAME
    std::array<wchar_t, kTrippedUserUnits> user;
    int32_t inUse;
    int32_t ticksLeft;  // block ticks; kPermanent until released
};
using TrippedList = std::array<TrippedComputer, kMaxTrippedComputers>;

// [tripwires]: what is missing, not a number or out of range gives the default.
void LoadTripwireRules(TripwireRules& rules);
void SaveTripwireRules(const TripwireRules& rules);
// Adds a bait pattern (8-bit, as typed or stored); false when it is empty, has a
// control character or does not fit, or when the rules hold 32 already.
bool AddBaitPattern(TripwireRules& rules, const char* pattern);
void RemoveBaitPattern(TripwireRules& rules, int32_t index);

// Upper-cases a text the way the platform compares names without regard to case.
void FoldForMatching(std::span<wchar_t> text);
// `*` any run of characters, backslashes included, `?` one character; both folded.
bool BaitMatches(std::wstring_view pattern, std::wstring_view path);

// Counts a write open of `user` at `now`: true when it makes more than `files` within
// `seconds`; the user's count then starts again.
bool CountWriteOpen(BurstCounter& counter, std::wstring_view user, ULONGLONG now, int32_t files, int32_t seconds);

// What a trip tells, written to the logs right after the line of the open that tripped it.
struct TripReport {
    std::array<wchar_t, kTrippedUserUnits> user;
    std::array<char, 1024> detail;  // "[PC1, PC2] rule path"
};

// One new file the poll reports: a bait open or a burst trips, and the computers are
// cut off at once. `burst` is false for the files a scan reports that were opened
// before it could tell (the first scan). True when there is a report to write.
bool CheckTripwires(const ServerWatch& watch, const FILE_INFO_3& file, bool burst, TripReport* report);

// The block tick's part: tripped computers count down and their sessions go, in
// either block mode.
void CountDownTrippedComputers(int32_t ticks);
bool AnyTrippedComputer();
bool IsTripped(std::wstring_view client);
void EnforceTrippedComputers(std::span<const SESSION_INFO_0> sessions);
void ReleaseTrippedComputer(std::size_t slot);

// Permanent trips survive a restart in [tripped].
void LoadTrippedComputers();
void SaveTrippedComputers();
