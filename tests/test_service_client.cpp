// The window's copy of what the service sends, across the pipe's connections: frames
// are applied here as the connection's thread hands them over, each with the number of
// the connection it came on.
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <array>
#include <span>
#include <vector>

#include "engine/link/wire.h"
#include "support/test_support.h"
#include "windows/service_client.h"

namespace {

using FrameBytes = std::vector<uint8_t>;

// A sessions reading of this computer as the service sends it, frame by frame.
std::vector<FrameBytes> SessionsReading(std::vector<SESSION_INFO_1>& sessions)
{
    static std::array<uint8_t, kMaxFrameBytes> room;
    ReadingEncoder encoder{};
    StartReading(encoder, kThisComputer, NERR_Success, std::span<const SESSION_INFO_1>(sessions));
    std::vector<FrameBytes> frames;
    for (auto frame = NextReadingFrame(encoder, room); !frame.empty(); frame = NextReadingFrame(encoder, room))
        frames.emplace_back(frame.begin(), frame.end());
    return frames;
}

ServiceFrameChange Apply(uint32_t connection, const FrameBytes& bytes)
{
    // The header is the assembler's: the payload and kind are what reach the window's thread.
    const auto kind = static_cast<WireKind>(bytes[6] | bytes[7] << 8);
    return ApplyServiceFrame(connection, {kind, std::span<const uint8_t>(bytes).subspan(kFrameHeaderBytes)});
}

void Reconnect()
{
    EndServiceConnection();
    TakeServiceConnection(false);
    BeginServiceConnection();
    TakeServiceConnection(true);
}

}  // namespace

class ServiceClientTest : public QuorvelTest {};

TEST_F(ServiceClientTest, AReconnectInTheMiddleOfAReadingNeitherRefusesTheNextNorTakesTheOldOnesRest)
{
    ASSERT_TRUE(PrepareServiceClient());
    std::array<wchar_t, 8> one{L"PC-ONE"}, two{L"PC-TWO"}, bob{L"bob"};
    std::vector<SESSION_INFO_1> before(3000, SESSION_INFO_1{one.data(), bob.data(), 1, 60, 1, 0});
    std::vector<SESSION_INFO_1> after{{two.data(), bob.data(), 2, 5, 0, 0}};
    const std::vector<FrameBytes> long_reading = SessionsReading(before);
    ASSERT_GE(long_reading.size(), 3u) << "a begin, parts and an end";
    const std::vector<FrameBytes> short_reading = SessionsReading(after);

    BeginServiceConnection();
    TakeServiceConnection(true);
    const uint32_t first = ServiceConnectionNumber();
    EXPECT_TRUE(Apply(first, long_reading[0]).taken);
    Apply(first, long_reading[1]);
    // The connection drops halfway; frames of it still wait in their slots.
    Reconnect();
    const uint32_t second = ServiceConnectionNumber();
    ASSERT_NE(first, second);
    for (std::size_t k = 2; k < long_reading.size(); ++k)
        Apply(first, long_reading[k]);  // stale: dropped, and no fault of the new connection

    for (const FrameBytes& frame : short_reading)
        Apply(second, frame);
    std::span<const SESSION_INFO_1> shown;
    NET_API_STATUS status = 0;
    ASSERT_TRUE(ServiceSessions(kThisComputer, &shown, &status)) << "the new connection's reading was refused";
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_STREQ(shown[0].sesi1_cname, L"PC-TWO");
    EndServiceConnection();
    TakeServiceConnection(false);
}
