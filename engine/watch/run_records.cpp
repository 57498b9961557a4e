#include "engine/watch/run_records.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kLineEndLength = sizeof(kLineEnd) - 1;

}  // namespace

bool AllocateRunRecords(RunRecords& run)
{
    if (!run.buffer)
        run.buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kRunCsvBufferSize));
    ClearRunRecords(run);
    return run.buffer != nullptr;
}

bool AppendRunRecord(RunRecords& run, std::string_view record)
{
    if (!run.buffer)
        return false;
    const std::size_t needed = run.length + record.size() + kLineEndLength + 1;
    if (needed > kRunCsvBufferSize)
        return false;  // the day's CSV log still gets it; the run's copy is full
    memcpy(run.buffer + run.length, record.data(), record.size());
    memcpy(run.buffer + run.length + record.size(), kLineEnd, sizeof(kLineEnd));
    run.length += record.size() + kLineEndLength;
    return true;
}

void ClearRunRecords(RunRecords& run)
{
    if (!run.buffer)
        return;
    run.buffer[0] = '\0';
    run.length = 0;
}
