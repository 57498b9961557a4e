#include "monitor/remote_servers.h"

#include <algorithm>
#include <cwchar>

#include "blocking/black_list_page.h"
#include "blocking/tripwires.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "monitor/monitoring_page.h"
#include "monitor/server_api.h"
#include "monitor/server_choice.h"
#include "monitor/shares_page.h"
#include "resources/resource.h"

namespace {

// A server's name: no blank inside (no NetBIOS or DNS name has one), nothing a
// folder name may not hold (its logs' folder is named after it).
constexpr char kNotInServerNames[] = "\\/:*?\"<>| ";
// The message's slot word: the reply's place and the use of the server it belongs to.
LPARAM SlotWord(std::size_t slot, uint32_t generation)
{
    return static_cast<LPARAM>((static_cast<uint64_t>(generation) << 8) | slot);
}

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

// A worker's read of one table, handed to the main window's thread as a whole. With
// no free reply (that thread is behind) the read waits for the next round.
void PostEnumeration(RemoteServer& server, int32_t index, ReplyKind kind)
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
    if (!PostMessageA(appState.mainWindow, WM_SERVER_REPLY, static_cast<WPARAM>(index),
                      SlotWord(slot, server.generation))) {
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
    const int32_t index = static_cast<int32_t>(server.generation >> 24);
    ULONGLONG nextSessions = 0;
    ULONGLONG nextFiles = 0;
    while (!server.stop) {
        RunRequests(server);
        if (PacingMillisecondsNow() >= nextSessions) {
            nextSessions = PacingMillisecondsNow() + kRemoteSessionsMs;
            PostEnumeration(server, index, SessionsReply);
        }
        RunRequests(server);
        if (PacingMillisecondsNow() >= nextFiles) {
            nextFiles = PacingMillisecondsNow() + kRemoteFilesMs;
            PostEnumeration(server, index, FilesReply);
        }
        if (server.sharesWanted.exchange(0))
            PostEnumeration(server, index, SharesReply);
        const ULONGLONG now = PacingMillisecondsNow();
        const ULONGLONG due = std::min(nextSessions, nextFiles);
        if (due > now)
            WaitForSingleObject(server.wake, static_cast<DWORD>(due - now));
    }
    return 0;
}

void ReleaseLatest(RemoteServer& server)
{
    ReleaseServerBuffer(server.latestSessions);
    ReleaseServerBuffer(server.latestFiles);
    server.latestSessions = nullptr;
    server.latestFiles = nullptr;
    server.latestSessionCount = server.latestFileCount = 0;
}

// Readies a place for a server: its names, folder and a clean memory of what it reported.
bool PrepareServer(int32_t index, const char* name)
{
    RemoteServer*& place = appState.remote[static_cast<std::size_t>(index)];
    if (!place)
        place = Allocate();
    if (!place)
        return false;
    RemoteServer& server = *place;
    const uint32_t generation = (server.generation & 0x00FFFFFFu) + 1;
    ReleaseLatest(server);
    if (server.pending.records)
        ReleaseServerBuffer(server.pending.records);
    for (HANDLE file : {server.logs.textFile, server.logs.csvFile})
        if (file)
            CloseHandle(file);
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
    // The place rides in the top byte, so the worker knows which it is.
    server.generation = (static_cast<uint32_t>(index) << 24) | (generation & 0x00FFFFFFu);
    std::array<wchar_t, kServerNameUnits> wide{};
    WideFromAnsi(wide, name);
    FormatText(server.tag, "\\\\%s", name);
    CopyWideText(server.unc, L"\\\\");
    CopyWideText(std::span(server.unc).subspan(2), wide.data());
    FormatText(server.folder, "%s%s\\", appState.logFolder.data(), name);
    CreateDirectoryA(server.folder.data(), nullptr);
    server.logs.folder = &server.folder;
    StartSessionMemory(server.sessions, MillisecondsNow());
    return true;
}

bool runWorkers = true;

bool StartWorker(int32_t index)
{
    RemoteServer& server = *appState.remote[static_cast<std::size_t>(index)];
    server.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (runWorkers)
        server.thread = CreateThread(nullptr, 0, ServerWorker, &server, 0, nullptr);
    server.watched = !runWorkers || server.thread != nullptr;
    return server.watched != 0;
}

// What the main window's thread holds of the server is given back now; replies still
// on their way are dropped when they come.
void StopWorker(RemoteServer& server)
{
    ReleaseLatest(server);
    if (server.pending.records)
        ReleaseServerBuffer(server.pending.records);
    server.pending.records = nullptr;
    server.watched = 0;
    server.stop = 1;
    if (server.wake)
        SetEvent(server.wake);
}

bool SameServerName(const RemoteServer& server, const char* name)
{
    return lstrcmpiA(server.tag.data() + 2, name) == 0;
}

ServerWatch WatchOf(RemoteServer& server, int32_t index)
{
    return {index,        server.unc.data(), server.tag.data(),           &server.batch,
            &server.logs, &server.sessions,  &server.files, &server.highestReportedFileId,
            &server.pending};
}

bool ShowsServer(int32_t index)
{
    return appState.shownServer == index + 1;
}

// What the list in force forbids, and what tripwires cut off, goes from this server too.
void EnforceOnServer(RemoteServer& server, int32_t index, std::span<const SESSION_INFO_1> sessions)
{
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const std::wstring_view client = WideOrEmpty(sessions[i].sesi1_cname);
        if (client.empty() || client.size() + 3 > kClientNameUnits || !IsForbiddenClient(client))
            continue;
        bool asked = false;  // a computer with several sessions is asked for once
        for (std::size_t j = 0; j < i && !asked; ++j)
            asked = EqualsIgnoringAsciiCase(WideOrEmpty(sessions[j].sesi1_cname), client) &&
                    IsForbiddenClient(WideOrEmpty(sessions[j].sesi1_cname));
        if (asked)
            continue;
        std::array<wchar_t, kClientNameUnits> name{};
        name[0] = name[1] = L'\\';
        CopyWideText(std::span(name).subspan(2), client);
        RequestServer(index, DeleteSessionRequest, name.data(), nullptr, 0);
    }
    (void)server;
}

void OnSessionsReply(RemoteServer& server, int32_t index, ServerReply& reply)
{
    auto* records = static_cast<SESSION_INFO_1*>(reply.buffer);
    const std::span<const SESSION_INFO_1> sessions(records, records ? reply.count : 0);
    if (reply.status != NERR_Success && reply.status != ERROR_MORE_DATA) {
        ReleaseServerBuffer(reply.buffer);
        return;
    }
    EnforceOnServer(server, index, sessions);
    const PollTime time = TakePollTime();
    ScanSessionsOf(WatchOf(server, index), reply.status, sessions, reply.scanStart, reply.scanEnd, time);
    DeliverActivity(WatchOf(server, index));
    ReleaseServerBuffer(server.latestSessions);
    server.latestSessions = records;
    server.latestSessionCount = reply.count;
    const ULONGLONG now = MillisecondsNow();
    if (ShowsServer(index) && appState.autoRefresh && now - server.lastListRefresh >= 1000) {
        server.lastListRefresh = now;
        RefreshSessionsWith(NERR_Success, sessions);
    }
}

void OnFilesReply(RemoteServer& server, int32_t index, ServerReply& reply)
{
    auto* records = static_cast<FILE_INFO_3*>(reply.buffer);
    const std::span<FILE_INFO_3> files(records, records ? reply.count : 0);
    const bool answered = reply.status == NERR_Success || reply.status == ERROR_MORE_DATA;
    if (answered && ShowsServer(index) && appState.autoRefresh)
        RefreshOpenFilesWith(files);
    const ServerWatch watch = WatchOf(server, index);
    ReleaseServerBuffer(server.latestFiles);
    server.latestFiles = nullptr;
    server.latestFileCount = 0;
    // The scan moves the new files to the front: kept for the list only when it took none.
    if (IsDelivering(watch) || !ScanOpenFilesOf(watch, reply.status, files, TakePollTime())) {
        if (answered) {
            server.latestFiles = records;
            server.latestFileCount = reply.count;
        } else {
            ReleaseServerBuffer(reply.buffer);
        }
    }
    ContinueDelivery();
}

void OnSharesReply(int32_t index, ServerReply& reply)
{
    if (appState.shownSharesServer == index + 1)
        ShowShares(std::span(static_cast<const SHARE_INFO_502*>(reply.buffer), reply.buffer ? reply.count : 0));
    ReleaseServerBuffer(reply.buffer);
}

}  // namespace

bool UsableServerName(std::string_view typed, std::span<char> name)
{
    while (!typed.empty() && typed.front() == ' ')
        typed.remove_prefix(1);
    while (!typed.empty() && typed.back() == ' ')
        typed.remove_suffix(1);
    while (!typed.empty() && typed.front() == '\\')
        typed.remove_prefix(1);
    const bool usable = !typed.empty() && typed.size() < kServerNameUnits && typed.size() < name.size() &&
                        std::none_of(typed.begin(), typed.end(), [](char c) {
                            return IsControlCharacter(c) || std::string_view(kNotInServerNames).find(c) !=
                                                                std::string_view::npos;
                        }) &&
                        typed != "." && typed != "..";
    if (!usable)
        return false;
    CopyText(name, typed);
    return true;
}

bool IsThisComputer(const char* name)
{
    // Watched already as this computer: watched again, its events would show twice.
    for (const COMPUTER_NAME_FORMAT format : {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
        std::array<char, kServerNameUnits> own{};
        DWORD size = static_cast<DWORD>(own.size());
        if (GetComputerNameExA(format, own.data(), &size) && own[0] && lstrcmpiA(own.data(), name) == 0)
            return true;
    }
    return lstrcmpiA(name, "localhost") == 0 || lstrcmpiA(name, "127.0.0.1") == 0;
}

void LoadServerList(ServerList& list)
{
    list = {};
    const int32_t count = std::min<int32_t>(ReadSettingInt(kServersSection, "count", 0), kMaxRemoteServers);
    for (int32_t k = 1; k <= count; ++k) {
        std::array<char, 16> key{};
        FormatText(key, "server%d", k);
        std::array<char, kServerNameUnits * 2> text{};
        ReadSettingText(kServersSection, key.data(), "", text);
        auto& name = list.names[static_cast<std::size_t>(list.count)];
        if (!UsableServerName(text.data(), name) || IsThisComputer(name.data()))
            continue;  // a hand-edited name no server has, or this computer's, is left out
        const bool twice = std::any_of(list.names.begin(), list.names.begin() + list.count,
                                       [&](const auto& other) { return lstrcmpiA(other.data(), name.data()) == 0; });
        if (!twice)
            ++list.count;
    }
}

void SaveServerList(const ServerList& list)
{
    for (int32_t k = 1; k <= kMaxRemoteServers; ++k) {
        std::array<char, 16> key{};
        FormatText(key, "server%d", k);
        if (k > list.count)
            WritePrivateProfileStringA(kServersSection, key.data(), nullptr, appState.settingsPath.data());
        else
            WriteSettingText(kServersSection, key.data(), list.names[static_cast<std::size_t>(k - 1)].data());
    }
    WriteSettingInt(kServersSection, "count", list.count);
}

void WatchServers(const ServerList& list)
{
    // Servers no longer listed stop; their pages go back to this computer.
    for (int32_t index = 0; index < kMaxRemoteServers; ++index) {
        RemoteServer* server = appState.remote[static_cast<std::size_t>(index)];
        if (!server || !server->watched)
            continue;
        const bool listed = std::any_of(list.names.begin(), list.names.begin() + list.count,
                                        [&](const auto& name) { return SameServerName(*server, name.data()); });
        if (listed)
            continue;
        StopWorker(*server);
        if (appState.shownServer == index + 1)
            ShowServerOnMonitoringPage(0);
        if (appState.shownSharesServer == index + 1)
            ShowServerOnSharesPage(0);
    }
    for (int32_t k = 0; k < list.count; ++k) {
        const char* name = list.names[static_cast<std::size_t>(k)].data();
        bool watched = false;
        for (RemoteServer* server : appState.remote)
            watched = watched || (server && server->watched && SameServerName(*server, name));
        if (watched)
            continue;
        // A free place: never used, or its worker gone.
        for (int32_t index = 0; index < kMaxRemoteServers; ++index) {
            RemoteServer* server = appState.remote[static_cast<std::size_t>(index)];
            if (server && (server->watched || !WorkerEnded(*server)))
                continue;
            if (PrepareServer(index, name))
                StartWorker(index);
            break;
        }
    }
    UpdateServerChoices();
}

bool RemoteWatchFor(int32_t index, ServerWatch* watch)
{
    RemoteServer* server = WatchedServer(index);
    if (!server)
        return false;
    *watch = WatchOf(*server, index);
    return true;
}

RemoteServer* WatchedServer(int32_t index)
{
    if (index < 0 || index >= kMaxRemoteServers)
        return nullptr;
    RemoteServer* server = appState.remote[static_cast<std::size_t>(index)];
    return server && server->watched ? server : nullptr;
}

void OnServerReply(WPARAM which, LPARAM word)
{
    const auto index = static_cast<int32_t>(which);
    const auto slot = static_cast<std::size_t>(word & 0xFF);
    if (index < 0 || index >= kMaxRemoteServers || slot >= kRepliesPerServer)
        return;
    RemoteServer* server = appState.remote[static_cast<std::size_t>(index)];
    if (!server)
        return;
    if (!IsPosted(server->replySlots, slot))
        return;
    ServerReply& reply = server->replies[slot];
    const bool current = server->watched && static_cast<uint32_t>(static_cast<uint64_t>(word) >> 8) == server->generation;
    if (!current) {
        ReleaseServerBuffer(reply.buffer);  // a server no longer watched
    } else if (reply.kind == SessionsReply) {
        OnSessionsReply(*server, index, reply);
    } else if (reply.kind == FilesReply) {
        OnFilesReply(*server, index, reply);
    } else {
        OnSharesReply(index, reply);
    }
    reply.buffer = nullptr;
    FreeSlot(server->replySlots, slot);
}

bool RequestServer(int32_t index, RequestKind kind, const wchar_t* name, const wchar_t* user, DWORD fileId)
{
    RemoteServer* server = WatchedServer(index);
    if (!server)
        return false;
    // The same deletion still waiting is not asked twice: sessions come every 100 ms,
    // and a slow server's worker may not have got to it yet.
    const bool waiting = AnyWaitingRequest(server->requests, [&](const ServerRequest& request) {
        return request.kind == kind && request.fileId == fileId && wcscmp(request.name.data(), WideOrEmpty(name)) == 0 &&
               wcscmp(request.user.data(), WideOrEmpty(user)) == 0;
    });
    if (waiting)
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

void RequestShares(int32_t index)
{
    if (RemoteServer* server = WatchedServer(index)) {
        server->sharesWanted = 1;
        SetEvent(server->wake);
    }
}

bool LatestSessions(int32_t index, std::span<const SESSION_INFO_1>* sessions)
{
    const RemoteServer* server = WatchedServer(index);
    if (!server || !server->latestSessions)
        return false;
    *sessions = {server->latestSessions, server->latestSessionCount};
    return true;
}

bool LatestFiles(int32_t index, std::span<const FILE_INFO_3>* files)
{
    const RemoteServer* server = WatchedServer(index);
    if (!server || !server->latestFiles)
        return false;
    *files = {server->latestFiles, server->latestFileCount};
    return true;
}

void RunServerWorkers(bool run)
{
    runWorkers = run;
}

void ReadServerOnce(int32_t index, ReplyKind kind)
{
    if (RemoteServer* server = WatchedServer(index)) {
        RunRequests(*server);
        PostEnumeration(*server, index, kind);
    }
}
