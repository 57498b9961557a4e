#include "windows/service_client.h"

#include <array>
#include <atomic>
#include <cstring>

#include "core/handoff.h"
#include "core/reserved_store.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/history/history_store.h"
#include "engine/watch/log_text.h"
#include "engine/link/pipe_client.h"
#include "engine/link/pipe_server.h"
#include "resources/resource.h"
#include "windows/window_state.h"

namespace {

constexpr wchar_t kServiceName[] = L"Quorvel";
constexpr std::size_t kFrameSlots = 8;
// The service back after a restart is found within this and the connect's own wait.
constexpr DWORD kReconnectMs = 500;
constexpr DWORD kConnectMs = 500;
constexpr DWORD kSendMs = 2000;

// Frames on their way from the connection's thread to the main window's thread, each
// with the number of the connection it came on: one of an earlier connection is
// dropped, and a fault in it never ends the connection of now.
struct WaitingFrame {
    WireKind kind;
    std::size_t length;
    uint32_t connection;
};
HandoffSlots<kFrameSlots> frameSlots;
std::array<WaitingFrame, kFrameSlots> waitingFrames;
ReservedStore payloads;  // kMaxFramePayload bytes a slot, all committed at the start
HANDLE slotFreed;        // auto-reset: the main window's thread freed a slot
HANDLE clientThread;

// The connection's thread owns the connection: it connects, reads, and closes. The main
// window's thread sends on it. One rule for both: a send and a close each hold the lock,
// and a send is made only while the connection is open.
ServiceConnection connection;
SRWLOCK connectionLock = SRWLOCK_INIT;
bool connectionOpen;                      // under the lock
std::atomic<uint32_t> connectionNumber;  // the connection of now; 0 before the first
std::atomic<uint32_t> nextCommand;
std::atomic<int32_t> watchedMonitoring;
std::atomic<int32_t> watchedShares;

// The main window's thread alone: what the service showed last.
enum ReadingSlot : std::size_t { SessionsReading = 0, FilesReading = 1, SharesReading = 2 };
std::array<ReadingAssembler, 3> readings;
int32_t readingUnderWay = -1;
struct ServerCopy {
    int32_t inUse;
    std::array<char, kServerNameUnits + 2> tag;
    std::array<wchar_t, kServerNameUnits + 2> unc;
    ServerState state;
};
std::array<ServerCopy, kMaxRemoteServers> servers;
ForwardSettings serviceForward;
bool serviceForwardCame;
WireHistoryState serviceHistory;
bool serviceHistoryCame;
WireServiceState serviceState;

// Committed once at the start: both threads read the store's base, neither changes it.
uint8_t* PayloadOf(std::size_t slot)
{
    return payloads.base + slot * kMaxFramePayload;
}

bool SendFrame(std::span<const uint8_t> frame)
{
    if (frame.empty())
        return false;
    AcquireSRWLockExclusive(&connectionLock);
    const bool sent = connectionOpen && SendToService(connection, frame, kSendMs);
    ReleaseSRWLockExclusive(&connectionLock);
    return sent;
}


// A frame that broke the rules ends the connection it came on, if that is still the one.
void EndConnection(uint32_t number)
{
    AcquireSRWLockExclusive(&connectionLock);
    if (connectionOpen && connectionNumber.load() == number)
        StopReadingFromService(connection);
    ReleaseSRWLockExclusive(&connectionLock);
}

void SendWatch()
{
    static std::array<uint8_t, kMaxFrameBytes> room;
    const WireWatch watch{watchedMonitoring.load(), watchedShares.load()};
    SendFrame(MakeFrame(std::span<uint8_t>(room), WireKind::Watch, watch, EncodeWatch));
}

// Checks a frame as the service sent it, on the connection's thread: nothing
// malformed reaches the main window's thread. A reading's parts are checked there,
// as it puts them together.
bool CheckedFrame(const Frame& frame)
{
    static WireWelcome welcome;
    static WireLogGates gates;
    static WireRules rules;
    static TripwireRules tripwires;
    static WireServers serverList;
    static WireLogText text;
    static EngineNews news;
    static WireCommandDone done;
    static ForwardSettings forward;
    static WireHistoryState history;
    static WireServiceState state;
    switch (frame.kind) {
    case WireKind::Welcome: return DecodeWelcome(frame.payload, &welcome);
    case WireKind::LogGates: return DecodeLogGates(frame.payload, &gates);
    case WireKind::Rules: return DecodeRules(frame.payload, &rules);
    case WireKind::Tripwires: return DecodeTripwires(frame.payload, &tripwires);
    case WireKind::Servers: return DecodeServers(frame.payload, &serverList);
    case WireKind::LogText: return DecodeLogText(frame.payload, &text);
    case WireKind::News: return DecodeNews(frame.payload, &news);
    case WireKind::CommandDone: return DecodeCommandDone(frame.payload, &done);
    case WireKind::Forward: return DecodeForward(frame.payload, &forward);
    case WireKind::HistoryState: return DecodeHistoryState(frame.payload, &history);
    case WireKind::ServiceState: return DecodeServiceState(frame.payload, &state);
    case WireKind::ReadingBegin:
    case WireKind::ReadingPart:
    case WireKind::ReadingEnd: return true;
    default: return false;
    }
}

// The connection's thread: a checked frame goes to the main window's thread in a free
// slot, waiting for one while that thread is behind.
bool HandOverFrame(void*, const Frame& frame)
{
    if (!CheckedFrame(frame))
        return false;
    if (frame.kind == WireKind::Welcome || frame.kind == WireKind::CommandDone)
        return true;  // nothing for the window to show
    int slot = ClaimSlot(frameSlots);
    while (slot < 0) {
        WaitForSingleObject(slotFreed, 100);
        slot = ClaimSlot(frameSlots);
    }
    const auto place = static_cast<std::size_t>(slot);
    uint8_t* payload = PayloadOf(place);
    if (!payload) {
        FreeSlot(frameSlots, place);
        return false;
    }
    memcpy(payload, frame.payload.data(), frame.payload.size());
    waitingFrames[place] = {frame.kind, frame.payload.size(), connectionNumber.load()};
    PublishSlot(frameSlots, place);
    if (!PostMessageA(windowState.mainWindow, WM_SERVICE_FRAME, place, 0))
        FreeSlot(frameSlots, place);
    return true;
}

// The process the service manager runs as the protection service; 0 when none.
DWORD ServiceProcessId()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return 0;
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const bool known = service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                                       sizeof(status), &needed);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return known && status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

// The pipe's other end is the protection service itself, not a program that took the
// name while the service was away: the window would show what that program says and
// send it the user's commands.
bool ServedByTheService(HANDLE pipe)
{
    ULONG server = 0;
    return GetNamedPipeServerProcessId(pipe, &server) && server != 0 && server == ServiceProcessId();
}

DWORD WINAPI ServiceClientThread(LPVOID)
{
    for (;;) {
        const bool connected = ConnectToService(connection, kPipeName, kConnectMs);
        if (connected && !ServedByTheService(connection.pipe)) {
            CloseServiceConnection(connection);  // never open: no one sends on it
        } else if (connected) {
            BeginServiceConnection();
            windowState.serviceConnected = 1;
            PostMessageA(windowState.mainWindow, WM_SERVICE_CONNECTION, 1, 0);
            ReadFromService(connection, HandOverFrame, nullptr);
            windowState.serviceConnected = 0;
            EndServiceConnection();  // waits for a send under way, which ends at its own time-out
            PostMessageA(windowState.mainWindow, WM_SERVICE_CONNECTION, 0, 0);
        }
        Sleep(kReconnectMs);
    }
}

void TakeServers(const WireServers& list)
{
    std::array<ServerCopy, kMaxRemoteServers> next{};
    for (int32_t k = 0; k < list.count; ++k) {
        const WireServer& server = list.servers[static_cast<std::size_t>(k)];
        ServerCopy& copy = next[static_cast<std::size_t>(server.id - 1)];
        copy.inUse = 1;
        FormatText(copy.tag, "\\\\%s", server.name.data());
        std::array<wchar_t, kServerNameUnits> wide{};
        WideFromAnsi(wide, server.name.data());
        CopyWideText(copy.unc, L"\\\\");
        CopyWideText(std::span(copy.unc).subspan(2), wide.data());
        copy.state = static_cast<ServerState>(server.state);
    }
    servers = next;
}

// A reading's frame; false when it breaks the reading's rules.
bool TakeReading(const Frame& frame, ServiceFrameChange& change)
{
    if (frame.kind == WireKind::ReadingBegin) {
        WireReadingBegin begin{};
        if (readingUnderWay >= 0 || !DecodeReadingBegin(frame.payload, &begin))
            return false;
        readingUnderWay = begin.kind == SessionsReply ? SessionsReading
                          : begin.kind == FilesReply  ? FilesReading
                                                      : SharesReading;
    }
    if (readingUnderWay < 0)
        return false;
    ReadingAssembler& reading = readings[static_cast<std::size_t>(readingUnderWay)];
    if (!TakeReadingFrame(reading, frame))
        return false;
    if (frame.kind == WireKind::ReadingEnd) {
        readingUnderWay = -1;
        change.reading = &reading;
    }
    return true;
}

bool ApplyFrame(const Frame& frame, ServiceFrameChange& change)
{
    switch (frame.kind) {
    case WireKind::LogGates: {
        WireLogGates gates{};
        if (!DecodeLogGates(frame.payload, &gates))
            return false;
        Settings& settings = engineState.settings;
        settings.savesess = gates.savesess;
        settings.savefiles = gates.savefiles;
        settings.savelogs = gates.savelogs;
        settings.savecsvlogs = gates.savecsvlogs;
        SetHistoryKeepDays(gates.historyKeepDays);  // what the Settings dialog shows
        return true;
    }
    case WireKind::Rules: {
        static WireRules rules;
        if (!DecodeRules(frame.payload, &rules))
            return false;
        engineState.rules.blockMode = rules.blockMode;
        engineState.rules.blacklist = rules.blacklist;
        engineState.rules.whitelist = rules.whitelist;
        engineState.rules.tripped = rules.tripped;
        change.rules = true;
        return true;
    }
    case WireKind::Tripwires: return DecodeTripwires(frame.payload, &engineState.rules.tripwires);
    case WireKind::Servers: {
        static WireServers list;
        if (!DecodeServers(frame.payload, &list))
            return false;
        TakeServers(list);
        change.servers = true;
        return true;
    }
    case WireKind::LogText: {
        WireLogText text{};
        if (!DecodeLogText(frame.payload, &text))
            return false;
        if (text.reset) {
            ClearLogText(engineState.logText);
            windowState.logViewBehind = 1;
        }
        AppendLogText(engineState.logText, text.text);
        return true;
    }
    case WireKind::News: return DecodeNews(frame.payload, &engineState.news);
    case WireKind::Forward:
        serviceForwardCame = DecodeForward(frame.payload, &serviceForward);
        return serviceForwardCame;
    case WireKind::HistoryState:
        serviceHistoryCame = DecodeHistoryState(frame.payload, &serviceHistory);
        return serviceHistoryCame;
    case WireKind::ServiceState:
        change.serviceState = true;
        return DecodeServiceState(frame.payload, &serviceState);
    case WireKind::ReadingBegin:
    case WireKind::ReadingPart:
    case WireKind::ReadingEnd: return TakeReading(frame, change);
    default: return false;
    }
}

}  // namespace

bool ProtectionServiceRunning()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return false;
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    const bool running = service && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return running;
}

bool PrepareServiceClient()
{
    if (payloads.committed)
        return true;
    if (!ReserveStore(payloads, kFrameSlots * kMaxFramePayload) || !CommitStore(payloads, kFrameSlots * kMaxFramePayload))
        return false;
    for (ReadingAssembler& reading : readings)
        StartReadingAssembler(reading);
    slotFreed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return slotFreed != nullptr;
}

void StartServiceClient()
{
    if (clientThread || !PrepareServiceClient())
        return;  // no room for a frame: the window shows no service
    clientThread = CreateThread(nullptr, 0, ServiceClientThread, nullptr, 0, nullptr);
}

void BeginServiceConnection()
{
    AcquireSRWLockExclusive(&connectionLock);
    connectionNumber.fetch_add(1);
    connectionOpen = true;
    ReleaseSRWLockExclusive(&connectionLock);
}

void EndServiceConnection()
{
    AcquireSRWLockExclusive(&connectionLock);
    connectionOpen = false;
    CloseServiceConnection(connection);
    ReleaseSRWLockExclusive(&connectionLock);
}

uint32_t ServiceConnectionNumber()
{
    return connectionNumber.load();
}

ServiceFrameChange TakeServiceFrame(WPARAM slot)
{
    ServiceFrameChange change{};
    if (!IsPosted(frameSlots, slot))
        return change;
    const WaitingFrame waiting = waitingFrames[slot];
    change = ApplyServiceFrame(waiting.connection, {waiting.kind, {PayloadOf(slot), waiting.length}});
    FreeSlot(frameSlots, slot);
    SetEvent(slotFreed);
    return change;
}

ServiceFrameChange ApplyServiceFrame(uint32_t connectionOfFrame, const Frame& frame)
{
    ServiceFrameChange change{};
    change.taken = true;
    // A frame of an earlier connection is stale: the service sends everything again.
    if (connectionOfFrame != connectionNumber.load())
        return change;
    if (!ApplyFrame(frame, change)) {
        readingUnderWay = -1;
        EndConnection(connectionOfFrame);  // a reading out of its rules: start again
    }
    return change;
}

void TakeServiceConnection(bool connected)
{
    // A reading the last connection left halfway never blocks the next one's.
    readingUnderWay = -1;
    for (ReadingAssembler& reading : readings)
        AbandonPartialReading(reading);
    serviceState = {};
    if (connected)
        SendWatch();
}

bool ServiceSessions(ServerId server, std::span<const SESSION_INFO_1>* sessions, NET_API_STATUS* status)
{
    const ReadingAssembler& reading = readings[SessionsReading];
    if (!ReadingIsWhole(reading) || reading.begin.server != server)
        return false;
    *sessions = AssembledSessions(reading);
    *status = reading.begin.status;
    return true;
}

bool ServiceFiles(ServerId server, std::span<const FILE_INFO_3>* files, NET_API_STATUS* status)
{
    const ReadingAssembler& reading = readings[FilesReading];
    if (!ReadingIsWhole(reading) || reading.begin.server != server)
        return false;
    *files = AssembledFiles(reading);
    *status = reading.begin.status;
    return true;
}

bool ServiceServer(ServerId server, const char** tag, const wchar_t** unc, ServerState* state)
{
    if (server < 1 || server > kMaxRemoteServers || !servers[static_cast<std::size_t>(server - 1)].inUse)
        return false;
    const ServerCopy& copy = servers[static_cast<std::size_t>(server - 1)];
    *tag = copy.tag.data();
    *unc = copy.unc.data();
    *state = copy.state;
    return true;
}

void ServiceServerList(ServerList& list)
{
    list = {};
    for (const ServerCopy& copy : servers)
        if (copy.inUse)
            CopyText(list.names[static_cast<std::size_t>(list.count++)], copy.tag.data() + 2);
}

bool ServiceForwardSettings(ForwardSettings* settings)
{
    if (serviceForwardCame)
        *settings = serviceForward;
    return serviceForwardCame;
}

bool ServiceRefusedPartOfItsFolder()
{
    return serviceState.refused != 0;
}

bool ServiceHistoryState(WireHistoryState* state)
{
    if (serviceHistoryCame)
        *state = serviceHistory;
    return serviceHistoryCame;
}

bool SendServiceCommand(WireCommand& command)
{
    static std::array<uint8_t, kMaxFrameBytes> room;
    command.id = ++nextCommand;
    return SendFrame(MakeFrame(std::span<uint8_t>(room), WireKind::Command, command, EncodeCommand));
}

void SendServiceWatch(ServerId monitoring, ServerId shares)
{
    watchedMonitoring = monitoring;
    watchedShares = shares;
    SendWatch();
}
