// The daily text logs as the history reads them back: a line's event, a log's day
// from its file name, and the line delivery would have written for a stored event
// (so that a log and the history can be compared line for line).
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/watch/event_record.h"

// One line of a text log, without its line end: views into it, in the log's 8-bit text.
struct LogLine {
    int32_t secondOfDay;
    EventKind kind;  // Connection, FileOpen or Tripwire
    uint32_t mode;   // a file open's read, write and create bits
    std::string_view user;
    std::string_view computer;  // a connection's
    std::string_view path;      // a file open's
    std::string_view detail;    // a trip's
};

// False for anything that is not a line delivery writes (a line of another program,
// a cut or damaged line, a time that is not one).
bool ParseLogLine(std::string_view line, LogLine* parsed);

// The day of a text log named "d.m.yyyy.log"; false for any other name.
bool ParseLogFileName(std::string_view name, SYSTEMTIME* day);

// The line delivery writes for an event of this kind at this local time, in the
// ANSI code page; false for the kinds no text log holds.
bool FormatLogLineOf(EventKind kind, uint32_t mode, std::wstring_view user, std::wstring_view computer,
                     std::wstring_view path, std::string_view detail, const SYSTEMTIME& local, std::span<char> line);
