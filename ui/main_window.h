// The main window: a resizable dialog with a navigation bar and four pages, which
// hides instead of closing. It also takes the tray icon's clicks and the hot key.
#pragma once

#include <windows.h>

enum PageIndex : int { MonitoringPage = 0, BlackListPageIndex = 1, SharesPageIndex = 2, LogPageIndex = 3 };
constexpr int kPageCount = 4;

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Makes the page of `index` the visible one and refreshes it.
void ShowPage(int index);
// Shows the main window in front; the user has now seen the activity.
void ShowMainWindow();

// Every page, when created, moves itself to the page origin without resizing.
void PlacePageAtOrigin(HWND page);

// Loads the six context menus, keeping the first popup of each.
void LoadContextMenus();
// The navigation bar's images and its four items.
void BuildNavigationBar(HWND window);
// The four pages, hidden, in their creation order.
void CreatePages(HWND window);
