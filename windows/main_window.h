// The main window: a resizable dialog with a navigation bar and four pages, which
// hides instead of closing. It also takes the tray icon's clicks, the hot key, the
// servers' replies and the end of the session; the engine's rounds it runs are in
// windows/engine_rounds.h.
#pragma once

#include <windows.h>

constexpr int kMainWindowWidth = 720;
constexpr int kMainWindowHeight = 480;
constexpr UINT_PTR kStartHiddenTimer = 1;

// The main window's procedure. The window is created with its start-up as the
// creation parameter: a `void (*)(HWND)` that starts every other part of the program.
INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
using MainWindowStartUp = void (*)(HWND window);

constexpr char kServiceWatchingText[] = "Watched by the protection service";
constexpr char kServiceWatchingRefusedText[] =
    "Watched by the protection service, which refused part of its folder: see the Log page";
constexpr char kServiceNotRunningText[] = "Protection service is not running";
constexpr char kServiceWatchingTip[] = "Quorvel 1.2: watched by the protection service";

// While the protection service watches: the line under the pages and the tray's tip
// say whether it is there.
void ShowServiceStatus();

// Makes the page of `index` the visible one and refreshes it.
void ShowPage(int index);
// Shows the main window in front; the user has now seen the activity.
void ShowMainWindow();

// Loads the six context menus, keeping the first popup of each.
void LoadContextMenus();
// The navigation bar's images and its four items.
void BuildNavigationBar(HWND window);
// The four pages, hidden, in their creation order.
void CreatePages(HWND window);
