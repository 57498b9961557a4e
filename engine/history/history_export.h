// The files the history makes for a person: the rows a search found as CSV, and the
// restore list. Written through one buffer, on the search thread.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/output_file.h"
#include "engine/history/history_row.h"

constexpr char kHistoryCsvHeader[] = "\xEF\xBB\xBF\"Time\",\"Server\",\"Kind\",\"Computer\",\"User\",\"Path or detail\",\"Mode\"\r\n";

// One row as a CSV record ending with CR LF: every field quoted, quotes doubled, and an
// apostrophe before a field a spreadsheet would run as a formula (= + - @ first).
// Returns the length; a row is never cut (the room holds the longest row).
constexpr std::size_t kCsvRowRoom = 2 * (sizeof(HistoryRow::server) + sizeof(HistoryRow::computer) +
                                         sizeof(HistoryRow::user) + sizeof(HistoryRow::path)) + 256;
std::size_t FormatHistoryCsvRow(const HistoryRow& row, std::span<char> record);

