#include "monitor/event_log.h"

#include <array>
#include <cstring>
#include <string_view>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/text.h"

namespace {

constexpr char kLineEnd[] = "\r\n";

// One of a server's two daily logs, as its writers see it.
struct DayLog {
    HANDLE& file;
    SYSTEMTIME& day;
    LogBacklog& backlog;
    const char* folder;
    const char* extension;
    bool csv;  // starts with the header line
};

const char* FolderOf(const DayLogs& logs)
{
    return logs.folder ? logs.folder->data() : appState.logFolder.data();
}

DayLog TextLog(DayLogs& logs)
{
    return {logs.textFile, logs.textDay, logs.textBacklog, FolderOf(logs), "log", false};
}

DayLog CsvLog(DayLogs& logs)
{
    return {logs.csvFile, logs.csvDay, logs.csvBacklog, FolderOf(logs), "csv", true};
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

void OpenDayFile(DayLog log, const SYSTEMTIME& day)
{
    PathText path{};
    FormatLogPathIn(path, log.folder, day, log.extension);
    CloseDayFile(log);
    HANDLE file = CreateFileA(path.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // The log folder was removed while the program ran: make it again.
        CreateDirectoryA(appState.logFolder.data(), nullptr);
        CreateDirectoryA(log.folder, nullptr);
        file = CreateFileA(path.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE)
        return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    log.file = file;
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

// Once the backlog has dropped text, everything after is dropped too until it is
// written out, so that no line is left without its end.
void KeepForLater(LogBacklog& backlog, std::string_view text)
{
    if (text.empty())
        return;
    if (backlog.overflowed || text.size() > backlog.text.size() - backlog.length) {
        backlog.overflowed = 1;
        return;
    }
    memcpy(backlog.text.data() + backlog.length, text.data(), text.size());
    backlog.length += text.size();
}

bool EnsureOpen(DayLog log)
{
    if (!log.file)
        OpenDayFile(log, log.day.wDay ? log.day : LocalTimeNow());
    if (log.file && log.csv && GetFileSize(log.file, nullptr) == 0)
        WriteOrClose(log, kCsvLogHeader);
    return log.file != nullptr;
}

bool WriteBacklog(DayLog log)
{
    LogBacklog& backlog = log.backlog;
    if (backlog.length == 0 && !backlog.overflowed)
        return true;
    if (!EnsureOpen(log))
        return false;
    const bool endsLine = backlog.length == 0 || backlog.text[backlog.length - 1] == '\n';
    const std::string_view rest = WriteOrClose(log, std::string_view(backlog.text.data(), backlog.length));
    if (!rest.empty())  // an empty view may carry no pointer at all
        memmove(backlog.text.data(), rest.data(), rest.size());
    backlog.length = rest.size();
    if (backlog.length != 0)
        return false;
    // The last piece kept before the drop may have been a line without its end.
    const bool lineEndOwed = backlog.overflowed && !endsLine;
    backlog.overflowed = 0;
    if (lineEndOwed)
        KeepForLater(backlog, WriteOrClose(log, kLineEnd));
    return backlog.length == 0;
}

void WriteToLog(DayLog log, std::string_view text)
{
    if (text.empty())
        return;
    if (!EnsureOpen(log) || !WriteBacklog(log)) {
        KeepForLater(log.backlog, text);
        return;
    }
    KeepForLater(log.backlog, WriteOrClose(log, text));
}

}  // namespace

void FormatLogPathIn(std::span<char> path, const char* folder, const SYSTEMTIME& day, const char* extension)
{
    FormatText(path, "%s\\%d.%d.%d.%s", folder, day.wDay, day.wMonth, day.wYear, extension);
}

void OpenTextLog()
{
    OpenDayFile(TextLog(appState.logs), LocalTimeNow());
}

void OpenCsvLog()
{
    OpenDayFile(CsvLog(appState.logs), LocalTimeNow());
    EnsureOpen(CsvLog(appState.logs));
}

namespace {

// Text for the log of `day`: the file of another day is closed and that day's opened.
void WriteToLogOfDay(DayLog log, std::string_view text, const SYSTEMTIME& day)
{
    const bool newDay = !SameDate(day, log.day);
    log.day = day;
    if (newDay)
        OpenDayFile(log, day);
    WriteToLog(log, text);  // a new CSV log gets its header first
}

}  // namespace

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

bool AllocateRunCsvBuffer()
{
    appState.RunCsvBuffer =
        static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kRunCsvBufferSize));
    appState.runCsvLength = 0;
    return appState.RunCsvBuffer != nullptr;
}

bool AppendToRunCsvBuffer(const char* record)
{
    char* buffer = appState.RunCsvBuffer;
    if (!buffer)
        return false;
    const std::size_t length = strlen(record);
    const std::size_t needed = appState.runCsvLength + length + (sizeof(kLineEnd) - 1) + 1;
    if (needed > kRunCsvBufferSize)
        return false;  // the day's CSV log still gets it; the run's copy is full
    memcpy(buffer + appState.runCsvLength, record, length);
    memcpy(buffer + appState.runCsvLength + length, kLineEnd, sizeof(kLineEnd));
    appState.runCsvLength += length + sizeof(kLineEnd) - 1;
    return true;
}

void ClearRunCsvBuffer()
{
    if (!appState.RunCsvBuffer)
        return;
    appState.RunCsvBuffer[0] = '\0';
    appState.runCsvLength = 0;
}
