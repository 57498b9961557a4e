// The History page: what the history holds (engine/history/history_search.h), searched by
// time, server, computer, user, path and kind, newest first, in a list that asks for
// its rows as it draws them. Searches run on the history's search thread; a newer one
// replaces the older, and the page hears of rows and counts by a posted message.
#pragma once

#include <windows.h>

#include <array>
#include <span>

#include "engine/history/history_search.h"
#include "engine/history/history_store.h"
#include "rules/computer_list.h"

INT_PTR CALLBACK HistoryPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// The page came into sight: its first search (the newest events) runs once.
void OnHistoryPageShown();
// Enter with the focus on `focus`: on the page's list it explores the row, in any other
// of the page's boxes it searches; elsewhere nothing.
void OnHistoryEnter(HWND focus);
// A search with what the boxes say, replacing any other.
void SearchHistory();

// What the page asks of a search, as its boxes say; false when no kind is chosen
// (nothing to search). Times are the pickers' local times moved to UTC by the
// clock's own distance between the two.
bool ReadHistoryBoxes(HWND page, HistoryQuery* query);

// A trip as its caller knows it. From a Log page line: the line's local time, its
// server ("\\NAME", empty for this computer) and its user as the line shows it,
// through the code page. From the tripped list: the user alone (time's year 0).
struct TripAsked {
    std::array<wchar_t, kBlockUserUnits> user;
    SYSTEMTIME local;
    std::array<char, 264> server;
};

// After a trip: the page finds the trip in the history and shows its user's write and
// create opens on its server from an hour before it to now, named as the history
// names them. Without the trip in the history: the line's name and server, or for the
// tripped list the user's writes of the last day on every server, and the page says so.
void ShowUserWritesAfterTrip(const TripAsked& trip);
// The same files as a restore list (distinct paths, sorted, one a line, UTF-8, what
// may be missing first) in a file the save dialog names; `path` given, without it.
void ExportRestoreListAfterTrip(const TripAsked& trip, const char* path = nullptr);

// The reading of the daily logs as the page's status tells it, appended to `text`
// ("; reading the daily logs: 3 of 365, 81234 lines"); nothing unless it is running or stopped.
void AppendBackfillText(const HistoryStatus& status, std::span<char> text);

// The page's texts as it shows them.
constexpr char kHistorySearchingText[] = "Searching...";
constexpr char kHistoryNoKindText[] = "Choose at least one kind";
constexpr char kHistoryUnreadableText[] = "The history cannot be read now";
constexpr char kHistoryNotKeptText[] = "No history is kept";
