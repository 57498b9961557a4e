// The engine's rounds, run on the main window's thread by its timers and messages,
// each followed by what it changed on screen: the one place where the engine runs
// and the windows catch up with what it published.
#pragma once

#include "windows/service_client.h"

#include <windows.h>

#include <cstdint>

#include "engine/watch/server_watch.h"

// The thread timers' procedures; their arguments are ignored.
void CALLBACK OnPollTick(HWND = nullptr, UINT = 0, UINT_PTR = 0, DWORD = 0);
void CALLBACK OnBlockTick(HWND = nullptr, UINT = 0, UINT_PTR = 0, DWORD = 0);

// Starts the poll, the block round and the tray's blink.
void StartRoundTimers();
// A window that shows the protection service runs no round: the tray's blink alone.
void StartServiceTimers();

// A worker's reply, posted to the main window (WM_SERVER_REPLY).
void OnServerReply(ServerId server, uintptr_t word);
// How the workers' replies reach the main window: the engine's reply notice.
bool PostServerReply(ServerId server, uintptr_t word);

// A frame from the protection service (WM_SERVICE_FRAME): taken into the copy of its
// engine, then the pages follow what it changed, as they follow a round; what it
// changed, for the main window's own lines.
ServiceFrameChange OnServiceFrame(WPARAM slot);

// After any engine call: the Log page, the notify window, the tray's activity and the
// sound catch up with the engine's news, and a delivery left unfinished goes on shortly.
void AfterEngineStep();
