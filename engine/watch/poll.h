// The poll of this computer's server, every 200 ms: its open files each round, its
// sessions once a second. A round comes in two steps, so that whoever shows the
// lists can read the round's own enumerations before the file scan moves its new
// files to the front.
#pragma once

#include <windows.h>
#include <lm.h>

#include "core/server_api.h"
#include "engine/watch/activity_batch.h"

constexpr UINT kPollPeriodMs = 200;
constexpr int kPollsPerSecond = 5;

struct PollRound {
    bool secondTick;  // once a second: connections, and the lists' refresh
    bool delivering;  // an earlier scan's events are still being delivered: no file scan this round
    PollTime time;
    Enumeration<SESSION_INFO_1> sessions;  // on the second tick
    Enumeration<FILE_INFO_3> files;        // unless delivering
};

// No session or file of this computer is known yet: those there now were there before.
void StartPoll();
// The round's enumerations; new connections found.
void BeginPollRound(PollRound& round);
// New files found and checked against the tripwires, a slice of events delivered,
// and on the second tick every log's backlog tried.
void FinishPollRound(PollRound& round);

// Whether a share in use sounds under the sound alert's filter (1: drive shares such
// as C$, 2: every hidden share); and whether any of this computer's does now.
bool ShareSoundsAlert(const SHARE_INFO_502& share, int events);
bool AnyShareSoundsAlert(int events);
