// The engine's own loop, for a process with no window (the service): on one thread it
// does what the program's main window does through its timers and messages. The 200 ms
// poll, the 100 ms block round, a burst's delivery continued every 10 ms with blocking
// enforced between its slices, and the replies of the servers' workers, all from one
// wait on the stop event, the replies' event and the owner's inbound work.
//
// Whoever owns the host (the service, and through it the pipe to the window) is told
// after every step, and reads what the step found in engineState: the news, the Log
// page's text and its changes, the run's records. Times come through core/clock.h, so
// that a test runs the steps on its own thread against its own clock.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

#include "engine/watch/remote_server.h"
#include "engine/watch/server_watch.h"

constexpr DWORD kDeliveryContinueMs = 10;

enum EngineStep : int32_t { PollStep = 0, BlockStep = 1, DeliveryStep = 2, ServerReplyStep = 3, InboundStep = 4 };

// A table a step read, shown before the engine takes it (the file scan then moves a
// reading's new files to its front, and keeps or frees its records). Valid during the
// call only.
struct EngineReading {
    ServerId server;  // kThisComputer for the poll's own
    ReplyKind kind;
    NET_API_STATUS status;
    const void* records;
    DWORD count;
};
template <typename Record>
std::span<const Record> RecordsOf(const EngineReading& reading)
{
    return {static_cast<const Record*>(reading.records), reading.records ? reading.count : 0};
}

// What the owner plugs in; every call comes on the engine's thread. A null function
// is not called.
struct EngineHostHook {
    // After every step: publish what it found, then take the news (ClearNews) and mark
    // the Log page's text shown (MarkLogTextShown), so that neither grows.
    void (*afterStep)(EngineStep step);
    // Each table the poll or a server's worker read, before the engine takes it.
    void (*reading)(const EngineReading& reading);
    // Inbound work: an auto-reset event the owner signals from any thread, and what
    // the engine's thread then does; afterStep(InboundStep) follows. nullptr: none.
    HANDLE inboundEvent;
    void (*takeInbound)();
};

// Readies the host before any server's worker runs: its events (made once for the
// process), the reply notice in engineState, and the rounds' times counted from now.
// False when its events cannot be made.
bool StartEngineHost(const EngineHostHook& hook);
// Takes the replies posted so far and runs every round due now; returns the
// milliseconds until the next is due.
DWORD RunDueEngineSteps();
// One turn of the loop: waits for the next round's time, a reply, inbound work or
// the stop, then does what came. False once the host is stopped.
bool RunEngineHostTurn();
// Turns until stopped.
void RunEngineHost();
// From any thread: the loop ends after the step it is in.
void StopEngineHost();
// The reply notice taken away; replies still posted are given back when they come.
void CloseEngineHost();

// Each place's queue of reply words; the notice refuses one more, and its worker
// gives that reply back.
constexpr std::size_t kQueuedRepliesPerServer = 2 * kRepliesPerServer;
