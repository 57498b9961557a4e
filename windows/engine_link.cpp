#include "windows/engine_link.h"

#include "core/settings.h"
#include "engine/watch/actions.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarding_control.h"
#include "engine/history/history_store.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "windows/service_client.h"
#include "windows/window_state.h"

namespace {

bool ServiceWatches()
{
    return windowState.serviceMode != 0;
}

// A command for the service, its kind and server set.
WireCommand& Command(CommandKind kind, ServerId server)
{
    static WireCommand command;
    command = {};
    command.kind = kind;
    command.server = server;
    return command;
}

template <typename Record>
void Take(TableReading<Record>* reading)
{
    reading->status = reading->own.status;
    reading->records = reading->own.Records();
}

}  // namespace

bool FindShownServer(ServerId server, ShownServer* shown)
{
    if (ServiceWatches())
        return ServiceServer(server, &shown->tag, &shown->unc, &shown->state);
    const RemoteServer* remote = WatchedServer(server);
    if (!remote)
        return false;
    *shown = {remote->tag.data(), remote->unc.data(), static_cast<ServerState>(remote->state.load())};
    return true;
}

void WatchServerShown()
{
    if (ServiceWatches())
        SendServiceWatch(windowState.shownServer, windowState.shownSharesServer);
}

bool ReadSessions(ServerId server, TableReading<SESSION_INFO_1>* reading)
{
    if (ServiceWatches())
        return ServiceSessions(server, &reading->records, &reading->status);
    if (server != kThisComputer)  // what its worker brought last
        return LatestSessions(server, &reading->records);
    EnumerateSessions1(&reading->own);
    Take(reading);
    return true;
}

bool ReadFiles(ServerId server, TableReading<FILE_INFO_3>* reading)
{
    if (ServiceWatches())
        return ServiceFiles(server, &reading->records, &reading->status);
    if (server != kThisComputer)
        return LatestFiles(server, &reading->records);
    EnumerateOpenFiles(&reading->own);
    Take(reading);
    return true;
}

bool ReadShares(ServerId server, TableReading<SHARE_INFO_502>* reading)
{
    if (ServiceWatches()) {  // the service sends them back
        SendServiceCommand(Command(CommandKind::RefreshShares, server));
        return false;
    }
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
    if (!ServiceWatches()) {
        CloseSessionAction(server, client, user);
        return;
    }
    WireCommand& command = Command(CommandKind::CloseSession, server);
    CopyWideText(command.name, WideOrEmpty(client));
    CopyWideText(command.user, WideOrEmpty(user));
    SendServiceCommand(command);
}

void CloseFileOn(ServerId server, DWORD fileId)
{
    if (!ServiceWatches()) {
        CloseFileAction(server, fileId);
        return;
    }
    WireCommand& command = Command(CommandKind::CloseFile, server);
    command.fileId = fileId;
    SendServiceCommand(command);
}

void RemoveShareOn(ServerId server, const wchar_t* name)
{
    if (!ServiceWatches()) {
        RemoveShareAction(server, name);
        return;
    }
    WireCommand& command = Command(CommandKind::RemoveShare, server);
    CopyWideText(command.name, WideOrEmpty(name));
    SendServiceCommand(command);
}

ComputerList& ListOf(BlockMode list)
{
    return list == Blacklist ? engineState.rules.blacklist : engineState.rules.whitelist;
}

void AddComputerTo(BlockMode list, const wchar_t* name, int32_t ticks)
{
    if (!ServiceWatches()) {
        ListComputerAction(list, name, ticks);
        return;
    }
    WireCommand& command = Command(CommandKind::AddComputer, kThisComputer);
    command.list = list;
    command.ticks = ticks;
    CopyWideText(command.name, WideOrEmpty(name));
    SendServiceCommand(command);
}

void RemoveComputerFrom(BlockMode list, const char* name)
{
    if (!ServiceWatches()) {
        UnlistComputerAction(list, name);
        return;
    }
    WireCommand& command = Command(CommandKind::RemoveComputer, kThisComputer);
    command.list = list;
    WideFromAnsi(command.name, name);
    SendServiceCommand(command);
}

void ChangeBlockMode(int32_t mode)
{
    engineState.rules.blockMode = mode;
    if (!ServiceWatches())
        return;
    WireCommand& command = Command(CommandKind::SetBlockMode, kThisComputer);
    command.blockMode = mode ? Whitelist : Blacklist;
    SendServiceCommand(command);
}

void ReleaseTripped(std::size_t slot)
{
    if (!ServiceWatches()) {
        ReleaseTrippedAction(slot);
        return;
    }
    WireCommand& command = Command(CommandKind::ReleaseTripped, kThisComputer);
    command.slot = static_cast<int32_t>(slot);
    SendServiceCommand(command);
}

void ChangeTripwireRules(const TripwireRules& rules)
{
    engineState.rules.tripwires = rules;
    if (!ServiceWatches()) {
        SaveTripwireRules(engineState.rules.tripwires);
        return;
    }
    WireCommand& command = Command(CommandKind::SetTripwires, kThisComputer);
    command.tripwires = rules;
    SendServiceCommand(command);
}

void CurrentServerList(ServerList& list)
{
    if (ServiceWatches())
        ServiceServerList(list);
    else
        LoadServerList(list);
}

void ChangeServerList(const ServerList& list)
{
    if (!ServiceWatches()) {
        SaveServerList(list);
        WatchServers(list);
        return;
    }
    WireCommand& command = Command(CommandKind::SetServers, kThisComputer);
    command.servers = list;
    SendServiceCommand(command);
}

bool LogGatesAreTheServices()
{
    return ServiceWatches();
}

void ChangeLogGates(const Settings& gates, int32_t historyKeepDays)
{
    if (ServiceWatches()) {
        WireCommand& command = Command(CommandKind::SetLogGates, kThisComputer);
        command.gates = {gates.savesess, gates.savefiles, gates.savelogs, gates.savecsvlogs, historyKeepDays};
        SendServiceCommand(command);
        return;
    }
    SaveHistoryKeepDays(historyKeepDays);
    Settings& settings = engineState.settings;
    for (const SettingKey* key : {&kSaveSessKey, &kSaveFilesKey, &kSaveLogsKey, &kSaveCsvLogsKey}) {
        settings.*key->field = gates.*key->field;
        WriteSetting(*key, settings.*key->field);
    }
}

bool CurrentForwardSettings(ForwardSettings* settings)
{
    if (ServiceWatches())
        return ServiceForwardSettings(settings);
    ReadForwardSettings(settings);
    return true;
}

bool ChangeForwardSettings(const ForwardSettings& settings)
{
    if (ServiceWatches()) {
        WireCommand& command = Command(CommandKind::SetForward, kThisComputer);
        command.forward = settings;
        return SendServiceCommand(command);
    }
    WriteForwardSettings(settings);
    RestartForwarding(settings);
    return true;
}

HistoryStatus ShownHistoryStatus()
{
    HistoryStatus status = ReadHistoryStatus();
    WireHistoryState service{};
    if (ServiceWatches() && ServiceHistoryState(&service)) {
        status.health = service.health;
        status.backfill = service.backfill;
        status.filesDone = service.filesDone;
        status.filesTotal = service.filesTotal;
        status.linesRead = service.linesRead;
    }
    return status;
}

void StopHistoryReading()
{
    if (ServiceWatches())
        SendServiceCommand(Command(CommandKind::StopBackfill, kThisComputer));
    else
        StopHistoryBackfill();
}

void ResumeHistoryReading()
{
    if (ServiceWatches())
        SendServiceCommand(Command(CommandKind::ResumeBackfill, kThisComputer));
    else
        ResumeHistoryBackfill();
}
