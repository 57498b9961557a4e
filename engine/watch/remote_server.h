// A file server on the network watched besides this computer, as both its worker and
// the engine's thread see it. The worker makes every call to the server; it hands
// each enumeration over whole in a reply slot, and carries out the deletions the
// engine's thread puts in its request ring.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "core/handoff.h"
#include "core/paths.h"
#include "engine/watch/server_watch.h"
#include "rules/computer_list.h"

// A server's name without its backslashes: a DNS name at most, terminator included.
constexpr std::size_t kServerNameUnits = 256;
// How often a worker reads its server's tables.
constexpr DWORD kRemoteSessionsMs = 100;
constexpr DWORD kRemoteFilesMs = 1000;

enum ServerState : int32_t { ServerStarting = 0, ServerAnswering = 1, ServerNotAnswering = 2, ServerAccessDenied = 3 };
enum ReplyKind : int32_t { SessionsReply = 0, FilesReply = 1, SharesReply = 2 };
enum RequestKind : int32_t { DeleteSessionRequest = 0, CloseFileRequest = 1, DeleteShareRequest = 2 };

// One enumeration on its way from a worker to the engine's thread.
struct ServerReply {
    int32_t kind;
    NET_API_STATUS status;
    void* buffer;  // the server's own buffer, released with it
    DWORD count;
    ULONGLONG scanStart;
    ULONGLONG scanEnd;
};

// A deletion the engine's thread asks a worker for.
struct ServerRequest {
    int32_t kind;
    DWORD fileId;
    std::array<wchar_t, kClientNameUnits> name;  // \\client, or a share
    std::array<wchar_t, kClientNameUnits> user;  // empty: every user
};

constexpr std::size_t kRepliesPerServer = 8;
constexpr std::size_t kRequestsPerServer = 128;

struct RemoteServer {
    // Set before the worker starts; both threads read them.
    std::array<wchar_t, kServerNameUnits + 2> unc;  // "\\NAME", given to every call
    std::array<char, kServerNameUnits * 2 + 2> tag;
    PathText folder;  // its daily logs: the log folder, then NAME
    ServerId id;
    uint32_t generation;  // of the place's use: replies of an earlier use are dropped
    HANDLE thread;
    HANDLE wake;
    std::atomic<int32_t> stop;
    std::atomic<int32_t> state;  // a ServerState
    std::atomic<int32_t> sharesWanted;
    // Replies: the worker fills a slot and posts it; the engine's thread frees it.
    std::array<ServerReply, kRepliesPerServer> replies;
    HandoffSlots<kRepliesPerServer> replySlots;
    // Deletions: the engine's thread puts them in, the worker carries them out.
    RequestRing<ServerRequest, kRequestsPerServer> requests;

    // The engine's thread alone.
    int32_t watched;
    WatchMemory memory;
    SESSION_INFO_1* latestSessions;  // the last sessions that answered, kept for trips and the list
    DWORD latestSessionCount;
    FILE_INFO_3* latestFiles;  // the last open files, kept for the list until the next
    DWORD latestFileCount;
    int32_t silent;  // its sessions' last reply said it is not answering
};
