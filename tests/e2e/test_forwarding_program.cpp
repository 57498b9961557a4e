// The real program forwarding what it finds on the simulated server: to a real
// rsyslogd over RELP and to a webhook receiver, both started by the test on 127.0.0.1.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/program_runner.h"
#include "support/forwarding_support.h"

namespace {

// The MSGID of an RFC 5424 line: "<PRI>1 TIME HOST APP PROCID MSGID ...".
std::string MsgidOf(const std::string& line)
{
    std::istringstream fields(line);
    std::string field;
    for (int k = 0; k < 6 && fields >> field; ++k)
        ;
    return field;
}

// This computer's office with a bait file read, and a watched server that never answers.
constexpr char kScenario[] =
    "0 share Docs disk D:\\Shares\n"
    "0 server FS9 down\n"
    "1 connect PC-ONE bob\n"
    "1.4 open PC-ONE bob D:\\Shares\\plan.txt perm=rw\n"
    "1.8 connect PC-READER eve\n"
    "2.2 open PC-READER eve D:\\Shares\\HR\\salaries.xlsx perm=r\n";

class ForwardingProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ForgetEarlierRuns();
        scratch = MakeScratchFolder("ForwardingProgram");
    }
    void TearDown() override
    {
        KillProgram(&program);
        UseSimulatedServer("", "");
        collector.Stop();
        receiver.Stop();
        if (!HasFailure()) {
            RemoveLinuxTestFolder(collector.folder);
            RemoveLinuxTestFolder(receiver.folder);
        }
    }
    RunningProgram program;
    std::string scratch;
    Collector collector;
    Receiver receiver;
};

}  // namespace

TEST_F(ForwardingProgramTest, EveryEventReachesTheCollectorOnceAndEachAlarmTheWebhookOnce)
{
    RecordProperty("area", "forwarding");
    RecordProperty("tried", "the program against the simulated server, forwarding over RELP to a real rsyslogd "
                            "and alarms to a webhook receiver, a bait file read and a watched server down");
    RecordProperty("held", "each event at the collector exactly once; one trip alarm, one alarm of the deny at "
                           "the shares and one silent-server alarm at the webhook, none for the trip's own cut-offs");
    if (!collector.Start())
        GTEST_SKIP() << "no collector to test against: " << collector.why;
    if (!receiver.Start("200"))
        GTEST_SKIP() << "no receiver to test against: " << receiver.why;
    std::ostringstream settings;
    settings << "[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\salaries*\r\n"
             << "[servers]\r\ncount=1\r\nserver1=FS9\r\n"
             << "[forward]\r\nenabled=1\r\nhost=127.0.0.1\r\ntransport=relp\r\nport=" << collector.relpPort
             << "\r\nwebhook=http://127.0.0.1:" << receiver.port << "/hook\r\n";
    WriteFile(DocumentsFolder() + "\\quorvel.ini", settings.str());
    WriteFile(scratch + "test.scenario", kScenario);
    UseSimulatedServer(scratch + "test.scenario", scratch + "server.journal");
    ASSERT_TRUE(StartProgram("h", &program));
    ASSERT_NE(WaitForMainWindow(program, 20000), nullptr);

    const auto count = [&](const char* msgid) {
        int found = 0;
        for (const std::string& line : collector.Lines("relp"))
            found += MsgidOf(line) == msgid;
        return found;
    };
    const auto alarms = [&] {
        std::map<std::string, int> kinds;
        for (const Receiver::Request& request : receiver.Requests())
            ++kinds[request.Value("kind")];
        return kinds;
    };
    // The trip also denies eve at this computer's share (the watched FS9 cannot be reached).
    ASSERT_TRUE(WaitUntil(
        [&] {
            return count("TRIP") == 1 && count("CUTOFF") >= 1 && count("SERVER-SILENT") == 1 && count("DENIED") == 1;
        },
        20000))
        << "TRIP " << count("TRIP") << ", CUTOFF " << count("CUTOFF") << ", SERVER-SILENT " << count("SERVER-SILENT")
        << ", DENIED " << count("DENIED");
    ASSERT_TRUE(WaitUntil([&] { return alarms().size() == 3; }, 10000)) << alarms().size();
    ASSERT_EQ(ExitProgramThroughMenu(&program), 0u);

    // Each event once: as many connections as the day's log holds (a computer cut off
    // before the sessions' poll saw it has none), both opens, no line twice.
    const std::vector<std::string> lines = collector.Lines("relp");
    int connections = 0;
    for (const std::string& line : Lines(ReadFile(TodaysLogPath("log"))))
        connections += line.find(" connected from ") != std::string::npos;
    EXPECT_GE(connections, 1);
    EXPECT_EQ(count("CONNECT"), connections);
    EXPECT_EQ(count("OPEN"), 2) << "plan.txt and the bait, once each";
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size()) << "no message twice";
    EXPECT_EQ(count("TRIP"), 1);
    EXPECT_EQ(count("SERVER-SILENT"), 1) << "once for the turn, not once per unanswered read";
    int planLines = 0;
    for (const std::string& line : lines)
        planLines += line.find("D:\\\\Shares\\\\plan.txt") != std::string::npos ||
                     line.find("D:\\Shares\\plan.txt") != std::string::npos;
    EXPECT_GE(planLines, 1);
    const std::map<std::string, int> expected = {{"tripwire", 1}, {"server-silent", 1}, {"shares-denied", 1}};
    EXPECT_EQ(alarms(), expected) << "the trip's cut-offs raise no alarm of their own";
    for (const Receiver::Request& request : receiver.Requests()) {
        if (request.Value("kind") == "tripwire" || request.Value("kind") == "shares-denied") {
            EXPECT_EQ(request.Value("user"), "eve");  // a trip is the user's: all of their computers go
        }
    }
}
