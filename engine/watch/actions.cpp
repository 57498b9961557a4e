#include "engine/watch/actions.h"

#include <array>
#include <string_view>

#include "core/clock.h"
#include "core/server_api.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/notices.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/trips.h"
#include "engine/watch/watches.h"

namespace {

constexpr char kAskedBy[] = "%ws asked through the service's pipe: %s";
constexpr char kChangedBy[] = "%ws changed %s through the service's pipe";

constexpr const char* ListName(BlockMode list)
{
    return list == Blacklist ? "blacklist" : "whitelist";
}

std::wstring_view WithoutBackslashes(std::wstring_view name)
{
    while (!name.empty() && name.front() == L'\\')
        name.remove_prefix(1);
    return name;
}

void PublishAction(EventKind kind, ServerId server, std::wstring_view computer, std::wstring_view user,
                   std::wstring_view path, const char* rule, const char* text, const wchar_t* by)
{
    const RemoteServer* remote = WatchedServer(server);
    const EventRecord record{kind,
                             LocalTimeNow(),
                             UniversalTimeNow(),
                             remote ? std::string_view(remote->tag.data()) : std::string_view(),
                             WithoutBackslashes(computer),
                             user,
                             path,
                             0,
                             rule ? rule : "",
                             text,
                             WideOrEmpty(by)};
    PublishEvent(record);
    if (by && *by) {
        std::array<char, kFormatCapacity> line{};
        FormatText(line, kAskedBy, by, text);
        PutLogLine(line.data());
    }
}

ComputerList& ListOf(BlockMode list)
{
    return list == Blacklist ? engineState.rules.blacklist : engineState.rules.whitelist;
}

}  // namespace

void CloseSessionAction(ServerId server, const wchar_t* client, const wchar_t* user, const wchar_t* by)
{
    if (server != kThisComputer)
        RequestServer(server, DeleteSessionRequest, client, user, 0);
    else
        DeleteServerSession(client, user);
    std::array<char, kFormatCapacity> text{};
    FormatText(text, "Session of %ws closed", WideOrEmpty(client));
    PublishAction(EventKind::SessionClosed, server, WideOrEmpty(client), WideOrEmpty(user), {}, nullptr, text.data(),
                  by);
}

void CloseFileAction(ServerId server, DWORD fileId, const wchar_t* by)
{
    if (server != kThisComputer)
        RequestServer(server, CloseFileRequest, nullptr, nullptr, fileId);
    else
        CloseServerFile(fileId);
    std::array<char, kFormatCapacity> text{};
    FormatText(text, "File %u closed", static_cast<unsigned>(fileId));
    PublishAction(EventKind::FileClosed, server, {}, {}, {}, nullptr, text.data(), by);
}

void RemoveShareAction(ServerId server, const wchar_t* name, const wchar_t* by)
{
    if (server != kThisComputer)
        RequestServer(server, DeleteShareRequest, name, nullptr, 0);
    else
        DeleteServerShare(name);
    std::array<char, kFormatCapacity> text{};
    FormatText(text, "Share %ws removed", WideOrEmpty(name));
    PublishAction(EventKind::ShareRemoved, server, {}, {}, WideOrEmpty(name), nullptr, text.data(), by);
}

bool ListComputerAction(BlockMode list, const wchar_t* name, int32_t ticks, const wchar_t* by)
{
    if (!AddComputerWide(ListOf(list), name, ticks))
        return false;
    std::array<char, kFormatCapacity> text{};
    if (ticks == kPermanent)
        FormatText(text, "%ws added to the %s", WideOrEmpty(name), ListName(list));
    else
        FormatText(text, "%ws added to the %s for %d minutes", WideOrEmpty(name), ListName(list),
                   ticks / kTicksPerMinute);
    PublishAction(EventKind::ComputerListed, kThisComputer, WideOrEmpty(name), {}, {}, ListName(list), text.data(),
                  by);
    return true;
}

void UnlistComputerAction(BlockMode list, const char* name, const wchar_t* by)
{
    RemoveComputer(ListOf(list), name);
    std::array<wchar_t, kClientNameUnits> wide{};
    WideFromAnsi(wide, name);
    std::array<char, kFormatCapacity> text{};
    FormatText(text, "%s removed from the %s", name, ListName(list));
    PublishAction(EventKind::ComputerUnlisted, kThisComputer, wide.data(), {}, {}, ListName(list), text.data(), by);
}

void ReleaseTrippedAction(std::size_t slot, const wchar_t* by)
{
    const ComputerList& tripped = engineState.rules.tripped;
    if (slot >= tripped.size() || !tripped[slot].inUse)
        return;
    const BlockEntry entry = tripped[slot];
    ReleaseTrippedComputer(slot);
    std::array<char, kFormatCapacity> text{};
    FormatText(text, "%ws released", entry.name.data());
    PublishAction(EventKind::TripReleased, kThisComputer, entry.name.data(), entry.user.data(), {}, kTripwireRule,
                  text.data(), by);
}

void SayChangedBy(const char* what, const wchar_t* by)
{
    std::array<char, kFormatCapacity> line{};
    FormatText(line, kChangedBy, WideOrEmpty(by), what);
    PutLogLine(line.data());
}
