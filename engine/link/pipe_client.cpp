#include "engine/link/pipe_client.h"

#include <algorithm>

#include "core/clock.h"

namespace {

// How often a connect looks again for a pipe that is not there yet.
constexpr DWORD kLookAgainMs = 50;

bool MakeEvent(HANDLE& event, BOOL manualReset)
{
    if (!event)
        event = CreateEventW(nullptr, manualReset, FALSE, nullptr);
    return event != nullptr;
}

void CloseHandleOnce(HANDLE& handle)
{
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
}

bool StopAsked(const ServiceConnection& connection)
{
    return WaitForSingleObject(connection.stopReading, 0) == WAIT_OBJECT_0;
}

ServiceReadEnd StoppedOrBroken(const ServiceConnection& connection)
{
    return connection.gaveUp ? ServiceReadEnd::Broken : ServiceReadEnd::Stopped;
}

}  // namespace

bool ConnectToService(ServiceConnection& connection, const wchar_t* name, DWORD timeoutMs)
{
    CloseHandleOnce(connection.pipe);
    if (!MakeEvent(connection.readDone, TRUE) || !MakeEvent(connection.writeDone, TRUE) ||
        !MakeEvent(connection.stopReading, TRUE) ||
        !StartFrameAssembler(connection.assembler, WireDirection::ToWindow))
        return false;
    ResetEvent(connection.stopReading);
    connection.gaveUp = 0;
    const ULONGLONG deadline = PacingMillisecondsNow() + timeoutMs;
    for (;;) {
        // Identification only: the service may learn who the window runs as, never act as it.
        const HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                        nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            connection.pipe = pipe;
            break;
        }
        const DWORD error = GetLastError();
        const ULONGLONG now = PacingMillisecondsNow();
        if (now >= deadline || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            SetLastError(error);
            return false;
        }
        const auto left = static_cast<DWORD>(deadline - now);
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name, left);
        else
            Sleep(std::min(left, kLookAgainMs));
    }
    std::array<uint8_t, 32> room{};
    const auto hello = MakeFrame(room, WireKind::Hello, WireHello{kWireVersion}, EncodeHello);
    if (!SendToService(connection, hello, std::max<DWORD>(timeoutMs, 1000))) {
        const DWORD error = GetLastError();
        CloseHandleOnce(connection.pipe);
        SetLastError(error);
        return false;
    }
    return true;
}

bool SendToService(ServiceConnection& connection, std::span<const uint8_t> frame, DWORD timeoutMs)
{
    if (!connection.pipe || connection.gaveUp || frame.empty())
        return false;
    OVERLAPPED overlap{};
    overlap.hEvent = connection.writeDone;
    ResetEvent(overlap.hEvent);
    if (!WriteFile(connection.pipe, frame.data(), static_cast<DWORD>(frame.size()), nullptr, &overlap) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    const bool inTime = WaitForSingleObject(overlap.hEvent, timeoutMs) == WAIT_OBJECT_0;
    if (!inTime)
        CancelIoEx(connection.pipe, &overlap);
    DWORD written = 0;
    const bool whole = GetOverlappedResult(connection.pipe, &overlap, &written, TRUE) && written == frame.size();
    if (!whole) {
        connection.gaveUp = 1;
        SetEvent(connection.stopReading);  // the reading loop ends, as Broken
    }
    return whole;
}

ServiceReadEnd ReadFromService(ServiceConnection& connection, ServiceFrameHandler handler, void* context)
{
    bool welcomed = false;
    while (!StopAsked(connection)) {
        OVERLAPPED overlap{};
        overlap.hEvent = connection.readDone;
        ResetEvent(overlap.hEvent);
        if (!ReadFile(connection.pipe, connection.readBuffer.data(), static_cast<DWORD>(connection.readBuffer.size()),
                      nullptr, &overlap) &&
            GetLastError() != ERROR_IO_PENDING)
            return ServiceReadEnd::Broken;
        const std::array<HANDLE, 2> waits = {connection.readDone, connection.stopReading};
        const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0)
            CancelIoEx(connection.pipe, &overlap);
        DWORD got = 0;
        const bool read = GetOverlappedResult(connection.pipe, &overlap, &got, TRUE);
        if (woke != WAIT_OBJECT_0)
            return StoppedOrBroken(connection);
        if (!read)
            return ServiceReadEnd::Broken;
        auto bytes = std::span<const uint8_t>(connection.readBuffer).first(got);
        while (!bytes.empty()) {
            Frame frame{};
            std::size_t used = 0;
            const FrameStep step = AssembleFrame(connection.assembler, bytes, &used, &frame);
            bytes = bytes.subspan(used);
            if (step == FrameStep::Malformed)
                return ServiceReadEnd::Malformed;
            if (step == FrameStep::NeedMore)
                continue;
            if (!welcomed) {
                WireWelcome welcome{};
                if (frame.kind != WireKind::Welcome || !DecodeWelcome(frame.payload, &welcome))
                    return ServiceReadEnd::Malformed;
                welcomed = true;
            }
            if (!handler(context, frame))
                return ServiceReadEnd::Malformed;
        }
    }
    return StoppedOrBroken(connection);
}

void StopReadingFromService(ServiceConnection& connection)
{
    if (connection.stopReading)
        SetEvent(connection.stopReading);
}

void CloseServiceConnection(ServiceConnection& connection)
{
    CloseHandleOnce(connection.pipe);
    CloseHandleOnce(connection.readDone);
    CloseHandleOnce(connection.writeDone);
    CloseHandleOnce(connection.stopReading);
}
