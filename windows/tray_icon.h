// The program's icon in the notification area: the product tip, and a blink while
// there is activity the user has not looked at.
#pragma once

#include <windows.h>

void AddTrayIcon();
void RemoveTrayIcon();
// The tip shown over the icon.
void SetTrayTip(const char* tip);

// The 1000 ms thread timer procedure; its arguments are ignored.
void CALLBACK OnBlinkTick(HWND = nullptr, UINT = 0, UINT_PTR = 0, DWORD = 0);
