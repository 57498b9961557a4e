// Detection for any watched server, from an enumeration already made: new sessions
// are connection events; new files are checked against the tripwires at once and
// their events delivered in slices, the watch keeping the scan's records until the
// last is delivered, so that a burst never holds up the rest of the program.
#pragma once

#include <windows.h>
#include <lm.h>

#include <span>

#include "engine/watch/activity_batch.h"
#include "engine/watch/server_watch.h"

void ScanSessionsOf(const ServerWatch& watch, NET_API_STATUS status, std::span<const SESSION_INFO_1> sessions,
                    ULONGLONG scanStart, ULONGLONG scanEnd, const PollTime& time);
// Returns whether the watch kept `records` (released with the server's buffer release).
bool ScanOpenFilesOf(const ServerWatch& watch, NET_API_STATUS status, std::span<FILE_INFO_3> records,
                     const PollTime& time);
// Whether the watch still has file events to deliver; no new file scan of it is made meanwhile.
bool IsDelivering(const ServerWatch& watch);
// Delivers a watch's pending file events, for one slice of time at most.
void DeliverPendingFileEvents(const ServerWatch& watch);
// Hands out more of every watch's pending file events, a slice at most each; true
// while some are left, for the caller to come back shortly.
bool ContinueDelivery();
bool AnyWatchDelivering();
// Before the program ends: every watch's pending events delivered whole, and every
// log's backlog written.
void FinishDelivery();
// A watch's memories start again: nothing is known of it yet.
void StartDetection(WatchMemory& memory);
