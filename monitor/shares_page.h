// The Shares page: the shares this machine offers, rebuilt when asked.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <span>

#include "core/reserved_store.h"

// The shares a refresh listed, row by row, with their names as the server gave them.
constexpr std::size_t kMaxShareRows = 4096;
struct ShareNames {
    std::size_t count;
    std::array<const wchar_t*, kMaxShareRows> names;
    TextArena texts;
};

INT_PTR CALLBACK SharesPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// Empties the list and fills it again from the server it shows: this computer at
// once, another server when its worker brings its shares.
void RefreshShares();
void ShowShares(std::span<const SHARE_INFO_502> shares);
// Deletes every selected share from the server, then refreshes.
void RemoveSelectedShares();
// The type words of a share: "Drive ", "Printer ", "Device ", "IPC " for the whole
// type value, and "Special " for the special bit.
void FormatShareType(DWORD type, std::span<char> text);
