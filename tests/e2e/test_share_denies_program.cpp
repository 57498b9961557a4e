// Trips that deny the tripped account at the shares, through the real quorvel.exe and the
// simulated server: the deny, the release, and a program killed in the middle.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "e2e/program_runner.h"
#include "support/forwarding_support.h"

namespace {

constexpr int kTrippedList = 1110;
constexpr int kReleaseButton = 1112;
constexpr WPARAM kShowBlackListPage = 40040;  // the tray menu's Blacklist

class ShareDenyProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ForgetEarlierRuns();
        scratch = MakeScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        journalPath = scratch + "server.journal";
    }
    void TearDown() override
    {
        KillProgram(&program);
        UseSimulatedServer("", "");
        DeleteFileA(DenyJournal().c_str());
    }
    static std::string DenyJournal() { return DocumentsFolder() + "\\quorvel-denies.txt"; }
    void Launch(const std::string& scenario)
    {
        WriteFile(scratch + "test.scenario", scenario);
        UseSimulatedServer(scratch + "test.scenario", journalPath);
        ASSERT_TRUE(StartProgram("", &program));
        program.mainWindow = WaitForMainWindow(program, 20000);
        ASSERT_NE(program.mainWindow, nullptr);
    }
    std::vector<JournalLine> Calls(const std::string& what, const std::string& server = "null")
    {
        std::vector<JournalLine> found;
        for (const JournalLine& line : ReadJournal(journalPath))
            if (line.kind == "call" && line.what == what && line.Field("server") == server)
                found.push_back(line);
        return found;
    }
    // Each share's descriptor as the server first gave it, and as it was written last.
    std::map<std::string, std::string> FirstRead(const std::string& server = "null")
    {
        std::map<std::string, std::string> first;
        for (const JournalLine& line : Calls("NetShareGetInfo", server))
            if (line.Field("status") == "0")
                first.emplace(line.Field("name"), line.Field("sdhex"));
        return first;
    }
    std::map<std::string, std::string> LastWritten(const std::string& server = "null")
    {
        std::map<std::string, std::string> last;
        for (const JournalLine& line : Calls("NetShareSetInfo", server))
            if (line.Field("status") == "0")
                last[line.Field("name")] = line.Field("sdhex");
        return last;
    }
    void ReleaseOnTheBlackListPage()
    {
        PostMessageA(program.mainWindow, WM_COMMAND, kShowBlackListPage, 0);
        HWND list = nullptr;
        ASSERT_TRUE(WaitUntil([&] { return (list = FindProgramControl(program.mainWindow, kTrippedList)) != nullptr; },
                              10000));
        ASSERT_TRUE(WaitUntil([&] { return !RemoteListColumn(program, list, 0).empty(); }, 10000));
        SelectRemoteRow(program, list, 0);
        PostMessageA(GetParent(list), WM_COMMAND, kReleaseButton, 0);
    }

    RunningProgram program;
    std::string scratch;
    std::string journalPath;
};

// An encrypting client (40 writes a second) that comes back half a second after each
// cut-off, and an office user saving a file a second on the other share.
// At 6 s, during the trip, an administrator takes an entry out of Team's permissions by hand.
constexpr char kEncrypting[] =
    "0 account mallory S-1-5-21-9-9-9-1105\n"
    "0 share Docs disk D:\\Docs\n"
    "0 share Team disk D:\\Team sd=\"O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-1200)\"\n"
    "0 share C$ disk+special C:\\\n"
    "1 connect PC-VICTIM mallory\n"
    "1 reconnect PC-VICTIM 0.5 reopen\n"
    "1 connect PC-OFFICE bob\n"
    "2 repeat 12 1\n"
    "0 open PC-OFFICE bob D:\\Team\\report{i}.docx perm=r\n"
    "end\n"
    "2 repeat 240 0.025\n"
    "0 open PC-VICTIM mallory D:\\Docs\\f{i}.enc perm=wc\n"
    "end\n"
    "6 permissions Team \"O:BAG:BAD:(D;;FA;;;S-1-5-21-9-9-9-1105)(A;;0x1200a9;;;WD)(A;;FA;;;BA)\"\n";

}  // namespace

TEST_F(ShareDenyProgramTest, ATripDeniesTheAccountAtTheSharesNoWriteLandsAfterItAndTheReleasePutsBackEveryByte)
{
    WriteFile(DocumentsFolder() + "\\quorvel.ini", "[tripwires]\r\nenabled=1\r\nblockminutes=60\r\n");
    Launch(kEncrypting);
    ASSERT_FALSE(HasFatalFailure());
    // Both disk shares denied, the special one left alone.
    ASSERT_TRUE(WaitUntil([&] { return LastWritten().size() == 2; }, 20000)) << ReadFile(journalPath);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<JournalLine> lines = ReadJournal(journalPath);
            return !lines.empty() && lines.back().t > 14000;
        },
        30000))
        << "the writes and bob's saves are over";
    const std::vector<JournalLine> journal = ReadJournal(journalPath);
    long long cut = -1;
    for (const JournalLine& line : journal)
        if (line.kind == "call" && line.what == "NetSessionDel" && line.Field("client") == "\\\\PC-VICTIM" && cut < 0)
            cut = line.t;
    ASSERT_GE(cut, 0) << "the encrypting client was never cut off";
    int landed = 0, refused = 0, bobs = 0;
    for (const JournalLine& line : journal) {
        if (line.kind != "event" || line.what != "open")
            continue;
        const bool took = line.Field("refused").empty() && line.Field("skipped").empty();
        if (line.Field("user") == "mallory" && line.t > cut) {
            landed += took;
            refused += !line.Field("refused").empty();
        }
        bobs += line.Field("user") == "bob" && took;
    }
    EXPECT_EQ(landed, 0) << "no write of the tripped account lands after its trip";
    EXPECT_GT(refused, 0) << "its reconnects came back and were refused by the share";
    EXPECT_EQ(bobs, 12) << "everyone else works on";
    ::testing::Test::RecordProperty("writes_landed_after_trip", landed);

    const std::map<std::string, std::string> before = FirstRead();
    ReleaseOnTheBlackListPage();
    ASSERT_TRUE(WaitUntil([&] { return Calls("NetShareSetInfo").size() == 4; }, 20000)) << ReadFile(journalPath);
    std::map<std::string, std::string> after = LastWritten();
    EXPECT_EQ(after["Docs"], before.at("Docs")) << "byte for byte as it was read";
    // Changed meanwhile: only the deny's entry came out, the administrator's change stays.
    std::string team;
    for (const JournalLine& set : Calls("NetShareSetInfo"))
        if (set.Field("name") == "Team")
            team = set.Field("sd");
    EXPECT_EQ(team, "O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)");
    EXPECT_EQ(ReadFile(DenyJournal()), "quorvel-denies 1\r\n") << "nothing left behind";
    ASSERT_EQ(ExitProgramThroughMenu(&program), 0u);
    const std::string log = ReadFile(TodaysLogPath("log"));
    EXPECT_NE(log.find("Tripwire [mallory][PC-VICTIM]"), std::string::npos) << log;
}

TEST_F(ShareDenyProgramTest, WhoIsNeverDeniedAndAShareThatRefusesAreSaidAndTheTripsCutOffAsBefore)
{
    // backup is in the list; Administrators is the group's SID; root is the account this program runs as
    // under Wine; SYSTEM is the system's. One share of mallory's two refuses the change.
    WriteFile(DocumentsFolder() + "\\quorvel.ini", "[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\canary*\r\n"
                                                   "neverdeny=backup\r\n");
    std::string scenario = "0 share Docs disk D:\\Docs\n0 share Team disk D:\\Team\n"
                           "0 account Administrators S-1-5-32-544\n"
                           "0 refuse share-set denied forever every=2\n";
    const char* users[] = {"backup", "Administrators", "root", "SYSTEM", "mallory"};
    for (int k = 0; k < 5; ++k)
        scenario += "1 connect PC" + std::to_string(k) + " " + users[k] + "\n" + std::to_string(2 + k * 0.3) +
                    " open PC" + std::to_string(k) + " " + users[k] + " D:\\Docs\\canary.docx perm=r\n";
    Launch(scenario);
    ASSERT_FALSE(HasFatalFailure());
    const std::string log = [&] {
        std::string text;
        WaitUntil(
            [&] {
                text = ReadFile(TodaysLogPath("log"));
                return text.find("Tripwire [mallory]") != std::string::npos && Calls("NetShareSetInfo").size() >= 2;
            },
            20000);
        return text;
    }();
    for (int k = 0; k < 5; ++k)
        EXPECT_NE(log.find(std::string("Tripwire [") + users[k] + "][PC" + std::to_string(k) + "]"), std::string::npos)
            << users[k] << " is cut off as before: " << log;
    std::vector<std::string> denied;
    for (const JournalLine& set : Calls("NetShareSetInfo"))
        denied.push_back(set.Field("name") + " " + set.Field("status"));
    EXPECT_EQ(denied, (std::vector<std::string>{"Docs 0", "Team 5"})) << "only mallory, and one share refused";
    ASSERT_EQ(ExitProgramThroughMenu(&program), 0u);
}

TEST_F(ShareDenyProgramTest, KilledInTheMiddleOfTheDenyTheNextStartFinishesItAndTheReleaseLeavesNothingBehind)
{
    // A watched server that answers each call 50 ms late, with 40 shares: the deny takes seconds.
    std::string scenario = "0 share Docs disk D:\\Docs\n0 server FS1 delay=0.05\n";
    for (int k = 0; k < 40; ++k)
        scenario += "0 on FS1 share S" + std::to_string(k) + " disk D:\\S" + std::to_string(k) + "\n";
    scenario += "1 connect PC-VICTIM mallory\n";
    // A new process's server plays its scenario from the start: only the first run opens the bait.
    const std::string again = scenario;
    scenario += "2 open PC-VICTIM mallory D:\\Docs\\canary.docx perm=r\n";
    WriteFile(DocumentsFolder() + "\\quorvel.ini", "[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\canary*\r\n"
                                                   "blockminutes=0\r\n[servers]\r\ncount=1\r\nserver1=FS1\r\n");
    Launch(scenario);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitUntil([&] { return LastWritten("\\\\FS1").size() >= 3; }, 30000)) << ReadFile(journalPath);
    KillProgram(&program);
    const std::size_t written = LastWritten("\\\\FS1").size();
    ASSERT_LT(written, 40u) << "killed in the middle";
    EXPECT_NE(ReadFile(DenyJournal()).find("share\t"), std::string::npos) << "what it was about to change, written first";

    // Started again: it finishes the deny, the tripped computer is back on the page, its release puts all back.
    WriteFile(scratch + "test.scenario", again);
    ASSERT_TRUE(StartProgram("", &program));
    program.mainWindow = WaitForMainWindow(program, 20000);
    ASSERT_NE(program.mainWindow, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return LastWritten("\\\\FS1").size() == 40; }, 60000)) << ReadFile(journalPath);
    const std::map<std::string, std::string> before = FirstRead("\\\\FS1");
    const std::size_t writes = Calls("NetShareSetInfo", "\\\\FS1").size();
    ReleaseOnTheBlackListPage();
    // Killed again in the middle of the release, and started once more: the release is finished.
    ASSERT_TRUE(WaitUntil([&] { return Calls("NetShareSetInfo", "\\\\FS1").size() >= writes + 3; }, 30000));
    KillProgram(&program);
    ASSERT_LT(Calls("NetShareSetInfo", "\\\\FS1").size(), writes + 40) << "killed in the middle";
    EXPECT_NE(ReadFile(DenyJournal()).find("share\t"), std::string::npos);
    ASSERT_TRUE(StartProgram("", &program));
    program.mainWindow = WaitForMainWindow(program, 20000);
    ASSERT_NE(program.mainWindow, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return LastWritten("\\\\FS1") == before; }, 60000)) << ReadFile(journalPath);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(DenyJournal()) == "quorvel-denies 1\r\n"; }, 10000))
        << ReadFile(DenyJournal());
    ASSERT_EQ(ExitProgramThroughMenu(&program), 0u);
}
