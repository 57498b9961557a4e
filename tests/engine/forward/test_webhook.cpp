// The alarm webhook against an HTTP receiver the test starts on 127.0.0.1.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/clock.h"
#include "core/text.h"
#include "engine/watch/event_record.h"
#include "engine/forward/forwarder.h"
#include "engine/forward/syslog_message.h"
#include "engine/forward/webhook.h"
#include "support/engine_fixture.h"
#include "support/forwarding_support.h"

namespace {

constexpr WebhookTiming kQuickTiming = {50, 200, 60000, 5000};

SYSTEMTIME TestUtc()
{
    SYSTEMTIME utc{};
    utc.wYear = 2024;
    utc.wMonth = 3;
    utc.wDay = 5;
    utc.wHour = 14;
    utc.wMinute = 7;
    utc.wSecond = 9;
    return utc;
}

const std::wstring kComputer = L"PC-\u00dcber \"7\"";
const std::wstring kUser = L"ann\\b\u00e9r";
const std::wstring kPath = L"D:\\Akten\\<canary> & \u6587\u4ef6\t.docx";

EventRecord TripRecord()
{
    return {EventKind::Tripwire, {}, TestUtc(), "\\\\FS2", kComputer, kUser, kPath, 0,
            "bait \"*canary*\"", "[9:5:8] Tripwire [ann] opened a bait file"};
}

std::string Body(WebhookFormat format, const EventRecord& record)
{
    std::string body(kWebhookBodyCapacity, '\0');
    body.resize(FormatWebhookBody(std::span<char>(body.data(), body.size()), format, record, "fs1.example.org"));
    return body;
}

class WebhookTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        StopWebhook(10000);
        StopForwarding(10000);
        RemoveEventSinks();
        receiver.Stop();
        std::array<char, 256> text{};
        while (TakeWebhookNotice(text))
            ;
        if (!HasFailure())
            RemoveLinuxTestFolder(receiver.folder);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(receiver.port) + "/hooks/quorvel?x=1"; }
    std::string NextNotice()
    {
        std::array<char, 256> text{};
        return TakeWebhookNotice(text) ? std::string(text.data()) : std::string();
    }
    Receiver receiver;
};

}  // namespace

TEST(WebhookBody, PlainJsonCarriesEveryFieldEscaped)
{
    const EventRecord record{EventKind::SessionCutOff, {}, TestUtc(), "", L"PC1", L"ann", L"", 0, "blacklist",
                             "Session of PC1 deleted by the blacklist"};
    EXPECT_EQ(Body(WebhookFormat::Json, record),
              "{\"kind\":\"session-cut-off\",\"time\":\"2024-03-05T14:07:09.000Z\",\"host\":\"fs1.example.org\","
              "\"server\":\"fs1.example.org\",\"computer\":\"PC1\",\"user\":\"ann\",\"path\":\"\",\"rule\":\"blacklist\","
              "\"text\":\"Session of PC1 deleted by the blacklist\"}");
    const std::string slack = Body(WebhookFormat::Slack, TripRecord());
    EXPECT_EQ(slack.rfind("{\"text\":\"*Quorvel: tripwire on FS2*\\nEvent: ", 0), 0u) << slack;
    EXPECT_NE(slack.find("&lt;canary&gt; &amp;"), std::string::npos) << "Slack's own escapes: " << slack;
    const std::string teams = Body(WebhookFormat::Teams, TripRecord());
    EXPECT_EQ(teams.rfind("{\"@type\":\"MessageCard\"", 0), 0u) << teams;
    EXPECT_NE(teams.find("\"title\":\"Quorvel: tripwire on FS2\""), std::string::npos) << teams;

    // However long the texts, the body is whole JSON within its room.
    const std::wstring quotes(3000, L'"'), controls(3000, L'\x01'), path(50000, L'\u20ac');
    const std::string backslashes(9000, '\\'), line(9000, 'x');
    const EventRecord huge{EventKind::Tripwire, {}, TestUtc(), "", quotes, controls, path, 0, backslashes, line};
    for (const WebhookFormat format : {WebhookFormat::Json, WebhookFormat::Teams, WebhookFormat::Slack}) {
        const std::string body = Body(format, huge);
        EXPECT_LE(body.size(), kWebhookBodyCapacity);
        EXPECT_EQ(body.back(), '}') << static_cast<int>(format);
    }
}

TEST(WebhookBody, OnlyHttpAndHttpsAddressesWithAHostAreTaken)
{
    EXPECT_TRUE(IsWebhookUrl("http://127.0.0.1:8080/x"));
    EXPECT_TRUE(IsWebhookUrl("HTTPS://hooks.example.org/services/T/B/C"));
    EXPECT_FALSE(IsWebhookUrl("ftp://example.org/"));
    EXPECT_FALSE(IsWebhookUrl("http://"));
    EXPECT_FALSE(IsWebhookUrl("http:///path"));
    EXPECT_FALSE(IsWebhookUrl("https://host/with space"));
    EXPECT_FALSE(IsWebhookUrl("https://host/with\x01control")) << "the service's pipe would refuse it";
    EXPECT_FALSE(IsWebhookUrl("https://host/\x7F"));
    EXPECT_FALSE(IsWebhookUrl(""));
    EXPECT_FALSE(IsWebhookUrl(nullptr));
    EXPECT_FALSE(StartWebhook("mailto:x@example.org", WebhookFormat::Json, "h", kWebhookTiming));
}

TEST_F(WebhookTest, AnAlarmReachesTheReceiverInEachFormatAndA500IsTriedAgain)
{
    if (!receiver.Start("500,200"))
        GTEST_SKIP() << "no receiver to test against: " << receiver.why;
    ASSERT_TRUE(StartWebhook(Url().c_str(), WebhookFormat::Json, "fs1.example.org", kQuickTiming));
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    ASSERT_TRUE(WaitUntil([] { return WebhookCountersNow().delivered == 1; }, 20000));
    auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].status, 500);
    EXPECT_EQ(requests[1].status, 200);
    for (const auto& request : requests) {
        EXPECT_TRUE(request.valid) << "the body reads as JSON";
        EXPECT_EQ(request.contentType, "application/json;charset=utf-8");
        EXPECT_EQ(request.Value("kind"), "tripwire");
        EXPECT_EQ(request.Value("time"), "2024-03-05T14:07:09.000Z");
        EXPECT_EQ(request.Value("host"), "fs1.example.org");
        EXPECT_EQ(request.Value("server"), "FS2");
        EXPECT_EQ(request.Value("computer"), Utf8Of(kComputer));
        EXPECT_EQ(request.Value("user"), Utf8Of(kUser));
        EXPECT_EQ(request.Value("path"), Utf8Of(kPath));
        EXPECT_EQ(request.Value("rule"), "bait \"*canary*\"");
        EXPECT_EQ(request.Value("text"), "[9:5:8] Tripwire [ann] opened a bait file");
    }
    EXPECT_EQ(WebhookCountersNow().attempts, 2u);
    EXPECT_EQ(NextNotice(), "") << "a retry that worked is no news";

    StopWebhook(10000);
    ASSERT_TRUE(StartWebhook(Url().c_str(), WebhookFormat::Teams, "fs1.example.org", kQuickTiming));
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Requests().size() == 3; }, 10000));
    requests = receiver.Requests();
    EXPECT_TRUE(requests[2].valid);
    EXPECT_EQ(requests[2].Value("title"), "Quorvel: tripwire on FS2");
    EXPECT_EQ(requests[2].Value("sections.0.facts.1.name"), "Computer");
    EXPECT_EQ(requests[2].Value("sections.0.facts.1.value"), Utf8Of(kComputer));
    EXPECT_EQ(requests[2].Value("sections.0.facts.3.value"), Utf8Of(kPath));

    StopWebhook(10000);
    ASSERT_TRUE(StartWebhook(Url().c_str(), WebhookFormat::Slack, "fs1.example.org", kQuickTiming));
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    ASSERT_TRUE(WaitUntil([&] { return receiver.Requests().size() == 4; }, 10000));
    requests = receiver.Requests();
    EXPECT_TRUE(requests[3].valid);
    EXPECT_NE(requests[3].Value("text").find("User: " + Utf8Of(kUser)), std::string::npos) << requests[3].Value("text");
}

// A receiver that answers the POST with a redirect has not taken the alarm: followed,
// the redirect would become a GET of another address, counted as delivered.
TEST_F(WebhookTest, ARedirectIsNotFollowedAndTheAlarmIsNotCountedAsDelivered)
{
    RecordTrial("faults", "an alarm webhook answering every request with 302 and a Location",
                "the POST alone, never followed; not counted as delivered; the notice names the redirect");
    if (!receiver.Start("302"))
        GTEST_SKIP() << "no receiver to test against: " << receiver.why;
    DWORD status = 0;
    std::array<char, 128> text{};
    EXPECT_EQ(PostWebhook(Url().c_str(), "{}", 5000, &status, text), WebhookResult::Refused);
    EXPECT_EQ(status, 302u);
    EXPECT_STREQ(text.data(), "HTTP 302: a redirect, which an alarm does not follow");
    ASSERT_TRUE(StartWebhook(Url().c_str(), WebhookFormat::Json, "fs1", kQuickTiming));
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    std::string notice;
    ASSERT_TRUE(WaitUntil([&] { return !(notice = NextNotice()).empty(); }, 10000));
    EXPECT_NE(notice.find("a redirect"), std::string::npos) << notice;
    EXPECT_EQ(WebhookCountersNow().delivered, 0u);
    const auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 2u) << "no GET of the redirect's target";
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[1].method, "POST");
    // Nothing listening: the failure says its stage.
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(FreeLocalPort(false)) + "/";
    EXPECT_EQ(PostWebhook(nowhere.c_str(), "{}", 5000, &status, text), WebhookResult::Retry);
    EXPECT_EQ(std::string(text.data()).rfind("connection: ", 0), 0u) << text.data();
}

TEST_F(WebhookTest, TheSinkSendsAlarmsOnlyOnePerTripAndForwardingNeedNotBeOn)
{
    if (!receiver.Start("200"))
        GTEST_SKIP() << "no receiver to test against: " << receiver.why;
    ForwardSettings settings = DefaultForwardSettings();
    CopyText(settings.webhook, Url());
    const std::string folder = MakeTestFolder();
    ASSERT_TRUE(StartForwarding(settings, folder.c_str()));
    AddEventSink(ForwardingEventSink, nullptr);
    for (const EventKind kind : {EventKind::Connection, EventKind::FileOpen, EventKind::SessionCutOff,
                                 EventKind::SessionClosed, EventKind::ServerSilent, EventKind::Tripwire}) {
        const EventRecord record{kind, {}, TestUtc(), "", L"PC1", L"ann", L"", 0, "blacklist", "line"};
        PublishEvent(record);
    }
    // The sessions a trip cuts off: the trip is their one alarm.
    const EventRecord tripped{EventKind::SessionCutOff, {}, TestUtc(), "", L"PC2", L"", L"", 0, "tripwire", "line"};
    PublishEvent(tripped);
    // Alarms go in order: once this one came, the one before it would have.
    const EventRecord last{EventKind::ServerSilent, {}, TestUtc(), "\\\\FS9", L"", L"", L"", 0, "", "line"};
    PublishEvent(last);
    ASSERT_TRUE(WaitUntil([&] { return receiver.Requests().size() == 4; }, 10000));
    const auto requests = receiver.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[3].Value("server"), "FS9");
    EXPECT_EQ(requests[0].Value("kind"), "session-cut-off");
    EXPECT_EQ(requests[0].Value("rule"), "blacklist");
    EXPECT_EQ(requests[1].Value("kind"), "server-silent");
    EXPECT_EQ(requests[2].Value("kind"), "tripwire");
}

TEST_F(WebhookTest, AnAlarmNotTakenInTimeOrRefusedForGoodIsDroppedWithANotice)
{
    RecordTrial("faults", "an alarm webhook answering 500 until the time ran out, a 400, and no receiver at all",
                "tried again with growing waits, then dropped with one notice; a 400 tried once");
    if (!receiver.Start("500,500,500,500,500,500,500,500,500,500,400"))
        GTEST_SKIP() << "no receiver to test against: " << receiver.why;
    WebhookTiming timing = kQuickTiming;
    timing.giveUpMs = 600;
    ASSERT_TRUE(StartWebhook(Url().c_str(), WebhookFormat::Json, "fs1", timing));
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    std::string notice;
    ASSERT_TRUE(WaitUntil([&] { return !(notice = NextNotice()).empty(); }, 10000));
    EXPECT_NE(notice.find("dropped: the receiver did not take it in "), std::string::npos) << notice;
    EXPECT_NE(notice.find("tries (HTTP 500)"), std::string::npos) << notice;
    const WebhookCounters counters = WebhookCountersNow();
    EXPECT_EQ(counters.dropped, 1u);
    EXPECT_EQ(counters.delivered, 0u);
    EXPECT_GE(counters.attempts, 3u) << "tried again with backoff until the time ran out";
    EXPECT_LE(counters.attempts, 10u);

    // A 400: the receiver will never take it, so it is not tried again.
    ASSERT_TRUE(WaitUntil([&] { return receiver.Requests().size() == counters.attempts; }, 5000));
    const std::size_t before = receiver.Requests().size();
    StopWebhook(10000);
    timing.giveUpMs = 60000;
    ASSERT_TRUE(StartWebhook(Url().c_str(), WebhookFormat::Json, "fs1", timing));
    // Skip to the 400 the receiver answers after ten 500s.
    for (std::size_t k = before; k < 10; ++k) {
        DWORD status = 0;
        std::array<char, 64> text{};
        PostWebhook(Url().c_str(), "{}", 5000, &status, text);
    }
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    ASSERT_TRUE(WaitUntil([&] { return !(notice = NextNotice()).empty(); }, 10000));
    EXPECT_NE(notice.find("refused it (HTTP 400)"), std::string::npos) << notice;
    EXPECT_EQ(receiver.Requests().size(), 11u) << "one try only";

    // Nothing listening at all: tried again, then dropped the same way.
    StopWebhook(10000);
    timing.giveUpMs = 300;
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(FreeLocalPort(false)) + "/";
    ASSERT_TRUE(StartWebhook(nowhere.c_str(), WebhookFormat::Json, "fs1", timing));
    ASSERT_TRUE(QueueWebhookAlarm(TripRecord()));
    ASSERT_TRUE(WaitUntil([&] { return !(notice = NextNotice()).empty(); }, 10000));
    EXPECT_NE(notice.find("dropped"), std::string::npos) << notice;
}
