// The notify window: recent activity lines above the taskbar's right end while the
// main window is hidden. It runs as a modal dialog on a thread of its own.
#pragma once

#include <windows.h>

constexpr int kMaxNotifyLines = 25;
constexpr POINT kParkedPosition = {-5000, -5000};

// Starts the notify window's thread; it lives until the process ends.
HANDLE StartNotifyWindowThread(DWORD* threadId = nullptr);
DWORD WINAPI NotifyWindowThread(LPVOID);
INT_PTR CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Adds a line at the top. Called on the main window's thread; the window's own
// thread carries out the window calls.
void AddNotifyLine(const char* text);

// Where the window sits while shown: its bottom-right corner on the taskbar's top-right corner.
POINT NotifyAnchor(const RECT& taskbar, SIZE window);

// What the main window does for a click on the notify window's list.
void OnNotifyWindowClicked();
