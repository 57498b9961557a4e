// Forwarding as the program and the service run it (engine/forward/forwarder.h): the [forward]
// settings in force, started with the engine, restarted with new settings without
// holding up the engine's thread, stopped after the last delivery; and the
// forwarder's notices on the Log page as the engine's own lines. All on the engine's
// thread.
#pragma once

#include "engine/forward/forwarder.h"

// Once a run: reads [forward], adds the forwarder's event sink and starts forwarding,
// its spool in the log folder.
void BeginForwarding();
// New settings: what runs is told to stop and the new settings start as soon as its
// threads have ended (at once, unless one is inside a connection attempt, a send or
// a POST, which end within their own limits; a Log page line says so).
void RestartForwarding(const ForwardSettings& settings);
// After every engine step: a start that waited for the last run's threads, and each
// forwarding notice (failing, working again, a spool set aside, an alarm dropped) as
// a line of the Log page's text.
void AfterForwardingStep();
// At the exit, after the last delivery: what was queued reaches the spool, and a RELP
// session is closed politely. The sink stays, doing nothing until a run begins again.
void EndForwarding();
// The settings started last (read or given).
const ForwardSettings& ForwardingSettingsInForce();
