// The Log page: every activity line of this run, with Clear, Export and Open folder.
#pragma once

#include <windows.h>

INT_PTR CALLBACK LogPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
