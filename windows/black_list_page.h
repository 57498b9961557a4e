// The Black list page: the active computer list with each entry's remaining time,
// the block mode, and adding and removing computers.
#pragma once

#include <windows.h>

#include <span>

#include "rules/block_rules.h"

constexpr char kInvalidComputerNameMessage[] = "Please enter valid computer name";

INT_PTR CALLBACK BlackListPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddComputerDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Brings the page's list in line with `list`; does nothing while the page is hidden.
void RefreshBlackListView(const ComputerList& list);
// The computers tripwires cut off, with their user and remaining time; does nothing
// while the page is hidden.
void RefreshTrippedView();
// Checks the radio of the block mode in force, and only that one.
void ShowBlockModeRadios();
// "~" for a permanent entry, else the remaining time.
void FormatTimeRemaining(const BlockEntry& entry, std::span<char> text);
// "12 shares": where the entry's user is denied now; empty when nowhere.
void FormatDeniedShares(const BlockEntry& entry, std::span<char> text);
// Removes the computer of every selected row from the active list.
void RemoveSelectedComputers();
