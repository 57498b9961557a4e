#include "engine/watch/trips.h"

#include <algorithm>
#include <array>
#include <span>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/server_api.h"
#include "engine/watch/blocking.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/notices.h"
#include "engine/watch/remote_server.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/share_denies.h"
#include "core/text.h"

bool CheckTripwires(const ServerWatch& watch, const FILE_INFO_3& file, bool burst, TripReport* report)
{
    BlockRules& rules = engineState.rules;
    std::array<char, kBaitPatternUnits * 2 + 32> rule{};
    if (!TripsOn(rules.tripwires, rules.burstCounter, file, burst, MillisecondsNow(), rule))
        return false;
    const wchar_t* user = WideOrEmpty(file.fi3_username);
    Enumeration<SESSION_INFO_1> asked;
    std::span<const SESSION_INFO_1> sessions;
    if (watch.server == kThisComputer) {
        EnumerateSessionsOfUser(user, &asked);
        sessions = asked.Records();
    } else {
        LatestSessions(watch.server, &sessions);
    }
    const bool told = Trip(
        rules.tripped, rules.tripwires.blockMinutes, user, rule.data(), file.fi3_pathname, sessions,
        [&watch](const wchar_t* client) {
            if (watch.server == kThisComputer)
                DeleteServerSession(client, nullptr);
            else
                RequestServer(watch.server, DeleteSessionRequest, client, nullptr, 0);
            PublishCutOff(watch.server, client, kTripwireRule);
        },
        report);
    if (told && rules.tripwires.blockMinutes == 0 && report->cut > 0)
        SaveTrippedComputers(rules.tripped);
    // Only a trip the table keeps is denied: the release of its row ends the deny.
    if (told && IsTrippedAnywhere(user))
        DenyTrippedUser(user, rules.tripwires.blockMinutes);
    return told;
}

void DenyTrippedUser(const wchar_t* user, int32_t minutes)
{
    const TripwireRules& tripwires = engineState.rules.tripwires;
    if (!tripwires.denyShares || !user || !*user)
        return;
    if (IsNeverDenied(tripwires, user)) {
        std::array<char, 256> line{};
        FormatText(line, "%ws is never denied at the shares: it is in the tripwires' list of accounts never denied.", user);
        PutLogLine(line.data());
        return;
    }
    // Every watched server: the account may reach any of them.
    DenyAtShares(nullptr, user, minutes);
    for (const RemoteServer* server : engineState.remote)
        if (server && server->watched)
            DenyAtShares(server->unc.data(), user, minutes);
}

void ReleaseTrippedComputer(std::size_t slot)
{
    ComputerList& tripped = engineState.rules.tripped;
    const bool permanent = slot < tripped.size() && tripped[slot].inUse && tripped[slot].ticksLeft == kPermanent;
    std::array<wchar_t, kBlockUserUnits> user{};
    if (slot < tripped.size())
        user = tripped[slot].user;
    if (FreeComputer(tripped, slot) && permanent)
        SaveTrippedComputers(tripped);
    ReleaseUserIfFree(user.data());
}

void DenyTrippedUsersAgain()
{
    // The same user on several computers is asked once per entry: the asks after the first find nothing new.
    // A trip that outlasted a start is one until released by hand, whatever blockminutes says now;
    // one with ticks left keeps what is left of them.
    for (const BlockEntry& entry : engineState.rules.tripped) {
        if (!entry.inUse || !entry.user[0])
            continue;
        const int32_t ticksPerMinute = 60 * kBlockTicksPerSecond;
        const int32_t minutes =
            entry.ticksLeft == kPermanent ? 0 : std::max<int32_t>(1, (entry.ticksLeft + ticksPerMinute - 1) / ticksPerMinute);
        DenyTrippedUser(entry.user.data(), minutes);
    }
}

bool IsTrippedAnywhere(const wchar_t* user)
{
    for (const BlockEntry& entry : engineState.rules.tripped)
        if (entry.inUse && EqualsIgnoringAsciiCase(entry.user.data(), user))
            return true;
    return false;
}

void ReleaseUserIfFree(const wchar_t* user)
{
    // Asked even when nothing seems denied yet: a deny may be under way on the denies' thread.
    if (user && *user && !IsTrippedAnywhere(user))
        ReleaseShareDenies(user);
}

void NoteDeniedShares()
{
    for (BlockEntry& entry : engineState.rules.tripped)
        entry.deniedShares = entry.inUse && entry.user[0] ? DeniedShareCount(entry.user.data()) : 0;
    // A user denied with no tripped row left (its minutes over, a deny that ended after its
    // release, a journal's from before the last start) is put back: a deny lasts as long as
    // the row the Black list page can release.
    std::array<std::array<wchar_t, kBlockUserUnits>, kMaxDeniedAccounts> users{};
    const std::size_t deniedUsers = DeniedUsers(users);
    for (std::size_t k = 0; k < deniedUsers; ++k)
        if (!IsTrippedAnywhere(users[k].data()))
            ReleaseShareDenies(users[k].data());
    ShareDenyNotice notice{};
    while (TakeShareDenyNotice(&notice)) {
        PutLogLine(notice.text.data());
        if (notice.kind == ShareDenyNoticeKind::Said)
            continue;
        if (notice.kind == ShareDenyNoticeKind::NotChanged) {
            ReportProductEvent(QUORVEL_EVENT_SHARE_NOT_CHANGED, {notice.text.data()});
            continue;
        }
        const bool denied = notice.kind == ShareDenyNoticeKind::Denied;
        const EventRecord record{denied ? EventKind::SharesDenied : EventKind::SharesRestored,
                                 LocalTimeNow(),
                                 UniversalTimeNow(),
                                 notice.server.data(),
                                 {},
                                 notice.user.data(),
                                 {},
                                 0,
                                 kTripwireRule,
                                 notice.text.data()};
        PublishEvent(record);
        ReportProductEvent(denied ? QUORVEL_EVENT_SHARES_DENIED : QUORVEL_EVENT_SHARES_RESTORED, {notice.text.data()});
    }
}
