#include "engine/watch/day_logs.h"

#include <array>
#include <cstring>
#include <string_view>

#include "core/file_trust.h"
#include "core/clock.h"
#include "core/text.h"

namespace {

constexpr char kLineEnd[] = "\r\n";
// Where the backlog's text changes day: a NUL (no log text holds one: control
// characters are shown as '?'), then the new day's year, month and day.
constexpr char kDayMark = '\0';
constexpr std::size_t kDayMarkLength = 5;

// One of a server's two daily logs, as its writers see it.
struct DayLog {
    HANDLE& file;
    SYSTEMTIME& day;
    LogBacklog& backlog;
    const char* folder;
    const char* logsFolder;
    const char* extension;
    bool csv;  // starts with the header line
};

const char* FolderText(const PathText* folder)
{
    return folder ? folder->data() : "";
}

DayLog TextLog(DayLogs& logs)
{
    return {logs.textFile, logs.textDay, logs.textBacklog, FolderText(logs.folder),
            FolderText(logs.logsFolder ? logs.logsFolder : logs.folder), "log", false};
}

DayLog CsvLog(DayLogs& logs)
{
    return {logs.csvFile, logs.csvDay, logs.csvBacklog, FolderText(logs.folder),
            FolderText(logs.logsFolder ? logs.logsFolder : logs.folder), "csv", true};
}

// The whole date: a program left running for a month must not write 7 April into 7 March's file.
bool SameDate(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wDay == b.wDay && a.wMonth == b.wMonth && a.wYear == b.wYear;
}

void CloseDayFile(DayLog log)
{
    if (log.file)
        CloseHandle(log.file);
    log.file = nullptr;
}

// Writes `text`; on a failed or short write the file is closed, so that the next
// write opens it afresh, and the part not written is returned.
std::string_view WriteOrClose(DayLog log, std::string_view text)
{
    DWORD written = 0;
    if (!WriteFile(log.file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        written = 0;
    if (written >= text.size())
        return {};
    CloseDayFile(log);
    return text.substr(written);
}

// The file of `day`, open at its end; a new CSV log gets its header first.
bool OpenForDay(DayLog log, const SYSTEMTIME& day)
{
    if (log.file && SameDate(day, log.day))
        return true;
    CloseDayFile(log);
    log.day = day;
    PathText path{};
    FormatLogPathIn(path, log.folder, day, log.extension);
    // Under the service's folder a link in the log's place, or its folder's, is refused.
    HANDLE file = CreateGuardedFile(path.data(), GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // The log folder was removed while the program ran: make it again.
        CreateDirectoryA(log.logsFolder, nullptr);
        CreateDirectoryA(log.folder, nullptr);
        file = CreateGuardedFile(path.data(), GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    SetFilePointer(file, 0, nullptr, FILE_END);
    log.file = file;
    if (log.csv && GetFileSize(file, nullptr) == 0)
        WriteOrClose(log, kCsvLogHeader);
    return log.file != nullptr;
}

void PutDayMark(std::span<char> at, const SYSTEMTIME& day)
{
    at[0] = kDayMark;
    at[1] = static_cast<char>(day.wYear & 0xFF);
    at[2] = static_cast<char>(day.wYear >> 8);
    at[3] = static_cast<char>(day.wMonth);
    at[4] = static_cast<char>(day.wDay);
}

SYSTEMTIME ReadDayMark(const char* at)
{
    SYSTEMTIME day{};
    day.wYear = static_cast<WORD>(static_cast<unsigned char>(at[1]) | (static_cast<unsigned char>(at[2]) << 8));
    day.wMonth = static_cast<unsigned char>(at[3]);
    day.wDay = static_cast<unsigned char>(at[4]);
    return day;
}

// Once the backlog has dropped text, everything after is dropped too until it is
// written out, so that no line is left without its end.
void KeepForLater(LogBacklog& backlog, std::string_view text, const SYSTEMTIME& day)
{
    if (text.empty())
        return;
    const bool newDay = backlog.length > 0 && !SameDate(day, backlog.lastDay);
    const std::size_t needed = text.size() + (newDay ? kDayMarkLength : 0);
    if (backlog.overflowed || needed > backlog.text.size() - backlog.length) {
        backlog.overflowed = 1;
        return;
    }
    if (backlog.length == 0)
        backlog.firstDay = day;
    if (newDay) {
        PutDayMark(std::span(backlog.text).subspan(backlog.length, kDayMarkLength), day);
        backlog.length += kDayMarkLength;
    }
    memcpy(backlog.text.data() + backlog.length, text.data(), text.size());
    backlog.length += text.size();
    backlog.lastDay = day;
}

// Drops the first `count` bytes of the backlog.
void DropFront(LogBacklog& backlog, std::size_t count)
{
    memmove(backlog.text.data(), backlog.text.data() + count, backlog.length - count);
    backlog.length -= count;
}

// Writes the backlog, each day's text into that day's file; true when it is all out.
bool WriteBacklog(DayLog log)
{
    LogBacklog& backlog = log.backlog;
    if (backlog.length == 0 && !backlog.overflowed)
        return true;
    SYSTEMTIME day = backlog.length ? backlog.firstDay : backlog.lastDay;
    bool endsLine = true;
    while (backlog.length > 0) {
        const std::string_view all(backlog.text.data(), backlog.length);
        const std::size_t mark = all.find(kDayMark);
        const std::string_view piece = all.substr(0, mark);
        if (!OpenForDay(log, day))
            return false;
        const std::string_view rest = WriteOrClose(log, piece);
        if (!rest.empty()) {
            DropFront(backlog, piece.size() - rest.size());
            return false;
        }
        endsLine = piece.empty() ? endsLine : piece.back() == '\n';
        if (mark == std::string_view::npos) {
            backlog.length = 0;
            break;
        }
        day = ReadDayMark(all.data() + mark);
        DropFront(backlog, mark + kDayMarkLength);
        backlog.firstDay = day;
    }
    // The last piece kept before the drop may have been a line without its end.
    const bool lineEndOwed = backlog.overflowed && !endsLine;
    backlog.overflowed = 0;
    if (lineEndOwed && OpenForDay(log, day))
        KeepForLater(backlog, WriteOrClose(log, kLineEnd), day);
    return backlog.length == 0;
}

// Text for the log of `day`, after whatever waits before it.
void WriteToLogOfDay(DayLog log, std::string_view text, const SYSTEMTIME& day)
{
    if (text.empty())
        return;
    if (!WriteBacklog(log) || !OpenForDay(log, day)) {
        KeepForLater(log.backlog, text, day);
        return;
    }
    KeepForLater(log.backlog, WriteOrClose(log, text), day);
}

}  // namespace

void FormatLogPathIn(std::span<char> path, const char* folder, const SYSTEMTIME& day, const char* extension)
{
    FormatText(path, "%s\\%d.%d.%d.%s", folder, day.wDay, day.wMonth, day.wYear, extension);
}

void OpenDayLogs(DayLogs& logs, const SYSTEMTIME& day)
{
    OpenForDay(TextLog(logs), day);
    OpenForDay(CsvLog(logs), day);
}

void CloseDayLogs(DayLogs& logs)
{
    CloseDayFile(TextLog(logs));
    CloseDayFile(CsvLog(logs));
}

void WriteTextLogLines(DayLogs& logs, std::string_view text, const SYSTEMTIME& day)
{
    WriteToLogOfDay(TextLog(logs), text, day);
}

void WriteCsvLogRecords(DayLogs& logs, std::string_view records, const SYSTEMTIME& day)
{
    WriteToLogOfDay(CsvLog(logs), records, day);
}

void WriteLogBacklogs(DayLogs& logs)
{
    WriteBacklog(TextLog(logs));
    WriteBacklog(CsvLog(logs));
}
