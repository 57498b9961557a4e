// Forwarding end to end: the engine's events through the sink, the queue, the spool
// and each transport into a real rsyslogd on 127.0.0.1, which the test starts and
// stops; and a RELP collector scripted in the test for the faults rsyslog will not make.
#include <winsock2.h>
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/text.h"
#include "core/settings.h"
#include "engine/watch/event_record.h"
#include "engine/forward/forward_spool.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarder.h"
#include "engine/forward/forwarding_control.h"
#include "engine/watch/log_text.h"
#include "engine/forward/relp_client.h"
#include "engine/forward/syslog_message.h"
#include "support/engine_fixture.h"
#include "support/forwarding_support.h"

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

// The number of "event N" in a message, or -1.
int EventNumber(const std::string& message)
{
    const std::size_t at = message.find(std::string(kBom) + "event ");
    return at == std::string::npos ? -1 : std::atoi(message.c_str() + at + 9);
}

std::vector<int> EventNumbers(const std::vector<std::string>& messages)
{
    std::vector<int> numbers;
    for (const std::string& message : messages)
        if (EventNumber(message) >= 0)
            numbers.push_back(EventNumber(message));
    return numbers;
}

std::vector<int> Range(int first, int end)
{
    std::vector<int> numbers;
    for (int k = first; k < end; ++k)
        numbers.push_back(k);
    return numbers;
}

void PublishNumbered(int first, int end, EventKind kind = EventKind::FileOpen, std::size_t padding = 0)
{
    for (int k = first; k < end; ++k) {
        const std::string text = "event " + std::to_string(k) + std::string(padding, '.');
        const EventRecord record{kind, LocalTimeNow(), UniversalTimeNow(), "", L"PC-7", L"ann",
                                 L"D:\\share\\report.docx", PERM_FILE_READ, "", text};
        PublishEvent(record);
    }
}

class ForwarderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeTestFolder();
        UseSettingsFile((folder + "quorvel.ini").c_str());
        AddEventSink(ForwardingEventSink, nullptr);
    }
    void TearDown() override
    {
        StopForwarding(10000);
        RemoveEventSinks();
        collector.Stop();
        peer.Stop();
        std::array<char, 256> text{};
        while (TakeForwardingNotice(text))
            ;
        if (!HasFailure())
            RemoveLinuxTestFolder(collector.folder);
    }

    ForwardSettings To(ForwardTransport transport, uint16_t port)
    {
        ForwardSettings settings = DefaultForwardSettings();
        settings.enabled = 1;
        CopyText(settings.host, "127.0.0.1");
        settings.transport = transport;
        settings.port = port;
        return settings;
    }


    // The notices so far, in order.
    std::vector<std::string> Notices()
    {
        std::array<char, 256> text{};
        while (TakeForwardingNotice(text))
            notices.emplace_back(text.data());
        return notices;
    }
    int NoticesWith(const char* words)
    {
        int count = 0;
        for (const std::string& notice : Notices())
            count += notice.find(words) != std::string::npos;
        return count;
    }

    std::string folder;
    Collector collector;
    ScriptedPeer peer;
    std::vector<std::string> notices;
};

// A well-behaved RELP collector in the test: every syslog frame answered "200 OK".
// `refuses`, when given, picks the syslog frames answered "500" and not kept.
void ServeRelp(SOCKET connection, std::mutex& lock, std::vector<std::string>& received,
               const std::function<bool(const PeerFrame&)>& refuses = nullptr)
{
    PeerFrame frame;
    while (PeerReadFrame(connection, &frame, 3000)) {
        if (frame.command == "open") {
            PeerSend(connection, PeerAnswer(frame.txnr, "200 OK\nrelp_version=0\ncommands=syslog"));
        } else if (frame.command == "syslog" && refuses && refuses(frame)) {
            PeerSend(connection, PeerAnswer(frame.txnr, "500 not this one"));
        } else if (frame.command == "syslog") {
            {
                std::lock_guard<std::mutex> guard(lock);
                received.push_back(frame.data);
            }
            PeerSend(connection, PeerAnswer(frame.txnr, "200 OK"));
        } else if (frame.command == "close") {
            PeerSend(connection, std::to_string(frame.txnr) + " rsp 0\n");
            return;
        }
    }
}

}  // namespace

TEST_F(ForwarderTest, SettingsAreReadWithTheirDefaultsAndBadOnesAreNamed)
{
    ForwardSettings settings{};
    ReadForwardSettings(&settings);
    EXPECT_EQ(settings.enabled, 0);
    EXPECT_EQ(settings.transport, ForwardTransport::Udp);
    EXPECT_EQ(settings.facility, 13);
    EXPECT_EQ(settings.minimum, ForwardMinimum::AllEvents);
    EXPECT_EQ(settings.spoolMegabytes, 64);
    EXPECT_EQ(settings.webhookFormat, WebhookFormat::Json);
    EXPECT_EQ(settings.replySeconds, 30);
    EXPECT_EQ(ForwardPort(settings), 514);
    std::array<char, 256> message{};
    EXPECT_TRUE(CheckForwardSettings(settings, message)) << "off is a good setting";

    WriteSettingText(kForwardSection, "enabled", "1");
    WriteSettingText(kForwardSection, "host", "127.0.0.1");
    WriteSettingText(kForwardSection, "transport", "RELP");
    WriteSettingText(kForwardSection, "minimum", "actions");
    WriteSettingText(kForwardSection, "webhook", "https://hooks.example.org/x?y=1");
    WriteSettingText(kForwardSection, "webhookformat", "teams");
    ReadForwardSettings(&settings);
    EXPECT_EQ(settings.transport, ForwardTransport::Relp);
    EXPECT_EQ(ForwardPort(settings), 2514);
    EXPECT_EQ(settings.minimum, ForwardMinimum::Actions);
    EXPECT_EQ(settings.webhookFormat, WebhookFormat::Teams);
    EXPECT_TRUE(CheckForwardSettings(settings, message)) << message.data();
    WriteForwardSettings(settings);
    ForwardSettings again{};
    ReadForwardSettings(&again);
    EXPECT_EQ(std::string(again.host.data()), "127.0.0.1");
    EXPECT_EQ(std::string(again.webhook.data()), "https://hooks.example.org/x?y=1");
    EXPECT_EQ(again.transport, ForwardTransport::Relp);

    struct Bad {
        const char* key;
        const char* value;
        const char* words;  // of the message
    };
    const Bad bads[] = {
        {"transport", "smtp", "udp, tcp or relp"},
        {"port", "70000", "1 to 65535"},
        {"port", "-5", "1 to 65535"},
        {"port", "five", "1 to 65535"},
        {"facility", "24", "0 to 23"},
        {"spoolmb", "0", "1 to 4096"},
        {"spoolmb", "5000", "1 to 4096"},
        {"minimum", "some", "all or actions"},
        {"host", "", "host name or address"},
        {"host", "no such host", "is unknown"},
        {"host", "col\x01lector", "control character"},
        {"webhook", "ftp://files.example.org/", "http:// or https://"},
        {"webhook", "http://", "http:// or https://"},
        {"webhookformat", "xml", "json, teams or slack"},
        {"replytimeout", "4", "from 5 to 3600 seconds"},
        {"replytimeout", "never", "from 5 to 3600 seconds"},
    };
    for (const Bad& bad : bads) {
        WriteForwardSettings(again);
        WriteSettingText(kForwardSection, bad.key, bad.value);
        ReadForwardSettings(&settings);
        EXPECT_FALSE(CheckForwardSettings(settings, message)) << bad.key << "=" << bad.value;
        EXPECT_NE(std::string(message.data()).find(bad.words), std::string::npos)
            << bad.key << "=" << bad.value << ": " << message.data();
    }
}

TEST_F(ForwarderTest, TheTestButtonSaysWhatHappened)
{
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    std::array<char, 512> result{};
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Relp, collector.relpPort), result), ForwardTestResult::Acknowledged)
        << result.data();
    EXPECT_NE(std::string(result.data()).find("acknowledged"), std::string::npos);
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Tcp, collector.tcpPort), result), ForwardTestResult::Sent)
        << result.data();
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Udp, collector.udpPort), result), ForwardTestResult::Sent)
        << result.data();
    for (const char* input : {"relp", "tcp", "udp"})
        ASSERT_TRUE(WaitUntil([&] { return collector.Lines(input).size() == 1; }, 5000)) << input;
    EXPECT_NE(collector.Lines("relp")[0].find(" Quorvel "), std::string::npos);
    EXPECT_NE(collector.Lines("tcp")[0].find("TEST - \xEF\xBB\xBFQuorvel test message"), std::string::npos)
        << collector.Lines("tcp")[0];

    const uint16_t closed = FreeLocalPort(false);
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Relp, closed), result), ForwardTestResult::Refused) << result.data();
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Tcp, closed), result), ForwardTestResult::Refused) << result.data();
    // UDP has no connection: the ICMP answer of a closed port is what tells.
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Udp, FreeLocalPort(true)), result), ForwardTestResult::Refused)
        << result.data();
    ForwardSettings unknown = To(ForwardTransport::Relp, 2514);
    CopyText(unknown.host, "no such host");
    EXPECT_EQ(TestForwarding(unknown, result), ForwardTestResult::HostUnknown) << result.data();
    EXPECT_NE(std::string(result.data()).find("unknown"), std::string::npos);
    ForwardSettings bad = To(ForwardTransport::Unknown, 2514);
    EXPECT_EQ(TestForwarding(bad, result), ForwardTestResult::BadSettings) << result.data();

    // A collector that refuses, and one that never answers.
    peer.Start([](SOCKET connection, int number) {
        PeerFrame open;
        if (!PeerReadFrame(connection, &open))
            return;
        if (number == 0)
            PeerSend(connection, PeerAnswer(open.txnr, "500 not now"));
        else
            Sleep(6000);
    });
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Relp, peer.port), result), ForwardTestResult::Rejected)
        << result.data();
    EXPECT_NE(std::string(result.data()).find("500 not now"), std::string::npos) << result.data();
    EXPECT_EQ(TestForwarding(To(ForwardTransport::Relp, peer.port), result), ForwardTestResult::TimedOut)
        << result.data();
}

TEST_F(ForwarderTest, EachTransportDeliversEveryEventInOrder)
{
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    struct Run {
        ForwardTransport transport;
        const char* input;
        uint16_t port;
        int events;
    };
    const Run runs[] = {
        {ForwardTransport::Udp, "udp", collector.udpPort, 500},
        {ForwardTransport::Tcp, "tcp", collector.tcpPort, 5000},
        {ForwardTransport::Relp, "relp", collector.relpPort, 10000},
    };
    for (const Run& run : runs) {
        ASSERT_TRUE(StartForwarding(To(run.transport, run.port), folder.c_str()));
        const ULONGLONG start = PacingMillisecondsNow();
        PublishNumbered(0, run.events);
        const ULONGLONG published = PacingMillisecondsNow();
        EXPECT_TRUE(WaitUntil([&] { return collector.Lines(run.input).size() >= static_cast<std::size_t>(run.events); },
                              120000))
            << run.input << ": " << collector.Lines(run.input).size() << " of " << run.events;
        const ULONGLONG received = PacingMillisecondsNow();
        const std::vector<std::string> lines = collector.Lines(run.input);
        EXPECT_EQ(EventNumbers(lines), Range(0, run.events)) << run.input << ": every event once, in order";
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("<109>1 ", 0), 0u) << "log audit, notice: " << lines[0];
        EXPECT_NE(lines[0].find("[quorvel@32473 server=\""), std::string::npos) << lines[0];
        EXPECT_TRUE(WaitUntil([] { return ForwardingCountersNow().waiting == 0; }, 5000));
        const ForwardingCounters counters = ForwardingCountersNow();
        EXPECT_EQ(counters.queued, static_cast<uint64_t>(run.events));
        EXPECT_EQ(counters.delivered, static_cast<uint64_t>(run.events));
        EXPECT_EQ(counters.dropped, 0u);
        std::printf("[ measured ] %s: %d events published in %llu ms, all received in %llu ms\n", run.input,
                    run.events, published - start, received - start);
        RecordProperty(std::string(run.input) + "_ms", static_cast<int>(received - start));
        StopForwarding(10000);
    }
    EXPECT_EQ(NoticesWith("fails"), 0);
}

TEST_F(ForwarderTest, OverRelpACollectorStoppedAndStartedLosesNothingAndGetsOnlyInFlightTwice)
{
    RecordTrial("faults", "the collector (rsyslogd over RELP) stopped in the middle of 4,000 events and started again",
                "every event received in order; only messages in flight were received twice; one notice each way");
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Relp, collector.relpPort), folder.c_str()));
    PublishNumbered(0, 2000);
    ASSERT_TRUE(WaitUntil([&] { return collector.Lines("relp").size() >= 300; }, 30000));
    collector.Stop();  // in the middle of the stream
    PublishNumbered(2000, 3000);
    EXPECT_TRUE(WaitUntil([&] { return ForwardingFailing() && NoticesWith("fails") == 1; }, 10000));
    EXPECT_GT(ForwardingCountersNow().waiting, 0u) << "what the collector did not take waits";
    ASSERT_TRUE(collector.Start());
    PublishNumbered(3000, 4000);
    const bool all = WaitUntil(
        [&] {
            const std::vector<int> numbers = EventNumbers(collector.Lines("relp"));
            return std::set<int>(numbers.begin(), numbers.end()).size() == 4000;
        },
        90000);
    const std::vector<int> numbers = EventNumbers(collector.Lines("relp"));
    ASSERT_TRUE(all) << std::set<int>(numbers.begin(), numbers.end()).size() << " of 4000 received";
    // Each event at least once; the duplicates are one run sent again, no longer than
    // the window of messages in flight when the connection broke.
    std::vector<int> firsts;
    std::set<int> seen;
    int duplicates = 0;
    for (int number : numbers) {
        if (seen.insert(number).second)
            firsts.push_back(number);
        else
            ++duplicates;
    }
    EXPECT_EQ(firsts, Range(0, 4000)) << "in order";
    EXPECT_LE(duplicates, static_cast<int>(kRelpWindow));
    std::size_t back = 0;
    for (std::size_t k = 1; k < numbers.size(); ++k)
        back += numbers[k] <= numbers[k - 1];
    EXPECT_LE(back, 1u) << "one step back at most: the resend from the oldest unacknowledged";
    EXPECT_TRUE(WaitUntil([] { return !ForwardingFailing(); }, 5000));
    EXPECT_EQ(NoticesWith("fails"), 1) << "one notice when it failed, not one per event";
    EXPECT_EQ(NoticesWith("works again"), 1);
    std::printf("[ measured ] collector stopped after %s; %d events received twice\n", "300+ lines", duplicates);
    RecordProperty("duplicates", duplicates);
}

TEST_F(ForwarderTest, AFullSpoolDropsTheOldestAndTellsTheCollectorHowMany)
{
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    collector.Stop();  // its port is known, nothing listens there
    ForwardSettings settings = To(ForwardTransport::Relp, collector.relpPort);
    settings.spoolMegabytes = 1;
    ASSERT_TRUE(StartForwarding(settings, folder.c_str()));
    const int events = 3000;
    PublishNumbered(0, events, EventKind::FileOpen, 600);  // about 900 bytes a message
    ASSERT_TRUE(WaitUntil(
        [&] {
            const ForwardingCounters counters = ForwardingCountersNow();
            return counters.waiting + counters.dropped == static_cast<uint64_t>(events);
        },
        30000));
    const ForwardingCounters full = ForwardingCountersNow();
    ASSERT_GT(full.dropped, 0u);
    ASSERT_GT(full.waiting, 500u);
    ASSERT_TRUE(collector.Start());
    ASSERT_TRUE(WaitUntil([&] { return collector.Lines("relp").size() >= full.waiting + 1; }, 60000));
    const std::vector<std::string> lines = collector.Lines("relp");
    ASSERT_EQ(lines.size(), full.waiting + 1);
    EXPECT_NE(lines[0].find(" DROPPED - "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(std::to_string(full.dropped) + " messages were dropped"), std::string::npos)
        << "the count comes first, before the survivors: " << lines[0];
    EXPECT_EQ(lines[0].rfind("<108>1 ", 0), 0u) << "a warning";
    EXPECT_EQ(EventNumbers(std::vector<std::string>(lines.begin() + 1, lines.end())),
              Range(events - static_cast<int>(full.waiting), events))
        << "the newest kept, in order";
}

TEST_F(ForwarderTest, WhatWaitsInTheSpoolIsSentAfterARestart)
{
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    collector.Stop();
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Relp, collector.relpPort), folder.c_str()));
    PublishNumbered(0, 200);
    ASSERT_TRUE(WaitUntil([] { return ForwardingCountersNow().waiting == 200; }, 10000));
    StopForwarding(10000);  // the program ends with the collector away
    ASSERT_TRUE(collector.Start());
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Relp, collector.relpPort), folder.c_str()));
    EXPECT_TRUE(WaitUntil([&] { return collector.Lines("relp").size() >= 200; }, 30000));
    EXPECT_EQ(EventNumbers(collector.Lines("relp")), Range(0, 200));
}

TEST_F(ForwarderTest, OverUdpAClosedPortIsNoticedAndTheEventsWaitForIt)
{
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    collector.Stop();
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Udp, collector.udpPort), folder.c_str()));
    PublishNumbered(0, 100);
    ASSERT_TRUE(WaitUntil([&] { return ForwardingFailing() && NoticesWith("fails") == 1; }, 10000));
    EXPECT_EQ(ForwardingCountersNow().waiting, 100u) << "none counted as delivered into a closed port";
    ASSERT_TRUE(collector.Start());
    ASSERT_TRUE(WaitUntil([&] { return collector.Lines("udp").size() >= 100; }, 30000));
    EXPECT_EQ(EventNumbers(collector.Lines("udp")), Range(0, 100));
    EXPECT_TRUE(WaitUntil([&] { return NoticesWith("works again") == 1; }, 5000));
}

TEST_F(ForwarderTest, ACollectorThatRefusesOrSendsGarbageIsDroppedAndTriedAgainWithNothingLost)
{
    std::mutex lock;
    std::vector<std::string> received;
    std::vector<std::string> unanswered;  // taken by the session that broke, never acknowledged
    peer.Start([&](SOCKET connection, int number) {
        PeerFrame frame;
        if (number == 0) {  // refuses the session
            if (PeerReadFrame(connection, &frame))
                PeerSend(connection, PeerAnswer(frame.txnr, "500 busy"));
            Sleep(200);
        } else if (number == 1) {  // takes the session, then answers nonsense
            if (PeerReadFrame(connection, &frame))
                PeerSend(connection, PeerAnswer(frame.txnr, "200 OK\nrelp_version=0\ncommands=syslog"));
            if (PeerReadFrame(connection, &frame)) {
                std::lock_guard<std::mutex> guard(lock);
                unanswered.push_back(frame.data);
                PeerSend(connection, "garbage\r\n\r\n");
            }
            Sleep(200);
        } else {
            ServeRelp(connection, lock, received);
        }
    });
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Relp, peer.port), folder.c_str()));
    PublishNumbered(0, 50);
    ASSERT_TRUE(WaitUntil([] { return ForwardingCountersNow().delivered == 50; }, 30000));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(EventNumbers(received), Range(0, 50));
        EXPECT_EQ(EventNumbers(unanswered), Range(0, 1)) << "what the broken session took unanswered is sent again";
    }
    // Sent twice: only what was in flight, unacknowledged, when the session broke.
    EXPECT_GT(ForwardingCountersNow().sent, 50u);
    EXPECT_LE(ForwardingCountersNow().sent, 50u + kRelpWindow);
    EXPECT_GE(ForwardingCountersNow().connections, 2u);
    EXPECT_EQ(NoticesWith("fails"), 1) << "two bad sessions, one notice";
    EXPECT_EQ(NoticesWith("works again"), 1);
    for (const std::string& notice : Notices())
        std::printf("[ notice ] %s\n", notice.c_str());
}

// A collector that takes the session and then answers nothing (hung, or a network
// that died with the window full) is given up after the reply time; what it took goes
// again to the next, none twice that was acknowledged.
TEST_F(ForwarderTest, ARelpCollectorThatNeverAnswersIsGivenUpAndSaidToFail)
{
    RecordTrial("faults", "a RELP collector that answers the open and then nothing, with the window full; then a "
                "working one", "failing said within the reply time; afterwards every event delivered in order");
    std::mutex lock;
    std::vector<std::string> received;
    std::atomic<bool> hung{true};
    peer.Start([&](SOCKET connection, int) {
        PeerFrame frame;
        if (hung.load()) {
            if (PeerReadFrame(connection, &frame))
                PeerSend(connection, PeerAnswer(frame.txnr, "200 OK\nrelp_version=0\ncommands=syslog"));
            // Takes what comes and answers nothing, until the test lets it go.
            while (hung.load()) {
                PeerReadFrame(connection, &frame, 200);
                Sleep(10);
            }
            return;
        }
        ServeRelp(connection, lock, received);
    });
    ForwardSettings settings = To(ForwardTransport::Relp, peer.port);
    settings.replySeconds = kLeastReplySeconds;
    ASSERT_TRUE(StartForwarding(settings, folder.c_str()));
    const ULONGLONG start = GetTickCount64();
    PublishNumbered(0, 200);
    ASSERT_TRUE(WaitUntil([&] { return NoticesWith("fails") == 1; }, 30000)) << "the hang is never said";
    const auto saidAfterMs = static_cast<int>(GetTickCount64() - start);
    RecordProperty("failing_said_after_ms", saidAfterMs);
    EXPECT_GE(saidAfterMs, kLeastReplySeconds * 1000 - 500);
    EXPECT_EQ(ForwardingCountersNow().delivered, 0u);
    hung.store(false);
    ASSERT_TRUE(WaitUntil([] { return ForwardingCountersNow().delivered == 200; }, 60000));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(EventNumbers(received), Range(0, 200)) << "every event, in order, none twice";
    EXPECT_TRUE(WaitUntil([&] { return NoticesWith("works again") == 1; }, 5000));
}

// A message the collector refuses for good never holds up the rest.
TEST_F(ForwarderTest, AMessageTheCollectorRefusesIsSetAsideAfterAFewTries)
{
    RecordTrial("faults", "a RELP collector refusing one message (500) every time it comes",
                "sent three times, then set aside and counted as dropped with one notice; the rest delivered");
    std::mutex lock;
    std::vector<std::string> received;
    std::atomic<int> refusals{0};
    peer.Start([&](SOCKET connection, int) {
        ServeRelp(connection, lock, received, [&](const PeerFrame& frame) {
            const bool refused = EventNumber(frame.data) == 3;
            refusals += refused ? 1 : 0;
            return refused;
        });
    });
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Relp, peer.port), folder.c_str()));
    PublishNumbered(0, 10);
    ASSERT_TRUE(WaitUntil([&] { return NoticesWith("set aside") == 1; }, 60000)) << "the refused one holds the rest";
    ASSERT_TRUE(WaitUntil([] { return ForwardingCountersNow().delivered == 9; }, 30000));
    EXPECT_EQ(refusals.load(), 3);
    EXPECT_GE(ForwardingCountersNow().dropped, 1u) << "counted as dropped, which the collector is told";
    std::lock_guard<std::mutex> guard(lock);
    const std::vector<int> numbers = EventNumbers(received);
    EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()), (std::set<int>{0, 1, 2, 4, 5, 6, 7, 8, 9}));
}

TEST_F(ForwarderTest, ADamagedSpoolAtTheStartIsSetAsideAndNothingOfItIsSent)
{
    std::mutex lock;
    std::vector<std::string> received;
    peer.Start([&](SOCKET connection, int) { ServeRelp(connection, lock, received); });
    std::string garbage = "QVSPOOL1";
    for (int k = 0; k < 4000; ++k)
        garbage += static_cast<char>((k * 131) % 256);
    WriteWholeFile(folder + kSpoolFileName, garbage);
    ASSERT_TRUE(StartForwarding(To(ForwardTransport::Relp, peer.port), folder.c_str()));
    PublishNumbered(0, 5);
    ASSERT_TRUE(WaitUntil([] { return ForwardingCountersNow().delivered == 5; }, 10000));
    EXPECT_EQ(NoticesWith("kept aside"), 1);
    EXPECT_EQ(ReadWholeFile(folder + kSpoolFileName + kSpoolSetAsideSuffix), garbage);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(received.size(), 5u) << "the events, and nothing of the damaged file";
    EXPECT_EQ(EventNumbers(received), Range(0, 5));
}

TEST_F(ForwarderTest, EventsTheQueueCannotHoldAreCountedAndTheCollectorIsTold)
{
    RecordTrial("load", "10,000 events of 900 bytes published while the forwarder waited for a silent collector, "
                "with a 1 MB spool",
                "the engine's thread never waited; every event was received or counted, and the count sent first");
    std::mutex lock;
    std::vector<std::string> received;
    std::atomic<bool> holding{false};
    peer.Start([&](SOCKET connection, int number) {
        if (number == 0) {  // takes the connection, never answers the open: the thread waits 3 s
            PeerFrame open;
            PeerReadFrame(connection, &open);
            holding.store(true);
            Sleep(4000);
            return;
        }
        ServeRelp(connection, lock, received);
    });
    ForwardSettings settings = To(ForwardTransport::Relp, peer.port);
    settings.spoolMegabytes = 1;
    ASSERT_TRUE(StartForwarding(settings, folder.c_str()));
    PublishNumbered(0, 1);
    ASSERT_TRUE(WaitUntil([&] { return holding.load(); }, 5000));
    // While the forwarder's thread waits for the collector, the engine's thread keeps
    // publishing, and never waits: what the 4 MiB queue cannot hold is counted.
    const int events = 10000;
    const ULONGLONG start = PacingMillisecondsNow();
    PublishNumbered(1, events, EventKind::FileOpen, 600);
    const ULONGLONG took = PacingMillisecondsNow() - start;
    EXPECT_LT(took, 2000u) << "the engine's thread is never held up";
    const ForwardingCounters queued = ForwardingCountersNow();
    EXPECT_LT(queued.queued, static_cast<uint64_t>(events));
    EXPECT_EQ(queued.queued + queued.dropped, static_cast<uint64_t>(events)) << "each event queued or counted";

    // The queue keeps what it took (the oldest); the spool then keeps its newest
    // megabyte; each drop is counted once and told once.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const ForwardingCounters counters = ForwardingCountersNow();
            return counters.waiting == 0 && counters.delivered + counters.dropped == static_cast<uint64_t>(events);
        },
        30000))
        << "delivered " << ForwardingCountersNow().delivered << ", dropped " << ForwardingCountersNow().dropped;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(lock);
            return received.size() == ForwardingCountersNow().delivered + 1;
        },
        5000));
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_GT(received.size(), 2u);
    EXPECT_NE(received[0].find(" DROPPED - "), std::string::npos) << received[0];
    const std::vector<int> survivors = EventNumbers(std::vector<std::string>(received.begin() + 1, received.end()));
    const uint64_t told = std::strtoull(received[0].substr(received[0].find("\xEF\xBB\xBF") + 3).c_str(), nullptr, 10);
    EXPECT_EQ(told + survivors.size(), static_cast<uint64_t>(events)) << "every event received or told as dropped";
    EXPECT_EQ(told, ForwardingCountersNow().dropped);
    for (std::size_t k = 1; k < survivors.size(); ++k)
        ASSERT_LT(survivors[k - 1], survivors[k]) << "in order";
    std::printf("[ measured ] %d events published in %llu ms while the thread waited; %llu told as dropped\n", events,
                took, static_cast<unsigned long long>(told));
}

TEST_F(ForwarderTest, AtMinimumActionsOnlyTripsCutOffsAndActionsAreSent)
{
    std::mutex lock;
    std::vector<std::string> received;
    peer.Start([&](SOCKET connection, int) { ServeRelp(connection, lock, received); });
    ForwardSettings settings = To(ForwardTransport::Relp, peer.port);
    settings.minimum = ForwardMinimum::Actions;
    ASSERT_TRUE(StartForwarding(settings, folder.c_str()));
    for (const EventKind kind : {EventKind::Connection, EventKind::FileOpen, EventKind::Tripwire,
                                 EventKind::SessionCutOff, EventKind::FileOpen, EventKind::SessionClosed})
        PublishNumbered(0, 1, kind);
    ASSERT_TRUE(WaitUntil([] { return ForwardingCountersNow().delivered == 3; }, 10000));
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_NE(received[0].find(" TRIP "), std::string::npos);
    EXPECT_NE(received[1].find(" CUTOFF "), std::string::npos);
    EXPECT_NE(received[2].find(" CLOSE-SESSION "), std::string::npos);
}

// Forwarding as a run of the program or the service drives it: the Log page says once
// that it fails, however many events wait, and once that it works again.
TEST_F(ForwarderTest, TheLogPageSaysOnceThatForwardingFailsAndOnceThatItWorksAgain)
{
    CopyText(engineState.logFolder, folder.c_str());
    ClearLogText(engineState.logText);
    const auto lines = [](const char* words) {
        const std::string_view log = WholeLogText(engineState.logText);
        int count = 0;
        for (std::size_t at = log.find(words); at != std::string_view::npos; at = log.find(words, at + 1))
            ++count;
        return count;
    };
    const uint16_t port = FreeLocalPort(false);  // nothing listens there yet
    WriteForwardSettings(To(ForwardTransport::Tcp, port));
    BeginForwarding();
    PublishNumbered(0, 50);
    ASSERT_TRUE(WaitUntil([&] { AfterForwardingStep(); return lines("fails") >= 1; }, 10000));
    PublishNumbered(50, 100);
    const ULONGLONG until = PacingMillisecondsNow() + 1500;  // a retry or two, each failing again
    while (PacingMillisecondsNow() < until) {
        AfterForwardingStep();
        Sleep(20);
    }
    EXPECT_EQ(lines("fails"), 1) << WholeLogText(engineState.logText);

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);  // the system takes the connection and its bytes
    EXPECT_TRUE(WaitUntil([&] { AfterForwardingStep(); return lines("works again") == 1; }, 15000))
        << WholeLogText(engineState.logText);
    EXPECT_EQ(lines("fails"), 1);
    const std::string_view log = WholeLogText(engineState.logText);
    EXPECT_EQ(log.substr(0, 1), "[") << "each notice is a Log page line: [time] text";
    EndForwarding();
    closesocket(listener);
}
