// The Black list page: the active computer list with each entry's remaining time.
#pragma once

#include <windows.h>

#include "blocking/computer_list.h"

INT_PTR CALLBACK BlackListPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Brings the page's list in line with `list`; does nothing while the page is hidden.
void RefreshBlackListView(const ComputerList& list);
// Checks the radio of the block mode in force, and only that one.
void ShowBlockModeRadios();
