// The Shares page: the shares this machine offers, rebuilt when asked.
#pragma once

#include <windows.h>
#include <lm.h>

#include <span>

#include "engine/watch/server_watch.h"


INT_PTR CALLBACK SharesPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// The server the page shows: its list starts again from that server's shares.
void ShowServerOnSharesPage(ServerId shown);
// Empties the list and fills it again from the server it shows: this computer at
// once, another server when its worker brings its shares.
void RefreshShares();
void ShowShares(std::span<const SHARE_INFO_502> shares);
// Deletes every selected share from the server, then refreshes.
void RemoveSelectedShares();
// The type words of a share: "Drive ", "Printer ", "Device ", "IPC " for the whole
// type value, and "Special " for the special bit.
void FormatShareType(DWORD type, std::span<char> text);
