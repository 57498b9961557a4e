#include "engine/watch/trips.h"

#include <array>
#include <span>

#include "core/clock.h"
#include "core/server_api.h"
#include "engine/watch/blocking.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/server_workers.h"

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
    return told;
}

void ReleaseTrippedComputer(std::size_t slot)
{
    ComputerList& tripped = engineState.rules.tripped;
    const bool permanent = slot < tripped.size() && tripped[slot].inUse && tripped[slot].ticksLeft == kPermanent;
    if (FreeComputer(tripped, slot) && permanent)
        SaveTrippedComputers(tripped);
}
