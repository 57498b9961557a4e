// The engine's own loop, as the service runs it without a window: its steps run on
// the test's thread against the test's clock, the clock moved to each next step's time
// as the loop's wait would move it.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/text.h"
#include "engine/watch/detection.h"
#include "engine/rounds/engine_host.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/log_text.h"
#include "engine/watch/news.h"
#include "engine/watch/server_list.h"
#include "engine/watch/server_workers.h"
#include "rules/block_rules.h"
#include "support/engine_fixture.h"

namespace {

// What the hook saw, as a publisher would: each step, each reading, and the log text
// and news each step added.
std::vector<EngineStep> steps;
std::vector<EngineReading> readings;
std::string published;
int stepsWithNews = 0;
std::atomic<int> inboundTaken{0};
std::atomic<int> replyStepsTaken{0};

void PublishStep(EngineStep step)
{
    steps.push_back(step);
    replyStepsTaken += step == ServerReplyStep ? 1 : 0;
    stepsWithNews += HasNews(engineState.news) ? 1 : 0;
    published += WholeLogText(engineState.logText).substr(engineState.logText.newFrom);
    ClearNews(engineState.news);
    MarkLogTextShown(engineState.logText);
}

void PublishReading(const EngineReading& reading)
{
    readings.push_back(reading);
}

void TakeInbound()
{
    ++inboundTaken;
}

// A clock that moves a millisecond each time it is read, so that a delivery's slice,
// which ends by the clock, ends while the test's clock stands otherwise still.
void StillLocalTime(SYSTEMTIME* now)
{
    *now = TheFakeClock().now;
}
ULONGLONG TickingMilliseconds()
{
    return ++TheFakeClock().milliseconds;
}
constexpr ClockSource kTickingClock = {StillLocalTime, TickingMilliseconds};

class EngineHostTest : public EngineTest {
protected:
    void SetUp() override
    {
        RunServerWorkers(false);
        EngineTest::SetUp();
        steps.clear();
        readings.clear();
        published.clear();
        stepsWithNews = 0;
        inboundTaken = 0;
        replyStepsTaken = 0;
        ASSERT_TRUE(StartEngineHost({PublishStep, PublishReading, nullptr, nullptr}));
    }
    void TearDown() override
    {
        WatchServers(ServerList{});
        CloseEngineHost();
        EngineTest::TearDown();
        RunServerWorkers(true);
    }

    // The loop against the test's clock: the due steps run, then the clock moves on by
    // the loop's wait. The milliseconds that passed until `done` held, or -1 when it did
    // not within `limitMs` (the clock then stands at the last steps run).
    template <typename Done>
    long long RunHostUntil(Done done, ULONGLONG limitMs)
    {
        const ULONGLONG start = clock->milliseconds;
        for (;;) {
            const DWORD wait = std::max<DWORD>(RunDueEngineSteps(), 1);
            const ULONGLONG passed = clock->milliseconds - start;
            if (done())
                return static_cast<long long>(passed);
            if (passed + wait > limitMs)
                return -1;
            clock->AdvanceMilliseconds(wait);
        }
    }
    void RunHostFor(ULONGLONG ms)
    {
        RunHostUntil([] { return false; }, ms);
    }

    std::vector<std::wstring> Deletions(const FakeServer& of) const { return of.CallsStartingWith(L"NetSessionDel"); }
    long long Count(EngineStep kind) const { return std::count(steps.begin(), steps.end(), kind); }
    std::string TextLog(const std::string& folderName = "") const
    {
        return ReadWholeFile(std::string(engineState.logFolder.data()) + folderName + "7.3.2026.log");
    }

    void WatchFs2()
    {
        ServerList list{};
        list.count = 1;
        CopyText(list.names[0], "FS2");
        WatchServers(list);
        fs2 = &TheFakeServer(L"FS2");
    }
    FakeServer* fs2 = nullptr;
};

}  // namespace

TEST_F(EngineHostTest, ABlacklistedComputerIsCutOffWithinABlockRoundAndThePollKeepsItsPeriod)
{
    AddComputer(engineState.rules.blacklist, "PC-BAD", kPermanent);
    RunHostFor(1000);
    EXPECT_EQ(Count(BlockStep), 10);
    EXPECT_EQ(Count(PollStep), 5);

    // It connects between two rounds, and again after being cut off.
    clock->AdvanceMilliseconds(37);
    server->sessions = {{L"PC-GOOD", L"bob"}, {L"PC-BAD", L"eve"}};
    long long took = RunHostUntil([&] { return !Deletions(*server).empty(); }, 1000);
    EXPECT_GE(took, 0);
    EXPECT_LE(took, static_cast<long long>(kBlockTickMs));
    server->sessions.push_back({L"pc-bad", L"eve"});
    took = RunHostUntil([&] { return Deletions(*server).size() == 2; }, 1000);
    EXPECT_GE(took, 0);
    EXPECT_LE(took, static_cast<long long>(kBlockTickMs));
    EXPECT_EQ(Deletions(*server), (std::vector<std::wstring>{L"NetSessionDel \\\\PC-BAD <null>",
                                                              L"NetSessionDel \\\\PC-BAD <null>"}));
    ASSERT_EQ(server->sessions.size(), 1u);
    EXPECT_EQ(server->sessions[0].client, L"PC-GOOD");
}

TEST_F(EngineHostTest, ABurstIsDeliveredInSlicesWithBlockingBetweenThem)
{
    RecordTrial("load", "10,000 files already open at the service's first poll, a blacklisted computer "
                        "connecting while their events are delivered",
                "delivered in slices, each file once and in order; the computer cut off within a block round");
    constexpr int kBurst = 10000;
    for (int i = 1; i <= kBurst; ++i)
        server->files.push_back({static_cast<DWORD>(i), 3, 0, L"C:\\Shares\\burst\\f" + std::to_wstring(i) + L".txt",
                                 L"bob"});
    AddComputer(engineState.rules.blacklist, "PC-BAD", kPermanent);
    InstallClock(&kTickingClock);

    ASSERT_GE(RunHostUntil([] { return AnyWatchDelivering(); }, 1000), 0) << "the first poll finds the burst";
    const auto burstLines = [](const std::string& text) {
        int found = 0;
        for (std::size_t at = text.find("\\burst\\f"); at != std::string::npos; at = text.find("\\burst\\f", at + 1))
            ++found;
        return found;
    };
    const auto delivered = [&] { return burstLines(TextLog()); };
    EXPECT_GT(delivered(), 0) << "a first slice at once";
    EXPECT_LT(delivered(), kBurst);

    server->sessions = {{L"PC-BAD", L"eve"}};
    const long long took = RunHostUntil([&] { return !Deletions(*server).empty(); }, 1000);
    EXPECT_GE(took, 0);
    EXPECT_LE(took, static_cast<long long>(kBlockTickMs)) << "blocking does not wait behind the burst";
    EXPECT_TRUE(AnyWatchDelivering()) << "cut off while the burst was still being delivered";

    ASSERT_GE(RunHostUntil([] { return !AnyWatchDelivering(); }, 60000), 0);
    EXPECT_GE(Count(DeliveryStep), 3);
    const std::string log = TextLog();
    std::size_t at = 0;
    for (int i = 1; i <= kBurst; ++i) {
        const std::string line = "[bob][ReadWrite] C:\\Shares\\burst\\f" + std::to_string(i) + ".txt\r\n";
        const std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "file " << i << " missing or out of order";
        at = found + line.size();
    }
    EXPECT_EQ(delivered(), kBurst) << "each file once";
    EXPECT_EQ(burstLines(published), kBurst) << "the hook saw every line as it came, though the Log page's "
                                                "text keeps only the newest";
}

TEST_F(EngineHostTest, AServersReplyIsTakenShownToTheHookAndItsBlacklistedComputerCutOff)
{
    WatchFs2();
    AddComputer(engineState.rules.blacklist, "PC-BAD", kPermanent);
    fs2->sessions = {{L"PC9", L"ann"}, {L"PC-BAD", L"eve"}};
    clock->AdvanceMilliseconds(kRemoteSessionsMs);
    ReadServerOnce(1, SessionsReply);  // the worker's read, posted through the host's notice
    RunDueEngineSteps();

    ASSERT_EQ(readings.size(), 1u);
    EXPECT_EQ(readings[0].server, 1);
    EXPECT_EQ(readings[0].kind, SessionsReply);
    ASSERT_EQ(RecordsOf<SESSION_INFO_1>(readings[0]).size(), 2u);
    EXPECT_EQ(Count(ServerReplyStep), 1);
    EXPECT_NE(TextLog("FS2\\").find("] User ann connected from PC9\r\n"), std::string::npos);
    EXPECT_NE(published.find("] [\\\\FS2] User ann connected from PC9\r\n"), std::string::npos) << published;
    EXPECT_EQ(stepsWithNews, 1);
    EXPECT_FALSE(HasNews(engineState.news)) << "the hook took it";

    // The worker's next round carries the deletion out first.
    clock->AdvanceMilliseconds(kRemoteSessionsMs);
    ReadServerOnce(1, SessionsReply);
    RunDueEngineSteps();
    EXPECT_EQ(Deletions(*fs2), std::vector<std::wstring>{L"NetSessionDel \\\\PC-BAD <null>"});
    EXPECT_TRUE(Deletions(*server).empty()) << "nothing asked of this computer";

    fs2->files = {{40, PERM_FILE_READ, 0, L"D:\\Data\\plan.txt", L"ann"}};
    ReadServerOnce(1, FilesReply);
    ReadServerOnce(1, FilesReply);
    RunDueEngineSteps();
    EXPECT_EQ(Count(ServerReplyStep), 4) << "both replies taken, in the order they came";
    EXPECT_NE(TextLog("FS2\\").find("] [ann][Read] D:\\Data\\plan.txt\r\n"), std::string::npos);
}

TEST_F(EngineHostTest, RepliesFromNowhereAreDroppedAndAFullQueueRefusesTheNext)
{
    RecordTrial("bad input", "reply notices for places 0, -1 and 17, for a slot never posted, for a place no "
                             "longer watched, and more than a place's queue holds",
                "refused or dropped, no buffer kept; the worker gives back what was refused");
    WatchFs2();
    const ReplyNotice notice = engineState.replyNotice;
    ASSERT_NE(notice, nullptr);
    for (ServerId place : {0, -1, kMaxRemoteServers + 1})
        EXPECT_FALSE(notice(place, ReplyWord(0, 1))) << place;
    for (std::size_t k = 0; k < kQueuedRepliesPerServer; ++k)
        EXPECT_TRUE(notice(1, ReplyWord(k % kRepliesPerServer, 1)));
    EXPECT_FALSE(notice(1, ReplyWord(0, 1))) << "the queue is full";
    RunDueEngineSteps();
    EXPECT_EQ(Count(ServerReplyStep), 0) << "no slot was posted: nothing to take";

    // A reply of a server no longer watched is given back when it comes.
    fs2->sessions = {{L"PC9", L"ann"}};
    ReadServerOnce(1, SessionsReply);
    WatchServers(ServerList{});
    RunDueEngineSteps();
    EXPECT_EQ(Count(ServerReplyStep), 0);
    EXPECT_TRUE(readings.empty());
    EXPECT_EQ(TheFakeServer().buffersOut, 0);
}

TEST_F(EngineHostTest, TheLoopTakesInboundWorkAndRepliesAndEndsWhenStopped)
{
    HANDLE inbound = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(inbound, nullptr);
    CloseEngineHost();
    ASSERT_TRUE(StartEngineHost({PublishStep, PublishReading, inbound, TakeInbound}));
    WatchFs2();

    SetEvent(inbound);
    EXPECT_TRUE(RunEngineHostTurn());
    EXPECT_EQ(inboundTaken, 1);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back(), InboundStep);

    // A worker's reply wakes the loop: the turn ends for it, ahead of the inbound work
    // waiting behind it, which the next turn takes.
    fs2->sessions = {{L"PC9", L"ann"}};
    ReadServerOnce(1, SessionsReply);
    SetEvent(inbound);
    EXPECT_TRUE(RunEngineHostTurn());
    EXPECT_EQ(replyStepsTaken, 1);
    EXPECT_EQ(inboundTaken, 1) << "the reply's notice did not wake the loop";
    EXPECT_TRUE(RunEngineHostTurn());
    EXPECT_EQ(inboundTaken, 2);

    // On its own thread, the test's clock standing still: nothing is due, and the loop
    // does only what comes.
    HANDLE loop = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            RunEngineHost();
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(loop, nullptr);
    const ULONGLONG posted = GetTickCount64();
    ReadServerOnce(1, SessionsReply);
    while (replyStepsTaken == 1 && GetTickCount64() - posted < 5000)
        Sleep(1);
    EXPECT_EQ(replyStepsTaken, 2);
    SetEvent(inbound);
    while (inboundTaken == 2 && GetTickCount64() - posted < 5000)
        Sleep(1);
    EXPECT_EQ(inboundTaken, 3);

    StopEngineHost();
    EXPECT_EQ(WaitForSingleObject(loop, 5000), WAIT_OBJECT_0) << "the loop ends when stopped";
    CloseHandle(loop);
    EXPECT_FALSE(RunEngineHostTurn()) << "and stays stopped";
    CloseHandle(inbound);
}

TEST_F(EngineHostTest, AnInboundEventThatIsNoEventLeavesTheLoopRunningOnItsOwnTime)
{
    RecordTrial("bad input", "an owner's inbound event handle already closed",
                "the loop waits its rounds' time without it, takes no inbound work, and still ends when stopped");
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(closed, nullptr);
    CloseHandle(closed);
    CloseEngineHost();
    ASSERT_TRUE(StartEngineHost({PublishStep, PublishReading, closed, TakeInbound}));
    // The test's clock stands still: nothing is due, and a turn waits out a block round.
    const ULONGLONG started = GetTickCount64();
    EXPECT_TRUE(RunEngineHostTurn());
    EXPECT_GE(GetTickCount64() - started, kBlockTickMs / 2) << "it did not wait: the loop would spin";
    EXPECT_EQ(inboundTaken, 0);
    StopEngineHost();
    EXPECT_FALSE(RunEngineHostTurn());
}
