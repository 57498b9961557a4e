#include "engine/blocking.h"

#include <algorithm>
#include <array>

#include "core/clock.h"
#include "core/server_api.h"
#include "core/text.h"
#include "engine/engine_state.h"
#include "engine/server_workers.h"
#include "rules/block_rules.h"

namespace {

// The block ticks that passed since the last round: one, or more when the timer came
// late (a loaded machine delivers it late), so that a minute's block ends after a
// minute of the clock, not after 600 calls.
int32_t TicksSinceLastRound()
{
    const ULONGLONG now = MillisecondsNow();
    if (engineState.blockTicksCounted == 0)
        engineState.blockTicksCounted = now - kBlockTickMs;
    const auto behind = static_cast<LONGLONG>(now - engineState.blockTicksCounted);
    int32_t ticks = 1;
    if (behind >= 2 * static_cast<LONGLONG>(kBlockTickMs))
        ticks = static_cast<int32_t>(std::min<LONGLONG>(behind / kBlockTickMs, INT32_MAX));
    engineState.blockTicksCounted += static_cast<ULONGLONG>(ticks) * kBlockTickMs;
    return ticks;
}

// Only rules that can forbid someone cost an enumeration: an empty blacklist or
// whitelist and no tripped computer leave the server alone.
void EnforceOnThisComputer()
{
    engineState.lastEnforcement = MillisecondsNow();
    const BlockRules& rules = engineState.rules;
    if (!AnythingForbidden(rules))
        return;
    Enumeration<SESSION_INFO_0> sessions;
    EnumerateSessions0(&sessions);
    for (const SESSION_INFO_0& session : sessions.Records())
        ForEachCutOff(rules, WideOrEmpty(session.sesi0_cname),
                      [](const wchar_t* name) { DeleteServerSession(name, nullptr); });
}

}  // namespace

void RunBlockRound()
{
    CountDownBlocks(engineState.rules, TicksSinceLastRound());
    EnforceOnThisComputer();
}

void EnforceBlocksIfDue()
{
    if (MillisecondsNow() - engineState.lastEnforcement >= kBlockTickMs)
        EnforceOnThisComputer();
}

void EnforceOnServer(ServerId server, std::span<const SESSION_INFO_1> sessions)
{
    const BlockRules& rules = engineState.rules;
    if (!AnythingForbidden(rules))
        return;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const std::wstring_view client = WideOrEmpty(sessions[i].sesi1_cname);
        if (client.empty() || client.size() + 3 > kClientNameUnits || !IsForbidden(rules, client))
            continue;
        bool asked = false;  // a computer with several sessions is asked for once
        for (std::size_t j = 0; j < i && !asked; ++j)
            asked = EqualsIgnoringAsciiCase(WideOrEmpty(sessions[j].sesi1_cname), client);
        if (asked)
            continue;
        std::array<wchar_t, kClientNameUnits> name{};
        name[0] = name[1] = L'\\';
        CopyWideText(std::span(name).subspan(2), client);
        RequestServer(server, DeleteSessionRequest, name.data(), nullptr, 0);
    }
}
