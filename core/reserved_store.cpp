#include "core/reserved_store.h"

#include <cstring>
#include <cwchar>

namespace {

// Commits grow by at least this much, so that a filling store asks the system rarely.
constexpr std::size_t kCommitStep = 256 * 1024;

std::size_t RoundUp(std::size_t value, std::size_t step)
{
    return (value + step - 1) / step * step;
}

void* KeepBytes(TextArena& arena, const void* bytes, std::size_t size, std::size_t alignment)
{
    const std::size_t at = RoundUp(arena.used, alignment);
    if (at + size < at)
        return nullptr;
    BYTE* base = static_cast<BYTE*>(CommitStore(arena.store, at + size));
    if (!base)
        return nullptr;
    std::memcpy(base + at, bytes, size);
    arena.used = at + size;
    return base + at;
}

}  // namespace

bool ReserveStore(ReservedStore& store, std::size_t bytes)
{
    if (store.base)
        return true;
    const std::size_t size = RoundUp(bytes, kCommitStep);
    store.base = static_cast<BYTE*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
    store.reserved = store.base ? size : 0;
    store.committed = 0;
    return store.base != nullptr;
}

void* CommitStore(ReservedStore& store, std::size_t bytes)
{
    if (!store.base || bytes > store.reserved)
        return nullptr;
    if (bytes > store.committed) {
        std::size_t size = RoundUp(bytes, kCommitStep);
        if (size > store.reserved)
            size = store.reserved;
        if (!VirtualAlloc(store.base + store.committed, size - store.committed, MEM_COMMIT, PAGE_READWRITE))
            return nullptr;
        store.committed = size;
    }
    return store.base;
}

const wchar_t* KeepWideText(TextArena& arena, const wchar_t* text)
{
    const wchar_t* source = text ? text : L"";
    return static_cast<const wchar_t*>(
        KeepBytes(arena, source, (std::wcslen(source) + 1) * sizeof(wchar_t), alignof(wchar_t)));
}

const char* KeepText(TextArena& arena, const char* text)
{
    const char* source = text ? text : "";
    return static_cast<const char*>(KeepBytes(arena, source, std::strlen(source) + 1, 1));
}
