#include "engine/link/pipe_server.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>

#include "core/clock.h"
#include "core/text.h"

namespace {

// SYSTEM and the Administrators group, nothing inherited.
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

enum InstancePhase : int32_t {
    kUnusable = 0,  // not listening: no instance, or the system refused to listen
    kListening,     // waiting for a client
    kGreeting,      // connected; its Hello not yet in
    kJoining,       // welcomed; its arrival not yet handed over
    kOpen,          // the engine's thread has been told of it
    kLeaving,       // gone; its departure not yet handed over
    kForgetting,    // departure handed over, not yet taken
};

constexpr wchar_t kUnknownAccount[] = L"an account that cannot be told";

// Room comes back to the engine's thread as each write completes: writes stay short.
constexpr std::size_t kMostWriteBytes = 256 * 1024;

constexpr uint32_t kInstanceBits = 3;
static_assert(kMaxPipeClients == 1u << kInstanceBits, "a client id keeps its instance in its low bits");
constexpr uint32_t kGenerationMask = 0xFFFFFFFFu >> kInstanceBits;

std::size_t InstanceOf(PipeClientId client)
{
    return client & (kMaxPipeClients - 1);
}

bool IsConversing(const PipeInstance& instance)
{
    return instance.phase == kGreeting || instance.phase == kJoining || instance.phase == kOpen;
}

// ---- The backlog ----

// Called by whoever owns the producing side at the time: the pipe thread for the
// Welcome, the engine's thread once told of the client.
bool PutInBacklog(PipeInstance& instance, std::span<const uint8_t> frame)
{
    const uint64_t queued = instance.queued.load(std::memory_order_relaxed);
    const uint64_t sent = instance.sent.load(std::memory_order_acquire);
    if (frame.size() > kClientBacklogBytes - (queued - sent))
        return false;
    const auto at = static_cast<std::size_t>(queued % kClientBacklogBytes);
    const std::size_t first = std::min(frame.size(), kClientBacklogBytes - at);
    const std::size_t reach = first < frame.size() ? kClientBacklogBytes : at + first;
    auto* base = static_cast<BYTE*>(CommitStore(instance.backlog, reach));
    if (!base)
        return false;
    std::memcpy(base + at, frame.data(), first);
    std::memcpy(base, frame.data() + first, frame.size() - first);
    instance.queued.store(queued + frame.size(), std::memory_order_release);
    return true;
}

// ---- The pipe thread ----

bool Begun(BOOL result)
{
    return result || GetLastError() == ERROR_IO_PENDING;
}

// Ends whatever I/O is in flight and waits until the system lets go of the buffers.
void QuietInstance(PipeInstance& instance)
{
    if (instance.readPending || instance.writePending)
        CancelIoEx(instance.pipe, nullptr);
    DWORD ignored = 0;
    if (instance.readPending)
        GetOverlappedResult(instance.pipe, &instance.readOverlap, &ignored, TRUE);
    if (instance.writePending)
        GetOverlappedResult(instance.pipe, &instance.writeOverlap, &ignored, TRUE);
    instance.readPending = 0;
    instance.writePending = 0;
}

void Greet(PipeServer& server, PipeInstance& instance)
{
    instance.phase = kGreeting;
    instance.greetingDue = PacingMillisecondsNow() + server.greetingMs;
    instance.generation = (instance.generation + 1) & kGenerationMask;
    if (instance.generation == 0)
        instance.generation = 1;
    instance.client = instance.generation << kInstanceBits |
                      static_cast<uint32_t>(&instance - server.instances.data());
}

// A clean instance waits for the next client. Its backlog is nobody else's now: the
// engine's thread never knew the last client, or has taken its Left.
void Listen(PipeServer& server, PipeInstance& instance)
{
    instance.phase = kUnusable;
    instance.readAt = instance.readEnd = 0;
    instance.readEnded = 0;
    instance.holding = 0;
    instance.client = 0;
    ResetFrameAssembler(instance.assembler);
    instance.queued.store(0, std::memory_order_relaxed);
    instance.sent.store(0, std::memory_order_relaxed);
    instance.dropAsked.store(0, std::memory_order_relaxed);
    if (!instance.pipe)
        return;
    // A client that came and went before the connect is let go, and the connect made again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ResetEvent(instance.readOverlap.hEvent);
        if (ConnectNamedPipe(instance.pipe, &instance.readOverlap)) {
            Greet(server, instance);
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            instance.phase = kListening;
            instance.readPending = 1;
            return;
        }
        if (error == ERROR_PIPE_CONNECTED) {
            Greet(server, instance);
            return;
        }
        DisconnectNamedPipe(instance.pipe);
    }
}

// The client is dropped (or went). The engine's thread is told only of a client it knew.
void Leave(PipeServer& server, PipeInstance& instance)
{
    QuietInstance(instance);
    DisconnectNamedPipe(instance.pipe);
    instance.holding = 0;
    if (instance.phase == kOpen)
        instance.phase = kLeaving;
    else
        Listen(server, instance);
}

bool PutInbound(PipeServer& server, PipeInstance& instance, PipeEvent event)
{
    PipeInbound* place = NextRequestPlace(server.inbound);
    if (!place)
        return false;
    place->event = event;
    place->client = instance.client;
    place->kind = WireKind{};
    place->account = instance.account;
    if (event == PipeEvent::Left)
        instance.leftAt = server.inbound.head.load(std::memory_order_relaxed);
    PutRequest(server.inbound);
    SetEvent(server.inboundReady);
    return true;
}

// The account of a token's user as "DOMAIN\name", or its SID when it has no name here.
void NameTokenUser(HANDLE token, PipeAccount& account)
{
    std::array<BYTE, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE> user{};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size))
        return;
    PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    std::array<wchar_t, 80> name{};
    std::array<wchar_t, 80> domain{};
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD domainSize = static_cast<DWORD>(domain.size());
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use)) {
        const std::size_t at = domain[0] ? CopyWideText(account, domain.data()) : 0;
        const std::size_t slash = at ? at + CopyWideText(std::span(account).subspan(at), L"\\") : 0;
        CopyWideText(std::span(account).subspan(slash), name.data());
        return;
    }
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
        CopyWideText(account, text);
        LocalFree(text);
    }
}

// Who the client runs as: its token as the pipe gives it, at the identification level
// the client asked for (the service learns who it is, and can do nothing as it). A
// client that cannot be told is named so.
void IdentifyClient(PipeInstance& instance)
{
    CopyWideText(instance.account, kUnknownAccount);
    if (!ImpersonateNamedPipeClient(instance.pipe))
        return;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        NameTokenUser(token, instance.account);
        CloseHandle(token);
    }
    RevertToSelf();
}

bool LeftTaken(const PipeServer& server, const PipeInstance& instance)
{
    const uint32_t tail = server.inbound.tail.load(std::memory_order_acquire);
    return static_cast<int32_t>(tail - instance.leftAt) > 0;
}

bool Welcome(PipeServer& server, PipeInstance& instance)
{
    WireWelcome welcome{kWireVersion, server.product};
    std::array<uint8_t, 64> room{};
    const auto frame = MakeFrame(room, WireKind::Welcome, welcome, EncodeWelcome);
    return !frame.empty() && PutInBacklog(instance, frame);
}

// A message from an open client, checked by its decoder.
bool DecodeInbound(const Frame& frame, PipeInbound* place)
{
    place->event = PipeEvent::Message;
    place->kind = frame.kind;
    switch (frame.kind) {
    case WireKind::Watch: return DecodeWatch(frame.payload, &place->watch);
    case WireKind::Command: return DecodeCommand(frame.payload, &place->command);
    default: return false;  // a second Hello
    }
}

// Hands over what the client sent, frame by frame, until its bytes run out, the
// inbound queue is full or the client is dropped.
void TakeClientFrames(PipeServer& server, PipeInstance& instance)
{
    while (IsConversing(instance)) {
        if (instance.phase == kJoining) {
            if (!PutInbound(server, instance, PipeEvent::Joined))
                return;
            instance.phase = kOpen;
            continue;
        }
        Frame frame{};
        if (instance.holding) {
            frame = instance.held;
        } else {
            if (instance.readAt >= instance.readEnd)
                return;
            std::size_t used = 0;
            const auto bytes = std::span(instance.readBuffer).subspan(instance.readAt, instance.readEnd - instance.readAt);
            const FrameStep step = AssembleFrame(instance.assembler, bytes, &used, &frame);
            instance.readAt += used;
            if (step == FrameStep::Malformed) {
                Leave(server, instance);
                return;
            }
            if (step == FrameStep::NeedMore)
                continue;
        }
        if (instance.phase == kGreeting) {
            WireHello hello{};
            if (frame.kind != WireKind::Hello || !DecodeHello(frame.payload, &hello) || !Welcome(server, instance)) {
                Leave(server, instance);
                return;
            }
            IdentifyClient(instance);
            instance.phase = kJoining;
            continue;
        }
        PipeInbound* place = NextRequestPlace(server.inbound);
        if (!place) {
            instance.holding = 1;
            instance.held = frame;
            return;
        }
        instance.holding = 0;
        if (!DecodeInbound(frame, place)) {
            Leave(server, instance);
            return;
        }
        place->client = instance.client;
        PutRequest(server.inbound);
        SetEvent(server.inboundReady);
    }
}

bool StartWrite(PipeInstance& instance)
{
    if (instance.writePending)
        return true;
    const uint64_t queued = instance.queued.load(std::memory_order_acquire);
    const uint64_t sent = instance.sent.load(std::memory_order_relaxed);
    if (queued == sent)
        return true;
    const auto at = static_cast<std::size_t>(sent % kClientBacklogBytes);
    const auto size = static_cast<DWORD>(std::min<uint64_t>({queued - sent, kClientBacklogBytes - at, kMostWriteBytes}));
    ResetEvent(instance.writeOverlap.hEvent);
    if (!Begun(WriteFile(instance.pipe, instance.backlog.base + at, size, nullptr, &instance.writeOverlap)))
        return false;
    instance.writePending = 1;
    return true;
}

void StartRead(PipeInstance& instance)
{
    ResetEvent(instance.readOverlap.hEvent);
    if (Begun(ReadFile(instance.pipe, instance.readBuffer.data(), static_cast<DWORD>(instance.readBuffer.size()),
                       nullptr, &instance.readOverlap)))
        instance.readPending = 1;
    else
        instance.readEnded = 1;
}

void Converse(PipeServer& server, PipeInstance& instance)
{
    DWORD moved = 0;
    if (instance.readPending && HasOverlappedIoCompleted(&instance.readOverlap)) {
        instance.readPending = 0;
        const bool read = GetOverlappedResult(instance.pipe, &instance.readOverlap, &moved, FALSE);
        instance.readAt = 0;
        instance.readEnd = read ? moved : 0;
        instance.readEnded = read ? 0 : 1;
    }
    if (instance.writePending && HasOverlappedIoCompleted(&instance.writeOverlap)) {
        instance.writePending = 0;
        if (!GetOverlappedResult(instance.pipe, &instance.writeOverlap, &moved, FALSE)) {
            Leave(server, instance);
            return;
        }
        instance.sent.store(instance.sent.load(std::memory_order_relaxed) + moved, std::memory_order_release);
    }
    const bool late = instance.phase == kGreeting && PacingMillisecondsNow() >= instance.greetingDue;
    if (late || instance.dropAsked.load(std::memory_order_acquire)) {
        Leave(server, instance);
        return;
    }
    TakeClientFrames(server, instance);
    if (!IsConversing(instance))
        return;
    if (!StartWrite(instance)) {
        Leave(server, instance);
        return;
    }
    const bool drained = !instance.holding && instance.readAt >= instance.readEnd;
    if (drained && instance.phase != kJoining && !instance.readPending) {
        if (!instance.readEnded)
            StartRead(instance);
        if (instance.readEnded)
            Leave(server, instance);  // everything it sent is handed over
    }
}

void Advance(PipeServer& server, PipeInstance& instance)
{
    for (;;) {
        const int32_t before = instance.phase;
        switch (instance.phase) {
        case kUnusable: Listen(server, instance); break;
        case kListening:
            if (HasOverlappedIoCompleted(&instance.readOverlap)) {
                instance.readPending = 0;
                DWORD ignored = 0;
                if (GetOverlappedResult(instance.pipe, &instance.readOverlap, &ignored, FALSE)) {
                    Greet(server, instance);
                } else {
                    DisconnectNamedPipe(instance.pipe);
                    Listen(server, instance);
                }
            }
            break;
        case kGreeting:
        case kJoining:
        case kOpen: Converse(server, instance); break;
        case kLeaving:
            if (PutInbound(server, instance, PipeEvent::Left))
                instance.phase = kForgetting;
            break;
        case kForgetting:
            if (LeftTaken(server, instance))
                Listen(server, instance);
            break;
        }
        if (instance.phase == before)
            return;
    }
}

DWORD WINAPI RunPipeThread(LPVOID parameter)
{
    PipeServer& server = *static_cast<PipeServer*>(parameter);
    constexpr std::size_t kMostHandles = 1 + 2 * kMaxPipeClients;
    while (!server.stop.load(std::memory_order_acquire)) {
        std::array<HANDLE, kMostHandles> handles{};
        DWORD count = 0;
        handles[count++] = server.wake;
        DWORD timeout = INFINITE;
        const ULONGLONG now = PacingMillisecondsNow();
        for (PipeInstance& instance : server.instances) {
            Advance(server, instance);
            if (instance.readPending)
                handles[count++] = instance.readOverlap.hEvent;
            if (instance.writePending)
                handles[count++] = instance.writeOverlap.hEvent;
            if (instance.phase == kGreeting)
                timeout = std::min<DWORD>(timeout, static_cast<DWORD>(
                                                       instance.greetingDue > now ? instance.greetingDue - now : 0));
        }
        WaitForMultipleObjects(count, handles.data(), FALSE, timeout);
    }
    for (PipeInstance& instance : server.instances) {
        if (instance.pipe) {
            QuietInstance(instance);
            DisconnectNamedPipe(instance.pipe);
        }
    }
    return 0;
}

// ---- Start and stop ----

bool MakeInstance(PipeServer& server, PipeInstance& instance, bool first, SECURITY_ATTRIBUTES& attributes)
{
    instance.phase = kUnusable;
    instance.readPending = 0;
    instance.writePending = 0;
    instance.leftAt = 0;
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    instance.pipe = CreateNamedPipeW(server.name.data(), openMode, pipeMode, static_cast<DWORD>(kMaxPipeClients),
                                     kPipeBufferBytes, kPipeBufferBytes, 0, &attributes);
    if (instance.pipe == INVALID_HANDLE_VALUE) {
        instance.pipe = nullptr;
        return false;
    }
    instance.readOverlap = {};
    instance.writeOverlap = {};
    instance.readOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    instance.writeOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return instance.readOverlap.hEvent && instance.writeOverlap.hEvent &&
           ReserveStore(instance.backlog, kClientBacklogBytes) &&
           StartFrameAssembler(instance.assembler, WireDirection::ToService);
}

// Whether the first instance is the name's only one. FILE_FLAG_FIRST_PIPE_INSTANCE
// says so on Windows; Wine ignores that flag, and the count of instances tells there.
bool AloneOnTheName(const PipeInstance& first)
{
    DWORD instances = 0;
    return GetNamedPipeHandleStateW(first.pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0) && instances == 1;
}

void CloseHandleOnce(HANDLE& handle)
{
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
}

void CloseEverything(PipeServer& server)
{
    for (PipeInstance& instance : server.instances) {
        CloseHandleOnce(instance.pipe);
        CloseHandleOnce(instance.readOverlap.hEvent);
        CloseHandleOnce(instance.writeOverlap.hEvent);
        instance.phase = kUnusable;
    }
    CloseHandleOnce(server.thread);
    // The events stay: the engine's loop waits on the inbound one whether or not the
    // pipe is up, and a start tried again uses them.
    if (server.security)
        LocalFree(server.security);
    server.security = nullptr;
    server.open = {};
    server.dropping = {};
}

}  // namespace

bool StartPipeServer(PipeServer& server, const PipeServerOptions& options)
{
    if (server.thread)
        return false;
    CopyWideText(server.name, WideOrEmpty(options.name));
    CopyText(server.product, options.product ? options.product : "");
    server.greetingMs = options.greetingMs ? options.greetingMs : kDefaultGreetingMs;
    server.stop.store(0, std::memory_order_relaxed);
    server.inbound.head.store(0, std::memory_order_relaxed);
    server.inbound.tail.store(0, std::memory_order_relaxed);
    server.open = {};
    server.dropping = {};
    bool made = ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1,
                                                                     &server.security, nullptr) != FALSE;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), server.security, FALSE};
    if (!server.wake)
        server.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!server.inboundReady)
        server.inboundReady = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    made = made && server.wake && server.inboundReady;
    for (std::size_t i = 0; i < server.instances.size() && made; ++i) {
        made = MakeInstance(server, server.instances[i], i == 0, attributes);
        if (made && i == 0 && !AloneOnTheName(server.instances[0])) {
            SetLastError(ERROR_ACCESS_DENIED);
            made = false;
        }
    }
    if (made)
        server.thread = CreateThread(nullptr, 0, RunPipeThread, &server, 0, nullptr);
    if (!made || !server.thread) {
        const DWORD error = GetLastError();
        CloseEverything(server);
        SetLastError(error);
        return false;
    }
    return true;
}

void StopPipeServer(PipeServer& server)
{
    if (!server.thread)
        return;
    server.stop.store(1, std::memory_order_release);
    SetEvent(server.wake);
    WaitForSingleObject(server.thread, INFINITE);
    CloseEverything(server);
}

bool PipeServerRunning(const PipeServer& server)
{
    return server.thread != nullptr;
}

DWORD PipeNameHolder(const wchar_t* name)
{
    // As a client at identification level: the holder may learn who asks, never act as it.
    const HANDLE pipe = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return 0;
    ULONG holder = 0;
    if (!GetNamedPipeServerProcessId(pipe, &holder))
        holder = 0;
    CloseHandle(pipe);
    return holder;
}

HANDLE PipeInboundEvent(const PipeServer& server)
{
    return server.inboundReady;
}

const PipeInbound* NextPipeInbound(PipeServer& server)
{
    const PipeInbound* next = OldestRequest(server.inbound);
    if (!next)
        return nullptr;
    const std::size_t at = InstanceOf(next->client);
    if (next->event == PipeEvent::Joined) {
        server.open[at] = next->client;
        server.dropping[at] = 0;
    } else if (next->event == PipeEvent::Left && server.open[at] == next->client) {
        server.open[at] = 0;
    }
    return next;
}

void DonePipeInbound(PipeServer& server)
{
    if (!OldestRequest(server.inbound))
        return;
    DropOldestRequest(server.inbound);
    SetEvent(server.wake);  // a client may wait for room, or an instance for its Left to be taken
}

bool SendToPipeClient(PipeServer& server, PipeClientId client, std::span<const uint8_t> frame)
{
    const std::size_t at = InstanceOf(client);
    if (!client || frame.empty() || server.open[at] != client || server.dropping[at])
        return false;
    PipeInstance& instance = server.instances[at];
    const bool queued = PutInBacklog(instance, frame);
    if (!queued) {
        server.dropping[at] = 1;
        instance.dropAsked.store(1, std::memory_order_release);
    }
    SetEvent(server.wake);
    return queued;
}

int32_t BroadcastToPipeClients(PipeServer& server, std::span<const uint8_t> frame)
{
    int32_t took = 0;
    for (const PipeClientId client : server.open) {
        if (client && SendToPipeClient(server, client, frame))
            ++took;
    }
    return took;
}

std::size_t PipeClientRoom(const PipeServer& server, PipeClientId client)
{
    const std::size_t at = InstanceOf(client);
    if (!client || server.open[at] != client || server.dropping[at])
        return 0;
    const PipeInstance& instance = server.instances[at];
    const uint64_t waiting = instance.queued.load(std::memory_order_relaxed) -
                             instance.sent.load(std::memory_order_acquire);
    return kClientBacklogBytes - static_cast<std::size_t>(waiting);
}
