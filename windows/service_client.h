// A window that shows the protection service. A thread of its own keeps the pipe to
// the service: it hands each checked frame to the main window's thread in a slot
// (WM_SERVICE_FRAME), says when the connection comes or goes (WM_SERVICE_CONNECTION),
// and connects again by itself when the service comes back. The main window's thread
// keeps a copy of what the service's engine publishes in the engine's own records,
// so that the pages read it as they would read this process's engine.
#pragma once

#include <windows.h>

#include <span>

#include "engine/watch/server_list.h"
#include "engine/watch/server_watch.h"
#include "engine/link/wire.h"

// Whether the protection service is installed and running, as the service manager says.
bool ProtectionServiceRunning();

// Starts the connection thread (once), after PrepareServiceClient.
void StartServiceClient();
// The room for frames, committed once, and the readings' assemblers; false without room.
bool PrepareServiceClient();
// The connection's thread (and tests, which play it): a connection begins, its frames
// the ones applied from now, or ends, once no send is under way.
void BeginServiceConnection();
void EndServiceConnection();
uint32_t ServiceConnectionNumber();
// What a frame changed, for the pages to follow.
struct ServiceFrameChange {
    bool taken;  // false: nothing waited in the slot
    bool rules;  // the lists, the block mode, the tripped computers
    bool servers;
    bool serviceState;  // what the service refused of its folder
    const ReadingAssembler* reading;  // a reading just made whole, until the next frame
};
// The main window's thread: takes the frame that waits in `slot` into the copy of the
// service's engine; a frame that breaks the rules ends the connection, which starts again.
ServiceFrameChange TakeServiceFrame(WPARAM slot);
// The same for a frame that came on connection `connection`: one of an earlier
// connection is dropped, and its faults end nothing.
ServiceFrameChange ApplyServiceFrame(uint32_t connection, const Frame& frame);
// The main window's thread, told the connection came or went.
void TakeServiceConnection(bool connected);

// What the service showed last: a server's sessions and open files, this computer's
// included; false when none came yet for that server.
bool ServiceSessions(ServerId server, std::span<const SESSION_INFO_1>* sessions, NET_API_STATUS* status);
bool ServiceFiles(ServerId server, std::span<const FILE_INFO_3>* files, NET_API_STATUS* status);
// The servers the service watches besides its computer, by id: false for a place not in use.
bool ServiceServer(ServerId server, const char** tag, const wchar_t** unc, ServerState* state);
void ServiceServerList(ServerList& list);
// The service's [forward] settings as it told them last; false before they came.
bool ServiceForwardSettings(ForwardSettings* settings);
// Whether the service told it refused part of its folder at its start.
bool ServiceRefusedPartOfItsFolder();
// The service's history (its state, its reading of the daily logs) as it told it last.
bool ServiceHistoryState(WireHistoryState* state);

// Asks the service; false when the pipe is not up. Commands are answered by the
// service's next lists, readings and news.
bool SendServiceCommand(WireCommand& command);
// The servers the window shows, so that the service sends their readings.
void SendServiceWatch(ServerId monitoring, ServerId shares);
