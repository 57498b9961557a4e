// The notify window: recent activity lines above the taskbar's right end while the
// main window is hidden. It runs as a modal dialog on a thread of its own.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "windows/notify_lines.h"

constexpr POINT kParkedPosition = {-5000, -5000};

// Starts the notify window's thread; it lives until the process ends.
HANDLE StartNotifyWindowThread(DWORD* threadId = nullptr);
DWORD WINAPI NotifyWindowThread(LPVOID);
INT_PTR CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

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

