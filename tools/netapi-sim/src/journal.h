// The journal: one line per call or event, each written with a single WriteFile on a handle
// opened for appending, so lines from several processes never interleave and readers can
// follow the file while it grows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nsim {

// Past this a line is cut (names are bounded, so only a pathological caller gets here).
constexpr size_t kMaxJournalLine = 16384;

struct Journal {
    HANDLE file = INVALID_HANDLE_VALUE;
    bool capture = false;  // tests read lines back from memory
    std::vector<std::string> captured;
};

bool journal_open(Journal& j, const std::wstring& path);
void journal_close(Journal& j);

// "2025-01-14 09:30:02.417 t=12417"
std::string journal_stamp(const SYSTEMTIME& local, int64_t sim_ms);

// Writes stamp + ' ' + body + CRLF.
void journal_write(Journal& j, const SYSTEMTIME& local, int64_t sim_ms, std::string_view body);

}  // namespace nsim
