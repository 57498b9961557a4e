// The Monitoring page: live sessions and open files, and what can be done to them.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

#include "core/product.h"
#include "engine/watch/server_watch.h"

constexpr char kAccessDeniedMessage[] =
    "Error: Access is denied\nCould not have access to enum sessions or opened files\n"
    "Please run program under Administrator account.";
constexpr char kInvalidNumberMessage[] = "Please enter valid number";

INT_PTR CALLBACK MonitoringPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
// The "Block" dialog: a number of minutes, or 0 when cancelled.
INT_PTR CALLBACK BlockDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The server the page shows: its lists start again from that server's readings.
void ShowServerOnMonitoringPage(ServerId shown);

// Both do nothing unless the Monitoring page is the current page.
void RefreshSessions();
void RefreshOpenFiles();
// The same from an enumeration already made (the poll's), with its status.
void RefreshSessionsWith(NET_API_STATUS status, std::span<const SESSION_INFO_1> sessions);
void RefreshOpenFilesWith(std::span<const FILE_INFO_3> files);

void CloseSelectedSessions();
void CloseSelectedFiles();
// Opens every selected computer in the shell, or shows every selected file in its
// folder (windows/explore.h: a file is never opened).
void ExploreSelectedSessions();
void ExploreSelectedFiles();
// One computer ("NAME" or "\\NAME") in the shell; one file shown in its folder, on
// this computer (`serverUnc` nullptr or empty) or on a watched server ("\\NAME"),
// reached there through its drive's hidden share.
void ExploreComputer(const wchar_t* client);
void ExploreFileOn(const wchar_t* serverUnc, const wchar_t* path);
// Adds the computer of every selected session to the blacklist for `ticks` block ticks.
void BlockSelectedComputers(int32_t ticks);
// The "Block" dialog over `owner`: block ticks, or 0 when cancelled.
int32_t AskBlockTicks(HWND owner);
// Asks for a file name, then writes both lists to it.
void ExportMonitoringLists();
// Writes both lists, as they stand, to `path`; false if the file could not be made.
bool WriteMonitoringLists(const char* path);

// Another server's local path "X:\rest" as this computer reaches it:
// "\\SERVER\X$\rest"; false for a path of another form or too long.
constexpr std::size_t kRemotePathUnits = 32768;
bool FormatRemotePath(const wchar_t* server, const wchar_t* path, std::span<wchar_t> remote);

// The minutes typed into the "Block" dialog, read as a signed decimal number; false
// for anything below 1 or too many minutes to count in block ticks.
bool ParseBlockMinutes(const char* text, int32_t* minutes);
