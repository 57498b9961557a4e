// The Tripwires dialog: the rules, edited on a copy and written on OK.
#pragma once

#include <windows.h>

constexpr char kInvalidPatternMessage[] = "Please enter valid pattern";

INT_PTR CALLBACK TripwiresDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
