#include "windows/engine_link.h"

#include "core/settings.h"
#include "engine/actions.h"
#include "engine/engine_state.h"
#include "engine/server_workers.h"
#include "engine/watches.h"

namespace {

template <typename Record>
void Take(TableReading<Record>* reading)
{
    reading->status = reading->own.status;
    reading->records = reading->own.Records();
}

}  // namespace

bool FindShownServer(ServerId server, ShownServer* shown)
{
    const RemoteServer* remote = WatchedServer(server);
    if (!remote)
        return false;
    *shown = {remote->tag.data(), remote->unc.data(), static_cast<ServerState>(remote->state.load())};
    return true;
}

bool ReadSessions(ServerId server, TableReading<SESSION_INFO_1>* reading)
{
    if (server != kThisComputer)  // what its worker brought last
        return LatestSessions(server, &reading->records);
    EnumerateSessions1(&reading->own);
    Take(reading);
    return true;
}

bool ReadFiles(ServerId server, TableReading<FILE_INFO_3>* reading)
{
    if (server != kThisComputer)
        return LatestFiles(server, &reading->records);
    EnumerateOpenFiles(&reading->own);
    Take(reading);
    return true;
}

bool ReadShares(ServerId server, TableReading<SHARE_INFO_502>* reading)
{
    if (server != kThisComputer) {
        RequestShares(server);
        return false;
    }
    EnumerateShares(&reading->own);
    Take(reading);
    return true;
}

void CloseSessionOn(ServerId server, const wchar_t* client, const wchar_t* user)
{
    CloseSessionAction(server, client, user);
}

void CloseFileOn(ServerId server, DWORD fileId)
{
    CloseFileAction(server, fileId);
}

void RemoveShareOn(ServerId server, const wchar_t* name)
{
    RemoveShareAction(server, name);
}

ComputerList& ListOf(BlockMode list)
{
    return list == Blacklist ? engineState.rules.blacklist : engineState.rules.whitelist;
}

void AddComputerTo(BlockMode list, const wchar_t* name, int32_t ticks)
{
    ListComputerAction(list, name, ticks);
}

void RemoveComputerFrom(BlockMode list, const char* name)
{
    UnlistComputerAction(list, name);
}

void ChangeBlockMode(int32_t mode)
{
    engineState.rules.blockMode = mode;
}

void ReleaseTripped(std::size_t slot)
{
    ReleaseTrippedAction(slot);
}

void ChangeTripwireRules(const TripwireRules& rules)
{
    engineState.rules.tripwires = rules;
    SaveTripwireRules(engineState.rules.tripwires);
}

void ChangeServerList(const ServerList& list)
{
    SaveServerList(list);
    WatchServers(list);
}

void ChangeLogGates(const Settings& gates)
{
    Settings& settings = engineState.settings;
    for (const SettingKey* key : {&kSaveSessKey, &kSaveFilesKey, &kSaveLogsKey, &kSaveCsvLogsKey}) {
        settings.*key->field = gates.*key->field;
        WriteSetting(*key, settings.*key->field);
    }
}
