// The notify window: recent activity lines above the taskbar's right end while the
// main window is hidden. It runs as a modal dialog on a thread of its own.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "core/handoff.h"
#include "core/text.h"

constexpr int kMaxNotifyLines = 25;
constexpr POINT kParkedPosition = {-5000, -5000};

// Starts the notify window's thread; it lives until the process ends.
HANDLE StartNotifyWindowThread(DWORD* threadId = nullptr);
DWORD WINAPI NotifyWindowThread(LPVOID);
INT_PTR CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Lines on their way to the notify window, oldest first. Only the newest ones the
// window can hold are kept: older ones would be pushed out at once anyway.
struct NotifyLines {
    std::array<std::array<char, kFormatCapacity>, kMaxNotifyLines> ring;
    uint32_t added;  // since the last hand-over; the newest is at (added - 1) % size
};
void AddToNotifyLines(NotifyLines& lines, const char* text);

// The hand-over between the two threads: the main window's thread fills a free slot
// and posts it; the notify window's thread shows it and frees the slot.
constexpr std::size_t kNotifySlots = 2;
struct NotifyHandoff {
    HandoffSlots<kNotifySlots> states;
    std::array<NotifyLines, kNotifySlots> slots;
    NotifyLines waiting;  // lines no slot was free for; they go with the next hand-over
};

// Hands the lines to the notify window (one update, one resize, whatever their number)
// and empties them. From the main window's thread; lines that find no free slot wait
// for the next call.
void PostNotifyLines(NotifyLines& lines);

// Adds lines at the top, the newest first, and shows the window: on the notify
// window's own thread.
void ShowNotifyLines(const NotifyLines& lines);
void AddNotifyLine(const char* text);

// Where the window sits while shown: its bottom-right corner on the taskbar's top-right corner.
POINT NotifyAnchor(const RECT& taskbar, SIZE window);

