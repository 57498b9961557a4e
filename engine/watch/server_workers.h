// The workers of the file servers watched besides this computer: a thread each,
// which makes every call to its server, so that a server that answers slowly or not
// at all holds up nothing but its own worker. A worker hands each enumeration over
// whole in a reply slot and tells the engine's owner through the reply notice; it
// carries out the deletions the engine's thread puts in its request ring.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

#include "engine/watch/remote_server.h"
#include "engine/watch/server_list.h"

// Starts a worker for each listed server not watched yet, and stops the workers of
// servers no longer listed (a worker in a call ends when the call does).
void WatchServers(const ServerList& list);
// Stops every worker: the process is ending, and no worker is waited for.
void StopServerWorkers();

// Asks a server's worker for a deletion, or for its shares; false when its queue is full.
bool RequestServer(ServerId server, RequestKind kind, const wchar_t* name, const wchar_t* user, DWORD fileId);
void RequestShares(ServerId server);
// Whether the same deletion waits in the server's queue already.
bool IsRequestWaiting(ServerId server, RequestKind kind, const wchar_t* name, const wchar_t* user, DWORD fileId);

// The last sessions and open files a server reported; false when there are none to
// show (its files may be with the events still being delivered).
bool LatestSessions(ServerId server, std::span<const SESSION_INFO_1>* sessions);
bool LatestFiles(ServerId server, std::span<const FILE_INFO_3>* files);
// The buffers the engine holds of a server, given back.
void ReleaseLatest(RemoteServer& server);

// The word a reply notice carries: the reply's slot and the use of the place it belongs to.
uintptr_t ReplyWord(std::size_t slot, uint32_t generation);
std::size_t SlotOfWord(uintptr_t word);
uint32_t GenerationOfWord(uintptr_t word);

// Tests watch servers without workers, and make a worker's reads on their own thread.
void RunServerWorkers(bool run);
void ReadServerOnce(ServerId server, ReplyKind kind);
