// What the engine found that whoever shows it may want to know, kept until they take
// it: the newest lines of each kind of event for the notify window (so that the
// viewer's own filters choose among them), and whether there was activity, a file
// opened or a tripwire tripped. The engine never calls a window: the viewer takes the
// news after each engine call and decides what to show, blink or sound.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

#include "core/text.h"

enum AlertKind : int32_t { ConnectionAlert = 0, FileOpenAlert = 1, TripAlert = 2, kAlertKinds = 3 };
// As many of each kind as the notify window shows.
constexpr std::size_t kAlertLinesKept = 25;

struct AlertLine {
    uint64_t sequence;  // across kinds: the order the events came in
    std::array<char, kFormatCapacity> text;
};

struct EngineNews {
    std::array<std::array<AlertLine, kAlertLinesKept>, kAlertKinds> lines;
    std::array<uint32_t, kAlertKinds> added;  // since taken; the newest at (added - 1) % kept
    uint64_t nextSequence;
    int32_t activity;   // an event of any kind
    int32_t fileOpens;  // a file opened
    int32_t trips;      // a tripwire tripped
};

void AddAlert(EngineNews& news, AlertKind kind, std::string_view line);
// The viewer has taken the news so far.
void ClearNews(EngineNews& news);
inline bool HasNews(const EngineNews& news)
{
    return news.activity || news.fileOpens || news.trips || news.added != std::array<uint32_t, kAlertKinds>{};
}

// The newest lines of the kinds `wanted` lets through, oldest first, at most
// kAlertLinesKept: what the notify window would show of them.
template <typename Wanted, typename Take>
void ForEachNewestAlert(const EngineNews& news, Wanted wanted, Take take)
{
    std::array<uint32_t, kAlertKinds> available{};
    std::array<uint32_t, kAlertKinds> used{};
    for (std::size_t kind = 0; kind < available.size(); ++kind)
        if (wanted(static_cast<AlertKind>(kind)))
            available[kind] = std::min<uint32_t>(news.added[kind], static_cast<uint32_t>(kAlertLinesKept));
    // Merged by sequence from the newest back, then handed out oldest first.
    std::array<const AlertLine*, kAlertLinesKept> newest{};
    std::size_t count = 0;
    while (count < newest.size()) {
        const AlertLine* next = nullptr;
        std::size_t from = 0;
        for (std::size_t kind = 0; kind < available.size(); ++kind) {
            if (used[kind] >= available[kind])
                continue;
            const AlertLine& line = news.lines[kind][(news.added[kind] - 1 - used[kind]) % kAlertLinesKept];
            if (!next || line.sequence > next->sequence) {
                next = &line;
                from = kind;
            }
        }
        if (!next)
            break;
        newest[count++] = next;
        ++used[from];
    }
    for (std::size_t k = count; k > 0; --k)
        take(static_cast<const char*>(newest[k - 1]->text.data()));
}
