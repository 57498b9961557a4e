// What the protection service tells its windows, and what it does for them. Runs on
// the engine's thread of the service: after each engine step it sends what changed
// (the Log page's new lines and the news at once; the lists, the servers and the
// shown server's readings once a second), a window that joins gets the whole picture
// first, and the windows' commands act on the engine and are saved where they must
// last (the lists survive the service's restart).
#pragma once

#include <windows.h>

#include "engine/link/pipe_server.h"
#include "engine/rounds/engine_host.h"

// The service's pipe, started and stopped by the service.
PipeServer& ServicePipe();
// Starts the pipe; while its name is taken (another process holds it) it is tried
// again every few seconds after the engine's steps, and the holder's process id is
// said once on the Log page and in the event log. False when it did not start now.
bool StartServicePipe(const PipeServerOptions& options);
void StopServicePipe();
// What the service refused of its own folder at its start, in words (empty: nothing):
// every window's status says so.
void SetServiceRefusal(const char* refusal);

// After every engine step: the news and the Log page's new text, and once a second
// the lists, the servers and their states.
void PublishAfterStep();
// Each table the poll or a server's worker read, before the engine takes it: for the
// windows that show that place; a shares reading for the window that asked.
void PublishReading(const EngineReading& reading);
// The windows' joins, leaves, watches and commands, taken and done: a bounded number
// each time, the event set again when more wait, so that the rounds due come between.
void TakeWindowMessages();
