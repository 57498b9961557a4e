#include "engine/watch/poll.h"

#include <string_view>

#include "core/clock.h"
#include "core/text.h"
#include "engine/watch/delivery.h"
#include "engine/watch/detection.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/trips.h"
#include "engine/watch/watches.h"

void StartPoll()
{
    engineState.pollTickCount = 0;
    StartDetection(engineState.local);
}

void BeginPollRound(PollRound& round)
{
    round.secondTick = false;
    if (++engineState.pollTickCount >= kPollsPerSecond) {
        engineState.pollTickCount = 0;
        round.secondTick = true;
    }
    round.time = TakePollTime();
    const ServerWatch local = LocalWatch();
    round.delivering = IsDelivering(local);
    if (round.secondTick) {
        const ULONGLONG scanStart = MillisecondsNow();
        EnumerateSessions1(&round.sessions);
        ScanSessionsOf(local, round.sessions.status, round.sessions.Records(), scanStart, MillisecondsNow(),
                       round.time);
    }
    if (!round.delivering)
        EnumerateOpenFiles(&round.files);
}

void FinishPollRound(PollRound& round)
{
    const ServerWatch local = LocalWatch();
    if (round.secondTick) {
        ForEachWatch([](const ServerWatch& watch) { WriteLogBacklogs(watch.memory->logs); });
        NoteDeniedShares();
    }
    if (!round.delivering && ScanOpenFilesOf(local, round.files.status, round.files.Records(), round.time))
        round.files.Detach();  // the watch keeps the records until their events are delivered
    DeliverPendingFileEvents(local);
    DeliverActivity(local);
}

bool ShareSoundsAlert(const SHARE_INFO_502& share, int events)
{
    const std::wstring_view name = WideOrEmpty(share.shi502_netname);
    if (name == L"IPC$" || share.shi502_current_uses == 0 || name.empty() || name.back() != L'$')
        return false;
    return (events == 1 && name.size() == 2) || events == 2;
}

bool AnyShareSoundsAlert(int events)
{
    Enumeration<SHARE_INFO_502> shares;
    EnumerateShares(&shares);
    for (const SHARE_INFO_502& share : shares.Records())
        if (ShareSoundsAlert(share, events))
            return true;
    return false;
}
