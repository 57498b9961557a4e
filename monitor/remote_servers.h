// The file servers on the network watched besides this computer. Each has a worker
// thread of its own that makes every call to it: a server that answers slowly, or
// not at all, holds up nothing but its own worker. The workers hand whole
// enumerations to the main window's thread by message, and carry out the deletions
// that thread asks for; detection, blocking decisions, logs and pages stay there.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

#include "blocking/computer_list.h"
#include "core/handoff.h"
#include "core/paths.h"
#include "monitor/activity_delivery.h"
#include "monitor/activity_poller.h"
#include "monitor/event_log.h"
#include "monitor/server_watch.h"
#include "monitor/session_memory.h"

constexpr int32_t kMaxRemoteServers = 16;
constexpr char kServersSection[] = "servers";
// A server's name without its backslashes: a DNS name at most, terminator included.
constexpr std::size_t kServerNameUnits = 256;
// How often a worker reads its server's tables.
constexpr DWORD kRemoteSessionsMs = 100;
constexpr DWORD kRemoteFilesMs = 1000;

enum ServerState : LONG { ServerStarting = 0, ServerAnswering = 1, ServerNotAnswering = 2, ServerAccessDenied = 3 };
enum ReplyKind : int32_t { SessionsReply = 0, FilesReply = 1, SharesReply = 2 };
enum RequestKind : int32_t { DeleteSessionRequest = 0, CloseFileRequest = 1, DeleteShareRequest = 2 };

// One enumeration on its way from a worker to the main window's thread.
struct ServerReply {
    int32_t kind;
    NET_API_STATUS status;
    void* buffer;  // the server's own buffer, released with it
    DWORD count;
    ULONGLONG scanStart;
    ULONGLONG scanEnd;
};

// A deletion the main window's thread asks a worker for.
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
    HANDLE thread;
    HANDLE wake;
    std::atomic<int32_t> stop;
    std::atomic<int32_t> state;  // a ServerState
    std::atomic<int32_t> sharesWanted;
    // Replies: the worker fills a slot and posts it; the main window's thread frees it.
    std::array<ServerReply, kRepliesPerServer> replies;
    HandoffSlots<kRepliesPerServer> replySlots;
    // Deletions: the main window's thread puts them in, the worker carries them out.
    RequestRing<ServerRequest, kRequestsPerServer> requests;

    // The main window's thread alone.
    uint32_t generation;  // of the slot's use: replies of an earlier use are dropped
    int32_t watched;
    ActivityBatch batch;
    DayLogs logs;
    SessionScanMemory sessions;
    FileScanMemory files;
    uint32_t highestReportedFileId;
    PendingFileEvents pending;
    SESSION_INFO_1* latestSessions;  // the last sessions that answered, kept for trips and the list
    DWORD latestSessionCount;
    FILE_INFO_3* latestFiles;  // the last open files, kept for the list until the next
    DWORD latestFileCount;
    ULONGLONG lastListRefresh;
};

// The [servers] section: count and server1 ... serverN, at most 16.
// A typed or stored name with or without its leading backslashes, blanks around it
// dropped; false for a name no server has (empty, too long, a control character, a
// quote, a blank or a backslash inside, or a character no folder name may hold).
bool UsableServerName(std::string_view typed, std::span<char> name);
// This computer's own names (and localhost): it is always watched, never as another server.
bool IsThisComputer(const char* name);
struct ServerList {
    int32_t count;
    std::array<std::array<char, kServerNameUnits>, kMaxRemoteServers> names;
};
void LoadServerList(ServerList& list);
void SaveServerList(const ServerList& list);

// Starts a worker for each listed server not watched yet, and stops the workers of
// servers no longer listed (a worker in a call ends when the call does).
void WatchServers(const ServerList& list);

// The watched servers, by place: false for a place not in use.
bool RemoteWatchFor(int32_t index, ServerWatch* watch);
RemoteServer* WatchedServer(int32_t index);

// The main window's thread, for a reply a worker posted (WM_SERVER_REPLY).
void OnServerReply(WPARAM server, LPARAM slot);

// Asks a server's worker for a deletion, or for its shares; false when its queue is full.
bool RequestServer(int32_t index, RequestKind kind, const wchar_t* name, const wchar_t* user, DWORD fileId);
void RequestShares(int32_t index);

// The last sessions and open files a server reported; false when there are none to
// show (its files may be with the events still being delivered).
bool LatestSessions(int32_t index, std::span<const SESSION_INFO_1>* sessions);
bool LatestFiles(int32_t index, std::span<const FILE_INFO_3>* files);

// Tests watch servers without workers, and make a worker's reads on their own thread.
void RunServerWorkers(bool run);
void ReadServerOnce(int32_t index, ReplyKind kind);
