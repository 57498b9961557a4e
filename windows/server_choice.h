// The server the Monitoring and Shares pages show, chosen in a box at their top that
// is there only while servers besides this computer are watched.
#pragma once

#include <windows.h>

#include <cstdint>

#include "engine/watch/server_watch.h"

// Fills both boxes with this computer and the watched servers, each with its state
// ("not answering", "access denied"); shows or hides them.
void UpdateServerChoices();
// The same, only when a server's state changed: for the once-a-second step.
void UpdateServerChoicesIfChanged();
// Fills one page's box, choosing `shown`; shows it only while servers are watched.
void FillServerChoice(HWND page, ServerId shown);
// The server chosen in a page's box.
ServerId ChosenServer(HWND page);
