// What the engine tells the places beyond the daily logs: every event the logs record
// and what the program did, each with its server, computer, user, path and rule.
#include <windows.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "engine/watch/actions.h"
#include "engine/watch/blocking.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "rules/block_rules.h"
#include "support/engine_fixture.h"

namespace {

struct Told {
    EventKind kind;
    std::wstring computer, user, path;
    DWORD permissions;
    std::string rule, text;
};

class EventRecordTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        AddEventSink(
            [](const EventRecord& record, void* context) {
                static_cast<std::vector<Told>*>(context)->push_back(
                    {record.kind, std::wstring(record.computer), std::wstring(record.user), std::wstring(record.path),
                     record.permissions, std::string(record.rule), std::string(record.text)});
            },
            &told);
    }
    void TearDown() override
    {
        RemoveEventSinks();
        EngineTest::TearDown();
    }
    std::vector<EventKind> Kinds() const
    {
        std::vector<EventKind> kinds;
        for (const Told& one : told)
            kinds.push_back(one.kind);
        return kinds;
    }
    std::vector<Told> told;
};

}  // namespace

TEST_F(EventRecordTest, EveryEventTheLogsRecordIsToldWithItsFields)
{
    engineState.rules.tripwires.enabled = 1;
    AddBaitPattern(engineState.rules.tripwires, "*\\canary*");
    RunEngineRounds(1);
    server->sessions.push_back({L"PC1", L"ann", 0, 0, 0, 0});
    RunEngineRounds(4);
    server->files.push_back({7, PERM_FILE_READ | PERM_FILE_WRITE, 0, L"D:\\x.txt", L"ann"});
    server->files.push_back({8, PERM_FILE_READ, 0, L"D:\\canary.doc", L"ann"});
    RunEngineRounds(1);
    ASSERT_EQ(Kinds(), (std::vector<EventKind>{EventKind::Connection, EventKind::SessionCutOff, EventKind::FileOpen,
                                                EventKind::FileOpen, EventKind::Tripwire}))
        << "the trip cuts PC1 off as its open is found; the lines follow in the order the logs have them";
    EXPECT_EQ(told[0].computer, L"PC1");
    EXPECT_EQ(told[0].user, L"ann");
    EXPECT_EQ(told[1].computer, L"PC1");
    EXPECT_EQ(told[1].rule, "tripwire");
    EXPECT_EQ(told[2].path, L"D:\\x.txt");
    EXPECT_EQ(told[2].permissions, static_cast<DWORD>(PERM_FILE_READ | PERM_FILE_WRITE));
    EXPECT_EQ(told[2].text, "[9:5:8] [ann][ReadWrite] D:\\x.txt");
    EXPECT_EQ(told[4].user, L"ann");
    EXPECT_NE(told[4].rule.find("bait \"*\\canary*\""), std::string::npos) << told[4].rule;
}

TEST_F(EventRecordTest, WhatTheProgramDidIsToldOnceEach)
{
    ASSERT_TRUE(ListComputerAction(Blacklist, L"pc-bad", 600));
    server->sessions.push_back({L"pc-bad", L"eve", 0, 0, 0, 0});
    RunBlockRound();
    RunBlockRound();  // the session went at the first round: nothing more to tell
    UnlistComputerAction(Blacklist, "\\\\PC-BAD");
    CloseSessionAction(kThisComputer, L"\\\\PC2", L"ben");
    ASSERT_EQ(Kinds(), (std::vector<EventKind>{EventKind::ComputerListed, EventKind::SessionCutOff,
                                                EventKind::ComputerUnlisted, EventKind::SessionClosed}));
    EXPECT_EQ(told[0].text, "pc-bad added to the blacklist for 1 minutes");
    EXPECT_EQ(told[1].computer, L"PC-BAD");
    EXPECT_EQ(told[1].rule, "blacklist");
    EXPECT_EQ(told[3].user, L"ben");
}
