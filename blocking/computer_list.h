// The blacklist and the whitelist: fixed tables of computers, and the block tick
// that deletes every session the list in force forbids.
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
// Room for a client name the server reports, with its two backslashes: more than
// any computer name can be; a longer one names no computer and is left alone.
constexpr std::size_t kClientNameUnits = 2 + 255 + 1;

constexpr UINT kBlockTickMs = 100;

enum BlockMode : int32_t { Blacklist = 0, Whitelist = 1 };

struct BlockEntry {
    std::array<wchar_t, kBlockNameUnits> name;  // normal form: \\NAME, ASCII letters upper-cased
    int32_t inUse;
    int32_t needsRow;   // scratch of the Black list view's refresh
    int32_t ticksLeft;  // block ticks of a temporary entry; kPermanent for ever
};

using ComputerList = std::array<BlockEntry, kComputerListSlots>;

ComputerList& ActiveComputerList();

// Takes the first free slot for `name` (8-bit, without backslashes) in normal form.
// A full list, or a name longer than a slot holds, is refused without a word:
// the list stays as it was. Returns whether the name was added.
bool AddComputer(ComputerList& list, const char* name, int32_t ticks);
// The same for a name as the server gave it, in UTF-16.
bool AddComputerWide(ComputerList& list, const wchar_t* name, int32_t ticks);
// Frees every in-use slot whose name equals `name` (8-bit, with its backslashes) exactly.
void RemoveComputer(ComputerList& list, const char* name);

// The [blacklist] and [whitelist] sections; only permanent entries are saved.
void LoadComputerLists();
void SaveComputerLists();

// The 100 ms thread timer procedure; its arguments are ignored.
void CALLBACK OnBlockTick(HWND = nullptr, UINT = 0, UINT_PTR = 0, DWORD = 0);
// Deletes what the list in force forbids when a block tick's time has passed since it
// was last done: long work on the main window's thread calls it between its parts, so
// that blocking never waits behind it. Temporary blocks count down only on the timer.
void EnforceBlocksIfDue();

// Whether the list in force forbids the client, or a tripwire cut it off.
bool IsForbiddenClient(std::wstring_view client);

// The name without its two backslashes equals the client, ASCII letters folded.
bool EntryMatchesClient(const BlockEntry& entry, std::wstring_view client);
