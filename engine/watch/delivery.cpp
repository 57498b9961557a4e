#include "core/event_log.h"
#include "engine/watch/delivery.h"

#include <cstring>
#include <string_view>

#include "core/clock.h"
#include "engine/watch/day_logs.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/event_text.h"
#include "engine/watch/log_text.h"
#include "engine/watch/news.h"
#include "engine/watch/run_records.h"

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
    ActivityBatch& batch = watch.memory->batch;
    const bool empty = batch.textLength == 0 && batch.csvLength == 0 && !batch.events;
    if ((!empty && !SameDay(batch.found, time.at)) || batch.textLength + line + kLineEndLength > batch.text.size() ||
        batch.csvLength + record + kLineEndLength > batch.csv.size() ||
        batch.pageLength + line + kFormatCapacity / 4 > batch.page.size())
        DeliverActivity(watch);
    batch.found = time.at;
}

// A line for the server's own log and the Log page, and the news of it.
void AddLine(const ServerWatch& watch, std::string_view line, bool toLog, AlertKind kind)
{
    ActivityBatch& batch = watch.memory->batch;
    std::array<char, kFormatCapacity> tagged{};
    if (watch.tag)
        TagLine(watch, line, tagged);
    else
        CopyText(tagged, line);
    if (toLog) {
        Append(batch.text, batch.textLength, line);
        if (watch.tag)
            Append(batch.page, batch.pageLength, tagged.data());
    }
    batch.events = 1;
    AddAlert(engineState.news, kind, tagged.data());
    engineState.news.activity = 1;
}

void Publish(const ServerWatch& watch, EventKind kind, const PollTime& time, std::wstring_view computer,
             std::wstring_view user, std::wstring_view path, DWORD permissions, std::string_view rule,
             std::string_view line)
{
    const EventRecord record{kind, time.at, time.utc, watch.tag ? std::string_view(watch.tag) : std::string_view(),
                             computer, user, path, permissions, rule, line};
    PublishEvent(record);
}

// The run's copy takes whole records while they fit, as it took them one by one.
void AppendRecordsToRunRecords(std::string_view records)
{
    while (!records.empty()) {
        const std::size_t end = records.find(kLineEnd);
        AppendRunRecord(engineState.run, records.substr(0, end));
        records.remove_prefix(end == std::string_view::npos ? records.size() : end + kLineEndLength);
    }
}

}  // namespace

void AddConnectionEvent(const ServerWatch& watch, const SESSION_INFO_1& session, const PollTime& time)
{
    std::array<char, kFormatCapacity> line{};
    std::array<char, kFormatCapacity> record{};
    FormatConnectionLine(session, time.text.data(), line);
    FormatCsvRecord(time.text.data(), "CONNECT", IsGuestSession(session) ? kGuestUser : session.sesi1_username,
                    session.sesi1_cname, record);
    const std::string_view lineText(line.data());
    MakeRoom(watch, time, lineText.size(), strlen(record.data()));
    ActivityBatch& batch = watch.memory->batch;
    Append(batch.csv, batch.csvLength, record.data());  // whatever savesess says
    AddLine(watch, lineText, engineState.settings.savesess != 0, ConnectionAlert);
    Publish(watch, EventKind::Connection, time, WideOrEmpty(session.sesi1_cname),
            IsGuestSession(session) ? kGuestUser : WideOrEmpty(session.sesi1_username), {}, 0, {}, lineText);
}

void AddFileOpenEvent(const ServerWatch& watch, const FILE_INFO_3& file, const PollTime& time)
{
    const bool saved = engineState.settings.savefiles != 0;
    std::array<char, kFormatCapacity> line{};
    std::array<char, kFormatCapacity> record{};
    FormatFileOpenLine(file, time.text.data(), line);
    if (saved) {
        std::array<char, 32> mode{};
        FormatOpenMode(file.fi3_permissions, mode);
        FormatCsvRecord(time.text.data(), mode.data(), file.fi3_username, file.fi3_pathname, record);
    }
    const std::string_view lineText(line.data());
    MakeRoom(watch, time, lineText.size(), strlen(record.data()));
    ActivityBatch& batch = watch.memory->batch;
    if (saved)
        Append(batch.csv, batch.csvLength, record.data());
    AddLine(watch, lineText, saved, FileOpenAlert);
    engineState.news.fileOpens = 1;
    Publish(watch, EventKind::FileOpen, time, {}, WideOrEmpty(file.fi3_username), WideOrEmpty(file.fi3_pathname),
            file.fi3_permissions, {}, lineText);
}

void AddTripwireEvent(const ServerWatch& watch, const wchar_t* user, const char* detail, const PollTime& time)
{
    std::array<char, kFormatCapacity> line{};
    std::array<char, kFormatCapacity> record{};
    std::array<wchar_t, kFormatCapacity> wideDetail{};
    FormatTripwireLine(user, detail, time.text.data(), line);
    WideFromAnsi(wideDetail, detail);
    FormatCsvRecord(time.text.data(), "TRIPWIRE", user, wideDetail.data(), record);
    const std::string_view lineText(line.data());
    MakeRoom(watch, time, lineText.size(), strlen(record.data()));
    ActivityBatch& batch = watch.memory->batch;
    Append(batch.csv, batch.csvLength, record.data());
    AddLine(watch, lineText, true, TripAlert);
    engineState.news.trips = 1;
    Publish(watch, EventKind::Tripwire, time, {}, WideOrEmpty(user), {}, 0, detail, lineText);
    ReportProductEvent(QUORVEL_EVENT_TRIP, {line.data()});
}

void DeliverActivity(const ServerWatch& watch)
{
    ActivityBatch& batch = watch.memory->batch;
    const Settings& settings = engineState.settings;
    const std::string_view text(batch.text.data(), batch.textLength);
    const std::string_view records(batch.csv.data(), batch.csvLength);
    if (!text.empty()) {
        AppendLogText(engineState.logText, watch.tag ? std::string_view(batch.page.data(), batch.pageLength) : text);
        if (settings.savelogs)
            WriteTextLogLines(watch.memory->logs, text, batch.found);
    }
    if (!records.empty()) {
        if (settings.savelogs && !watch.tag)
            AppendRecordsToRunRecords(records);
        if (settings.savecsvlogs)
            WriteCsvLogRecords(watch.memory->logs, records, batch.found);
    }
    batch.textLength = 0;
    batch.csvLength = 0;
    batch.pageLength = 0;
    batch.events = 0;
}
