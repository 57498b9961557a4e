// Enumeration buffers: one allocation, the record array first, then the strings the
// records point to, as the real functions return them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace nsim {

inline size_t string_bytes(const std::wstring& s) { return (s.size() + 1) * sizeof(wchar_t); }

struct Take {
    size_t count = 0;  // entries from `start`
    size_t bytes = 0;  // records + strings
};

// Whole entries from `start` while they fit in prefmaxlen (MAX_PREFERRED_LENGTH: all), at most
// `page` of them (0: no limit). At least one entry is taken when any remain, so a caller paging
// with a tiny prefmaxlen still gets through the list.
Take plan_entries(const std::vector<size_t>& entry_sizes, size_t start, DWORD prefmaxlen, size_t page);

// Hands out string space after the records; never past `size`.
struct Writer {
    BYTE* base = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool overflow = false;
};

// Copies s with its terminator and returns where it went; on lack of room sets overflow and
// returns nullptr without writing.
LPWSTR put_string(Writer& w, const std::wstring& s);

// Room for `n` bytes at the next multiple of `align` from the base: what put_bytes takes.
size_t aligned_bytes(size_t pos, size_t n, size_t align);

// Copies the bytes at the next multiple of `align` from the base (the gap left as it is) and
// returns where they went; on lack of room sets overflow and returns nullptr.
BYTE* put_bytes(Writer& w, const std::string& bytes, size_t align);

}  // namespace nsim
