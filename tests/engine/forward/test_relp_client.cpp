// The RELP client against a collector scripted in the test: frames in pieces, answers
// out of order, a refused open, a close in the middle, garbage and silence.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "engine/forward/relp_client.h"
#include "support/engine_fixture.h"
#include "support/forwarding_support.h"

namespace {

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    EXPECT_EQ(ResolveCollector("127.0.0.1", port, &address), NetResult::Ok);
    return address;
}

// The open as a collector takes it: the offers checked, then "200 OK" with its own.
bool AcceptOpen(SOCKET connection)
{
    PeerFrame open;
    if (!PeerReadFrame(connection, &open) || open.command != "open" ||
        open.data.find("relp_version=0") == std::string::npos ||
        open.data.find("commands=syslog") == std::string::npos)
        return false;
    PeerSend(connection, PeerAnswer(open.txnr, "200 OK\nrelp_version=0\nrelp_software=test\ncommands=syslog"));
    return true;
}

// Acknowledgements until `want` tags came, or the connection ended; the result that ended it.
NetResult Collect(RelpClient& client, std::size_t want, std::vector<uint64_t>& tags)
{
    const ULONGLONG deadline = PacingMillisecondsNow() + 5000;
    while (tags.size() < want && PacingMillisecondsNow() < deadline) {
        std::array<uint64_t, kRelpWindow> delivered{};
        std::size_t count = 0;
        const NetResult result = TakeRelpAcknowledgements(client, 50, delivered, &count);
        tags.insert(tags.end(), delivered.begin(), delivered.begin() + static_cast<std::ptrdiff_t>(count));
        if (result != NetResult::Ok)
            return result;
    }
    return NetResult::Ok;
}

class RelpClientTest : public ::testing::Test {
protected:
    void SetUp() override { ResetRelpClient(client); }
    void TearDown() override
    {
        DropRelp(client);
        peer.Stop();
    }
    RelpClient client{};
    ScriptedPeer peer;
};

}  // namespace

TEST(RelpFrames, WholeFramesPiecesAndGarbageAreToldApart)
{
    RelpFrame frame{};
    std::size_t used = 0;
    ASSERT_EQ(ParseRelpFrame("12 rsp 6 200 OK\n3 rsp", &frame, &used), RelpParse::Frame);
    EXPECT_EQ(frame.txnr, 12u);
    EXPECT_EQ(frame.command, "rsp");
    EXPECT_EQ(frame.data, "200 OK");
    EXPECT_EQ(used, 16u);
    ASSERT_EQ(ParseRelpFrame("0 serverclose 0\n", &frame, &used), RelpParse::Frame);
    EXPECT_EQ(frame.command, "serverclose");
    EXPECT_EQ(frame.data, "");

    // Every cut of a frame is a frame still coming.
    const std::string whole = "12 rsp 24 200 OK\nrelp_version=0\nab\n";
    for (std::size_t cut = 0; cut < whole.size(); ++cut)
        EXPECT_EQ(ParseRelpFrame(whole.substr(0, cut), &frame, &used), RelpParse::NeedMore) << cut;
    EXPECT_EQ(ParseRelpFrame(whole, &frame, &used), RelpParse::Frame);

    const char* garbage[] = {
        "HTTP/1.1 400 Bad Request\r\n",
        "x rsp 0\n",
        "1  rsp 0\n",
        "1 rsp 0 \n",          // a length of 0 has no blank after it
        "1 rsp 3 200 OK\n",    // the length says less than came
        "1 r$p 0\n",
        "1234567890 rsp 0\n",  // ten digits of transaction
        "1 rsp 1234567890 ",   // ten digits of length
        "1 rsp 5000 ",         // longer than any answer can be
        "1 rspaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa 0\n",
        "1 rsp 6 200 OK\r",
    };
    for (const char* bytes : garbage)
        EXPECT_EQ(ParseRelpFrame(bytes, &frame, &used), RelpParse::Garbage) << bytes;

    std::array<char, 64> room{};
    std::size_t length = FormatRelpFrame(room, 3, "syslog", "hello");
    EXPECT_EQ(std::string(room.data(), length), "3 syslog 5 hello\n");
    length = FormatRelpFrame(room, 4, "close", "");
    EXPECT_EQ(std::string(room.data(), length), "4 close 0\n");
    EXPECT_EQ(FormatRelpFrame(std::span<char>(room).first(12), 3, "syslog", "hello"), 0u) << "no room: nothing";

    EXPECT_EQ(RelpReplyCode("200 OK"), 200);
    EXPECT_EQ(RelpReplyCode("500"), 500);
    EXPECT_EQ(RelpReplyCode("200\nrelp_version=0"), 200);
    EXPECT_EQ(RelpReplyCode("20"), -1);
    EXPECT_EQ(RelpReplyCode("2000"), -1);
    EXPECT_EQ(RelpReplyCode("OK"), -1);
}

TEST_F(RelpClientTest, MessagesCountAsDeliveredInOrderWhateverPiecesAndOrderTheAnswersComeIn)
{
    std::vector<std::string> received;
    std::atomic<bool> closedPolitely{false};
    peer.Start([&](SOCKET connection, int) {
        // The open's answer a byte at a time.
        PeerFrame open;
        ASSERT_TRUE(PeerReadFrame(connection, &open));
        PeerSendInPieces(connection, PeerAnswer(open.txnr, "200 OK\nrelp_version=0\ncommands=syslog"), 1);
        std::vector<PeerFrame> frames(3);
        for (PeerFrame& frame : frames) {
            ASSERT_TRUE(PeerReadFrame(connection, &frame));
            received.push_back(frame.command + ":" + frame.data);
        }
        // The second, then the first and third, in pieces that cut frames anywhere.
        PeerSendInPieces(connection,
                         PeerAnswer(frames[1].txnr, "200 OK") + PeerAnswer(frames[0].txnr, "200 OK") +
                             PeerAnswer(frames[2].txnr, "200 OK"),
                         7);
        PeerFrame close;
        ASSERT_TRUE(PeerReadFrame(connection, &close));
        closedPolitely.store(close.command == "close");
        PeerSend(connection, std::to_string(close.txnr) + " rsp 0\n0 serverclose 0\n");
    });
    ASSERT_EQ(OpenRelp(client, Loopback(peer.port), 3000), NetResult::Ok);
    ASSERT_EQ(SendRelpMessage(client, "first", 10, 1000), NetResult::Ok);
    ASSERT_EQ(SendRelpMessage(client, "second", 11, 1000), NetResult::Ok);
    ASSERT_EQ(SendRelpMessage(client, "third \xC3\xA9", 12, 1000), NetResult::Ok);
    std::vector<uint64_t> tags;
    EXPECT_EQ(Collect(client, 3, tags), NetResult::Ok);
    EXPECT_EQ(tags, (std::vector<uint64_t>{10, 11, 12}));
    EXPECT_EQ(client.sentCount, 0u);
    CloseRelp(client, 2000);
    EXPECT_EQ(client.socket, INVALID_SOCKET);
    peer.Stop();
    EXPECT_TRUE(closedPolitely.load());
    EXPECT_EQ(received, (std::vector<std::string>{"syslog:first", "syslog:second", "syslog:third \xC3\xA9"}));
}

TEST_F(RelpClientTest, ARefusedOpenIsRejectedWithTheCollectorsWords)
{
    peer.Start([](SOCKET connection, int number) {
        PeerFrame open;
        if (!PeerReadFrame(connection, &open))
            return;
        if (number == 0)
            PeerSend(connection, PeerAnswer(open.txnr, "500 syslog not accepted here"));
        else  // "200", but without the syslog command
            PeerSend(connection, PeerAnswer(open.txnr, "200 OK\nrelp_version=0\ncommands=other"));
        Sleep(500);
    });
    EXPECT_EQ(OpenRelp(client, Loopback(peer.port), 3000), NetResult::Rejected);
    EXPECT_EQ(client.lastCode, 500);
    EXPECT_NE(std::string(client.lastText.data()).find("500 syslog not accepted here"), std::string::npos);
    EXPECT_EQ(client.socket, INVALID_SOCKET) << "a refused session leaves no connection";
    EXPECT_EQ(OpenRelp(client, Loopback(peer.port), 3000), NetResult::Rejected);
    EXPECT_NE(std::string(client.lastText.data()).find("syslog"), std::string::npos);
}

TEST_F(RelpClientTest, ACloseInTheMiddleDeliversOnlyWhatWasAcknowledged)
{
    peer.Start([](SOCKET connection, int) {
        if (!AcceptOpen(connection))
            return;
        std::vector<PeerFrame> frames(3);
        for (PeerFrame& frame : frames)
            if (!PeerReadFrame(connection, &frame))
                return;
        // The first answered, the rest never: the collector goes away.
        PeerSend(connection, PeerAnswer(frames[0].txnr, "200 OK") + std::to_string(frames[1].txnr) + " rsp 6 20");
    });
    ASSERT_EQ(OpenRelp(client, Loopback(peer.port), 3000), NetResult::Ok);
    for (uint64_t tag = 1; tag <= 3; ++tag)
        ASSERT_EQ(SendRelpMessage(client, "message", tag, 1000), NetResult::Ok);
    std::vector<uint64_t> tags;
    EXPECT_EQ(Collect(client, 3, tags), NetResult::Closed);
    EXPECT_EQ(tags, std::vector<uint64_t>{1}) << "the half answer counts for nothing";
}

TEST_F(RelpClientTest, GarbageOrAnErrorEndsTheSessionWithNothingMoreDelivered)
{
    RecordTrial("bad input", "a RELP collector answering with HTTP, an unknown transaction, a length of 999,999, "
                "3,000 digits, a syslog command, a 500 and a close",
                "the session ends within 2 s, says why, and nothing unacknowledged counts as delivered");
    struct Case {
        const char* what;
        std::string bytes;  // sent once the first syslog frame came (its txnr is 2)
        NetResult result;
    };
    const std::vector<Case> cases = {
        {"an HTTP answer", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", NetResult::Garbage},
        {"an answer to a transaction never sent", PeerAnswer(77, "200 OK"), NetResult::Garbage},
        {"a length beyond any answer", "2 rsp 999999 200 OK", NetResult::Garbage},
        {"digits without end", std::string(3000, '7'), NetResult::Garbage},
        {"a command a collector does not send", "2 syslog 5 hello\n", NetResult::Garbage},
        {"the message refused", PeerAnswer(2, "500 message refused"), NetResult::Rejected},
        {"the collector's own close", "0 serverclose 0\n", NetResult::Closed},
    };
    std::atomic<std::size_t> current{0};
    peer.Start([&](SOCKET connection, int) {
        if (!AcceptOpen(connection))
            return;
        PeerFrame frame;
        if (!PeerReadFrame(connection, &frame))
            return;
        PeerSend(connection, cases[current.load()].bytes);
        Sleep(300);
    });
    for (std::size_t k = 0; k < cases.size(); ++k) {
        current.store(k);
        ASSERT_EQ(OpenRelp(client, Loopback(peer.port), 3000), NetResult::Ok) << cases[k].what;
        ASSERT_EQ(SendRelpMessage(client, "message", 5, 1000), NetResult::Ok);
        std::vector<uint64_t> tags;
        const ULONGLONG start = PacingMillisecondsNow();
        EXPECT_EQ(Collect(client, 1, tags), cases[k].result) << cases[k].what;
        EXPECT_LT(PacingMillisecondsNow() - start, 2000u) << cases[k].what << ": told at once";
        EXPECT_TRUE(tags.empty()) << cases[k].what;
        EXPECT_NE(client.lastText[0], '\0') << cases[k].what << ": says what went wrong";
        DropRelp(client);
    }
}

// A collector that took the session and the messages, and answers none of them.
TEST_F(RelpClientTest, NoAnswerWithinTheReplyTimeEndsTheSession)
{
    peer.Start([](SOCKET connection, int) {
        if (!AcceptOpen(connection))
            return;
        PeerFrame frame;
        while (PeerReadFrame(connection, &frame, 3000)) {
        }
    });
    client.replyDeadlineMs = 1000;
    ASSERT_EQ(OpenRelp(client, Loopback(peer.port), 3000), NetResult::Ok);
    for (uint64_t tag = 1; tag <= kRelpWindow; ++tag)
        ASSERT_EQ(SendRelpMessage(client, "message", tag, 1000), NetResult::Ok);
    EXPECT_FALSE(RelpWindowOpen(client)) << "the window is full";
    const ULONGLONG start = PacingMillisecondsNow();
    std::vector<uint64_t> tags;
    EXPECT_EQ(Collect(client, 1, tags), NetResult::TimedOut);
    EXPECT_GE(PacingMillisecondsNow() - start, 900u);
    EXPECT_LT(PacingMillisecondsNow() - start, 5000u);
    EXPECT_STREQ(client.lastText.data(), "no answer within 1 s");
    EXPECT_TRUE(tags.empty());
    DropRelp(client);
    client.replyDeadlineMs = 0;
}

TEST_F(RelpClientTest, ASilentCollectorOrNoneAtAllIsToldWithinTheTimeGiven)
{
    peer.Start([](SOCKET connection, int) {
        PeerFrame open;
        PeerReadFrame(connection, &open);
        Sleep(2000);  // never answers
    });
    ULONGLONG start = PacingMillisecondsNow();
    EXPECT_EQ(OpenRelp(client, Loopback(peer.port), 500), NetResult::TimedOut);
    EXPECT_LT(PacingMillisecondsNow() - start, 1500u);
    EXPECT_EQ(client.socket, INVALID_SOCKET);

    start = PacingMillisecondsNow();
    EXPECT_EQ(OpenRelp(client, Loopback(FreeLocalPort(false)), 3000), NetResult::Refused);
    EXPECT_LT(PacingMillisecondsNow() - start, 2500u);

    sockaddr_in address{};
    EXPECT_EQ(ResolveCollector("no such host", 514, &address), NetResult::HostUnknown)
        << "a name no host can have is refused before any lookup";
    EXPECT_EQ(ResolveCollector("", 514, &address), NetResult::HostUnknown);
    EXPECT_EQ(ResolveCollector("localhost", 514, &address), NetResult::Ok);
}
