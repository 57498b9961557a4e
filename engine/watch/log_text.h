// The Log page's text as the program keeps it: every activity line of this run, the
// oldest dropped a quarter at a time when it is full. Whoever shows it is told only
// what changed: how much went from the top, and where the new text begins.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The text holds up to about this many characters; past it the oldest lines go.
constexpr std::size_t kLogTextCapacity = 1 << 18;
constexpr std::size_t kLogTextRoom = kLogTextCapacity + 1;  // and its terminator

struct LogText {
    std::size_t length;
    std::array<char, kLogTextRoom> text;
    // What changed since the view last caught up.
    std::size_t droppedPositions;  // taken from the top, in the positions an edit control counts
    std::size_t newFrom;           // the new text begins here
    int32_t emptied;               // cleared: the view starts again
};

// Appends whole lines at the end, dropping the oldest lines when full.
void AppendLogText(LogText& log, std::string_view text);
void ClearLogText(LogText& log);
// The view has caught up with everything so far.
void MarkLogTextShown(LogText& log);
inline std::string_view WholeLogText(const LogText& log) { return {log.text.data(), log.length}; }

// An 8-bit text's length in the positions an edit control counts: one a byte in a
// single-byte code page, one a UTF-16 unit otherwise.
std::size_t ControlPositions(std::string_view text);
