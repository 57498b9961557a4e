// The window's end of the pipe against a service the test plays byte by byte: frames
// split anywhere come whole, a malformed stream or a broken pipe ends the reading
// loop as such, and a connect or a send that cannot be done gives up in time.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/link/pipe_client.h"
#include "engine/link/wire.h"
#include "support/engine_fixture.h"
#include "support/pipe_test_client.h"

namespace {

using pipe_test::Bytes;
using pipe_test::FrameOf;
using pipe_test::RawFrame;
using pipe_test::TestClient;
using pipe_test::UniquePipeName;
using Clock = std::chrono::steady_clock;

Bytes Welcome()
{
    WireWelcome welcome{kWireVersion, {}};
    welcome.product[0] = '1';
    return FrameOf(WireKind::Welcome, welcome, EncodeWelcome);
}

Bytes Joined(const std::vector<Bytes>& frames)
{
    Bytes stream;
    for (const Bytes& frame : frames)
        stream.insert(stream.end(), frame.begin(), frame.end());
    return stream;
}

Bytes PayloadOf(const Bytes& frame)
{
    return Bytes(frame.begin() + static_cast<long>(kFrameHeaderBytes), frame.end());
}

// The service's end, played by the test: one instance, written to as the test says.
class ScriptedServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = UniquePipeName();
        service = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                   1, 64 * 1024, 64 * 1024, 0, nullptr);
        ASSERT_NE(service, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { EndService(); }

    // The window connects and says Hello; the service takes the Hello.
    void Accept()
    {
        ASSERT_TRUE(client->Connect(name, 5000));
        ASSERT_TRUE(ConnectNamedPipe(service, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
        const Bytes hello = FrameOf(WireKind::Hello, WireHello{kWireVersion}, EncodeHello);
        Bytes got(hello.size());
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(service, got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
        ASSERT_EQ(read, got.size());
        EXPECT_EQ(got, hello) << "a connect says Hello first";
    }
    void Write(const Bytes& bytes)
    {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(service, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }
    // Writes a piece, then waits until the window's reading loop has read all of it, so
    // that each piece arrives in reads of its own.
    void WritePiece(const Bytes& bytes)
    {
        Write(bytes);
        WaitUntilRead();
    }
    void WaitUntilRead()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        DWORD waiting = 1;
        while (Clock::now() < deadline) {
            ASSERT_TRUE(PeekNamedPipe(client->connection.pipe, nullptr, 0, nullptr, &waiting, nullptr));
            if (waiting == 0)
                return;
            Sleep(1);
        }
        FAIL() << waiting << " bytes were never read";
    }
    void EndService()
    {
        if (service != INVALID_HANDLE_VALUE) {
            DisconnectNamedPipe(service);
            CloseHandle(service);
        }
        service = INVALID_HANDLE_VALUE;
    }
    ServiceReadEnd EndOf()
    {
        EXPECT_TRUE(client->WaitForEnd());
        std::lock_guard<std::mutex> hold(client->lock);
        return client->end;
    }

    std::wstring name;
    HANDLE service = INVALID_HANDLE_VALUE;
    std::unique_ptr<TestClient> client = std::make_unique<TestClient>();
};

}  // namespace

TEST_F(ScriptedServiceTest, FramesSplitAnywhereComeWholeAndInOrder)
{
    auto news = std::make_unique<EngineNews>();
    AddAlert(*news, TripAlert, "tripped");
    const std::vector<Bytes> frames = {
        Welcome(),
        FrameOf(WireKind::News, *news, EncodeNews),
        FrameOf(WireKind::CommandDone, WireCommandDone{9, CommandResult::Refused}, EncodeCommandDone),
        FrameOf(WireKind::LogText, WireLogText{1, std::string(150'000, 'L')}, EncodeLogText),  // past one read
        FrameOf(WireKind::ReadingEnd, 0, [](int, PayloadWriter&) {}),
        FrameOf(WireKind::LogGates, WireLogGates{1, 1, 0, 0}, EncodeLogGates),
    };
    const Bytes stream = Joined(frames);
    // Pieces: the header cut twice, a header alone, a payload cut, a piece running into
    // the next header, and the last two frames in one piece.
    const std::size_t welcome = frames[0].size();
    const std::size_t newsEnd = welcome + frames[1].size();
    const std::size_t doneEnd = newsEnd + frames[2].size();
    const std::size_t lastTwo = stream.size() - frames[4].size() - frames[5].size();
    const std::vector<std::size_t> cuts = {1, 7, kFrameHeaderBytes, welcome, welcome + kFrameHeaderBytes,
                                           welcome + 20, newsEnd + 3, doneEnd + 100, doneEnd + 70'000, lastTwo};
    // After each piece, every frame whole within what was written has been handed over,
    // and nothing more.
    auto wholeWithin = [&](std::size_t written) {
        std::size_t end = 0;
        std::size_t count = 0;
        for (const Bytes& frame : frames) {
            end += frame.size();
            count += end <= written ? 1 : 0;
        }
        return count;
    };
    Accept();
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        ASSERT_GT(cut, from);
        WritePiece(Bytes(stream.begin() + static_cast<long>(from), stream.begin() + static_cast<long>(cut)));
        from = cut;
        ASSERT_TRUE(client->WaitForFrames(wholeWithin(cut)));
        std::lock_guard<std::mutex> hold(client->lock);
        EXPECT_EQ(client->frames.size(), wholeWithin(cut)) << "after " << cut << " bytes";
    }
    WritePiece(Bytes(stream.begin() + static_cast<long>(from), stream.end()));
    ASSERT_TRUE(client->WaitForFrames(frames.size()));
    {
        std::lock_guard<std::mutex> hold(client->lock);
        ASSERT_EQ(client->frames.size(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(static_cast<int>(client->frames[i].first), frames[i][6] | frames[i][7] << 8) << i;
            EXPECT_EQ(client->frames[i].second, PayloadOf(frames[i])) << i;
        }
    }
    // The service goes away: the loop ends as a broken pipe.
    EndService();
    EXPECT_EQ(EndOf(), ServiceReadEnd::Broken);
}

TEST_F(ScriptedServiceTest, AMalformedStreamEndsTheReadingLoop)
{
    RecordTrial("bad input",
                "a service whose first frame is not a Welcome, whose Welcome is of version 3, or who then sends a "
                "wrong magic, a kind only the window sends, a header announcing 1 MiB + 1, a payload its decoder "
                "refuses, or half a frame before going away",
                "the window's reading loop ends, as malformed (or broken, for the half frame), having handed over "
                "only the whole, sound frames before it");
    const auto command = static_cast<uint16_t>(WireKind::Command);
    Bytes otherVersion = Welcome();
    otherVersion[kFrameHeaderBytes] = kWireVersion + 1;  // the Welcome's own version
    const Bytes done = FrameOf(WireKind::CommandDone, WireCommandDone{1, CommandResult::Done}, EncodeCommandDone);
    struct Case {
        const char* name;
        Bytes stream;
        std::size_t handedOver;
        ServiceReadEnd end;
        bool refuseNews;
    };
    const std::vector<Case> cases = {
        {"not welcomed first", done, 0, ServiceReadEnd::Malformed, false},
        {"a welcome of version 3", otherVersion, 0, ServiceReadEnd::Malformed, false},
        {"a wrong magic", Joined({Welcome(), RawFrame(0x31505650, kWireVersion, command, {}, 0)}), 1,
         ServiceReadEnd::Malformed, false},
        {"a kind the window sends", Joined({Welcome(), RawFrame(kWireMagic, kWireVersion, command, {}, 0)}), 1,
         ServiceReadEnd::Malformed, false},
        {"1 MiB + 1", Joined({Welcome(), RawFrame(kWireMagic, kWireVersion, 7, {}, kMaxFramePayload + 1)}), 1,
         ServiceReadEnd::Malformed, false},
        {"news its decoder refuses", Joined({Welcome(), RawFrame(kWireMagic, kWireVersion, 7, {9}, 1), done}), 2,
         ServiceReadEnd::Malformed, true},
        {"half a frame, then gone", Joined({Welcome(), Bytes(done.begin(), done.begin() + 15)}), 1,
         ServiceReadEnd::Broken, false},
    };
    for (const Case& hostile : cases) {
        SCOPED_TRACE(hostile.name);
        TearDown();
        client = std::make_unique<TestClient>();
        if (hostile.refuseNews) {
            client->check = [](const Frame& frame) {
                auto news = std::make_unique<EngineNews>();
                return frame.kind != WireKind::News || DecodeNews(frame.payload, news.get());
            };
        }
        SetUp();
        Accept();
        Write(hostile.stream);
        if (hostile.end == ServiceReadEnd::Broken) {
            WaitUntilRead();
            EndService();
        }
        EXPECT_EQ(EndOf(), hostile.end);
        std::lock_guard<std::mutex> hold(client->lock);
        EXPECT_EQ(client->frames.size(), hostile.handedOver);
    }
}

TEST_F(ScriptedServiceTest, TheLoopStopsWhenAsked)
{
    Accept();
    Write(Welcome());
    ASSERT_TRUE(client->WaitForFrames(1));
    StopReadingFromService(client->connection);
    EXPECT_EQ(EndOf(), ServiceReadEnd::Stopped);
}

TEST_F(ScriptedServiceTest, ASendTheServiceDoesNotTakeIsGivenUpWithTheConnection)
{
    RecordTrial("faults", "a service that stops reading while the window sends it 256 KiB frames",
                "the send gives up within its 200 ms; later sends fail at once and the reading loop ends as broken, "
                "so that the window connects again rather than send after half a frame");
    Accept();
    Write(Welcome());
    ASSERT_TRUE(client->WaitForFrames(1));
    const Bytes watch = FrameOf(WireKind::Watch, WireWatch{0, 0}, EncodeWatch);
    Bytes flood;
    while (flood.size() < 256 * 1024)
        flood.insert(flood.end(), watch.begin(), watch.end());
    bool sent = true;
    auto longest = Clock::duration::zero();
    for (int i = 0; i < 64 && sent; ++i) {
        const auto before = Clock::now();
        sent = SendToService(client->connection, flood, 200);
        longest = std::max(longest, Clock::now() - before);
    }
    EXPECT_FALSE(sent);
    EXPECT_LT(longest, std::chrono::seconds(3));
    EXPECT_FALSE(SendToService(client->connection, watch, 200)) << "nothing more goes after a send given up";
    EXPECT_EQ(EndOf(), ServiceReadEnd::Broken) << "the reading loop ends with it";
}

TEST(ServiceConnection, AConnectGivesUpWhenNoServiceIsThere)
{
    auto connection = std::make_unique<ServiceConnection>();
    const std::wstring name = UniquePipeName();
    const auto before = Clock::now();
    EXPECT_FALSE(ConnectToService(*connection, name.c_str(), 300));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const auto waited = Clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(250)) << "it looked again while its time lasted";
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_FALSE(ConnectToService(*connection, name.c_str(), 0));
    EXPECT_EQ(connection->pipe, nullptr);
    CloseServiceConnection(*connection);
}
