// The engine's state: what it watches, remembers and delivers, with the rules it
// enforces. One record for the life of the process, zero-filled at start and never
// freed; only the engine's thread writes it (the servers' workers have their own
// records, handed over through core/handoff.h). It holds no window handle: the
// windows keep theirs, and read what the engine publishes.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "core/paths.h"
#include "core/settings.h"
#include "engine/watch/log_text.h"
#include "engine/watch/news.h"
#include "engine/watch/run_records.h"
#include "engine/watch/server_watch.h"
#include "rules/block_rules.h"

struct RemoteServer;

// How a worker's reply reaches the engine's thread: the owner of that thread says.
// False when the word could not be handed over (the reply is then given back).
using ReplyNotice = bool (*)(ServerId server, uintptr_t word);

struct EngineState {
    Settings settings;  // the [main] settings: the log gates are the engine's, the rest its viewers'
    BlockRules rules;
    PathText logFolder;  // ends with a backslash

    WatchMemory local;  // this computer
    std::array<RemoteServer*, kMaxRemoteServers> remote;  // by place: server n at n - 1; made when first used
    ReplyNotice replyNotice;

    int32_t pollTickCount;
    ULONGLONG lastEnforcement;    // when the list in force was last enforced
    ULONGLONG blockTicksCounted;  // the block ticks counted down reach this moment

    RunRecords run;  // the run's CSV records
    LogText logText;  // the Log page's text
    EngineNews news;
};

extern EngineState engineState;
