#include "engine/rounds/engine_host.h"

#include <algorithm>
#include <array>

#include "core/clock.h"
#include "core/handoff.h"
#include "engine/watch/blocking.h"
#include "engine/watch/detection.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/poll.h"
#include "engine/watch/server_readings.h"

namespace {

// A worker is one producer per place, the engine's thread the one consumer: a ring
// each. It holds more words than the place has slots, since a place used again may
// still have words of its earlier use queued.
using ReplyQueue = RequestRing<uintptr_t, kQueuedRepliesPerServer>;

struct EngineHost {
    EngineHostHook hook;
    HANDLE stopEvent;   // manual reset: once stopped, every later turn sees it
    HANDLE replyEvent;  // auto reset: a worker queued a reply
    ULONGLONG nextPoll;
    ULONGLONG nextBlock;
    ULONGLONG nextDelivery;  // 0: no delivery going on
    std::array<ReplyQueue, kMaxRemoteServers> replies;
};

EngineHost host;

// On a worker's thread.
bool QueueServerReply(ServerId server, uintptr_t word)
{
    if (server < 1 || server > kMaxRemoteServers)
        return false;
    ReplyQueue& queue = host.replies[static_cast<std::size_t>(server - 1)];
    uintptr_t* place = NextRequestPlace(queue);
    if (!place)
        return false;
    *place = word;
    PutRequest(queue);
    SetEvent(host.replyEvent);
    return true;
}

// A round's next time: one period on, or a period from now when the thread came so
// late that it missed one (the block round counts the ticks that passed by itself).
ULONGLONG NextTime(ULONGLONG due, ULONGLONG period, ULONGLONG now)
{
    const ULONGLONG next = due + period;
    return next > now ? next : now + period;
}

// A delivery left unfinished goes on shortly; none left, none scheduled.
void AfterStep(EngineStep step)
{
    if (host.hook.afterStep)
        host.hook.afterStep(step);
    if (!AnyWatchDelivering())
        host.nextDelivery = 0;
    else if (host.nextDelivery == 0)
        host.nextDelivery = MillisecondsNow() + kDeliveryContinueMs;
}

void ShowReading(ServerId server, ReplyKind kind, NET_API_STATUS status, const void* records, DWORD count)
{
    if (host.hook.reading)
        host.hook.reading({server, kind, status, records, count});
}

// The poll's enumerations are shown before the file scan reorders and keeps them.
void RunPollStep()
{
    PollRound round;
    BeginPollRound(round);
    if (round.secondTick)
        ShowReading(kThisComputer, SessionsReply, round.sessions.status, round.sessions.buffer,
                    static_cast<DWORD>(round.sessions.Records().size()));
    if (!round.delivering)
        ShowReading(kThisComputer, FilesReply, round.files.status, round.files.buffer,
                    static_cast<DWORD>(round.files.Records().size()));
    FinishPollRound(round);
    AfterStep(PollStep);
}

void RunBlockStep()
{
    RunBlockRound();
    AfterStep(BlockStep);
}

void RunDeliveryStep()
{
    host.nextDelivery = 0;
    EnforceBlocksIfDue();
    ContinueDelivery();
    AfterStep(DeliveryStep);
}

void TakeServerReply(ServerId server, uintptr_t word)
{
    ServerReading reading{};
    if (!OpenServerReply(server, word, &reading))
        return;
    ShowReading(server, reading.kind, reading.status, reading.buffer, reading.count);
    switch (reading.kind) {
    case SessionsReply: TakeServerSessions(reading); break;
    case FilesReply: TakeServerFiles(reading); break;
    case SharesReply: break;  // only shown
    }
    CloseServerReply(reading);
    AfterStep(ServerReplyStep);
}

// Each place's replies in the order its worker posted them.
template <typename Take>
void ForEachQueuedReply(Take take)
{
    for (ServerId server = 1; server <= kMaxRemoteServers; ++server) {
        ReplyQueue& queue = host.replies[static_cast<std::size_t>(server - 1)];
        while (const uintptr_t* queued = OldestRequest(queue)) {
            const uintptr_t word = *queued;
            DropOldestRequest(queue);
            take(server, word);
        }
    }
}

}  // namespace

bool StartEngineHost(const EngineHostHook& hook)
{
    // Made once and never closed: a worker that read the notice just before it was
    // taken away may still signal the replies' event.
    if (!host.stopEvent)
        host.stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!host.replyEvent)
        host.replyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!host.stopEvent || !host.replyEvent)
        return false;
    ResetEvent(host.stopEvent);
    ResetEvent(host.replyEvent);
    host.hook = hook;
    for (ReplyQueue& queue : host.replies) {
        queue.head.store(0);
        queue.tail.store(0);
    }
    const ULONGLONG now = MillisecondsNow();
    host.nextPoll = now + kPollPeriodMs;
    host.nextBlock = now + kBlockTickMs;
    host.nextDelivery = 0;
    engineState.replyNotice = QueueServerReply;
    return true;
}

DWORD RunDueEngineSteps()
{
    ForEachQueuedReply(TakeServerReply);
    // Blocking first: it is the first duty.
    ULONGLONG now = MillisecondsNow();
    if (now >= host.nextBlock) {
        RunBlockStep();
        host.nextBlock = NextTime(host.nextBlock, kBlockTickMs, now);
    }
    now = MillisecondsNow();
    if (now >= host.nextPoll) {
        RunPollStep();
        host.nextPoll = NextTime(host.nextPoll, kPollPeriodMs, now);
    }
    if (host.nextDelivery != 0 && MillisecondsNow() >= host.nextDelivery)
        RunDeliveryStep();
    now = MillisecondsNow();
    ULONGLONG next = std::min(host.nextBlock, host.nextPoll);
    if (host.nextDelivery != 0)
        next = std::min(next, host.nextDelivery);
    return next > now ? static_cast<DWORD>(std::min<ULONGLONG>(next - now, kPollPeriodMs)) : 0;
}

bool RunEngineHostTurn()
{
    const DWORD wait = RunDueEngineSteps();
    // The stop first; a reply needs no more than the wake, since every turn takes them.
    std::array<HANDLE, 3> events = {host.stopEvent, host.replyEvent, nullptr};
    DWORD count = 2;
    if (host.hook.inboundEvent)
        events[count++] = host.hook.inboundEvent;
    DWORD woken = WaitForMultipleObjects(count, events.data(), FALSE, wait);
    if (woken == WAIT_FAILED)  // the owner's event is no event: the loop goes on without its work
        woken = WaitForMultipleObjects(2, events.data(), FALSE, wait);
    if (woken == WAIT_OBJECT_0)
        return false;
    if (count == 3 && woken == WAIT_OBJECT_0 + 2 && host.hook.takeInbound) {
        host.hook.takeInbound();
        AfterStep(InboundStep);
    }
    return WaitForSingleObject(host.stopEvent, 0) != WAIT_OBJECT_0;
}

void RunEngineHost()
{
    while (RunEngineHostTurn()) {
    }
}

void StopEngineHost()
{
    if (host.stopEvent)
        SetEvent(host.stopEvent);
}

void CloseEngineHost()
{
    if (engineState.replyNotice == QueueServerReply)
        engineState.replyNotice = nullptr;
    // Replies already queued are given back, their buffers released.
    ForEachQueuedReply([](ServerId server, uintptr_t word) {
        ServerReading reading{};
        if (OpenServerReply(server, word, &reading))
            CloseServerReply(reading);
    });
    host.hook = {};
}
