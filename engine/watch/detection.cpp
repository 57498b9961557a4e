#include "engine/watch/detection.h"

#include "core/clock.h"
#include "core/server_api.h"
#include "engine/watch/delivery.h"
#include "engine/watch/file_memory.h"
#include "engine/watch/session_memory.h"
#include "engine/watch/trips.h"
#include "engine/watch/watches.h"

namespace {

// Work handed out in one go before the rest of the program runs.
constexpr ULONGLONG kDeliverySliceMs = 25;
constexpr std::size_t kEventsBetweenClockReads = 32;

}  // namespace

void ScanSessionsOf(const ServerWatch& watch, NET_API_STATUS status, std::span<const SESSION_INFO_1> sessions,
                    ULONGLONG scanStart, ULONGLONG scanEnd, const PollTime& time)
{
    if (status != NERR_Success && status != ERROR_MORE_DATA)
        return;  // nothing learnt: keep comparing against the last scan that answered
    SessionScanMemory& memory = watch.memory->sessions;
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
    PendingFileEvents& pending = watch.memory->pending;
    bool fresh = false;
    const std::size_t taken = TakeNewFiles(watch.memory->files, records, status, &fresh);
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
    return watch.memory->pending.records != nullptr;
}

void DeliverPendingFileEvents(const ServerWatch& watch)
{
    PendingFileEvents& pending = watch.memory->pending;
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

bool ContinueDelivery()
{
    bool left = false;
    ForEachWatch([&left](const ServerWatch& watch) {
        DeliverPendingFileEvents(watch);
        left = left || IsDelivering(watch);
    });
    return left;
}

bool AnyWatchDelivering()
{
    bool left = false;
    ForEachWatch([&left](const ServerWatch& watch) { left = left || IsDelivering(watch); });
    return left;
}

void FinishDelivery()
{
    ForEachWatch([](const ServerWatch& watch) {
        while (IsDelivering(watch))
            DeliverPendingFileEvents(watch);
        DeliverActivity(watch);
        WriteLogBacklogs(watch.memory->logs);
    });
}

void StartDetection(WatchMemory& memory)
{
    StartSessionMemory(memory.sessions, MillisecondsNow());
    StartFileMemory(memory.files);
}
