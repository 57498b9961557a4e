// The server the Monitoring and Shares pages show, chosen in a box at their top that
// is there only while servers besides this computer are watched.
#pragma once

#include <windows.h>

#include <cstdint>

// Fills both boxes with this computer and the watched servers, each with its state
// ("not answering", "access denied"); shows or hides them.
void UpdateServerChoices();
// The same, only when a server's state changed: for the once-a-second step.
void UpdateServerChoicesIfChanged();
// 0: this computer; n: the watched server in place n - 1.
int32_t ChosenServer(HWND page);
void ShowServerOnMonitoringPage(int32_t shown);
void ShowServerOnSharesPage(int32_t shown);
