// Trips that deny the tripped account at the shares: on every disk share of each
// watched server, an entry that denies the account everything, so that the server
// itself refuses its reconnects; put back exactly as it was on release. What is about
// to change is written to a journal in the settings folder first, so that a restart,
// a crash or a power loss in the middle always ends with the shares as they should be.
// One thread of its own does the reading and writing: the engine's thread only asks.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/paths.h"
#include "core/reserved_store.h"
#include "rules/computer_list.h"
#include "rules/share_deny.h"

constexpr char kDenyJournalName[] = "quorvel-denies.txt";
constexpr std::size_t kMaxDeniedShares = 2048;  // over every server
constexpr std::size_t kMaxDeniedAccounts = 64;  // an account on a server
constexpr std::size_t kShareNameUnits = 81;     // NNLEN + 1
constexpr std::size_t kDenyServerUnits = 258;   // "\\NAME"; empty: this computer

// Refused: a share that could not be read or changed, left alone for the rest of the
// trip (and not journaled: a new start tries it once more).
enum class ShareDenyState : int32_t { Free = 0, Denying = 1, Denied = 2, Restoring = 3, Refused = 4 };

struct DeniedShare {
    int32_t state;    // ShareDenyState
    int32_t account;  // its slot in the accounts
    int32_t told;     // a failed restore said once
    std::array<wchar_t, kShareNameUnits> share;
    ShareDescriptor original;  // as read before the change
    ShareDescriptor written;   // as the deny wrote it
};

struct DeniedAccount {
    int32_t inUse;
    int32_t releasing;
    std::array<wchar_t, kDenyServerUnits> server;
    std::array<wchar_t, kBlockUserUnits> user;
    AccountSid sid;
    int64_t untilUtc;  // 100-ns units since 1601; 0: until released by hand
    int32_t shares;    // denied now
};

// Starts the thread; reads the journal first and finishes what it holds: a deny under
// way is completed and a release under way too. `journal` is the journal's path.
// False when the journal could not be read back (then nothing is changed, and it is said).
bool StartShareDenies(const char* journal);
// The same with the journal beside the settings file.
bool StartShareDeniesBeside(const char* settingsFile);
// Ends the thread after what it is doing; the shares stay as they are, as the journal says.
void StopShareDenies();

// On a trip of `user`: deny it on every disk share of `server` (nullptr: this computer)
// for the trip's `minutes` from now, 0 until released by hand.
void DenyAtShares(const wchar_t* server, const wchar_t* user, int32_t minutes);
// The user is cut off nowhere any more: every share it is denied at is put back.
void ReleaseShareDenies(const wchar_t* user);
// On how many shares the user is denied now, over every server.
int32_t DeniedShareCount(const wchar_t* user);
// The users denied somewhere now, each once; how many.
std::size_t DeniedUsers(std::span<std::array<wchar_t, kBlockUserUnits>> users);
// Whether the user is denied anywhere, or a deny or release of it waits.
bool HoldsShareDenies(const wchar_t* user);
// Nothing asked waits, and the thread waits for the next round.
bool ShareDeniesIdle();
// What the thread said, for the engine's thread to show and record.
enum class ShareDenyNoticeKind : int32_t {
    Said,        // a Log page line alone
    Denied,      // the user denied at a server's shares
    Restored,    // their permissions put back
    NotChanged,  // a share that could not be changed or put back
};
struct ShareDenyNotice {
    ShareDenyNoticeKind kind;
    std::array<char, 2 * kDenyServerUnits> server;  // "\\NAME"; empty: this computer
    std::array<wchar_t, kBlockUserUnits> user;
    std::array<char, 512> text;
};
// The oldest notice not taken yet; false when there is none.
bool TakeShareDenyNotice(ShareDenyNotice* notice);

// The journal, as a text the tests and the thread read and write. Each line: a kind, then
// fields split by tabs (names as UTF-8, descriptors and SIDs as hex).
struct DenyJournal {
    std::array<DeniedAccount, kMaxDeniedAccounts> accounts;
    ReservedStore store;  // the shares, committed as they come
    DeniedShare* shares;
    std::size_t shareCount;
};
// Room for one more share (free, zeroed); nullptr when the journal is full.
DeniedShare* AddJournalShare(DenyJournal& journal);
bool SaveDenyJournal(const char* path, const DenyJournal& journal);
// Every sound line of the journal (none is there: an empty journal). False when one was
// damaged and left out, or the file could not be read.
bool LoadDenyJournal(const char* path, DenyJournal* journal);
