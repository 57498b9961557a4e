// The two ways the program writes a time.
#pragma once

#include <cstdint>
#include <span>

// "%d:%d:%d" of the local hour, minute and second, without leading zeros (9:5:7).
char* FormatTimeOfDay(std::span<char> text);

// Hours, minutes and seconds, each at least two digits; hours are not capped
// (3725 gives 01:02:05, 360000 gives 100:00:00).
char* FormatDuration(uint32_t seconds, std::span<char> text);
