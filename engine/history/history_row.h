// One event of the history as a search gives it back, its texts in UTF-8.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "engine/watch/event_record.h"

struct HistoryRow {
    int64_t key;
    SYSTEMTIME local;  // as the logs showed it
    SYSTEMTIME utc;
    EventKind kind;
    uint32_t mode;  // a file open's PERM_FILE_READ, _WRITE and _CREATE bits
    std::array<char, 264> server;  // "\\NAME", empty for this computer
    std::array<char, 772> computer;
    std::array<char, 772> user;
    std::array<char, 3076> path;
    std::array<char, 3076> detail;  // a trip's or a cut-off's rule, a list's name
};
