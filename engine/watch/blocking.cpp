#include "engine/watch/blocking.h"

#include <algorithm>
#include <array>

#include "core/clock.h"
#include "core/server_api.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
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
        ForEachCutOff(rules, WideOrEmpty(session.sesi0_cname), [](const wchar_t* name, const char* rule) {
            if (DeleteServerSession(name, nullptr) == NERR_Success)
                PublishCutOff(kThisComputer, name, rule);
        });
}

}  // namespace

void PublishCutOff(ServerId server, const wchar_t* client, const char* rule)
{
    std::array<char, kFormatCapacity> text{};
    FormatText(text, "Session of %ws deleted by the %s", client, rule);
    const RemoteServer* remote = WatchedServer(server);
    const SYSTEMTIME local = LocalTimeNow();
    std::wstring_view computer(client);
    while (!computer.empty() && computer.front() == L'\\')
        computer.remove_prefix(1);
    const EventRecord record{EventKind::SessionCutOff, local, UniversalTimeNow(),
                             remote ? std::string_view(remote->tag.data()) : std::string_view(), computer, {}, {}, 0,
                             rule, text.data()};
    PublishEvent(record);
}

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
    const char* rule = nullptr;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const std::wstring_view client = WideOrEmpty(sessions[i].sesi1_cname);
        if (client.empty() || client.size() + 3 > kClientNameUnits)
            continue;
        rule = nullptr;
        ForEachCutOff(rules, client, [&rule](const wchar_t*, const char* why) {
            if (!rule)
                rule = why;
        });
        if (!rule)
            continue;
        bool asked = false;  // a computer with several sessions is asked for once
        for (std::size_t j = 0; j < i && !asked; ++j)
            asked = EqualsIgnoringAsciiCase(WideOrEmpty(sessions[j].sesi1_cname), client);
        if (asked)
            continue;
        std::array<wchar_t, kClientNameUnits> name{};
        name[0] = name[1] = L'\\';
        CopyWideText(std::span(name).subspan(2), client);
        const bool waiting = IsRequestWaiting(server, DeleteSessionRequest, name.data(), nullptr, 0);
        if (RequestServer(server, DeleteSessionRequest, name.data(), nullptr, 0) && !waiting)
            PublishCutOff(server, name.data(), rule);
    }
}
