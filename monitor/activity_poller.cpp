#include "monitor/activity_poller.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "blocking/computer_list.h"
#include "blocking/tripwires.h"
#include "blocking/black_list_page.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/text.h"
#include "monitor/activity_delivery.h"
#include "monitor/event_log.h"
#include "monitor/remote_servers.h"
#include "monitor/server_choice.h"
#include "monitor/monitoring_page.h"
#include "monitor/server_api.h"
#include "monitor/session_memory.h"
#include "notify/notify_window.h"
#include "notify/sound_alert.h"

namespace {

constexpr int kPollsPerSecond = 5;
// Work a poll hands out in one go before it lets the rest of the program run.
constexpr ULONGLONG kDeliverySliceMs = 25;
constexpr UINT kDeliveryContinueMs = 10;
constexpr std::size_t kEventsBetweenClockReads = 32;


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

// Moves the scan's new files to the front of its records, in enumeration order, and
// returns how many there are: each is a file-open event. `fresh` tells whether they
// were opened since the last scan that answered, rather than found by the first scan
// or found again after the server's ids started again.
std::size_t TakeNewFiles(const ServerWatch& watch, std::span<FILE_INFO_3> records, NET_API_STATUS status,
                         bool* fresh)
{
    FileScanMemory& memory = *watch.files;
    const bool answered = status == NERR_Success || status == ERROR_MORE_DATA;
    const bool fits = answered && CollectFileIds(records, memory);
    const std::span<const uint32_t> previous(memory.ids.data(), memory.count);
    const std::span<const uint32_t> current(memory.scratch.data(), fits ? records.size() : 0);

    const uint32_t reported = *watch.highestReportedFileId;
    uint32_t highest = reported;
    std::size_t taken = 0;
    *fresh = memory.answered != 0;
    if (fits && memory.complete && IdsStartedAgain(previous, current, reported)) {
        *fresh = false;
        // Everything the last scan did not hold is new, and the count goes on from here.
        highest = 0;
        for (const FILE_INFO_3& file : records) {
            highest = std::max<uint32_t>(highest, file.fi3_id);
            if (!std::binary_search(previous.begin(), previous.end(), file.fi3_id))
                records[taken++] = file;
        }
    } else {
        for (const FILE_INFO_3& file : records) {
            if (file.fi3_id <= reported)
                continue;
            highest = std::max<uint32_t>(highest, file.fi3_id);
            records[taken++] = file;
        }
    }
    *watch.highestReportedFileId = highest;

    if (answered) {  // else nothing learnt: keep comparing against the last scan that answered
        memory.answered = 1;
        memory.complete = fits && status == NERR_Success;
        memory.count = fits ? records.size() : 0;
        std::copy_n(memory.scratch.begin(), memory.count, memory.ids.begin());
    }
    return taken;
}

// Delivers a watch's pending file-open events, for one slice of time at most.
void DeliverPendingFileEvents(const ServerWatch& watch)
{
    PendingFileEvents& pending = *watch.pending;
    if (!pending.records)
        return;
    const ULONGLONG deadline = MillisecondsNow() + kDeliverySliceMs;
    while (pending.next < pending.count) {
        AddFileOpenEvent(watch, pending.records[pending.next], pending.time);
        for (; pending.nextTrip < pending.tripCount && pending.trips[pending.nextTrip].after == pending.next;
             ++pending.nextTrip) {
            const TripReport& report = pending.trips[pending.nextTrip].report;
            AddTripwireEvent(watch, report.user.data(), report.detail.data(), pending.time);
        }
        ++pending.next;
        if (pending.next % kEventsBetweenClockReads == 0 && MillisecondsNow() >= deadline)
            break;
    }
    DeliverActivity(watch);
    if (pending.next < pending.count)
        return;
    ReleaseServerBuffer(pending.records);
    pending.records = nullptr;
}

// Every watch: this computer and each server on the network being watched.
template <typename Visit>
void ForEachWatch(Visit visit)
{
    visit(LocalWatch());
    for (int32_t index = 0; index < kMaxRemoteServers; ++index) {
        ServerWatch watch{};
        if (RemoteWatchFor(index, &watch))
            visit(watch);
    }
}

void CALLBACK OnDeliveryTick(HWND, UINT, UINT_PTR, DWORD);

// A delivery longer than a slice goes on in short timer calls, blocking enforced between them.
void ContinueDeliveryLater()
{
    bool left = false;
    ForEachWatch([&left](const ServerWatch& watch) { left = left || IsDelivering(watch); });
    if (left && !appState.deliveryTimer)
        appState.deliveryTimer = SetTimer(nullptr, 0, kDeliveryContinueMs, OnDeliveryTick);
    else if (!left && appState.deliveryTimer) {
        KillTimer(nullptr, appState.deliveryTimer);
        appState.deliveryTimer = 0;
    }
}

void CALLBACK OnDeliveryTick(HWND, UINT, UINT_PTR, DWORD)
{
    EnforceBlocksIfDue();
    ContinueDelivery();
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

ServerWatch LocalWatch()
{
    return {-1,
            nullptr,
            nullptr,
            &appState.activityBatch,
            &appState.logs,
            &appState.sessionMemory,
            &appState.fileMemory,
            &appState.highestReportedFileId,
            &appState.pendingFileEvents};
}

void ScanSessionsOf(const ServerWatch& watch, NET_API_STATUS status, std::span<const SESSION_INFO_1> sessions,
                    ULONGLONG scanStart, ULONGLONG scanEnd, const PollTime& time)
{
    if (status != NERR_Success && status != ERROR_MORE_DATA)
        return;  // nothing learnt: keep comparing against the last scan that answered
    SessionScanMemory& memory = *watch.sessions;
    BeginSessionScan(memory, scanStart, scanEnd);
    for (const SESSION_INFO_1& session : sessions) {
        if (SightSession(memory, session))
            AddConnectionEvent(watch, session, time);
    }
    EndSessionScan(memory, status == NERR_Success);
}

bool ScanOpenFilesOf(const ServerWatch& watch, NET_API_STATUS status, std::span<FILE_INFO_3> records,
                     const PollTime& time)
{
    PendingFileEvents& pending = *watch.pending;
    bool fresh = false;
    const std::size_t taken = TakeNewFiles(watch, records, status, &fresh);
    if (taken == 0)
        return false;
    // Tripwires are checked, and computers cut off, at once; only the lines wait for
    // their turn, each trip's right after the line of the open that tripped it.
    pending.tripCount = 0;
    pending.nextTrip = 0;
    TripReport report{};
    for (std::size_t i = 0; i < taken; ++i) {
        if (!CheckTripwires(watch, records[i], fresh, &report))
            continue;
        if (pending.tripCount < pending.trips.size())
            pending.trips[pending.tripCount++] = {i, report};
        else
            AddTripwireEvent(watch, report.user.data(), report.detail.data(), time);
    }
    pending.count = taken;
    pending.next = 0;
    pending.time = time;
    pending.records = records.data();
    return true;
}

bool IsDelivering(const ServerWatch& watch)
{
    return watch.pending->records != nullptr;
}

void ContinueDelivery()
{
    ForEachWatch([](const ServerWatch& watch) { DeliverPendingFileEvents(watch); });
    ContinueDeliveryLater();
}

void FinishDelivery()
{
    ForEachWatch([](const ServerWatch& watch) {
        while (IsDelivering(watch))
            DeliverPendingFileEvents(watch);
        DeliverActivity(watch);
        WriteLogBacklogs(*watch.logs);
    });
}

void StartActivityPoller()
{
    appState.pollTickCount = 0;
    appState.highestReportedFileId = 0;
    StartSessionMemory(appState.sessionMemory, MillisecondsNow());
    appState.fileMemory.count = 0;
    appState.fileMemory.complete = 0;
    appState.fileMemory.answered = 0;
}

void CALLBACK OnPollTick(HWND, UINT, UINT_PTR, DWORD)
{
    bool secondTick = false;
    if (++appState.pollTickCount >= kPollsPerSecond) {
        appState.pollTickCount = 0;
        secondTick = true;
    }
    const PollTime time = TakePollTime();
    const ServerWatch local = LocalWatch();
    // While the events of an earlier scan are still being delivered, no new scan is made.
    const bool delivering = IsDelivering(local);
    Enumeration<SESSION_INFO_1> sessions;
    Enumeration<FILE_INFO_3> files;
    if (secondTick) {
        const ULONGLONG scanStart = MillisecondsNow();
        EnumerateSessions1(&sessions);
        ScanSessionsOf(local, sessions.status, sessions.Records(), scanStart, MillisecondsNow(), time);
    }
    if (!delivering)
        EnumerateOpenFiles(&files);
    if (secondTick) {
        // The pages are refreshed from the poll's own enumerations.
        RefreshBlackListView(ActiveComputerList());
        RefreshTrippedView();
        UpdateServerChoicesIfChanged();
        if (appState.autoRefresh && appState.shownServer == 0) {
            if (delivering)
                RefreshOpenFiles();
            else
                RefreshOpenFilesWith(files.Records());
            RefreshSessionsWith(sessions.status, sessions.Records());
        }
        ForEachWatch([](const ServerWatch& watch) { WriteLogBacklogs(*watch.logs); });
    }
    if (!delivering && ScanOpenFilesOf(local, files.status, files.Records(), time))
        files.Detach();  // the watch keeps the records until their events are delivered
    DeliverPendingFileEvents(local);
    ScanSharesForSoundAlert();
    DeliverActivity(local);
    ContinueDeliveryLater();
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

void FormatConnectionLine(const SESSION_INFO_1& session, const char* time, std::span<char> line)
{
    if (IsGuestSession(session))
        FormatText(line, "[%s] User Guest connected from %ws", time, WideOrEmpty(session.sesi1_cname));
    else
        FormatText(line, "[%s] User %ws connected from %ws", time, WideOrEmpty(session.sesi1_username),
                   WideOrEmpty(session.sesi1_cname));
    ReplaceControlCharacters(line);
}

void FormatFileOpenLine(const FILE_INFO_3& file, const char* time, std::span<char> line)
{
    std::array<char, 32> mode{};
    FormatOpenMode(file.fi3_permissions, mode);
    FormatText(line, "[%s] [%ws][%s] %ws", time, WideOrEmpty(file.fi3_username), mode.data(),
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
