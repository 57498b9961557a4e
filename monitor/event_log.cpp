#include "monitor/event_log.h"

#include <array>
#include <cstring>
#include <string_view>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/text.h"
#include "core/time_text.h"
#include "monitor/log_page.h"

namespace {

constexpr char kLineEnd[] = "\r\n";

void WriteToFile(HANDLE file, std::string_view text)
{
    if (!file || file == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

HANDLE OpenDayFile(HANDLE previous, const char* extension)
{
    const SYSTEMTIME now = LocalTimeNow();
    PathText path{};
    FormatLogPath(path, now, extension);
    if (previous)
        CloseHandle(previous);
    HANDLE file = CreateFileA(path.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    SetFilePointer(file, 0, nullptr, FILE_END);
    return file;
}

}  // namespace

void FormatLogPath(std::span<char> path, const SYSTEMTIME& day, const char* extension)
{
    FormatText(path, "%s\\%d.%d.%d.%s", appState.logFolder.data(), day.wDay, day.wMonth, day.wYear, extension);
}

void OpenTextLog()
{
    appState.textLogFile = OpenDayFile(appState.textLogFile, "log");
}

void OpenCsvLog()
{
    appState.csvLogFile = OpenDayFile(appState.csvLogFile, "csv");
    if (appState.csvLogFile && GetFileSize(appState.csvLogFile, nullptr) == 0)
        WriteToFile(appState.csvLogFile, kCsvLogHeader);
}

void AppendActivityText(const char* text)
{
    AppendToLogPage(text);
    if (!appState.settings.savelogs)
        return;
    const SYSTEMTIME now = LocalTimeNow();
    if (now.wDay != appState.textLogDay.wDay)
        OpenTextLog();
    appState.textLogDay = now;
    WriteToFile(appState.textLogFile, text);
}

void WriteCsvRecord(const char* kind, const wchar_t* user, const wchar_t* target)
{
    std::array<char, kFormatCapacity> record{};
    bool formatted = false;
    const auto format = [&] {
        std::array<char, 32> time{};
        FormatText(record, "\"%s\", \"%s\", \"%ws\", \"%ws\"", FormatTimeOfDay(time), kind, WideOrEmpty(user),
                   WideOrEmpty(target));
        formatted = true;
    };
    if (appState.settings.savelogs) {
        format();
        AppendToRunCsvBuffer(record.data());
    }
    if (!appState.settings.savecsvlogs)
        return;
    const SYSTEMTIME now = LocalTimeNow();
    if (now.wDay != appState.csvLogDay.wDay)
        OpenCsvLog();
    appState.csvLogDay = now;
    if (!formatted)
        format();
    WriteToFile(appState.csvLogFile, record.data());
    WriteToFile(appState.csvLogFile, kLineEnd);
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
