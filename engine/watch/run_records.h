// The CSV records of this run, which the Log page exports: 2 MiB less 2 bytes,
// terminator included, allocated once at start-up.
#pragma once

#include <cstddef>
#include <string_view>

constexpr std::size_t kRunCsvBufferSize = 2097150;

struct RunRecords {
    char* buffer;        // kRunCsvBufferSize bytes, one terminated text
    std::size_t length;  // of that text, so appends need no scan
};

bool AllocateRunRecords(RunRecords& run);
// Appends one record and its line end, or nothing when it no longer fits.
bool AppendRunRecord(RunRecords& run, std::string_view record);
void ClearRunRecords(RunRecords& run);
inline std::string_view RunRecordsText(const RunRecords& run)
{
    return run.buffer ? std::string_view(run.buffer, run.length) : std::string_view();
}
