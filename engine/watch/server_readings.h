// The engine's thread takes what a server's worker read: a reply is opened, taken
// (sessions: blocking, detection, delivery; files: detection), then closed. Whoever
// shows the server's lists reads the reading in between: the file scan moves a
// reading's new files to its front, so the list reads it before it is taken.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/watch/remote_server.h"

struct ServerReading {
    ServerId server;
    ReplyKind kind;
    NET_API_STATUS status;
    ULONGLONG scanStart;
    ULONGLONG scanEnd;
    void* buffer;  // the server's own, released at the close unless the engine keeps it
    DWORD count;
    RemoteServer* remote;
    std::size_t slot;
};

inline bool Answered(const ServerReading& reading)
{
    return reading.status == NERR_Success || reading.status == ERROR_MORE_DATA;
}
template <typename Record>
std::span<Record> RecordsOf(const ServerReading& reading)
{
    return {static_cast<Record*>(reading.buffer), reading.buffer ? reading.count : 0};
}

// The reply a notice named; false when there is none to take (a word from nowhere, or
// a server no longer watched, whose reply is given back at once).
bool OpenServerReply(ServerId server, uintptr_t word, ServerReading* reading);
// Sessions: the rules enforced, new connections found and delivered; the reading is
// kept as the server's latest.
void TakeServerSessions(ServerReading& reading);
// Files: new files found; kept as the server's latest unless the scan took its
// records; delivery goes on for every server, a slice at most.
void TakeServerFiles(ServerReading& reading);
// Frees the reply's slot; a buffer the engine did not keep is released.
void CloseServerReply(ServerReading& reading);
