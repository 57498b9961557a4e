// The Log page: every activity line of this run, with Clear, Export and Open folder.
#pragma once

#include <windows.h>

#include <array>
#include <span>
#include <string_view>

#include "rules/computer_list.h"
#include "windows/history_page.h"

INT_PTR CALLBACK LogPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);


// The control catches up with the engine's Log page text (engine/watch/log_text.h): told
// only what changed, and only while it is on screen: laying out lines nobody sees
// would cost more than everything else an event costs. After every engine call.
void SyncLogPageView();
// Gives the control the page's whole text when it fell behind; called as the page
// comes into sight.
void SyncLogPage();
// Empties the page and the run's CSV records; the log files keep everything.
void ClearLog();

enum class ExportKind { Text, Csv };
// Asks for a file name, then writes the page's text or the run's CSV records.
void ExportLog(ExportKind kind);
// Writes them to `path`; false if the file could not be made.
bool WriteLogExport(ExportKind kind, const char* path);

// A Tripwire line of the page: its user, its server and its local time (the page holds
// this run's lines: today's, or yesterday's when that time is still to come today).
// `line` as the page shows it ("[h:m:s] Tripwire [user]rule", a watched server's with
// "[\\NAME] " after the time); false for any other line.
bool ReadTripLine(std::string_view line, const SYSTEMTIME& now, TripAsked* trip);
// The page's line `index` (as the control counts them), when it is a Tripwire line.
bool ReadTripOfLogLine(int index, TripAsked* trip);
// The trip menu's commands: IDM_SHOW_USER_WRITES, IDM_EXPORT_RESTORE_LIST.
void RunTripCommand(UINT command, const TripAsked& trip);
