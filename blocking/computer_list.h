// The blacklist and the whitelist: fixed tables of computers, and the block tick
// that deletes every session the list in force forbids.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

// Two backslashes, at most 63 further characters and the terminator.
constexpr std::size_t kBlockNameUnits = 66;
constexpr std::size_t kMaxComputerName = kBlockNameUnits - 3;
constexpr std::size_t kComputerListSlots = 256;
constexpr int32_t kPermanent = -1;
constexpr int32_t kTicksPerMinute = 600;

enum BlockMode : int32_t { Blacklist = 0, Whitelist = 1 };

struct BlockEntry {
    std::array<wchar_t, kBlockNameUnits> name;  // normal form: \\NAME, ASCII letters upper-cased
    int32_t inUse;
    int32_t needsRow;   // scratch of the Black list view's refresh
    int32_t ticksLeft;  // block ticks of a temporary entry; kPermanent for ever
};

using ComputerList = std::array<BlockEntry, kComputerListSlots>;

ComputerList& ActiveComputerList();
