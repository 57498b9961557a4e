#include "engine/watch/session_memory.h"

#include <algorithm>

#include "core/hash.h"
#include "core/text.h"

namespace {

// The platform's tick and the server's own clock may each be a tick apart.
constexpr int64_t kClockSlackMs = 50;
constexpr int64_t kSecondMs = 1000;

// 64-bit FNV-1a over the client name, a separator no name holds, and the user name.
uint64_t SessionKey(const SESSION_INFO_1& session)
{
    TextHash hash;
    hash.Add(WideOrEmpty(session.sesi1_cname));
    hash.Add(uint16_t{0xFFFF});
    hash.Add(WideOrEmpty(session.sesi1_username));
    return hash.value;
}

bool Earlier(const SessionSighting& a, const SessionSighting& b)
{
    return a.key != b.key ? a.key < b.key : a.earliest < b.earliest;
}

bool SameSession(const SessionSighting& a, const SessionSighting& b)
{
    return a.earliest < b.latest + kClockSlackMs && b.earliest < a.latest + kClockSlackMs;
}

// Adds a sighting to the scratch table, or moves the cut below its key when full.
void Keep(SessionScanMemory& memory, const SessionSighting& sighting)
{
    if (memory.scanCount < memory.scratch.size()) {
        memory.scratch[memory.scanCount++] = sighting;
        return;
    }
    if (!memory.scanCut || sighting.key < memory.scanCutKey)
        memory.scanCutKey = sighting.key;
    memory.scanCut = 1;
}

}  // namespace

void StartSessionMemory(SessionScanMemory& memory, ULONGLONG now)
{
    memory.knownSince = static_cast<int64_t>(now);
    memory.lastSeenEnd = static_cast<int64_t>(now);
    memory.count = 0;
    memory.cut = 0;
    memory.cutKey = 0;
    memory.scanCount = 0;
}

void BeginSessionScan(SessionScanMemory& memory, ULONGLONG scanStart, ULONGLONG scanEnd)
{
    memory.scanStart = static_cast<int64_t>(scanStart);
    memory.scanEnd = static_cast<int64_t>(scanEnd);
    memory.scanCount = 0;
    memory.scanCut = 0;
    memory.scanCutKey = 0;
    std::fill_n(memory.matched.begin(), memory.count, uint8_t{0});
}

bool SightSession(SessionScanMemory& memory, const SESSION_INFO_1& session)
{
    const int64_t seconds = session.sesi1_time;
    SessionSighting sighting{SessionKey(session), memory.scanStart - (seconds + 1) * kSecondMs,
                             memory.scanEnd - seconds * kSecondMs};

    const auto begin = memory.sessions.begin();
    const auto end = begin + static_cast<std::ptrdiff_t>(memory.count);
    auto at = std::lower_bound(begin, end, sighting.key,
                               [](const SessionSighting& s, uint64_t key) { return s.key < key; });
    bool known = false;
    for (; at != end && at->key == sighting.key; ++at) {
        uint8_t& taken = memory.matched[static_cast<std::size_t>(at - begin)];
        if (!taken && SameSession(*at, sighting)) {
            taken = 1;
            known = true;
            break;
        }
    }
    if (memory.scanCount < memory.known.size())
        memory.known[memory.scanCount] = known ? 1 : 0;
    Keep(memory, sighting);
    if (known)
        return false;
    if (memory.cut && sighting.key >= memory.cutKey)
        return sighting.earliest >= memory.lastSeenEnd;  // not remembered: only a proven newcomer
    return sighting.latest > memory.knownSince;
}

void EndSessionScan(SessionScanMemory& memory, bool whole)
{
    if (!whole) {
        // The reference stays the last whole scan; what this part added joins it.
        const std::size_t added = memory.scanCount;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < added; ++i)
            if (!memory.known[i])
                memory.scratch[kept++] = memory.scratch[i];
        memory.scanCount = kept;
        for (std::size_t i = 0; i < memory.count; ++i)
            Keep(memory, memory.sessions[i]);
        if (memory.cut && (!memory.scanCut || memory.cutKey < memory.scanCutKey))
            memory.scanCutKey = memory.cutKey;
        memory.scanCut = memory.scanCut || memory.cut;
    }
    const auto begin = memory.scratch.begin();
    auto end = begin + static_cast<std::ptrdiff_t>(memory.scanCount);
    std::sort(begin, end, Earlier);
    if (memory.scanCut)  // keep only whole keys: below the cut every session is remembered
        end = std::lower_bound(begin, end, memory.scanCutKey,
                               [](const SessionSighting& s, uint64_t key) { return s.key < key; });
    memory.count = static_cast<std::size_t>(end - begin);
    std::copy(begin, end, memory.sessions.begin());
    memory.cut = memory.scanCut;
    memory.cutKey = memory.scanCutKey;
    memory.lastSeenEnd = memory.scanEnd;
    if (whole)
        memory.knownSince = memory.scanStart;
}
