#include "engine/watch/file_memory.h"

#include <algorithm>

namespace {

// Whether `current` holds an id up to `reported` that `previous` did not. Ids only
// grow on a running server, so only one that started again gives out such an id.
bool IdsStartedAgain(std::span<const uint32_t> previous, std::span<const uint32_t> current, uint32_t reported)
{
    auto known = previous.begin();
    for (const uint32_t id : current) {
        if (id > reported)
            break;  // sorted: the rest are above it too
        while (known != previous.end() && *known < id)
            ++known;
        if (known == previous.end() || *known != id)
            return true;
    }
    return false;
}

// The scan's ids, sorted, in the scratch array; false when they do not fit.
bool CollectFileIds(std::span<const FILE_INFO_3> files, FileScanMemory& memory)
{
    if (files.size() > memory.scratch.size())
        return false;
    bool ascending = true;
    for (std::size_t k = 0; k < files.size(); ++k) {
        memory.scratch[k] = files[k].fi3_id;
        ascending = ascending && (k == 0 || memory.scratch[k - 1] <= memory.scratch[k]);
    }
    if (!ascending)
        std::sort(memory.scratch.begin(), memory.scratch.begin() + static_cast<std::ptrdiff_t>(files.size()));
    return true;
}

}  // namespace

std::size_t TakeNewFiles(FileScanMemory& memory, std::span<FILE_INFO_3> records, NET_API_STATUS status, bool* fresh)
{
    const bool answered = status == NERR_Success || status == ERROR_MORE_DATA;
    const bool fits = answered && CollectFileIds(records, memory);
    const std::span<const uint32_t> previous(memory.ids.data(), memory.count);
    const std::span<const uint32_t> current(memory.scratch.data(), fits ? records.size() : 0);

    const uint32_t reported = memory.highestReported;
    uint32_t highest = reported;
    std::size_t taken = 0;
    *fresh = memory.answered != 0;
    if (fits && memory.complete && IdsStartedAgain(previous, current, reported)) {
        *fresh = false;
        // Everything the last scan did not hold is new, and the count goes on from here.
        highest = 0;
        for (const FILE_INFO_3& file : records) {
            highest = std::max<uint32_t>(highest, file.fi3_id);
            if (!std::binary_search(previous.begin(), previous.end(), file.fi3_id))
                records[taken++] = file;
        }
    } else {
        for (const FILE_INFO_3& file : records) {
            if (file.fi3_id <= reported)
                continue;
            highest = std::max<uint32_t>(highest, file.fi3_id);
            records[taken++] = file;
        }
    }
    memory.highestReported = highest;

    if (answered) {  // else nothing learnt: keep comparing against the last scan that answered
        memory.answered = 1;
        memory.complete = fits && status == NERR_Success;
        memory.count = fits ? records.size() : 0;
        std::copy_n(memory.scratch.begin(), memory.count, memory.ids.begin());
    }
    return taken;
}


void StartFileMemory(FileScanMemory& memory)
{
    memory.highestReported = 0;
    memory.count = 0;
    memory.complete = 0;
    memory.answered = 0;
}
