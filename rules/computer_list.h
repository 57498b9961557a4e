// Tables of computers: the blacklist, the whitelist and the computers tripwires cut
// off. Each is a fixed table of slots holding names in normal form (two backslashes,
// then the name with its ASCII letters upper-cased), permanent or counting down.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string_view>

// Two backslashes, at most 63 further characters and the terminator.
constexpr std::size_t kBlockNameUnits = 66;
constexpr std::size_t kMaxComputerName = kBlockNameUnits - 3;
constexpr std::size_t kComputerListSlots = 256;
constexpr int32_t kPermanent = -1;
constexpr int32_t kTicksPerMinute = 600;  // block ticks
constexpr int32_t kBlockTicksPerSecond = 10;
constexpr UINT kBlockTickMs = 100;
// Room for a client name the server reports, with its two backslashes: more than
// any computer name can be; a longer one names no computer and is left alone.
constexpr std::size_t kClientNameUnits = 2 + 255 + 1;
constexpr std::size_t kBlockUserUnits = 64;

enum BlockMode : int32_t { Blacklist = 0, Whitelist = 1 };

struct BlockEntry {
    std::array<wchar_t, kBlockNameUnits> name;  // normal form: \\NAME, ASCII letters upper-cased
    int32_t inUse;
    int32_t ticksLeft;  // block ticks of a temporary entry; kPermanent for ever
    std::array<wchar_t, kBlockUserUnits> user;  // the user a tripwire caught; empty in the lists
    int32_t deniedShares;  // the shares denying that user now
};

// Slots in order: the order of every scan, of the save and of the page's first listing.
struct ComputerList {
    std::array<BlockEntry, kComputerListSlots> slots;
    int32_t inUse;  // slots in use, always: scans stop once they have seen as many

    BlockEntry& operator[](std::size_t slot) { return slots[slot]; }
    const BlockEntry& operator[](std::size_t slot) const { return slots[slot]; }
    auto begin() { return slots.begin(); }
    auto end() { return slots.end(); }
    auto begin() const { return slots.begin(); }
    auto end() const { return slots.end(); }
    static constexpr std::size_t size() { return kComputerListSlots; }
};

// Takes the first free slot for `name` (8-bit, without backslashes) in normal form.
// A full list, or a name longer than a slot holds, is refused without a word:
// the list stays as it was. Returns whether the name was added.
bool AddComputer(ComputerList& list, const char* name, int32_t ticks);
// The same for a name as the server gave it, in UTF-16, with the user it is kept
// off for (nullptr: none).
bool AddComputerWide(ComputerList& list, const wchar_t* name, int32_t ticks, const wchar_t* user = nullptr);
// Frees every in-use slot whose name equals `name` (8-bit, with its backslashes) exactly.
void RemoveComputer(ComputerList& list, const char* name);
// Frees one slot; false when it was not in use.
bool FreeComputer(ComputerList& list, std::size_t slot);

// The name without its two backslashes equals the client, ASCII letters folded.
bool EntryMatchesClient(const BlockEntry& entry, std::wstring_view client);
// The first in-use slot naming the client, or nullptr.
const BlockEntry* FindComputer(const ComputerList& list, std::wstring_view client);

// Temporary entries count `ticks` down; one that reaches 0 is freed.
void CountDownComputers(ComputerList& list, int32_t ticks);

// A list's section of the settings file: `count` and comp0, comp1, ...; only
// permanent entries are saved, with the user of each when `withUsers`.
void LoadComputerList(ComputerList& list, const char* section, bool withUsers = false);
void SaveComputerList(const ComputerList& list, const char* section, bool withUsers = false);
