// Tripwires: rules that cut computers off by themselves, whatever the block mode, when
// a user opens a bait file or opens too many new files for writing too fast, as a
// client that encrypts the shares does. These are the rules alone: which open trips,
// and, given the user's sessions, which computers a trip cuts off and what it tells.
// The engine looks the sessions up, deletes them and saves what must last.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/reserved_store.h"
#include "core/text.h"
#include "rules/computer_list.h"

constexpr char kTripwiresSection[] = "tripwires";
constexpr char kTrippedSection[] = "tripped";
constexpr std::size_t kMaxBaitPatterns = 32;
constexpr std::size_t kBaitPatternUnits = 260;
constexpr int32_t kMaxBurstFiles = 1000;
constexpr int32_t kMaxBurstSeconds = 3600;
constexpr int32_t kDefaultBurstFiles = 20;
constexpr int32_t kDefaultBurstSeconds = 10;
constexpr int32_t kDefaultTripMinutes = 60;
constexpr int32_t kMaxTripMinutes = INT32_MAX / kTicksPerMinute;
// Users whose writes are counted at once; past it the one quiet the longest is forgotten.
constexpr std::size_t kBurstUsers = 1024;
constexpr std::size_t kMaxTrippedComputers = kComputerListSlots;
constexpr std::size_t kTrippedUserUnits = kBlockUserUnits;
// Accounts a trip never denies at the shares, besides the system's and the administrators'.
constexpr std::size_t kMaxNeverDenied = 16;
constexpr char kNeverDeniedKey[] = "neverdeny";
constexpr std::size_t kNeverDeniedTextUnits = kMaxNeverDenied * (kBlockUserUnits + 2);

struct TripwireRules {
    int32_t enabled;
    int32_t baitCount;
    std::array<std::array<wchar_t, kBaitPatternUnits>, kMaxBaitPatterns> baits;   // as written
    std::array<std::array<wchar_t, kBaitPatternUnits>, kMaxBaitPatterns> folded;  // as matched
    int32_t burstFiles;  // 0: the burst rule is off
    int32_t burstSeconds;
    int32_t blockMinutes;  // 0: until released by hand
    int32_t denyShares;    // a trip also denies the account at every share
    int32_t neverDeniedCount;
    std::array<std::array<wchar_t, kBlockUserUnits>, kMaxNeverDenied> neverDenied;  // "backup", "CORP\backup"
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

// [tripwires]: what is missing, not a number or out of range gives the default.
void LoadTripwireRules(TripwireRules& rules);
void SaveTripwireRules(const TripwireRules& rules);
// Adds a bait pattern (8-bit, as typed or stored); false when it is empty, has a
// control character or does not fit, or when the rules hold 32 already.
bool AddBaitPattern(TripwireRules& rules, const char* pattern);
void RemoveBaitPattern(TripwireRules& rules, int32_t index);
// The never-denied accounts from a text of names split by commas (8-bit, as typed or
// stored); a name with a control character, or one that does not fit, is left out.
void SetNeverDenied(TripwireRules& rules, const char* names);
// The same names joined by ", ".
void NeverDeniedText(const TripwireRules& rules, std::span<char> text);
// Whether `user` (as a session gives it, "ann", or "CORP\ann") is one of them: the whole
// name, or the name after the domain of either, ASCII letters folded.
bool IsNeverDenied(const TripwireRules& rules, std::wstring_view user);

// Upper-cases a text the way the platform compares names without regard to case.
void FoldForMatching(std::span<wchar_t> text);
// `*` any run of characters, backslashes included, `?` one character; both folded.
bool BaitMatches(std::wstring_view pattern, std::wstring_view path);

// Counts a write open of `user` at `now`: true when it makes more than `files` within
// `seconds`; the user's count then starts again.
bool CountWriteOpen(BurstCounter& counter, std::wstring_view user, ULONGLONG now, int32_t files, int32_t seconds);

// The rule one new file trips, as the report names it ("bait \"*\canary*\"", "more than
// 20 files written within 10 s"); false when it trips none. `burst` is false for the
// files a scan reports that were opened before it could tell (the first scan): bait
// opens always count, writes only when `burst`.
bool TripsOn(const TripwireRules& rules, BurstCounter& counter, const FILE_INFO_3& file, bool burst, ULONGLONG now,
             std::span<char> rule);

// What a trip tells, written to the logs right after the line of the open that tripped it.
struct TripReport {
    std::array<wchar_t, kTrippedUserUnits> user;
    std::array<char, 1024> detail;  // "[PC1, PC2] rule path"
    int32_t cut;                    // computers cut off now
};

// The computers a trip cuts off, each kept off in `tripped` for the rules' time (a
// full table still cuts it off, but cannot keep it off).
enum class TripSession { NotTheUsers, AlreadyCut, CutNow };
TripSession TakeTripSession(ComputerList& tripped, int32_t blockMinutes, const wchar_t* user,
                            const SESSION_INFO_1& session, std::span<wchar_t> client);
void NameInTripReport(TripReport& report, const wchar_t* client);
bool FinishTripReport(TripReport& report, bool seen, const wchar_t* user, const char* rule, const wchar_t* path);

// A trip of `user`: every computer holding one of `sessions` of that user and not cut
// off yet is handed to `cutOff` (its name with two backslashes, as the server gave it)
// and kept off. False when there is nothing to tell: a trip fires once per user and
// computer while the computer is cut off.
template <typename CutOff>
bool Trip(ComputerList& tripped, int32_t blockMinutes, const wchar_t* user, const char* rule, const wchar_t* path,
          std::span<const SESSION_INFO_1> sessions, CutOff cutOff, TripReport* report)
{
    *report = {};
    bool seen = false;
    for (const SESSION_INFO_1& session : sessions) {
        std::array<wchar_t, kClientNameUnits> client{};
        const TripSession taken = TakeTripSession(tripped, blockMinutes, user, session, client);
        seen = seen || taken != TripSession::NotTheUsers;
        if (taken != TripSession::CutNow)
            continue;
        cutOff(static_cast<const wchar_t*>(client.data()));
        NameInTripReport(*report, client.data());
    }
    return FinishTripReport(*report, seen, user, rule, path);
}

// Permanent trips survive a restart in [tripped].
void LoadTrippedComputers(ComputerList& tripped);
void SaveTrippedComputers(const ComputerList& tripped);
