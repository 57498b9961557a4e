// Lines on their way to the notify window, and their hand-over between the main
// window's thread and the notify window's own.
#pragma once

#include <array>
#include <cstdint>

#include "core/handoff.h"
#include "core/text.h"

constexpr int kMaxNotifyLines = 25;

// Oldest first. Only the newest ones the window can hold are kept: older ones would
// be pushed out at once anyway.
struct NotifyLines {
    std::array<std::array<char, kFormatCapacity>, kMaxNotifyLines> ring;
    uint32_t added;  // since the last hand-over; the newest is at (added - 1) % size
};
void AddToNotifyLines(NotifyLines& lines, const char* text);

// The main window's thread fills a free slot and posts it; the notify window's thread
// shows it and frees the slot.
constexpr std::size_t kNotifySlots = 2;
struct NotifyHandoff {
    HandoffSlots<kNotifySlots> states;
    std::array<NotifyLines, kNotifySlots> slots;
    NotifyLines waiting;  // lines no slot was free for; they go with the next hand-over
};
