// The one way the windows reach the engine: in this process when the program watches
// by itself, or through the protection service's pipe when the service watches and
// this window shows it. The pages read and act through here and never know which.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

#include "core/server_api.h"
#include "core/settings.h"
#include "engine/forward/forwarder.h"
#include "engine/history/history_store.h"
#include "engine/watch/server_list.h"
#include "engine/watch/server_watch.h"
#include "rules/block_rules.h"

// A server's table as a page shows it. `own` holds an enumeration made for it;
// `records` may also point into the engine's latest reading of the server.
template <typename Record>
struct TableReading {
    NET_API_STATUS status = NERR_Success;
    std::span<const Record> records;
    Enumeration<Record> own;
};

// A server watched besides this computer, as the windows show it: false for a place
// not in use (and for this computer, which is always watched).
struct ShownServer {
    const char* tag;     // "\\NAME"
    const wchar_t* unc;  // "\\NAME"
    ServerState state;
};
bool FindShownServer(ServerId server, ShownServer* shown);

// The servers the Monitoring and Shares pages show changed: the service then sends
// their readings.
void WatchServerShown();

// False when there is nothing to show yet (a server whose first reading has not come).
bool ReadSessions(ServerId server, TableReading<SESSION_INFO_1>* reading);
bool ReadFiles(ServerId server, TableReading<FILE_INFO_3>* reading);
// This computer's shares at once (true); another server's come with its worker's
// reply, which shows them on the Shares page (false).
bool ReadShares(ServerId server, TableReading<SHARE_INFO_502>* reading);

// What the windows ask the engine to do. A server's deletions go to its worker; the
// lists follow the next readings.
void CloseSessionOn(ServerId server, const wchar_t* client, const wchar_t* user);
void CloseFileOn(ServerId server, DWORD fileId);
void RemoveShareOn(ServerId server, const wchar_t* name);

// The blacklist (Blacklist) or the whitelist (Whitelist).
ComputerList& ListOf(BlockMode list);
// `name` as the server or the user gave it, without backslashes.
void AddComputerTo(BlockMode list, const wchar_t* name, int32_t ticks);
// `name` in normal form, as the Black list page shows it.
void RemoveComputerFrom(BlockMode list, const char* name);
void ChangeBlockMode(int32_t mode);
void ReleaseTripped(std::size_t slot);
void ChangeTripwireRules(const TripwireRules& rules);
// The servers watched besides this computer, as the Servers dialog starts from.
void CurrentServerList(ServerList& list);
void ChangeServerList(const ServerList& list);
// Whether the log gates are the protection service's (the rest of [main] is the user's).
bool LogGatesAreTheServices();
// The log gates of the [main] settings: savesess, savefiles, savelogs, savecsvlogs;
// and [history] keepdays, which goes with them to the service.
void ChangeLogGates(const Settings& gates, int32_t historyKeepDays);
// The [forward] settings the engine forwards with: the service's while it watches
// (false until it told them), else this program's settings file.
bool CurrentForwardSettings(ForwardSettings* settings);
// Saved and put in force at once (the service saves its own); false when the
// service's pipe is not up.
bool ChangeForwardSettings(const ForwardSettings& settings);
// The history's state and its reading of the daily logs: the protection service's
// while it watches (this window only searches its file), else this program's.
HistoryStatus ShownHistoryStatus();
void StopHistoryReading();
void ResumeHistoryReading();
