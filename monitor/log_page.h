// The Log page: every activity line of this run, with Clear, Export and Open folder.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// The page holds up to about this many characters; past it the oldest lines go.
constexpr int kLogPageCapacity = 1 << 18;
constexpr std::size_t kLogPageRoom = kLogPageCapacity + 1;  // and its terminator

INT_PTR CALLBACK LogPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);


// The page's text as the program keeps it, so that neither its length nor the cut of
// its oldest lines needs the control: the control is told only what changes.
struct LogPageText {
    std::size_t length;
    int32_t controlBehind;  // lines came while the page was out of sight
    std::array<char, kLogPageRoom> text;
};

// Appends text at the very end of the page, dropping the oldest lines when full. The
// control takes it at once only while it is on screen: laying out lines nobody sees
// would cost more than everything else an event costs.
void AppendToLogPage(std::string_view text);
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
