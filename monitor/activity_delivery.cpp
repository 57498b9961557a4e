#include "monitor/activity_delivery.h"

#include <cstring>
#include <string_view>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/time_text.h"
#include "monitor/activity_poller.h"
#include "monitor/event_log.h"
#include "monitor/log_page.h"
#include "notify/sound_alert.h"

namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kLineEndLength = sizeof(kLineEnd) - 1;
constexpr wchar_t kGuestUser[] = L"Guest";

bool SameDay(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wDay == b.wDay && a.wMonth == b.wMonth && a.wYear == b.wYear;
}

void Append(std::span<char> to, std::size_t& length, std::string_view text)
{
    memcpy(to.data() + length, text.data(), text.size());
    length += text.size();
    memcpy(to.data() + length, kLineEnd, kLineEndLength);
    length += kLineEndLength;
}

// Another server's line as the Log page and the notify window show it: "[time] [\\NAME] ...".
void TagLine(const ServerWatch& watch, std::string_view line, std::span<char> tagged)
{
    const std::size_t afterTime = line.find("] ");
    const std::string_view time = line.substr(0, afterTime == std::string_view::npos ? 0 : afterTime + 1);
    const std::string_view rest = line.substr(time.size() + (afterTime == std::string_view::npos ? 0 : 1));
    CopyText(tagged, time);
    AppendText(tagged, " [");
    AppendText(tagged, watch.tag);
    AppendText(tagged, "] ");
    AppendText(tagged, rest);
}

// Room for one more line and record, and the same day: else the batch goes first.
void MakeRoom(const ServerWatch& watch, const PollTime& time, std::size_t line, std::size_t record)
{
    ActivityBatch& batch = *watch.batch;
    const bool empty = batch.textLength == 0 && batch.csvLength == 0 && !batch.events;
    if ((!empty && !SameDay(batch.found, time.at)) || batch.textLength + line + kLineEndLength > batch.text.size() ||
        batch.csvLength + record + kLineEndLength > batch.csv.size() ||
        batch.pageLength + line + kFormatCapacity / 4 > batch.page.size())
        DeliverActivity(watch);
    batch.found = time.at;
}

// A line for the server's own log, the Log page and, when shown there, the notify window.
void AddLine(const ServerWatch& watch, std::string_view line, bool toLog, bool toNotify)
{
    ActivityBatch& batch = *watch.batch;
    std::array<char, kFormatCapacity> tagged{};
    if (watch.tag)
        TagLine(watch, line, tagged);
    if (toLog) {
        Append(batch.text, batch.textLength, line);
        if (watch.tag)
            Append(batch.page, batch.pageLength, tagged.data());
    }
    if (toNotify && !appState.mainWindowShown) {
        if (!watch.tag)
            CopyText(tagged, line);
        AddToNotifyLines(batch.notify, tagged.data());
    }
}

// The run's copy takes whole records while they fit, as it took them one by one.
void AppendRecordsToRunCsvBuffer(std::string_view records)
{
    std::array<char, kFormatCapacity> record{};
    while (!records.empty()) {
        const std::size_t end = records.find(kLineEnd);
        const std::string_view one = records.substr(0, end);
        CopyText(record, one);
        AppendToRunCsvBuffer(record.data());
        records.remove_prefix(end == std::string_view::npos ? records.size() : end + kLineEndLength);
    }
}

}  // namespace

PollTime TakePollTime()
{
    PollTime time{};
    time.at = LocalTimeNow();
    FormatText(time.text, "%d:%d:%d", time.at.wHour, time.at.wMinute, time.at.wSecond);
    return time;
}

void FormatCsvRecord(const char* time, const char* kind, const wchar_t* user, const wchar_t* target,
                     std::span<char> record)
{
    FormatText(record, "\"%s\", \"%s\", \"%ws\", \"%ws\"", time, kind, WideOrEmpty(user), WideOrEmpty(target));
    ReplaceControlCharacters(record);
}

void AddConnectionEvent(const ServerWatch& watch, const SESSION_INFO_1& session, const PollTime& time)
{
    const Settings& settings = appState.settings;
    std::array<char, kFormatCapacity> line{};
    std::array<char, kFormatCapacity> record{};
    FormatConnectionLine(session, time.text.data(), line);
    FormatCsvRecord(time.text.data(), "CONNECT", IsGuestSession(session) ? kGuestUser : session.sesi1_username,
                    session.sesi1_cname, record);
    const std::string_view lineText(line.data());
    MakeRoom(watch, time, lineText.size(), strlen(record.data()));
    ActivityBatch& batch = *watch.batch;
    Append(batch.csv, batch.csvLength, record.data());  // whatever savesess says
    AddLine(watch, lineText, settings.savesess != 0, settings.displaysess != 0);
    batch.events = 1;
}

void AddFileOpenEvent(const ServerWatch& watch, const FILE_INFO_3& file, const PollTime& time)
{
    const Settings& settings = appState.settings;
    std::array<char, kFormatCapacity> line{};
    std::array<char, kFormatCapacity> record{};
    FormatFileOpenLine(file, time.text.data(), line);
    if (settings.savefiles) {
        std::array<char, 32> mode{};
        FormatOpenMode(file.fi3_permissions, mode);
        FormatCsvRecord(time.text.data(), mode.data(), file.fi3_username, file.fi3_pathname, record);
    }
    const std::string_view lineText(line.data());
    MakeRoom(watch, time, lineText.size(), strlen(record.data()));
    ActivityBatch& batch = *watch.batch;
    if (settings.savefiles)
        Append(batch.csv, batch.csvLength, record.data());
    AddLine(watch, lineText, settings.savefiles != 0, settings.displayfiles != 0);
    batch.events = 1;
    if (!appState.mainWindowShown && settings.soundalert && settings.soundalertevents == 0)
        batch.sound = 1;
}

void AddTripwireEvent(const ServerWatch& watch, const wchar_t* user, const char* detail, const PollTime& time)
{
    std::array<char, kFormatCapacity> line{};
    std::array<char, kFormatCapacity> record{};
    FormatText(line, "[%s] Tripwire [%ws]%s", time.text.data(), WideOrEmpty(user), detail);
    ReplaceControlCharacters(line);
    FormatText(record, "\"%s\", \"TRIPWIRE\", \"%ws\", \"%s\"", time.text.data(), WideOrEmpty(user), detail);
    ReplaceControlCharacters(record);
    const std::string_view lineText(line.data());
    MakeRoom(watch, time, lineText.size(), strlen(record.data()));
    ActivityBatch& batch = *watch.batch;
    Append(batch.csv, batch.csvLength, record.data());
    AddLine(watch, lineText, true, true);
    batch.events = 1;
    if (appState.settings.soundalert)
        batch.sound = 1;
}

void DeliverActivity()
{
    DeliverActivity(LocalWatch());
}

void DeliverActivity(const ServerWatch& watch)
{
    ActivityBatch& batch = *watch.batch;
    const Settings& settings = appState.settings;
    const std::string_view text(batch.text.data(), batch.textLength);
    const std::string_view records(batch.csv.data(), batch.csvLength);
    if (!text.empty()) {
        AppendToLogPage(watch.tag ? std::string_view(batch.page.data(), batch.pageLength) : text);
        if (settings.savelogs)
            WriteTextLogLines(*watch.logs, text, batch.found);
    }
    if (!records.empty()) {
        if (settings.savelogs && !watch.tag)
            AppendRecordsToRunCsvBuffer(records);
        if (settings.savecsvlogs)
            WriteCsvLogRecords(*watch.logs, records, batch.found);
    }
    if (batch.events)
        appState.unseenActivity = 1;
    if (batch.sound)
        SignalSoundAlert();
    if (batch.notify.added || appState.notifyHandoff.waiting.added)
        PostNotifyLines(batch.notify);
    batch.textLength = 0;
    batch.csvLength = 0;
    batch.pageLength = 0;
    batch.events = 0;
    batch.sound = 0;
}
