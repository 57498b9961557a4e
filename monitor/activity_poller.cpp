#include "monitor/activity_poller.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "blocking/computer_list.h"
#include "blocking/black_list_page.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/text.h"
#include "core/time_text.h"
#include "monitor/event_log.h"
#include "monitor/monitoring_page.h"
#include "monitor/server_api.h"
#include "monitor/session_memory.h"
#include "notify/notify_window.h"
#include "notify/sound_alert.h"

namespace {

constexpr int kTicksPerSecond = 5;
constexpr wchar_t kGuestUser[] = L"Guest";

void DeliverConnectionEvent(const SESSION_INFO_1& session)
{
    const Settings& settings = appState.settings;
    std::array<char, kFormatCapacity> line{};
    FormatConnectionLine(session, line);
    WriteCsvRecord("CONNECT", IsGuestSession(session) ? kGuestUser : WideOrEmpty(session.sesi1_username),
                   WideOrEmpty(session.sesi1_cname));
    if (settings.savesess)
        AppendActivityText(line.data());
    InterlockedExchange(&appState.unseenActivity, 1);
    if (settings.displaysess)
        AddNotifyLine(line.data());
    if (settings.savesess)
        AppendActivityText("\r\n");
}

void DeliverFileOpenEvent(const FILE_INFO_3& file)
{
    const Settings& settings = appState.settings;
    std::array<char, kFormatCapacity> line{};
    FormatFileOpenLine(file, line);
    if (settings.savefiles) {
        std::array<char, 32> mode{};
        FormatOpenMode(file.fi3_permissions, mode);
        AppendActivityText(line.data());
        WriteCsvRecord(mode.data(), WideOrEmpty(file.fi3_username), WideOrEmpty(file.fi3_pathname));
    }
    InterlockedExchange(&appState.unseenActivity, 1);
    if (!appState.mainWindowShown && settings.soundalert && settings.soundalertevents == 0)
        SignalSoundAlert();
    if (settings.displayfiles)
        AddNotifyLine(line.data());
    if (settings.savefiles)
        AppendActivityText("\r\n");
}

void ScanSessions()
{
    SessionScanMemory& memory = appState.sessionMemory;
    const ULONGLONG scanStart = MillisecondsNow();
    Enumeration<SESSION_INFO_1> sessions;
    EnumerateSessions1(&sessions);
    if (sessions.status != NERR_Success && sessions.status != ERROR_MORE_DATA)
        return;  // nothing learnt: keep comparing against the last scan that answered
    BeginSessionScan(memory, scanStart, MillisecondsNow());
    for (const SESSION_INFO_1& session : sessions.Records()) {
        if (SightSession(memory, session))
            DeliverConnectionEvent(session);
    }
    EndSessionScan(memory, sessions.status == NERR_Success);
}

void RefreshPagesOnceASecond()
{
    RefreshBlackListView(ActiveComputerList());
    if (appState.autoRefresh) {
        RefreshOpenFiles();
        RefreshSessions();
    }
}

// Whether `current` holds an id up to `reported` that `previous` did not. Ids only
// grow on a running server, so only one that started again gives out such an id.
bool IdsStartedAgain(std::span<const uint32_t> previous, std::span<const uint32_t> current, uint32_t reported)
{
    auto known = previous.begin();
    for (const uint32_t id : current) {
        if (id > reported)
            break;  // sorted: the rest are above it too
        while (known != previous.end() && *known < id)
            ++known;
        if (known == previous.end() || *known != id)
            return true;
    }
    return false;
}

// The scan's ids, sorted, in the scratch array; false when they do not fit.
bool CollectFileIds(std::span<const FILE_INFO_3> files, FileScanMemory& memory)
{
    if (files.size() > memory.scratch.size())
        return false;
    bool ascending = true;
    for (std::size_t k = 0; k < files.size(); ++k) {
        memory.scratch[k] = files[k].fi3_id;
        ascending = ascending && (k == 0 || memory.scratch[k - 1] <= memory.scratch[k]);
    }
    if (!ascending)
        std::sort(memory.scratch.begin(), memory.scratch.begin() + static_cast<std::ptrdiff_t>(files.size()));
    return true;
}

void ScanOpenFiles()
{
    Enumeration<FILE_INFO_3> files;
    EnumerateOpenFiles(&files);
    FileScanMemory& memory = appState.fileMemory;
    const std::span<const FILE_INFO_3> records = files.Records();
    const bool answered = files.status == NERR_Success || files.status == ERROR_MORE_DATA;
    const bool fits = answered && CollectFileIds(records, memory);
    const std::span<const uint32_t> previous(memory.ids.data(), memory.count);
    const std::span<const uint32_t> current(memory.scratch.data(), fits ? records.size() : 0);

    const uint32_t reported = appState.highestReportedFileId;
    uint32_t highest = reported;
    if (fits && memory.complete && IdsStartedAgain(previous, current, reported)) {
        // Everything the last scan did not hold is new, and the count goes on from here.
        highest = 0;
        for (const FILE_INFO_3& file : records) {
            highest = std::max<uint32_t>(highest, file.fi3_id);
            if (!std::binary_search(previous.begin(), previous.end(), file.fi3_id))
                DeliverFileOpenEvent(file);
        }
    } else {
        for (const FILE_INFO_3& file : records) {
            if (file.fi3_id <= reported)
                continue;
            highest = std::max<uint32_t>(highest, file.fi3_id);
            DeliverFileOpenEvent(file);
        }
    }
    appState.highestReportedFileId = highest;

    if (!answered)
        return;  // nothing learnt: keep comparing against the last scan that answered
    memory.complete = fits && files.status == NERR_Success;
    memory.count = fits ? records.size() : 0;
    std::copy_n(memory.scratch.begin(), memory.count, memory.ids.begin());
}

void ScanSharesForSoundAlert()
{
    const Settings& settings = appState.settings;
    if (appState.mainWindowShown || !settings.soundalert || settings.soundalertevents == 0)
        return;
    Enumeration<SHARE_INFO_502> shares;
    EnumerateShares(&shares);
    for (const SHARE_INFO_502& share : shares.Records()) {
        if (ShareSoundsAlert(share, settings.soundalertevents))
            SignalSoundAlert();
    }
}

}  // namespace

void StartActivityPoller()
{
    appState.pollTickCount = 0;
    appState.highestReportedFileId = 0;
    StartSessionMemory(appState.sessionMemory, MillisecondsNow());
    appState.fileMemory.count = 0;
    appState.fileMemory.complete = 0;
}

void CALLBACK OnPollTick(HWND, UINT, UINT_PTR, DWORD)
{
    bool secondTick = false;
    if (++appState.pollTickCount >= kTicksPerSecond) {
        appState.pollTickCount = 0;
        secondTick = true;
    }
    if (secondTick) {
        ScanSessions();
        RefreshPagesOnceASecond();
        WriteLogBacklogs();
    }
    ScanOpenFiles();
    ScanSharesForSoundAlert();
}

void FormatOpenMode(DWORD permissions, std::span<char> text)
{
    CopyText(text, "");
    if (permissions & PERM_FILE_READ)
        AppendText(text, "Read");
    if (permissions & PERM_FILE_WRITE)
        AppendText(text, "Write");
    if (permissions & PERM_FILE_CREATE)
        AppendText(text, "Create");
}

bool IsGuestSession(const SESSION_INFO_1& session)
{
    return WideOrEmpty(session.sesi1_username)[0] == L'\0' || (session.sesi1_user_flags & SESS_GUEST) != 0;
}

void FormatConnectionLine(const SESSION_INFO_1& session, std::span<char> line)
{
    std::array<char, 32> time{};
    FormatTimeOfDay(time);
    if (IsGuestSession(session))
        FormatText(line, "[%s] User Guest connected from %ws", time.data(), WideOrEmpty(session.sesi1_cname));
    else
        FormatText(line, "[%s] User %ws connected from %ws", time.data(), WideOrEmpty(session.sesi1_username),
                   WideOrEmpty(session.sesi1_cname));
    ReplaceControlCharacters(line);
}

void FormatFileOpenLine(const FILE_INFO_3& file, std::span<char> line)
{
    std::array<char, 32> time{};
    std::array<char, 32> mode{};
    FormatTimeOfDay(time);
    FormatOpenMode(file.fi3_permissions, mode);
    FormatText(line, "[%s] [%ws][%s] %ws", time.data(), WideOrEmpty(file.fi3_username), mode.data(),
               WideOrEmpty(file.fi3_pathname));
    ReplaceControlCharacters(line);
}

bool ShareSoundsAlert(const SHARE_INFO_502& share, int events)
{
    const std::wstring_view name = WideOrEmpty(share.shi502_netname);
    if (name == L"IPC$" || share.shi502_current_uses == 0 || name.empty() || name.back() != L'$')
        return false;
    return (events == 1 && name.size() == 2) || events == 2;
}
