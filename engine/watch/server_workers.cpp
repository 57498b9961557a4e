#include "engine/watch/server_workers.h"

#include <algorithm>
#include <cwchar>

#include "core/clock.h"
#include "core/server_api.h"
#include "core/text.h"
#include "engine/watch/file_memory.h"
#include "engine/watch/session_memory.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/watches.h"

namespace {

RemoteServer* Allocate()
{
    // Once, never freed: the record holds the server's detection memory, some megabytes
    // that are touched only as the server fills them.
    return static_cast<RemoteServer*>(VirtualAlloc(nullptr, sizeof(RemoteServer), MEM_RESERVE | MEM_COMMIT,
                                                   PAGE_READWRITE));
}

bool WorkerEnded(const RemoteServer& server)
{
    return !server.thread || WaitForSingleObject(server.thread, 0) == WAIT_OBJECT_0;
}

ServerState StateOf(NET_API_STATUS status)
{
    if (status == NERR_Success || status == ERROR_MORE_DATA)
        return ServerAnswering;
    return status == ERROR_ACCESS_DENIED ? ServerAccessDenied : ServerNotAnswering;
}

// A worker's read of one table, handed to the engine's thread as a whole. With no
// free reply (that thread is behind) the read waits for the next round.
void PostEnumeration(RemoteServer& server, ReplyKind kind)
{
    const int claimed = ClaimSlot(server.replySlots);
    if (claimed < 0)
        return;
    const auto slot = static_cast<std::size_t>(claimed);
    ServerReply& reply = server.replies[slot];
    reply.kind = kind;
    reply.scanStart = MillisecondsNow();
    const wchar_t* name = server.unc.data();
    if (kind == SessionsReply) {
        Enumeration<SESSION_INFO_1> sessions;
        EnumerateSessions1(&sessions, name);
        reply.status = sessions.status;
        reply.count = static_cast<DWORD>(sessions.Records().size());
        reply.buffer = sessions.Detach();
    } else if (kind == FilesReply) {
        Enumeration<FILE_INFO_3> files;
        EnumerateOpenFiles(&files, name);
        reply.status = files.status;
        reply.count = static_cast<DWORD>(files.Records().size());
        reply.buffer = files.Detach();
    } else {
        Enumeration<SHARE_INFO_502> shares;
        EnumerateShares(&shares, name);
        reply.status = shares.status;
        reply.count = static_cast<DWORD>(shares.Records().size());
        reply.buffer = shares.Detach();
    }
    reply.scanEnd = MillisecondsNow();
    server.state = StateOf(reply.status);
    PublishSlot(server.replySlots, slot);
    const ReplyNotice notice = engineState.replyNotice;
    if (!notice || !notice(server.id, ReplyWord(slot, server.generation))) {
        // Not posted: the slot is still this thread's to take back.
        ReleaseServerBuffer(reply.buffer);
        reply.buffer = nullptr;
        FreeSlot(server.replySlots, slot);
    }
}

// Deletions come first: blocking is the first duty.
void RunRequests(RemoteServer& server)
{
    while (const ServerRequest* waiting = OldestRequest(server.requests)) {
        const ServerRequest& request = *waiting;
        const wchar_t* name = server.unc.data();
        switch (request.kind) {
        case DeleteSessionRequest:
            DeleteServerSession(request.name.data(), request.user[0] ? request.user.data() : nullptr, name);
            break;
        case CloseFileRequest: CloseServerFile(request.fileId, name); break;
        case DeleteShareRequest: DeleteServerShare(request.name.data(), name); break;
        }
        DropOldestRequest(server.requests);
    }
}

DWORD WINAPI ServerWorker(LPVOID parameter)
{
    RemoteServer& server = *static_cast<RemoteServer*>(parameter);
    ULONGLONG nextSessions = 0;
    ULONGLONG nextFiles = 0;
    while (!server.stop) {
        RunRequests(server);
        if (PacingMillisecondsNow() >= nextSessions) {
            nextSessions = PacingMillisecondsNow() + kRemoteSessionsMs;
            PostEnumeration(server, SessionsReply);
        }
        RunRequests(server);
        if (PacingMillisecondsNow() >= nextFiles) {
            nextFiles = PacingMillisecondsNow() + kRemoteFilesMs;
            PostEnumeration(server, FilesReply);
        }
        if (server.sharesWanted.exchange(0))
            PostEnumeration(server, SharesReply);
        const ULONGLONG now = PacingMillisecondsNow();
        const ULONGLONG due = std::min(nextSessions, nextFiles);
        if (due > now)
            WaitForSingleObject(server.wake, static_cast<DWORD>(due - now));
    }
    return 0;
}

// Readies a place for a server: its names, folder and a clean memory of what it reported.
bool PrepareServer(ServerId id, const char* name)
{
    RemoteServer*& place = engineState.remote[static_cast<std::size_t>(id - 1)];
    if (!place)
        place = Allocate();
    if (!place)
        return false;
    RemoteServer& server = *place;
    const uint32_t generation = server.generation + 1;
    ReleaseLatest(server);
    if (server.memory.pending.records)
        ReleaseServerBuffer(server.memory.pending.records);
    CloseDayLogs(server.memory.logs);
    const HANDLE oldThread = server.thread;
    const HANDLE oldWake = server.wake;
    // A new record is zero already: only a place used before is cleared, so that a
    // server's megabytes of memory are touched only as it fills them.
    if (generation > 1)
        ZeroMemory(&server, sizeof(server));
    if (oldThread)
        CloseHandle(oldThread);
    if (oldWake)
        CloseHandle(oldWake);
    server.generation = generation;
    server.id = id;
    std::array<wchar_t, kServerNameUnits> wide{};
    WideFromAnsi(wide, name);
    FormatText(server.tag, "\\\\%s", name);
    CopyWideText(server.unc, L"\\\\");
    CopyWideText(std::span(server.unc).subspan(2), wide.data());
    FormatText(server.folder, "%s%s\\", engineState.logFolder.data(), name);
    CreateDirectoryA(server.folder.data(), nullptr);
    server.memory.logs.folder = &server.folder;
    server.memory.logs.logsFolder = &engineState.logFolder;
    StartSessionMemory(server.memory.sessions, MillisecondsNow());
    StartFileMemory(server.memory.files);
    return true;
}

bool runWorkers = true;

bool StartWorker(RemoteServer& server)
{
    server.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (runWorkers)
        server.thread = CreateThread(nullptr, 0, ServerWorker, &server, 0, nullptr);
    server.watched = !runWorkers || server.thread != nullptr;
    return server.watched != 0;
}

// What the engine's thread holds of the server is given back now; replies still on
// their way are dropped when they come.
void StopWorker(RemoteServer& server)
{
    ReleaseLatest(server);
    if (server.memory.pending.records)
        ReleaseServerBuffer(server.memory.pending.records);
    server.memory.pending.records = nullptr;
    server.watched = 0;
    server.stop = 1;
    if (server.wake)
        SetEvent(server.wake);
}

bool SameServerName(const RemoteServer& server, const char* name)
{
    return lstrcmpiA(server.tag.data() + 2, name) == 0;
}

}  // namespace

uintptr_t ReplyWord(std::size_t slot, uint32_t generation)
{
    return static_cast<uintptr_t>((static_cast<uint64_t>(generation) << 8) | slot);
}

std::size_t SlotOfWord(uintptr_t word)
{
    return static_cast<std::size_t>(word & 0xFF);
}

uint32_t GenerationOfWord(uintptr_t word)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(word) >> 8);
}

void ReleaseLatest(RemoteServer& server)
{
    ReleaseServerBuffer(server.latestSessions);
    ReleaseServerBuffer(server.latestFiles);
    server.latestSessions = nullptr;
    server.latestFiles = nullptr;
    server.latestSessionCount = server.latestFileCount = 0;
}

void WatchServers(const ServerList& list)
{
    // Servers no longer listed stop.
    for (RemoteServer* server : engineState.remote) {
        if (!server || !server->watched)
            continue;
        const bool listed = std::any_of(list.names.begin(), list.names.begin() + list.count,
                                        [&](const auto& name) { return SameServerName(*server, name.data()); });
        if (listed)
            continue;
        StopWorker(*server);
    }
    for (int32_t k = 0; k < list.count; ++k) {
        const char* name = list.names[static_cast<std::size_t>(k)].data();
        bool watched = false;
        for (RemoteServer* server : engineState.remote)
            watched = watched || (server && server->watched && SameServerName(*server, name));
        if (watched)
            continue;
        // A free place: never used, or its worker gone.
        for (ServerId id = 1; id <= kMaxRemoteServers; ++id) {
            RemoteServer* server = engineState.remote[static_cast<std::size_t>(id - 1)];
            if (server && (server->watched || !WorkerEnded(*server)))
                continue;
            if (PrepareServer(id, name))
                StartWorker(*engineState.remote[static_cast<std::size_t>(id - 1)]);
            break;
        }
    }
}

void StopServerWorkers()
{
    for (RemoteServer* server : engineState.remote)
        if (server && server->watched)
            StopWorker(*server);
}

bool IsRequestWaiting(ServerId id, RequestKind kind, const wchar_t* name, const wchar_t* user, DWORD fileId)
{
    const RemoteServer* server = WatchedServer(id);
    return server && AnyWaitingRequest(server->requests, [&](const ServerRequest& request) {
               return request.kind == kind && request.fileId == fileId &&
                      wcscmp(request.name.data(), WideOrEmpty(name)) == 0 &&
                      wcscmp(request.user.data(), WideOrEmpty(user)) == 0;
           });
}

bool RequestServer(ServerId id, RequestKind kind, const wchar_t* name, const wchar_t* user, DWORD fileId)
{
    RemoteServer* server = WatchedServer(id);
    if (!server)
        return false;
    // The same deletion still waiting is not asked twice: sessions come every 100 ms,
    // and a slow server's worker may not have got to it yet.
    if (IsRequestWaiting(id, kind, name, user, fileId))
        return true;
    ServerRequest* request = NextRequestPlace(server->requests);
    if (!request)
        return false;
    request->kind = kind;
    request->fileId = fileId;
    CopyWideText(request->name, WideOrEmpty(name));
    CopyWideText(request->user, WideOrEmpty(user));
    PutRequest(server->requests);
    SetEvent(server->wake);
    return true;
}

void RequestShares(ServerId id)
{
    if (RemoteServer* server = WatchedServer(id)) {
        server->sharesWanted = 1;
        SetEvent(server->wake);
    }
}

bool LatestSessions(ServerId id, std::span<const SESSION_INFO_1>* sessions)
{
    const RemoteServer* server = WatchedServer(id);
    if (!server || !server->latestSessions)
        return false;
    *sessions = {server->latestSessions, server->latestSessionCount};
    return true;
}

bool LatestFiles(ServerId id, std::span<const FILE_INFO_3>* files)
{
    const RemoteServer* server = WatchedServer(id);
    if (!server || !server->latestFiles)
        return false;
    *files = {server->latestFiles, server->latestFileCount};
    return true;
}

void RunServerWorkers(bool run)
{
    runWorkers = run;
}

void ReadServerOnce(ServerId id, ReplyKind kind)
{
    if (RemoteServer* server = WatchedServer(id)) {
        RunRequests(*server);
        PostEnumeration(*server, kind);
    }
}
