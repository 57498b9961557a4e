// The Monitoring page: live sessions and open files.
#pragma once

#include <windows.h>

INT_PTR CALLBACK MonitoringPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Both do nothing unless the Monitoring page is the current page.
void RefreshSessions();
void RefreshOpenFiles();

// Open every selected computer, or every selected file, in the shell.
void ExploreSelectedSessions();
void ExploreSelectedFiles();
