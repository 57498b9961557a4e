// The Shares page: the shares this machine offers, rebuilt when asked.
#pragma once

#include <windows.h>

INT_PTR CALLBACK SharesPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Empties the list and fills it again from the server.
void RefreshShares();
