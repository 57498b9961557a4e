// Storage sized once at start-up: address space reserved for the most a store may
// ever hold, committed as it fills and never given back. A store's memory follows
// the busiest moment of the run, and nothing is allocated per row or per event.
#pragma once

#include <windows.h>

#include <cstddef>

struct ReservedStore {
    BYTE* base;
    std::size_t reserved;
    std::size_t committed;
};

// Reserves `bytes` (rounded up to whole pages); a store already reserved is kept.
bool ReserveStore(ReservedStore& store, std::size_t bytes);

// The first `bytes` of the store, committed; nullptr when that is past the reservation.
void* CommitStore(ReservedStore& store, std::size_t bytes);

template <typename T>
T* CommitArray(ReservedStore& store, std::size_t count)
{
    return static_cast<T*>(CommitStore(store, count * sizeof(T)));
}

// UTF-16 and 8-bit texts kept for as long as the arena is not emptied.
struct TextArena {
    ReservedStore store;
    std::size_t used;
};

// A copy of `text` (NULL reads as empty); nullptr when the arena has no room left.
const wchar_t* KeepWideText(TextArena& arena, const wchar_t* text);
const char* KeepText(TextArena& arena, const char* text);
inline void EmptyArena(TextArena& arena) { arena.used = 0; }
