// The service's end of the local pipe its windows talk through. One thread of its own
// runs every instance with overlapped I/O; the engine's thread never waits on a
// client. It hands the engine's thread what clients say through a bounded queue and
// an event, and sends what the engine's thread gives it from a bounded backlog per
// client.
//
// - Only SYSTEM and the Administrators group may open the pipe, and no other computer.
//   The first instance is made with FILE_FLAG_FIRST_PIPE_INSTANCE: a name another
//   process already holds makes the start fail.
// - At most kMaxPipeClients at once: while all are taken the system answers a further
//   client's open with ERROR_PIPE_BUSY, and ConnectToService waits (WaitNamedPipe)
//   until an instance is free or its time is up.
// - A client first says Hello and is answered with Welcome; a client that has not
//   said Hello within the greeting time is dropped. Only then is the engine's thread
//   told of it (Joined), so that it can send the whole picture first, and of the
//   account it runs as, read from its token at identification level, so that what it
//   asks is recorded with who asked.
// - Every message is checked by its decoder. A malformed frame, a message that fails
//   its decoder, a second Hello or a kind the window may not send ends that client's
//   connection and nothing else.
// - A client whose backlog would overflow (it stopped reading) is dropped.
// - When the inbound queue is full, the pipe thread stops reading from the client
//   whose message does not fit until the engine's thread has taken some: nothing a
//   client sent is lost, and its sending waits on the pipe.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/handoff.h"
#include "core/reserved_store.h"
#include "engine/link/wire.h"

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\Quorvel";
constexpr std::size_t kPipeNameUnits = 256;
constexpr std::size_t kMaxPipeClients = 8;
constexpr std::size_t kClientBacklogBytes = std::size_t{8} << 20;
constexpr std::size_t kInboundMessages = 16;
constexpr DWORD kPipeBufferBytes = 64 * 1024;
constexpr DWORD kDefaultGreetingMs = 5000;

// A client: its instance and the use of that instance, so that a client that went
// is never confused with the next one there. 0 is no client.
using PipeClientId = uint32_t;

enum class PipeEvent : int32_t { Joined = 0, Message = 1, Left = 2 };

// What the engine's thread takes: a client joined, sent a message, or left. A client's
// Joined comes before its messages, and its Left after them.
// "DOMAIN\name" of the account a client runs as, cut to fit.
constexpr std::size_t kPipeAccountUnits = 160;
using PipeAccount = std::array<wchar_t, kPipeAccountUnits>;

struct PipeInbound {
    PipeEvent event;
    PipeClientId client;
    WireKind kind;  // a message: Watch or Command, and which of the two below is filled
    WireWatch watch;
    WireCommand command;
    PipeAccount account;  // Joined: the account the client runs as, from its token
};

// One instance of the pipe. The fields before the backlog are the pipe thread's.
struct PipeInstance {
    HANDLE pipe;
    OVERLAPPED readOverlap;  // the connect, then each read
    OVERLAPPED writeOverlap;
    int32_t phase;
    int32_t readPending;
    int32_t writePending;
    int32_t readEnded;  // the client will send nothing more
    int32_t holding;    // `held` waits for room in the inbound queue
    Frame held;
    uint32_t generation;
    PipeClientId client;
    PipeAccount account;  // told with its Joined
    ULONGLONG greetingDue;
    uint32_t leftAt;  // the inbound place of its Left
    std::size_t readAt;
    std::size_t readEnd;
    std::array<uint8_t, kPipeBufferBytes> readBuffer;
    FrameAssembler assembler;
    // Bytes to send: the engine's thread puts them in once told of the client, the
    // pipe thread (and before that, its Welcome) sends them. Counters only grow.
    ReservedStore backlog;
    std::atomic<uint64_t> queued;
    std::atomic<uint64_t> sent;
    std::atomic<int32_t> dropAsked;  // by the engine's thread: the backlog would overflow
};

// One record for the life of the service, zero-filled before its first start; it may
// be started again after a stop.
struct PipeServer {
    std::array<wchar_t, kPipeNameUnits> name;
    std::array<char, kProductVersionUnits> product;
    DWORD greetingMs;
    PSECURITY_DESCRIPTOR security;
    HANDLE thread;
    HANDLE wake;          // the pipe thread looks again
    HANDLE inboundReady;  // the engine's thread has something to take
    std::atomic<int32_t> stop;
    RequestRing<PipeInbound, kInboundMessages> inbound;
    std::array<PipeInstance, kMaxPipeClients> instances;
    // The engine's thread alone: the clients it was told of, and those it gave up on.
    std::array<PipeClientId, kMaxPipeClients> open;
    std::array<int32_t, kMaxPipeClients> dropping;
};

struct PipeServerOptions {
    const wchar_t* name;  // kPipeName, or a test's own
    const char* product;  // the product version the Welcome tells
    DWORD greetingMs;     // 0: kDefaultGreetingMs
};

// Makes every instance and starts the pipe thread; false (with the system's error)
// when the name is taken or an instance cannot be made. It may be tried again; its
// events are made at the first try and kept.
bool StartPipeServer(PipeServer& server, const PipeServerOptions& options);
// Drops every client and ends the pipe thread; what waited in the queue is dropped.
void StopPipeServer(PipeServer& server);
bool PipeServerRunning(const PipeServer& server);
// The process that holds a pipe's name, as its server; 0 when none can be told.
DWORD PipeNameHolder(const wchar_t* name);

// The engine's thread, and no other:
// Set when something waits (made at the first start, tried or not); take what waits
// then, until NextPipeInbound says nullptr.
HANDLE PipeInboundEvent(const PipeServer& server);
// The oldest waiting, or nullptr; it stays valid until DonePipeInbound.
const PipeInbound* NextPipeInbound(PipeServer& server);
void DonePipeInbound(PipeServer& server);
// Puts a whole frame in the client's backlog, never waiting. False for a client that
// left, an empty frame, or a backlog that would overflow: that client is then dropped.
bool SendToPipeClient(PipeServer& server, PipeClientId client, std::span<const uint8_t> frame);
// The same for every client the engine's thread was told of; how many took it.
int32_t BroadcastToPipeClients(PipeServer& server, std::span<const uint8_t> frame);
// Room left in a client's backlog, so that a large reading can go as room comes back.
std::size_t PipeClientRoom(const PipeServer& server, PipeClientId client);
