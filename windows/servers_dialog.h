// The Servers dialog: the file servers watched besides this computer, edited on a
// copy, written and watched on OK.
#pragma once

#include <windows.h>

constexpr char kInvalidServerNameMessage[] = "Please enter valid server name";

INT_PTR CALLBACK ServersDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
