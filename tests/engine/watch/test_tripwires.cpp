// Tripwires: the rules alone, and the engine cutting computers off as the poll finds the
// opens that trip them.
#include <windows.h>

#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/blocking.h"
#include "engine/watch/poll.h"
#include "engine/watch/trips.h"
#include "rules/block_rules.h"
#include "rules/tripwires.h"
#include "support/engine_fixture.h"

namespace {

bool Matches(const wchar_t* pattern, const wchar_t* path)
{
    std::wstring p(pattern), t(path);
    FoldForMatching({p.data(), p.size() + 1});
    FoldForMatching({t.data(), t.size() + 1});
    return BaitMatches(p, t);
}

class TripwireTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        engineState.rules.tripwires.enabled = 1;
        engineState.rules.tripwires.burstFiles = kDefaultBurstFiles;
        engineState.rules.tripwires.burstSeconds = kDefaultBurstSeconds;
        engineState.rules.tripwires.blockMinutes = kDefaultTripMinutes;
        engineState.settings.savecsvlogs = 1;
        RunEngineRounds(1);  // the first scan: what is open now was opened before the program looked
    }
    void Open(const std::wstring& path, const std::wstring& user, DWORD permissions)
    {
        server->files.push_back({nextId++, permissions, 0, path, user});
    }
    std::vector<std::wstring> Deletions() const { return server->CallsStartingWith(L"NetSessionDel"); }
    std::string TextLog() const { return ReadWholeFile(std::string(engineState.logFolder.data()) + "\\7.3.2026.log"); }
    int TrippedCount() const
    {
        int count = 0;
        for (const BlockEntry& entry : engineState.rules.tripped)
            count += entry.inUse ? 1 : 0;
        return count;
    }
    DWORD nextId = 100;
};

}  // namespace

TEST(BaitPatterns, StarsSpanFoldersQuestionMarksOneCharacterCaseIgnored)
{
    EXPECT_TRUE(Matches(L"*\\salaries*.xlsx", L"D:\\Shares\\HR\\2026\\Salaries Q3.XLSX"));
    EXPECT_TRUE(Matches(L"*.canary", L"\\\\fs\\a\\b\\c.canary"));
    EXPECT_TRUE(Matches(L"d:\\shares\\?.txt", L"D:\\Shares\\x.txt"));
    EXPECT_FALSE(Matches(L"d:\\shares\\?.txt", L"D:\\Shares\\xy.txt"));
    EXPECT_FALSE(Matches(L"*.canary", L"D:\\a.canary.bak"));
    EXPECT_TRUE(Matches(L"*", L""));
    EXPECT_TRUE(Matches(L"**a**b**", L"xxaxxbxx"));
    EXPECT_FALSE(Matches(L"", L"D:\\x"));
    EXPECT_TRUE(Matches(L"*\\\x00c9T\x00c9\\*", L"D:\\\x00e9t\x00e9\\plan.doc")) << "letters past ASCII fold too";
    EXPECT_FALSE(Matches(L"D:\\Shares\\a*b*c", L"D:\\Shares\\aXbY")) << "a star takes more, never skips a letter";
}

TEST(BurstCounter, MoreThanTheCountWithinTheWindowTripsAndTheCountStartsAgain)
{
    static BurstCounter counter;
    counter.users = {};
    ULONGLONG now = 10'000'000;
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(CountWriteOpen(counter, L"ann", now + i * 100, 20, 10)) << i;
    EXPECT_TRUE(CountWriteOpen(counter, L"ANN", now + 2000, 20, 10)) << "the 21st within 10 s; names fold";
    EXPECT_FALSE(CountWriteOpen(counter, L"ann", now + 2100, 20, 10)) << "starts again after a trip";

    // One a second never trips: the window always holds ten.
    for (int i = 0; i < 200; ++i)
        EXPECT_FALSE(CountWriteOpen(counter, L"office", now + i * 1000ull, 20, 10)) << i;
    // Exactly at the window's edge: 21 opens spread over 10 s do not trip, over 9.999 s do.
    for (int i = 0; i < 20; ++i)
        CountWriteOpen(counter, L"edge", now + i * 500ull, 20, 10);
    EXPECT_FALSE(CountWriteOpen(counter, L"edge", now + 10000, 20, 10));
    EXPECT_TRUE(CountWriteOpen(counter, L"edge", now + 10499, 20, 10));
}

TEST(BurstCounter, ManyUsersCountApartAndAFullMemoryForgetsTheQuietestFirst)
{
    static BurstCounter counter;
    counter.users = {};
    const ULONGLONG now = 50'000'000;
    for (int i = 0; i < 10; ++i)
        CountWriteOpen(counter, L"busy", now + i, 20, 10);
    // More users than the memory holds, each writing once, while "busy" goes on writing.
    for (std::size_t user = 0; user < kBurstUsers + 200; ++user) {
        CountWriteOpen(counter, (L"user" + std::to_wstring(user)).c_str(), now + 100 + user, 20, 10);
        if (user % 200 == 199) {
            EXPECT_FALSE(CountWriteOpen(counter, L"busy", now + 100 + user, 20, 10));
        }
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(CountWriteOpen(counter, L"busy", now + 2000 + i, 20, 10));
    EXPECT_TRUE(CountWriteOpen(counter, L"busy", now + 2005, 20, 10))
        << "the quiet users were forgotten, not the one writing: 10 + 6 + 5 opens";
}

TEST_F(TripwireTest, ABaitOpenCutsOffEveryComputerOfTheUserOnceWhateverTheMode)
{
    engineState.rules.blockMode = Whitelist;  // and both computers are whitelisted: the rule outranks the list
    AddComputer(engineState.rules.whitelist, "PC1", kPermanent);
    AddComputer(engineState.rules.whitelist, "LAPTOP", kPermanent);
    AddBaitPattern(engineState.rules.tripwires, "*\\canary*");
    server->sessions = {{L"PC1", L"eve"}, {L"LAPTOP", L"eve"}, {L"PC2", L"bob"}};
    Open(L"D:\\Shares\\Docs\\canary.docx", L"eve", PERM_FILE_READ);
    RunEngineRounds(1);
    EXPECT_EQ(Deletions(), (std::vector<std::wstring>{L"NetSessionDel \\\\PC1 <null>", L"NetSessionDel \\\\LAPTOP <null>"}));
    EXPECT_EQ(TrippedCount(), 2);
    EXPECT_NE(TextLog().find("] Tripwire [eve][PC1, LAPTOP] bait \"*\\canary*\" D:\\Shares\\Docs\\canary.docx\r\n"),
              std::string::npos)
        << TextLog();
    EXPECT_NE(RunCsvText().find("\", \"TRIPWIRE\", \"eve\", \"[PC1, LAPTOP] bait"), std::string::npos);
    EXPECT_LT(TextLog().find("[eve][Read] D:\\Shares\\Docs\\canary.docx"), TextLog().find("Tripwire"))
        << "the open first, then the trip it caused";
    EXPECT_EQ(engineState.news.activity, 1) << "activity for whoever shows it";
    const std::vector<RecordedEvent> events = RecordedEvents();
    ASSERT_EQ(events.size(), 1u) << "the trip, in the Application log";
    EXPECT_EQ(events[0].id, static_cast<DWORD>(QUORVEL_EVENT_TRIP));
    EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
    ASSERT_EQ(events[0].strings.size(), 1u);
    EXPECT_NE(events[0].strings[0].find("] Tripwire [eve][PC1, LAPTOP] bait \"*\\canary*\" D:\\Shares\\Docs\\canary.docx"),
              std::string::npos)
        << events[0].strings[0];

    // Back on PC1 before the block tick and reading the bait again: no second trip.
    server->sessions.push_back({L"PC1", L"eve"});
    server->calls.clear();
    Open(L"D:\\Shares\\Docs\\canary.docx", L"eve", PERM_FILE_READ);
    RunEngineRounds(1);
    EXPECT_EQ(server->CallsStartingWith(L"NetSessionEnum 1 user=eve").size(), 1u);
    EXPECT_TRUE(Deletions().empty()) << "the block tick's to do";
    const std::string log = TextLog();
    EXPECT_EQ(log.find("Tripwire"), log.rfind("Tripwire")) << "one line for one trip";

    // The block tick keeps them off in whitelist mode, and PC2 stays.
    server->calls.clear();
    RunBlockRound();
    const auto deletions = Deletions();
    EXPECT_NE(std::find(deletions.begin(), deletions.end(), L"NetSessionDel \\\\PC2 <null>"), deletions.end())
        << "PC2 is not whitelisted";
    EXPECT_NE(std::find(deletions.begin(), deletions.end(), L"NetSessionDel \\\\PC1 <null>"), deletions.end());
}

TEST_F(TripwireTest, AnEncryptingUserTripsAtTheBurstAndReadsNeverCount)
{
    server->sessions = {{L"VICTIM", L"mallory"}};
    for (int i = 0; i < 100; ++i)
        Open(L"D:\\Shares\\r" + std::to_wstring(i), L"mallory", PERM_FILE_READ);
    RunEngineRounds(1);
    EXPECT_TRUE(Deletions().empty()) << "reads at any rate";
    for (int i = 0; i < 20; ++i)
        Open(L"D:\\Shares\\w" + std::to_wstring(i) + L".enc", L"mallory", PERM_FILE_WRITE | PERM_FILE_CREATE);
    RunEngineRounds(1);
    EXPECT_TRUE(Deletions().empty()) << "20 is not more than 20";
    Open(L"D:\\Shares\\w20.enc", L"mallory", PERM_FILE_WRITE);
    RunEngineRounds(1);
    EXPECT_EQ(Deletions(), std::vector<std::wstring>{L"NetSessionDel \\\\VICTIM <null>"});
    EXPECT_NE(TextLog().find("Tripwire [mallory][VICTIM] more than 20 files written within 10 s D:\\Shares\\w20.enc"),
              std::string::npos);
    const BlockEntry& entry = engineState.rules.tripped[0];
    EXPECT_EQ(entry.ticksLeft, 60 * kTicksPerMinute);
}

TEST_F(TripwireTest, AFullTableStillCutsTheComputerOffAtOnce)
{
    for (std::size_t i = 0; i < engineState.rules.tripped.size(); ++i) {
        engineState.rules.tripped[i].inUse = 1;
        engineState.rules.tripped[i].ticksLeft = kPermanent;
        CopyWideText(engineState.rules.tripped[i].name, (L"\\\\OLD" + std::to_wstring(i)).c_str());
    }
    AddBaitPattern(engineState.rules.tripwires, "*.bait");
    server->sessions = {{L"PC7", L"eve"}};
    Open(L"D:\\x.bait", L"eve", PERM_FILE_READ);
    RunEngineRounds(1);
    EXPECT_EQ(Deletions(), std::vector<std::wstring>{L"NetSessionDel \\\\PC7 <null>"});
    EXPECT_NE(TextLog().find("Tripwire [eve][PC7]"), std::string::npos);
}

TEST_F(TripwireTest, FilesOpenBeforeTheFirstScanAndTurnedOffRulesTripNothing)
{
    Restart();
    engineState.rules.tripwires.enabled = 1;
    engineState.rules.tripwires.burstFiles = 20;
    engineState.rules.tripwires.burstSeconds = 10;
    server->sessions = {{L"PC1", L"ann"}};
    for (int i = 0; i < 500; ++i)
        Open(L"D:\\x" + std::to_wstring(i), L"ann", PERM_FILE_WRITE);
    StartPoll();
    RunEngineRounds(1);
    EXPECT_TRUE(Deletions().empty()) << "a server already busy at start-up";
    engineState.rules.tripwires.enabled = 0;
    for (int i = 0; i < 50; ++i)
        Open(L"D:\\y" + std::to_wstring(i), L"ann", PERM_FILE_WRITE);
    RunEngineRounds(1);
    EXPECT_TRUE(Deletions().empty());
}

TEST_F(TripwireTest, APermanentTripSurvivesARestartUntilReleased)
{
    RecordTrial("bad input", "hand-edited [tripwires] and [tripped] sections: words, negative and huge numbers, "
                             "too many patterns, a computer name with a backslash",
                "each bad value gives its default, bad names are left out, nothing crashes");
    engineState.rules.tripwires.blockMinutes = 0;
    AddBaitPattern(engineState.rules.tripwires, "*.bait");
    server->sessions = {{L"PC9", L"eve"}};
    Open(L"D:\\x.bait", L"eve", PERM_FILE_READ);
    RunEngineRounds(1);
    ASSERT_EQ(TrippedCount(), 1);
    Restart();
    LoadTrippedComputers(engineState.rules.tripped);
    ASSERT_EQ(TrippedCount(), 1);
    EXPECT_EQ(std::wstring(engineState.rules.tripped[0].name.data()), L"\\\\PC9");
    EXPECT_EQ(engineState.rules.tripped[0].ticksLeft, kPermanent);
    ReleaseTrippedComputer(0);
    Restart();
    LoadTrippedComputers(engineState.rules.tripped);
    EXPECT_EQ(TrippedCount(), 0);

    const std::string ini = SettingsFilePath();
    WritePrivateProfileStringA("tripwires", "enabled", "yes", ini.c_str());
    WritePrivateProfileStringA("tripwires", "burstfiles", "-5", ini.c_str());
    WritePrivateProfileStringA("tripwires", "burstseconds", "99999999999", ini.c_str());
    WritePrivateProfileStringA("tripwires", "blockminutes", "abc", ini.c_str());
    WritePrivateProfileStringA("tripwires", "count", "1000", ini.c_str());
    WritePrivateProfileStringA("tripwires", "bait1", "*.ok", ini.c_str());
    WritePrivateProfileStringA("tripwires", "bait2", std::string(400, 'x').c_str(), ini.c_str());
    WritePrivateProfileStringA("tripped", "count", "3", ini.c_str());
    WritePrivateProfileStringA("tripped", "comp0", "PC\\BAD", ini.c_str());
    WritePrivateProfileStringA("tripped", "comp1", "", ini.c_str());
    WritePrivateProfileStringA("tripped", "comp2", "GOOD", ini.c_str());
    TripwireRules rules{};
    LoadTripwireRules(rules);
    EXPECT_EQ(rules.enabled, 0);
    EXPECT_EQ(rules.burstFiles, kDefaultBurstFiles);
    EXPECT_EQ(rules.burstSeconds, kDefaultBurstSeconds);
    EXPECT_EQ(rules.blockMinutes, kDefaultTripMinutes);
    ASSERT_EQ(rules.baitCount, 1) << "a count past 32 reads 32 keys; the long one is left out";
    EXPECT_EQ(std::wstring(rules.baits[0].data()), L"*.ok");
    LoadTrippedComputers(engineState.rules.tripped);
    ASSERT_EQ(TrippedCount(), 1);
    EXPECT_EQ(std::wstring(engineState.rules.tripped[0].name.data()), L"\\\\GOOD");
}

