// Blocking: every 100 ms the block round counts temporary blocks down and deletes
// every session of this computer that the rules forbid; every sessions reading of a
// watched server is checked against the same rules, its forbidden computers deleted
// by that server's worker.
#pragma once

#include <windows.h>
#include <lm.h>

#include <span>

#include "engine/watch/server_watch.h"

// The block round: the block ticks that passed since the last round are counted
// down (a late timer does not stretch a block), then the rules are enforced.
void RunBlockRound();
// Enforces the rules when a block tick's time has passed since they last were: long
// work on the engine's thread calls it between its parts, so that blocking never
// waits behind it. Temporary blocks count down only in the block round.
void EnforceBlocksIfDue();
// A watched server's sessions reading: each forbidden computer's sessions go, asked
// of that server's worker once per computer.
void EnforceOnServer(ServerId server, std::span<const SESSION_INFO_1> sessions);
// Tells the event sinks a session was deleted (or asked of a server's worker) by `rule`.
void PublishCutOff(ServerId server, const wchar_t* client, const char* rule);
