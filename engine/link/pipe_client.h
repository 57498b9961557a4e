// The window's end of the local pipe to the service: connect, send a frame, and a
// reading loop that a thread of the window runs. The handle is overlapped, so that
// the window's thread can send while the reading thread waits for the service.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/link/wire.h"

struct ServiceConnection {
    HANDLE pipe;
    HANDLE readDone;
    HANDLE writeDone;
    HANDLE stopReading;  // manual-reset: stays set until the next connect
    std::atomic<int32_t> gaveUp;  // a send was given up halfway
    FrameAssembler assembler;
    std::array<uint8_t, 64 * 1024> readBuffer;
};

// Opens the pipe and says Hello. While every instance is taken it waits for one, and
// while the pipe is not there it looks again, until `timeoutMs` have passed: false
// then, or at once for any other refusal (access denied), with the system's error.
bool ConnectToService(ServiceConnection& connection, const wchar_t* name, DWORD timeoutMs);

// Sends a whole frame from one thread at a time; false when the pipe is broken or the
// service has not taken it within `timeoutMs`. A send given up may have left part of
// its frame in the pipe, so the connection is given up with it: every later send
// fails and the reading loop ends as Broken; the window connects again.
bool SendToService(ServiceConnection& connection, std::span<const uint8_t> frame, DWORD timeoutMs);

enum class ServiceReadEnd : int32_t { Stopped = 0, Broken = 1, Malformed = 2 };
// Takes a whole frame; false when its payload fails its decoder, which ends the loop
// as a malformed stream.
using ServiceFrameHandler = bool (*)(void* context, const Frame& frame);

// The reading thread: hands each whole frame to `handler`, the first of which must be
// a sound Welcome. Ends when StopReadingFromService is called, when the pipe breaks
// (the service went), or when the stream is malformed.
ServiceReadEnd ReadFromService(ServiceConnection& connection, ServiceFrameHandler handler, void* context);
// Any thread: the reading loop ends soon after.
void StopReadingFromService(ServiceConnection& connection);
// After the reading thread has ended.
void CloseServiceConnection(ServiceConnection& connection);
