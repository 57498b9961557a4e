// A window's end of the pipe as the pipe tests play it: the product's own client,
// reading on a thread of its own and keeping every frame it got.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/link/pipe_client.h"
#include "engine/link/wire.h"

namespace pipe_test {

using Bytes = std::vector<uint8_t>;

// A pipe name no other test or run uses.
inline std::wstring UniquePipeName()
{
    static std::atomic<int> next{0};
    return L"\\\\.\\pipe\\QuorvelTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++next);
}

template <typename Message, typename Encode>
Bytes FrameOf(WireKind kind, const Message& message, Encode encode)
{
    Bytes room(kMaxFrameBytes);
    const auto frame = MakeFrame(room, kind, message, encode);
    EXPECT_FALSE(frame.empty());
    return {frame.begin(), frame.end()};
}

// A frame as given, whatever its header says.
inline Bytes RawFrame(uint32_t magic, uint16_t version, uint16_t kind, const Bytes& payload, uint32_t length)
{
    Bytes room(kMaxFrameBytes);
    PayloadWriter writer{room};
    PutU32(writer, magic);
    PutU16(writer, version);
    PutU16(writer, kind);
    PutU32(writer, length);
    for (const uint8_t byte : payload)
        PutU8(writer, byte);
    return Bytes(room.begin(), room.begin() + static_cast<long>(writer.used));
}

struct TestClient {
    ServiceConnection connection{};
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<WireKind, Bytes>> frames;
    bool ended = false;
    ServiceReadEnd end = ServiceReadEnd::Stopped;
    // What the window makes of a frame: false for one whose payload fails its decoder.
    std::function<bool(const Frame&)> check = [](const Frame&) { return true; };

    static bool Take(void* context, const Frame& frame)
    {
        auto* client = static_cast<TestClient*>(context);
        std::lock_guard<std::mutex> hold(client->lock);
        client->frames.emplace_back(frame.kind, Bytes(frame.payload.begin(), frame.payload.end()));
        client->changed.notify_all();
        return client->check(frame);
    }
    // Connects, then reads on a thread of its own.
    bool Connect(const std::wstring& name, DWORD timeoutMs = 10'000)
    {
        if (!ConnectToService(connection, name.c_str(), timeoutMs))
            return false;
        StartReading();
        return true;
    }
    void StartReading()
    {
        reader = std::thread([this] {
            const ServiceReadEnd how = ReadFromService(connection, &TestClient::Take, this);
            std::lock_guard<std::mutex> hold(lock);
            end = how;
            ended = true;
            changed.notify_all();
        });
    }
    // `done` is asked with the lock held.
    bool WaitUntil(const std::function<bool()>& done, int ms = 10'000)
    {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, std::chrono::milliseconds(ms), done);
    }
    bool WaitForFrames(std::size_t count) { return WaitUntil([&] { return frames.size() >= count; }); }
    bool WaitForEnd() { return WaitUntil([&] { return ended; }); }
    // Until `count` frames of `kind` came.
    bool WaitForKind(WireKind kind, std::size_t count)
    {
        return WaitUntil([&] {
            return static_cast<std::size_t>(std::count_if(frames.begin(), frames.end(),
                                                          [&](const auto& frame) { return frame.first == kind; })) ==
                   count;
        });
    }
    void Close()
    {
        StopReadingFromService(connection);
        if (reader.joinable())
            reader.join();
        CloseServiceConnection(connection);
    }
    ~TestClient() { Close(); }
};

}  // namespace pipe_test
