#include "windows/engine_rounds.h"

#include <span>

#include "core/clock.h"
#include "engine/watch/blocking.h"
#include "engine/watch/detection.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarding_control.h"
#include "engine/watch/news.h"
#include "engine/watch/poll.h"
#include "engine/watch/server_readings.h"
#include "engine/watch/server_workers.h"
#include "resources/resource.h"
#include "rules/block_rules.h"
#include "windows/black_list_page.h"
#include "windows/log_page.h"
#include "windows/monitoring_page.h"
#include "windows/notify_window.h"
#include "windows/server_choice.h"
#include "windows/service_client.h"
#include "windows/shares_page.h"
#include "windows/sound_alert.h"
#include "windows/tray_icon.h"
#include "windows/window_state.h"

namespace {

constexpr UINT kBlinkPeriodMs = 1000;
constexpr UINT kDeliveryContinueMs = 10;
// Another server's sessions come every 100 ms; its list follows them once a second.
constexpr ULONGLONG kListRefreshMs = 1000;

void CALLBACK OnDeliveryTick(HWND, UINT, UINT_PTR, DWORD)
{
    EnforceBlocksIfDue();
    ContinueDelivery();
    AfterEngineStep();
}

// A delivery longer than a slice goes on in short timer calls, blocking enforced between them.
void ContinueDeliveryLater()
{
    const bool left = AnyWatchDelivering();
    if (left && !windowState.deliveryTimer)
        windowState.deliveryTimer = SetTimer(nullptr, 0, kDeliveryContinueMs, OnDeliveryTick);
    else if (!left && windowState.deliveryTimer) {
        KillTimer(nullptr, windowState.deliveryTimer);
        windowState.deliveryTimer = 0;
    }
}

// The pages, once a second, from the poll's own enumerations.
void RefreshPagesEachSecond(const PollRound& round)
{
    RefreshBlackListView(ActiveComputerList(engineState.rules));
    RefreshTrippedView();
    UpdateServerChoicesIfChanged();
    if (windowState.autoRefresh && windowState.shownServer == kThisComputer) {
        if (round.delivering)
            RefreshOpenFiles();
        else
            RefreshOpenFilesWith(round.files.Records());
        RefreshSessionsWith(round.sessions.status, round.sessions.Records());
    }
}

// Hidden shares in use sound, when the sound alert's filter asks for them.
void SoundForSharesInUse()
{
    const Settings& settings = engineState.settings;
    if (!windowState.mainWindowShown && settings.soundalert && settings.soundalertevents != 0 &&
        AnyShareSoundsAlert(settings.soundalertevents))
        SignalSoundAlert();
}

bool ShownInNotifyWindow(AlertKind kind)
{
    const Settings& settings = engineState.settings;
    return kind == TripAlert || (kind == ConnectionAlert && settings.displaysess) ||
           (kind == FileOpenAlert && settings.displayfiles);
}

// The engine's news: the tray's activity, the sound, and the notify window's lines
// while the main window is hidden.
void ShowEngineNews()
{
    EngineNews& news = engineState.news;
    const Settings& settings = engineState.settings;
    const bool hidden = !windowState.mainWindowShown;
    static NotifyLines lines;
    lines.added = 0;
    if (hidden)
        ForEachNewestAlert(news, ShownInNotifyWindow, [](const char* line) { AddToNotifyLines(lines, line); });
    if (lines.added || windowState.notifyHandoff.waiting.added)
        PostNotifyLines(lines);
    if (!HasNews(news))
        return;
    if (news.activity)
        windowState.unseenActivity = 1;
    // A trip is an alarm: it sounds whatever the filter, and while the window is shown.
    if ((news.fileOpens && hidden && settings.soundalert && settings.soundalertevents == 0) ||
        (news.trips && settings.soundalert))
        SignalSoundAlert();
    ClearNews(news);
}

void ShowServerSessions(const ServerReading& reading)
{
    const ULONGLONG now = MillisecondsNow();
    ULONGLONG& last = windowState.lastListRefresh[static_cast<std::size_t>(reading.server - 1)];
    if (windowState.shownServer == reading.server && windowState.autoRefresh && Answered(reading) &&
        now - last >= kListRefreshMs) {
        last = now;
        std::span<const SESSION_INFO_1> sessions;
        if (LatestSessions(reading.server, &sessions))
            RefreshSessionsWith(NERR_Success, sessions);
    }
}

}  // namespace

void CALLBACK OnPollTick(HWND, UINT, UINT_PTR, DWORD)
{
    PollRound round;
    BeginPollRound(round);
    if (round.secondTick)
        RefreshPagesEachSecond(round);
    FinishPollRound(round);
    SoundForSharesInUse();
    AfterEngineStep();
}

void CALLBACK OnBlockTick(HWND, UINT, UINT_PTR, DWORD)
{
    RunBlockRound();
}

void StartRoundTimers()
{
    StartPoll();
    windowState.pollTimer = SetTimer(nullptr, 0, kPollPeriodMs, OnPollTick);
    windowState.blockTimer = SetTimer(nullptr, 0, kBlockTickMs, OnBlockTick);
    windowState.unseenActivity = 0;
    windowState.blinkPhase = 0;
    windowState.blinkTimer = SetTimer(nullptr, 0, kBlinkPeriodMs, OnBlinkTick);
}

void StartServiceTimers()
{
    windowState.unseenActivity = 0;
    windowState.blinkPhase = 0;
    windowState.blinkTimer = SetTimer(nullptr, 0, kBlinkPeriodMs, OnBlinkTick);
}

void OnServerReply(ServerId server, uintptr_t word)
{
    ServerReading reading{};
    if (!OpenServerReply(server, word, &reading))
        return;
    switch (reading.kind) {
    case SessionsReply:
        TakeServerSessions(reading);
        ShowServerSessions(reading);
        break;
    case FilesReply:
        // The list reads the reading before the scan moves its new files to the front.
        if (Answered(reading) && windowState.shownServer == server && windowState.autoRefresh)
            RefreshOpenFilesWith(RecordsOf<const FILE_INFO_3>(reading));
        TakeServerFiles(reading);
        break;
    case SharesReply:
        if (windowState.shownSharesServer == server)
            ShowShares(RecordsOf<const SHARE_INFO_502>(reading));
        break;
    }
    CloseServerReply(reading);
    AfterEngineStep();
}

bool PostServerReply(ServerId server, uintptr_t word)
{
    return PostMessageA(windowState.mainWindow, WM_SERVER_REPLY, static_cast<WPARAM>(server),
                        static_cast<LPARAM>(word)) != FALSE;
}

void AfterEngineStep()
{
    if (!windowState.serviceMode)  // else the service forwards, and its lines come through the pipe
        AfterForwardingStep();
    SyncLogPageView();
    ShowEngineNews();
    ContinueDeliveryLater();
}

namespace {

// A whole reading: the lists of the place shown follow it, as they follow a poll.
void ShowServiceReading(const ReadingAssembler& reading)
{
    const WireReadingBegin& begin = reading.begin;
    if (begin.kind == SharesReply) {
        if (windowState.shownSharesServer == begin.server)
            ShowShares(AssembledShares(reading));
        return;
    }
    if (windowState.shownServer != begin.server || !windowState.autoRefresh)
        return;
    if (begin.kind == SessionsReply)
        RefreshSessionsWith(begin.status, AssembledSessions(reading));
    else
        RefreshOpenFilesWith(AssembledFiles(reading));
}

}  // namespace

ServiceFrameChange OnServiceFrame(WPARAM slot)
{
    const ServiceFrameChange change = TakeServiceFrame(slot);
    if (!change.taken)
        return change;
    if (change.rules) {
        RefreshBlackListView(ActiveComputerList(engineState.rules));
        RefreshTrippedView();
        ShowBlockModeRadios();
    }
    if (change.servers)
        UpdateServerChoicesIfChanged();
    if (change.reading)
        ShowServiceReading(*change.reading);
    AfterEngineStep();
    return change;
}
