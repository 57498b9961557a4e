#include "engine/rounds/service_publisher.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/server_api.h"
#include "core/settings.h"
#include "engine/watch/actions.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarding_control.h"
#include "engine/history/history_store.h"
#include "engine/watch/log_text.h"
#include "engine/watch/news.h"
#include "engine/watch/notices.h"
#include "engine/watch/server_list.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "engine/link/wire.h"
#include "rules/block_rules.h"

namespace {

constexpr ULONGLONG kListsEveryMs = 1000;
// A name another process holds is tried again this often: a window connects within a
// few seconds of its coming free.
constexpr ULONGLONG kPipeRetryMs = 2000;
// What a turn of the engine's loop takes from the windows at most: a window that sends
// as fast as it can never holds the block round back.
constexpr int kWindowMessagesPerTurn = 32;

constexpr char kPipeHeld[] = "The pipe %ws is held by process %lu: no window can reach the service until it is "
                             "free. The service protects all the same, and tries again every few seconds.";
constexpr char kPipeNotMade[] = "The pipe %ws cannot be made (error %lu): no window can reach the service. It "
                                "protects all the same, and tries again every few seconds.";
constexpr char kPipeFree[] = "The pipe %ws is the service's again: its windows can reach it.";

// The frames of the readings on their way to one window, made at once and handed to
// the pipe as its backlog has room: a reading larger than the backlog goes whole,
// over as many engine steps as it needs, and the window stays connected.
constexpr std::size_t kReadingKinds = 3;  // sessions, files, shares
// The most the readings of one window's three tables can take as frames.
constexpr std::size_t kStreamBytes = kReadingKinds * (kReadingTextBytes + (std::size_t{16} << 20));
// Room kept in the backlog for the other messages a step sends besides.
constexpr std::size_t kRoomForOthers = kMaxFrameBytes * 2;

struct ReadingStream {
    ReservedStore bytes;  // reserved when its window first joins, committed as it fills
    std::size_t made;     // frames made up to here
    std::size_t sent;     // handed to the pipe up to here
    std::array<std::size_t, kReadingKinds> endOf;  // where a table's reading ends; 0: none waiting
};

struct WindowClient {
    PipeClientId id;
    WireWatch watch;
    ServerId sharesAsked;  // the server whose shares it waits for; -1 none
    PipeAccount account;   // who it runs as: what it asks is recorded with it
    ReadingStream* stream;
};

PipeServer pipe;
PipeServerOptions pipeOptions;
ULONGLONG pipeTriedAt;
bool pipeRefusalSaid;
std::array<WindowClient, kMaxPipeClients> clients;
std::array<ReadingStream, kMaxPipeClients> streams;
std::array<uint8_t, kMaxFrameBytes> room;
ULONGLONG lastLists;
WireHistoryState historySent;
WireServiceState serviceState;
// Per place (this computer, then each server) and table (sessions, files).
std::array<std::array<ULONGLONG, 2>, kMaxRemoteServers + 1> lastReadings;

template <typename Message, typename Encode>
std::span<const uint8_t> FrameOf(WireKind kind, const Message& message, Encode encode)
{
    return MakeFrame(std::span<uint8_t>(room), kind, message, encode);
}

void SendOrBroadcast(PipeClientId client, std::span<const uint8_t> frame)
{
    if (frame.empty())
        return;
    if (client)
        SendToPipeClient(pipe, client, frame);
    else
        BroadcastToPipeClients(pipe, frame);
}

// 0: every window.
void SendLogGates(PipeClientId client)
{
    const Settings& settings = engineState.settings;
    const WireLogGates gates{settings.savesess, settings.savefiles, settings.savelogs, settings.savecsvlogs,
                             HistoryKeepDays()};
    SendOrBroadcast(client, FrameOf(WireKind::LogGates, gates, EncodeLogGates));
}

void SendRules(PipeClientId client)
{
    static WireRules rules;
    rules.blockMode = engineState.rules.blockMode ? 1 : 0;
    rules.blacklist = engineState.rules.blacklist;
    rules.whitelist = engineState.rules.whitelist;
    rules.tripped = engineState.rules.tripped;
    SendOrBroadcast(client, FrameOf(WireKind::Rules, rules, EncodeRules));
}

void SendTripwires(PipeClientId client)
{
    SendOrBroadcast(client, FrameOf(WireKind::Tripwires, engineState.rules.tripwires, EncodeTripwires));
}

void SendServers(PipeClientId client)
{
    WireServers servers{};
    for (ServerId id = 1; id <= kMaxRemoteServers; ++id) {
        const RemoteServer* server = WatchedServer(id);
        if (!server)
            continue;
        WireServer& entry = servers.servers[static_cast<std::size_t>(servers.count++)];
        entry.id = id;
        CopyText(entry.name, server->tag.data() + 2);
        entry.state = server->state.load();
    }
    SendOrBroadcast(client, FrameOf(WireKind::Servers, servers, EncodeServers));
}

void SendForward(PipeClientId client)
{
    SendOrBroadcast(client, FrameOf(WireKind::Forward, ForwardingSettingsInForce(), EncodeForward));
}

WireHistoryState HistoryStateNow()
{
    const HistoryStatus status = ReadHistoryStatus();
    return {status.health, status.backfill, status.filesDone, std::max(status.filesDone, status.filesTotal),
            status.linesRead};
}

void SendHistoryState(PipeClientId client)
{
    historySent = HistoryStateNow();
    SendOrBroadcast(client, FrameOf(WireKind::HistoryState, historySent, EncodeHistoryState));
}

void SendServiceState(PipeClientId client)
{
    SendOrBroadcast(client, FrameOf(WireKind::ServiceState, serviceState, EncodeServiceState));
}

void SendWholeLogText(PipeClientId client)
{
    const WireLogText text{1, WholeLogText(engineState.logText)};
    SendOrBroadcast(client, FrameOf(WireKind::LogText, text, EncodeLogText));
}

void EmptyStream(ReadingStream& stream)
{
    stream.made = 0;
    stream.sent = 0;
    stream.endOf = {};
}

std::size_t FrameBytesAt(const uint8_t* frame)
{
    const uint32_t payload = static_cast<uint32_t>(frame[8]) | static_cast<uint32_t>(frame[9]) << 8 |
                             static_cast<uint32_t>(frame[10]) << 16 | static_cast<uint32_t>(frame[11]) << 24;
    return kFrameHeaderBytes + payload;
}

// Hands the window what its backlog has room for, a whole frame at a time.
void SendStream(WindowClient& client)
{
    ReadingStream& stream = *client.stream;
    while (stream.sent < stream.made) {
        const uint8_t* frame = stream.bytes.base + stream.sent;
        const std::size_t size = FrameBytesAt(frame);
        if (PipeClientRoom(pipe, client.id) < size + kRoomForOthers)
            return;  // the rest after a later step, as the pipe's thread sends
        if (!SendToPipeClient(pipe, client.id, {frame, size})) {
            EmptyStream(stream);
            return;
        }
        stream.sent += size;
        for (std::size_t& end : stream.endOf)
            end = end != 0 && end <= stream.sent ? 0 : end;
    }
    EmptyStream(stream);
}

// What is still to go moves to the stream's start when no more than what went, so
// that the memory a window's stream keeps follows its largest reading, not two of
// them, and no byte is moved more often than once for each one sent.
void CompactStream(ReadingStream& stream)
{
    const std::size_t waiting = stream.made - stream.sent;
    if (stream.sent == 0 || waiting > stream.sent)
        return;
    std::memmove(stream.bytes.base, stream.bytes.base + stream.sent, waiting);
    for (std::size_t& end : stream.endOf)
        end = end != 0 ? end - stream.sent : 0;
    stream.made = waiting;
    stream.sent = 0;
}

// A reading, made into the window's stream as frames and sent as room allows. A
// window still being sent the last reading of that table gets a later one instead.
template <typename Record>
void SendReading(WindowClient& client, ServerId server, NET_API_STATUS status, std::span<const Record> records)
{
    if (!client.stream)
        return;
    ReadingStream& stream = *client.stream;
    ReadingEncoder encoder{};
    StartReading(encoder, server, status, records);
    const std::size_t table = static_cast<std::size_t>(encoder.begin.kind);
    if (table >= kReadingKinds || stream.endOf[table] != 0)
        return;
    CompactStream(stream);
    const std::size_t start = stream.made;
    for (std::span<const uint8_t> frame = NextReadingFrame(encoder, room); !frame.empty();
         frame = NextReadingFrame(encoder, room)) {
        auto* base = static_cast<uint8_t*>(CommitStore(stream.bytes, stream.made + frame.size()));
        if (!base) {
            stream.made = start;  // no memory for it now: none of it goes
            return;
        }
        std::copy(frame.begin(), frame.end(), base + stream.made);
        stream.made += frame.size();
    }
    if (stream.made != start)
        stream.endOf[table] = stream.made;
    SendStream(client);
}

WindowClient* ClientOf(PipeClientId id)
{
    for (WindowClient& client : clients)
        if (client.id == id)
            return &client;
    return nullptr;
}

// This computer's tables as a window that just asked sees them.
void SendThisComputer(WindowClient& client)
{
    if (client.watch.monitoring == kThisComputer) {
        Enumeration<SESSION_INFO_1> sessions;
        EnumerateSessions1(&sessions);
        SendReading<SESSION_INFO_1>(client, kThisComputer, sessions.status, sessions.Records());
        Enumeration<FILE_INFO_3> files;
        EnumerateOpenFiles(&files);
        SendReading<FILE_INFO_3>(client, kThisComputer, files.status, files.Records());
    } else {
        std::span<const SESSION_INFO_1> sessions;
        if (LatestSessions(client.watch.monitoring, &sessions))
            SendReading<SESSION_INFO_1>(client, client.watch.monitoring, NERR_Success, sessions);
        std::span<const FILE_INFO_3> files;
        if (LatestFiles(client.watch.monitoring, &files))
            SendReading<FILE_INFO_3>(client, client.watch.monitoring, NERR_Success, files);
    }
}

void SendShares(WindowClient& client, ServerId server)
{
    if (server == kThisComputer) {
        Enumeration<SHARE_INFO_502> shares;
        EnumerateShares(&shares);
        SendReading<SHARE_INFO_502>(client, kThisComputer, shares.status, shares.Records());
        return;
    }
    client.sharesAsked = server;
    RequestShares(server);
}

void Join(PipeClientId id, const PipeAccount& account)
{
    for (std::size_t slot = 0; slot < clients.size(); ++slot) {
        WindowClient& client = clients[slot];
        if (client.id)
            continue;
        ReadingStream& stream = streams[slot];
        EmptyStream(stream);
        client = {id, {kThisComputer, kThisComputer}, -1, account,
                  ReserveStore(stream.bytes, kStreamBytes) ? &stream : nullptr};
        SendLogGates(id);
        SendRules(id);
        SendTripwires(id);
        SendServers(id);
        SendForward(id);
        SendHistoryState(id);
        SendServiceState(id);
        SendWholeLogText(id);
        SendThisComputer(client);
        return;
    }
}

void Leave(PipeClientId id)
{
    if (WindowClient* client = ClientOf(id)) {
        if (client->stream)
            EmptyStream(*client->stream);
        *client = {};
    }
}

void SaveLists()
{
    SaveComputerLists(engineState.rules);
    SendRules(0);
}

// The commands that act on one server's tables: refused for a server not watched.
bool ActsOnServer(CommandKind kind)
{
    return kind == CommandKind::CloseSession || kind == CommandKind::CloseFile || kind == CommandKind::RemoveShare ||
           kind == CommandKind::RefreshShares;
}

void SetLogGates(const WireLogGates& gates, const wchar_t* by)
{
    Settings& settings = engineState.settings;
    settings.savesess = gates.savesess;
    settings.savefiles = gates.savefiles;
    settings.savelogs = gates.savelogs;
    settings.savecsvlogs = gates.savecsvlogs;
    for (const SettingKey* key : {&kSaveSessKey, &kSaveFilesKey, &kSaveLogsKey, &kSaveCsvLogsKey})
        WriteSetting(*key, settings.*key->field);
    SaveHistoryKeepDays(gates.historyKeepDays);
    SayChangedBy("the log settings", by);
    SendLogGates(0);
}

void SetForward(const ForwardSettings& forward, const wchar_t* by)
{
    // The decoder let through only values in their ranges; the host is resolved by the
    // forwarder's thread, which says on the Log page when it cannot be.
    WriteForwardSettings(forward);
    RestartForwarding(forward);
    SayChangedBy("the forwarding settings", by);
    SendForward(0);
}

void SetBackfill(bool resume, const wchar_t* by)
{
    if (resume)
        ResumeHistoryBackfill();
    else
        StopHistoryBackfill();
    SayChangedBy(resume ? "the reading of the daily logs into the history: resumed"
                        : "the reading of the daily logs into the history: stopped",
                 by);
    SendHistoryState(0);
}

CommandResult Do(WindowClient& client, const WireCommand& command)
{
    const wchar_t* by = client.account.data();
    if (ActsOnServer(command.kind) && command.server != kThisComputer && !WatchedServer(command.server))
        return CommandResult::UnknownServer;
    switch (command.kind) {
    case CommandKind::CloseSession:
        CloseSessionAction(command.server, command.name.data(), command.user.data(), by);
        break;
    case CommandKind::CloseFile: CloseFileAction(command.server, command.fileId, by); break;
    case CommandKind::RemoveShare: RemoveShareAction(command.server, command.name.data(), by); break;
    case CommandKind::RefreshShares: SendShares(client, command.server); break;
    case CommandKind::AddComputer:
        if (!ListComputerAction(command.list ? Whitelist : Blacklist, command.name.data(), command.ticks, by))
            return CommandResult::Refused;
        SaveLists();
        break;
    case CommandKind::RemoveComputer: {
        std::array<char, kClientNameUnits * 2> name{};
        AnsiFromWide(name, command.name.data());
        UnlistComputerAction(command.list ? Whitelist : Blacklist, name.data(), by);
        SaveLists();
        break;
    }
    case CommandKind::SetBlockMode:
        engineState.rules.blockMode = command.blockMode ? Whitelist : Blacklist;
        SayChangedBy(command.blockMode ? "the block mode to the whitelist" : "the block mode to the blacklist", by);
        SaveLists();
        break;
    case CommandKind::ReleaseTripped:
        ReleaseTrippedAction(static_cast<std::size_t>(command.slot), by);
        SendRules(0);
        break;
    case CommandKind::SetTripwires:
        engineState.rules.tripwires = command.tripwires;
        SaveTripwireRules(engineState.rules.tripwires);
        SayChangedBy("the tripwires", by);
        SendTripwires(0);
        break;
    case CommandKind::SetServers:
        SaveServerList(command.servers);
        WatchServers(command.servers);
        SayChangedBy("the servers watched", by);
        SendServers(0);
        break;
    case CommandKind::SetLogGates: SetLogGates(command.gates, by); break;
    case CommandKind::SetForward: SetForward(command.forward, by); break;
    case CommandKind::StopBackfill: SetBackfill(false, by); break;
    case CommandKind::ResumeBackfill: SetBackfill(true, by); break;
    }
    return CommandResult::Done;
}

// Tries the pipe; its refusal is said once, with the holder of its name, and so is its
// coming back.
bool TryServicePipe()
{
    pipeTriedAt = MillisecondsNow();
    if (StartPipeServer(pipe, pipeOptions)) {
        if (pipeRefusalSaid) {
            std::array<char, kFormatCapacity> line{};
            FormatText(line, kPipeFree, pipeOptions.name);
            PutLogLine(line.data());
            std::array<char, kPipeNameUnits> name{};
            AnsiFromWide(name, pipeOptions.name);
            ReportProductEvent(QUORVEL_EVENT_PIPE_FREE, {name.data()});
        }
        pipeRefusalSaid = false;
        return true;
    }
    const DWORD error = GetLastError();
    if (pipeRefusalSaid)
        return false;
    pipeRefusalSaid = true;
    const DWORD holder = PipeNameHolder(pipeOptions.name);
    std::array<char, kFormatCapacity> line{};
    if (holder != 0)
        FormatText(line, kPipeHeld, pipeOptions.name, holder);
    else
        FormatText(line, kPipeNotMade, pipeOptions.name, error);
    PutLogLine(line.data());
    std::array<char, kPipeNameUnits> name{};
    AnsiFromWide(name, pipeOptions.name);
    std::array<char, 32> who{};
    FormatText(who, holder != 0 ? "%lu" : "(error %lu)", holder != 0 ? holder : error);
    ReportProductEvent(QUORVEL_EVENT_PIPE_HELD, {name.data(), who.data()});
    return false;
}

}  // namespace

PipeServer& ServicePipe()
{
    return pipe;
}

bool StartServicePipe(const PipeServerOptions& options)
{
    pipeOptions = options;
    pipeRefusalSaid = false;
    return TryServicePipe();
}

void StopServicePipe()
{
    StopPipeServer(pipe);
}

void SetServiceRefusal(const char* refusal)
{
    serviceState.refused = refusal && *refusal ? 1 : 0;
    CopyText(serviceState.refusal, refusal ? refusal : "");
    ReplaceControlCharacters(serviceState.refusal);
    SendServiceState(0);
}

void PublishAfterStep()
{
    if (!PipeServerRunning(pipe) && pipeOptions.name && MillisecondsNow() - pipeTriedAt >= kPipeRetryMs)
        TryServicePipe();
    for (WindowClient& client : clients)
        if (client.id && client.stream)
            SendStream(client);
    EngineNews& news = engineState.news;
    if (HasNews(news)) {
        BroadcastToPipeClients(pipe, FrameOf(WireKind::News, news, EncodeNews));
        ClearNews(news);
    }
    LogText& log = engineState.logText;
    if (log.emptied || log.newFrom < log.length) {
        const WireLogText text{log.emptied, WholeLogText(log).substr(log.emptied ? 0 : log.newFrom)};
        BroadcastToPipeClients(pipe, FrameOf(WireKind::LogText, text, EncodeLogText));
        MarkLogTextShown(log);
    }
    const ULONGLONG now = MillisecondsNow();
    if (now - lastLists >= kListsEveryMs) {
        lastLists = now;
        SendRules(0);
        SendServers(0);
    }
    // Sent when it changes: while the logs are read, a step at a time.
    const WireHistoryState history = HistoryStateNow();
    if (history.health != historySent.health || history.backfill != historySent.backfill ||
        history.filesDone != historySent.filesDone || history.filesTotal != historySent.filesTotal ||
        history.linesRead != historySent.linesRead)
        SendHistoryState(0);
}

void PublishReading(const EngineReading& reading)
{
    if (reading.kind == SharesReply) {
        for (WindowClient& client : clients) {
            if (client.id && client.sharesAsked == reading.server) {
                SendReading(client, reading.server, reading.status, RecordsOf<SHARE_INFO_502>(reading));
                client.sharesAsked = -1;
            }
        }
        return;
    }
    if (reading.status != NERR_Success && reading.status != ERROR_MORE_DATA)
        return;
    if (reading.server < kThisComputer || reading.server > kMaxRemoteServers)
        return;
    // The poll reads every 200 ms and a server's worker every 100 ms: the windows follow
    // each table once a second.
    ULONGLONG& last = lastReadings[static_cast<std::size_t>(reading.server)][reading.kind == FilesReply ? 1 : 0];
    const ULONGLONG now = MillisecondsNow();
    if (last != 0 && now - last < kListsEveryMs)
        return;
    last = now;
    for (WindowClient& client : clients) {
        if (!client.id || client.watch.monitoring != reading.server)
            continue;
        if (reading.kind == SessionsReply)
            SendReading(client, reading.server, reading.status, RecordsOf<SESSION_INFO_1>(reading));
        else if (reading.kind == FilesReply)
            SendReading(client, reading.server, reading.status, RecordsOf<FILE_INFO_3>(reading));
    }
}

void TakeWindowMessages()
{
    for (int taken = 0;; ++taken) {
        if (taken == kWindowMessagesPerTurn) {
            // The rest waits for the next turn, after the rounds that are due.
            if (OldestRequest(pipe.inbound))
                SetEvent(PipeInboundEvent(pipe));
            return;
        }
        const PipeInbound* inbound = NextPipeInbound(pipe);
        if (!inbound)
            return;
        switch (inbound->event) {
        case PipeEvent::Joined: Join(inbound->client, inbound->account); break;
        case PipeEvent::Left: Leave(inbound->client); break;
        case PipeEvent::Message:
            if (WindowClient* client = ClientOf(inbound->client)) {
                if (inbound->kind == WireKind::Watch) {
                    const bool changed = client->watch.monitoring != inbound->watch.monitoring;
                    client->watch = inbound->watch;
                    if (changed)
                        SendThisComputer(*client);
                } else if (inbound->kind == WireKind::Command) {
                    const WireCommandDone done{inbound->command.id, Do(*client, inbound->command)};
                    SendToPipeClient(pipe, client->id, FrameOf(WireKind::CommandDone, done, EncodeCommandDone));
                }
            }
            break;
        }
        DonePipeInbound(pipe);
    }
}
