// The notify window: recent activity lines above the taskbar while the main window is hidden.
#pragma once

void AddNotifyLine(const char* text);
