// Detection through the engine's own poll rounds, without a window: which open files
// and which sessions are new, each reported once, however the server answers.
#include <windows.h>

#include <string>
#include <vector>

#include "core/server_api.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/log_text.h"
#include "engine/watch/poll.h"
#include "support/session_script.h"
#include "support/engine_fixture.h"

namespace {

class FileDetectionTest : public EngineTest {
protected:
    std::string LogPageText() const { return std::string(WholeLogText(engineState.logText)); }
    std::string TextLog() const { return ReadWholeFile(std::string(engineState.logFolder.data()) + "\\7.3.2026.log"); }
    void AddFile(DWORD id, const std::wstring& path, const std::wstring& user = L"bob", DWORD permissions = 3)
    {
        server->files.push_back({id, permissions, 0, path, user});
    }
    static void RunPollTicks(int count) { RunEngineRounds(count); }
    static void PollTicks(int count) { RunEngineRounds(count); }
    // A round of the poll at the clock's time.
    static void PollNow()
    {
        PollRound round;
        BeginPollRound(round);
        FinishPollRound(round);
    }
};

using ConnectionTest = SessionScript<FileDetectionTest>;

}  // namespace

TEST_F(FileDetectionTest, FilesAlreadyOpenAreReportedAtTheFirstTickInEnumerationOrder)
{
    AddFile(12, L"C:\\Shares\\Docs\\b.txt");
    AddFile(7, L"C:\\Shares\\Docs\\a.txt", L"alice", PERM_FILE_READ);
    RunPollTicks(1);
    EXPECT_EQ(LogPageText(),
              "[9:5:7] [bob][ReadWrite] C:\\Shares\\Docs\\b.txt\r\n"
              "[9:5:7] [alice][Read] C:\\Shares\\Docs\\a.txt\r\n");
    EXPECT_EQ(engineState.local.files.highestReported, 12u);
    RunPollTicks(3);
    EXPECT_EQ(server->fileEnumCalls, 4) << "the open files are fetched on every tick";
    EXPECT_EQ(TextLog(), LogPageText()) << "nothing is reported twice";
}

TEST_F(FileDetectionTest, FilesTheLastScanHeldAreNotReportedAgainWhateverTheirIds)
{
    AddFile(100, L"C:\\a");
    AddFile(40, L"C:\\older");
    RunPollTicks(1);
    AddFile(101, L"C:\\b");
    AddFile(103, L"C:\\c");
    RunPollTicks(3);
    EXPECT_EQ(engineState.local.files.highestReported, 103u);
    const std::string text = LogPageText();
    EXPECT_LT(text.find("C:\\b"), text.find("C:\\c"));
    for (const char* path : {"C:\\a", "C:\\older", "C:\\b", "C:\\c"})
        EXPECT_EQ(text.find(path), text.rfind(path)) << path << " once";
}

TEST_F(FileDetectionTest, AServerWhoseIdsStartAgainFromLowIsFollowed)
{
    RecordTrial("faults", "the server's file ids starting again from 1 after a restart",
                "the new files are reported, each once, and the count goes on from there");
    AddFile(4513, L"C:\\before");
    AddFile(4600, L"C:\\before-too");
    RunPollTicks(1);
    // The server service restarts: its files are gone and the ids begin again.
    server->files.clear();
    RunPollTicks(1);
    AddFile(1, L"C:\\after-one");
    AddFile(2, L"C:\\after-two");
    RunPollTicks(1);
    EXPECT_EQ(engineState.local.files.highestReported, 2u) << "the count goes on from the new ids";
    AddFile(3, L"C:\\after-three");
    RunPollTicks(2);
    const std::string text = LogPageText();
    for (const char* path : {"after-one", "after-two", "after-three"})
        EXPECT_EQ(text.find(path), text.rfind(path)) << path << " once";
    EXPECT_NE(text.find("after-three"), std::string::npos);
    EXPECT_LT(text.find("after-one"), text.find("after-two"));
}

TEST_F(FileDetectionTest, IdsAreComparedUnsignedAndFollowedPastTheTopOfTheRange)
{
    RecordTrial("bad input", "file ids at 0x7FFFFFFF and 0xFFFFFFFF, then going round to a low id",
                "compared unsigned; the top id reported once; the id after the wrap reported");
    AddFile(0x7FFFFFFF, L"C:\\mid");
    RunPollTicks(1);
    AddFile(0xFFFFFFFF, L"C:\\top");
    RunPollTicks(1);
    EXPECT_EQ(engineState.local.files.highestReported, 0xFFFFFFFFu);
    EXPECT_NE(LogPageText().find("C:\\top"), std::string::npos);
    AddFile(5, L"C:\\wrapped");  // the counter went round
    RunPollTicks(2);
    EXPECT_EQ(engineState.local.files.highestReported, 0xFFFFFFFFu);
    const std::string text = LogPageText();
    EXPECT_NE(text.find("wrapped"), std::string::npos);
    EXPECT_EQ(text.find("wrapped"), text.rfind("wrapped"));
    EXPECT_EQ(text.find("C:\\top"), text.rfind("C:\\top"));
}

TEST_F(FileDetectionTest, ScansThatFailOrComeBackInPartsReportNothingTwice)
{
    RecordTrial("faults", "the open-file enumeration failing, then answering ERROR_MORE_DATA with a part of the table",
                "every file open reported exactly once");
    AddFile(10, L"C:\\ten");
    AddFile(11, L"C:\\eleven");
    RunPollTicks(1);
    server->fileStatus = ERROR_ACCESS_DENIED;
    RunPollTicks(2);
    server->fileStatus = ERROR_MORE_DATA;  // a part of the table, marked as such
    server->filesPerPartialAnswer = 1;
    RunPollTicks(2);
    server->fileStatus = NERR_Success;
    RunPollTicks(2);
    AddFile(12, L"C:\\twelve");
    RunPollTicks(1);
    const std::string text = LogPageText();
    for (const char* path : {"ten", "eleven", "twelve"}) {
        EXPECT_NE(text.find(path), std::string::npos) << path;
        EXPECT_EQ(text.find(path), text.rfind(path)) << path << " once";
    }
}

TEST_F(ConnectionTest, SessionsOpenAtStartUpAreNotReported)
{
    Connect(L"OLD1", L"ann", 5000);
    Connect(L"OLD2", L"ben", 200);  // a second old at the first scan, which is on time
    StartPoll();
    SecondTick();
    SecondTick(700);
    SecondTick();
    EXPECT_EQ(LogPageText(), "");
}

TEST_F(ConnectionTest, ASessionThatBeganAfterStartUpIsReportedAtTheFirstScan)
{
    clock->AdvanceMilliseconds(100);
    Connect(L"NEW", L"ann");
    SecondTick(600);  // late: the session is already a second old
    EXPECT_EQ(Count(LogPageText(), "connected from NEW"), 1);
}

TEST_F(ConnectionTest, EachNewSessionIsReportedExactlyOnceAcrossManyScans)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    for (int i = 0; i < 10; ++i)
        SecondTick(i % 3 == 0 ? 900 : 0);
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
}

TEST_F(ConnectionTest, AScanThatComesLateStillReportsTheConnection)
{
    SecondTick();
    Connect(L"PC1", L"ann", 0);
    SecondTick(1800);  // the session is already 2 seconds old at this scan
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);

    Connect(L"PC2", L"ben", 0);
    SecondTick(4000);
    EXPECT_EQ(Count(LogPageText(), "connected from PC2"), 1);
}

TEST_F(ConnectionTest, ASessionSeenAtZeroAndThenAtTwoSecondsIsReportedOnce)
{
    SecondTick();
    clock->AdvanceMilliseconds(800);
    Connect(L"PC1", L"ann");
    SecondTick(-800);
    EXPECT_EQ(server->sessions[0].seconds, 0u);
    SecondTick(1000);
    EXPECT_EQ(server->sessions[0].seconds, 2u);
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
}

TEST_F(ConnectionTest, AReconnectAfterLeavingIsReportedAgain)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    Disconnect(L"PC1");
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
}

TEST_F(ConnectionTest, TwoUsersFromOneComputerAreTwoConnections)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    Connect(L"PC1", L"ben");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
}

TEST_F(ConnectionTest, AFailedScanLosesNoConnection)
{
    RecordTrial("faults", "the session enumeration failing for two seconds while a computer connects",
                "the connection is reported once at the first scan that answers");
    SecondTick();
    server->sessionStatus = ERROR_ACCESS_DENIED;
    Connect(L"PC1", L"ann");
    SecondTick();
    SecondTick();
    EXPECT_EQ(LogPageText(), "");
    server->sessionStatus = NERR_Success;
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 1);
}

TEST_F(ConnectionTest, PartialAnswersLoseNoConnectionAndReportNoneTwice)
{
    RecordTrial("faults", "the session enumeration answering ERROR_MORE_DATA with only its first record for "
                          "three seconds while computers connect",
                "the connection in the part is reported at once, the ones left out when the whole answer "
                "comes back; each exactly once");
    SecondTick();
    server->sessionStatus = ERROR_MORE_DATA;
    server->sessionsPerPartialAnswer = 1;
    Connect(L"PC0", L"ann");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC0"), 1);
    Connect(L"PC1", L"ben");
    SecondTick();
    Connect(L"PC2", L"cat");
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 0) << "not in the part";
    server->sessionStatus = NERR_Success;
    SecondTick();
    SecondTick();
    for (const char* pc : {"PC0", "PC1", "PC2"})
        EXPECT_EQ(Count(LogPageText(), std::string("connected from ") + pc), 1) << pc;
}

TEST_F(ConnectionTest, SessionsAreScannedOnceASecondOnly)
{
    RunPollTicks(4);
    EXPECT_EQ(server->sessionEnumCalls, 0);
    RunPollTicks(1);
    EXPECT_EQ(server->sessionEnumCalls, 1);
    RunPollTicks(10);
    EXPECT_EQ(server->sessionEnumCalls, 3);
    EXPECT_EQ(server->CallsStartingWith(L"NetSessionEnum 1").size(), 3u);
}

TEST_F(ConnectionTest, ConnectionEventsComeBeforeTheTicksFileOpens)
{
    SecondTick();
    RunPollTicks(4);
    Connect(L"PC1", L"ann");
    AddFile(1, L"C:\\x", L"ann");
    clock->AdvanceMilliseconds(200);
    AgeSessions();
    PollNow();
    const std::string text = LogPageText();
    ASSERT_NE(text.find("C:\\x"), std::string::npos);
    EXPECT_LT(text.find("connected"), text.find("C:\\x"));
}

TEST(ActivityPollerMissingServer, AMissingEnumerationIsNeverCalledAndReportsNothing)
{
    // The platform's own table, with the enumerations never bound.
    InstallServerApi(nullptr);
    Enumeration<SESSION_INFO_1> sessions;
    EnumerateSessions1(&sessions);
    EXPECT_EQ(sessions.status, static_cast<NET_API_STATUS>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(sessions.Records().size(), 0u);
    Enumeration<FILE_INFO_3> files;
    EnumerateOpenFiles(&files);
    EXPECT_EQ(files.Records().size(), 0u);
    Enumeration<SHARE_INFO_502> shares;
    EnumerateShares(&shares);
    EXPECT_EQ(shares.Records().size(), 0u);
}

TEST_F(ConnectionTest, AReconnectBetweenTwoScansIsASecondConnection)
{
    // Scans a second apart; the pair leaves and comes back between two of them.
    SecondTick();
    Connect(L"PC1", L"ann");
    for (int i = 0; i < 5; ++i)
        SecondTick();
    clock->AdvanceMilliseconds(450);
    Disconnect(L"PC1");
    clock->AdvanceMilliseconds(150);
    Connect(L"PC1", L"ann");
    SecondTick(-610);
    EXPECT_EQ(server->sessions[0].seconds, 0u);
    SecondTick();
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "User ann connected from PC1"), 2);
}

TEST_F(ConnectionTest, ASecondSessionOfTheSamePairIsReportedWhileTheFirstStays)
{
    SecondTick();
    Connect(L"PC1", L"ann");
    for (int i = 0; i < 4; ++i)
        SecondTick();
    Connect(L"PC1", L"ann");
    SecondTick();
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
    Disconnect(L"PC1");  // the older one leaves: the newer is not reported again
    SecondTick();
    SecondTick();
    EXPECT_EQ(Count(LogPageText(), "connected from PC1"), 2);
}

TEST_F(ConnectionTest, ABusyServerReportsEachNewConnectionOnceAndNoneTwicePastTheMemory)
{
    RecordTrial("load", "16,400 and then 70,000 sessions on the server while new computers connect",
                "each new connection within the memory's 65,536 sessions is reported once; past it none "
                "is reported twice");
    auto addSessions = [this](std::size_t from, std::size_t count, ULONGLONG agoMs) {
        for (std::size_t i = from; i < from + count; ++i)
            Connect(L"WS" + std::to_wstring(i), L"user", agoMs);
    };
    // Scans a little over a second apart, as a busy machine's timer gives them.
    addSessions(0, 16400, 60000);
    SecondTick(50);
    Connect(L"NEW1", L"ann");
    Connect(L"NEW2", L"ben");
    SecondTick(-150);  // a new session is under a second old at one scan and just over at the next
    for (int i = 0; i < 3; ++i)
        SecondTick(50);
    EXPECT_EQ(Count(LogPageText(), "connected from NEW"), 2);
    EXPECT_EQ(Count(LogPageText(), "connected from WS"), 0);

    addSessions(16400, 70000 - 16400, 60000);
    SecondTick(50);
    for (int i = 0; i < 300; ++i)
        Connect(L"LATE" + std::to_wstring(i), L"cat");
    SecondTick(-150);
    for (int i = 0; i < 3; ++i)
        SecondTick(50);
    const std::string text = LogPageText();
    for (int i = 0; i < 300; ++i)
        EXPECT_LE(Count(text, "connected from LATE" + std::to_string(i) + "\r"), 1) << i;
    EXPECT_EQ(Count(text, "connected from WS"), 0);
}
