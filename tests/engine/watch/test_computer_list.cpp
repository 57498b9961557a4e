#include <algorithm>
#include <string>

#include "core/settings.h"
#include "engine/watch/blocking.h"
#include "engine/watch/engine_state.h"
#include "rules/block_rules.h"
#include "support/engine_fixture.h"

namespace {

class ComputerListTest : public EngineTest {
protected:
    static int InUse(const ComputerList& list)
    {
        return static_cast<int>(std::count_if(list.begin(), list.end(), [](const BlockEntry& e) { return e.inUse; }));
    }
    static std::wstring NameAt(const ComputerList& list, std::size_t slot) { return list[slot].name.data(); }
    void ExpectInvariant() const { EXPECT_EQ(engineState.rules.blacklist.inUse, InUse(engineState.rules.blacklist)); }
    void Session(const std::wstring& client, const std::wstring& user = L"u")
    {
        server->sessions.push_back({client, user});
    }
    std::vector<std::wstring> Deletions() const { return server->CallsStartingWith(L"NetSessionDel"); }
    std::string SettingsFile() const { return ReadWholeFile(SettingsFilePath()); }
    void Tick(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            RunBlockRound();
    }
    std::vector<std::wstring> Names(const ComputerList& list) const
    {
        std::vector<std::wstring> names;
        for (const BlockEntry& entry : list)
            if (entry.inUse)
                names.push_back(std::wstring(entry.name.data()) + L"/" + std::to_wstring(entry.ticksLeft));
        return names;
    }
};

}  // namespace

TEST_F(ComputerListTest, NamesAreStoredInNormalForm)
{
    EXPECT_TRUE(AddComputer(engineState.rules.blacklist, "pc1", kPermanent));
    EXPECT_TRUE(AddComputer(engineState.rules.blacklist, "\xe9t\xe9-pc", kPermanent));  // é keeps its case
    EXPECT_TRUE(AddComputer(engineState.rules.blacklist, "\\\\pc9", kPermanent));
    EXPECT_EQ(NameAt(engineState.rules.blacklist, 0), L"\\\\PC1");
    EXPECT_EQ(NameAt(engineState.rules.blacklist, 1), L"\\\\\x00e9T\x00e9-PC");
    EXPECT_EQ(NameAt(engineState.rules.blacklist, 2), L"\\\\\\\\PC9") << "typed backslashes are kept, four in all";
    EXPECT_EQ(engineState.rules.blacklist[0].ticksLeft, kPermanent);
    ExpectInvariant();
    SaveComputerLists(engineState.rules);
    EXPECT_NE(SettingsFile().find("comp0=PC1"), std::string::npos);
}

TEST_F(ComputerListTest, AFullListIgnoresTheNextComputer)
{
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(AddComputer(engineState.rules.whitelist, ("PC" + std::to_string(i)).c_str(), kPermanent));
    EXPECT_FALSE(AddComputer(engineState.rules.whitelist, "PC256", kPermanent));
    EXPECT_EQ(InUse(engineState.rules.whitelist), 256);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0) << "the whitelist never touches the blacklist's count";
    RemoveComputer(engineState.rules.whitelist, "\\\\PC17");
    EXPECT_TRUE(AddComputer(engineState.rules.whitelist, "NEW", kPermanent));
    EXPECT_EQ(NameAt(engineState.rules.whitelist, 17), L"\\\\NEW") << "the first free slot is taken";
}

TEST_F(ComputerListTest, DuplicatesTakeTwoSlotsAndOneRemovalFreesBoth)
{
    AddComputer(engineState.rules.blacklist, "pc1", kPermanent);
    AddComputer(engineState.rules.blacklist, "PC1", 600);
    AddComputer(engineState.rules.blacklist, "PC2", kPermanent);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 3);
    RemoveComputer(engineState.rules.blacklist, "\\\\PC1");
    EXPECT_EQ(engineState.rules.blacklist.inUse, 1);
    EXPECT_EQ(Names(engineState.rules.blacklist), std::vector<std::wstring>{L"\\\\PC2/-1"});
    RemoveComputer(engineState.rules.blacklist, "\\\\PC1");
    EXPECT_EQ(engineState.rules.blacklist.inUse, 1) << "removing what is not there changes nothing";
}

TEST_F(ComputerListTest, RemovalIsCaseSensitiveWhileBlockingIsNot)
{
    AddComputer(engineState.rules.blacklist, "PC1", kPermanent);
    RemoveComputer(engineState.rules.blacklist, "\\\\pc1");
    EXPECT_EQ(engineState.rules.blacklist.inUse, 1);
    Session(L"pc1");
    Tick();
    EXPECT_EQ(Deletions(), std::vector<std::wstring>{L"NetSessionDel \\\\PC1 <null>"});
}

TEST_F(ComputerListTest, NamesLongerThanASlotHoldsAreRefusedForEveryCaller)
{
    const std::string fits(63, 'a');
    const std::string tooLong(64, 'a');
    EXPECT_TRUE(AddComputer(engineState.rules.blacklist, fits.c_str(), kPermanent));
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[0].name.data()).size(), 65u);
    EXPECT_FALSE(AddComputer(engineState.rules.blacklist, tooLong.c_str(), kPermanent));
    EXPECT_FALSE(AddComputer(engineState.rules.blacklist, std::string(300, 'b').c_str(), 600));
    EXPECT_FALSE(AddComputer(engineState.rules.blacklist, std::string(70000, 'c').c_str(), kPermanent));
    EXPECT_EQ(engineState.rules.blacklist.inUse, 1);
    // The slot after the refused names stays untouched, terminator and all.
    EXPECT_EQ(engineState.rules.blacklist[1].inUse, 0);
    EXPECT_EQ(engineState.rules.blacklist[1].name[0], L'\0');
    EXPECT_EQ(engineState.rules.blacklist[0].name[65], L'\0');
}

TEST_F(ComputerListTest, TemporaryEntriesCountDownAndAreFreedAfter600Ticks)
{
    AddComputer(engineState.rules.blacklist, "PC1", 600);
    Tick(599);
    EXPECT_EQ(engineState.rules.blacklist[0].ticksLeft, 1);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 1);
    Session(L"PC1");
    Tick();
    EXPECT_EQ(engineState.rules.blacklist[0].inUse, 0);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0);
    EXPECT_TRUE(Deletions().empty()) << "an entry that expires on a tick is not enforced on it";
    const int enumerations = server->sessionEnumCalls;
    Tick();
    EXPECT_EQ(server->sessionEnumCalls, enumerations) << "an empty blacklist enumerates nothing";
}

TEST_F(ComputerListTest, TheCountdownStopsWhileTheWhitelistIsEnforced)
{
    AddComputer(engineState.rules.blacklist, "PC1", 600);
    Tick(100);
    engineState.rules.blockMode = Whitelist;
    Tick(1000);
    EXPECT_EQ(engineState.rules.blacklist[0].ticksLeft, 500);
    engineState.rules.blockMode = Blacklist;
    Tick(500);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0);
}

TEST_F(ComputerListTest, ALateTimerCountsTheTicksThatPassedButNotTheWhitelistsTime)
{
    AddComputer(engineState.rules.blacklist, "PC1", 600);
    Tick();
    clock->AdvanceMilliseconds(30000);  // a loaded machine: the timer comes half a minute late
    Tick();
    EXPECT_EQ(engineState.rules.blacklist[0].ticksLeft, 299);
    engineState.rules.blockMode = Whitelist;
    clock->AdvanceMilliseconds(60000);
    Tick();
    engineState.rules.blockMode = Blacklist;
    Tick();
    EXPECT_EQ(engineState.rules.blacklist[0].ticksLeft, 298);
    clock->AdvanceMilliseconds(29900);
    Tick();
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0) << "a minute of blacklist time in all";
}

TEST_F(ComputerListTest, BlacklistDeletesEveryForbiddenClientByTheEntrysName)
{
    AddComputer(engineState.rules.blacklist, "pc1", kPermanent);
    AddComputer(engineState.rules.blacklist, "PC3", 1200);
    Session(L"PC2");
    Session(L"pc1", L"ann");
    Session(L"Pc3");
    Tick();
    EXPECT_EQ(server->CallsStartingWith(L"NetSessionEnum").back(), L"NetSessionEnum 0");
    EXPECT_EQ(Deletions(), (std::vector<std::wstring>{L"NetSessionDel \\\\PC1 <null>", L"NetSessionDel \\\\PC3 <null>"}));
    EXPECT_EQ(server->sessions.size(), 1u);
}

TEST_F(ComputerListTest, BothSlotsOfADuplicateDeleteAndTheSecondCallFailsQuietly)
{
    AddComputer(engineState.rules.blacklist, "PC1", kPermanent);
    AddComputer(engineState.rules.blacklist, "PC1", kPermanent);
    Session(L"PC1");
    Tick();
    EXPECT_EQ(Deletions().size(), 2u);
}

TEST_F(ComputerListTest, NoEnumerationWhenNothingCanBeBlocked)
{
    AddComputer(engineState.rules.whitelist, "PC1", kPermanent);
    Session(L"PC2");
    Tick(5);
    EXPECT_EQ(server->sessionEnumCalls, 0) << "blacklist mode with only whitelist entries";
    EXPECT_TRUE(Deletions().empty());
    RemoveComputer(engineState.rules.whitelist, "\\\\PC1");
    engineState.rules.blockMode = Whitelist;
    Tick(5);
    EXPECT_EQ(server->sessionEnumCalls, 0) << "an empty whitelist blocks nobody";
    EXPECT_TRUE(Deletions().empty());
}

TEST_F(ComputerListTest, WhitelistDeletesEveryComputerItDoesNotName)
{
    engineState.rules.blockMode = Whitelist;
    AddComputer(engineState.rules.whitelist, "PC1", kPermanent);
    AddComputer(engineState.rules.blacklist, "PC2", kPermanent);  // not in force
    Session(L"pc1");
    Session(L"PC2");
    Session(L"laptop-9");
    Tick();
    EXPECT_EQ(Deletions(),
              (std::vector<std::wstring>{L"NetSessionDel \\\\PC2 <null>", L"NetSessionDel \\\\laptop-9 <null>"}));
    EXPECT_EQ(server->sessions.size(), 1u);
    EXPECT_EQ(server->sessions[0].client, L"pc1");
}

TEST_F(ComputerListTest, AnyNonZeroModeIsTheWhitelist)
{
    engineState.rules.blockMode = 7;
    AddComputer(engineState.rules.whitelist, "PC1", kPermanent);
    Session(L"PC2");
    Tick();
    EXPECT_EQ(Deletions().size(), 1u);
    EXPECT_EQ(&ActiveComputerList(engineState.rules), &engineState.rules.whitelist);
}

TEST_F(ComputerListTest, LongClientNamesInWhitelistModeAreDeletedExactlyOrSkipped)
{
    engineState.rules.blockMode = Whitelist;
    AddComputer(engineState.rules.whitelist, "PC1", kPermanent);
    const std::wstring longest(255, L'x');
    const std::wstring tooLong(256, L'y');
    Session(longest);
    Session(tooLong);
    Session(std::wstring(70000, L'z'));
    Tick();
    ASSERT_EQ(Deletions().size(), 1u);
    EXPECT_EQ(Deletions()[0], L"NetSessionDel \\\\" + longest + L" <null>");
}

TEST_F(ComputerListTest, AnAbsentKeyAddsNothingSoTheWhitelistStaysEmptyAndBlocksNobody)
{
    RecordTrial("bad input", "a whitelist count of 1 with no name under it",
                "no empty entry: the whitelist is empty and blocks nobody");
    WriteWholeFile(SettingsFilePath(), "[whitelist]\r\ncount=1\r\n");
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(InUse(engineState.rules.whitelist), 0);
    engineState.rules.blockMode = Whitelist;
    Session(L"PC1");
    Tick();
    EXPECT_TRUE(Deletions().empty());
}

TEST_F(ComputerListTest, NamesThatCouldNotComeBackFromTheSettingsFileAreRefused)
{
    RecordTrial("bad input", "computer names with line breaks, tabs, quotes, DEL, blanks only, or blanks around them",
                "refused, or stored without the blanks, so that the settings file cannot be split and the list reloads the same");
    for (const char* name : {"", "   ", "PC\r\n[main]", "TAB\tBED", "\"QUOTED\"", "DEL\x7f"})
        EXPECT_FALSE(AddComputer(engineState.rules.blacklist, name, kPermanent)) << name;
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0);
    EXPECT_TRUE(AddComputer(engineState.rules.blacklist, "  pc-spaced  ", kPermanent));
    EXPECT_EQ(NameAt(engineState.rules.blacklist, 0), L"\\\\PC-SPACED") << "blanks around it go, as a reload drops them";
    SaveComputerLists(engineState.rules);
    Restart();
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(Names(engineState.rules.blacklist), std::vector<std::wstring>{L"\\\\PC-SPACED/-1"});
}

TEST_F(ComputerListTest, SaveWritesOnlyPermanentEntriesRenumberedAndLeavesStaleKeys)
{
    WriteWholeFile(SettingsFilePath(),
                   "[blacklist]\r\ncount=3\r\ncomp0=OLD0\r\ncomp1=OLD1\r\ncomp2=OLD2\r\n");
    AddComputer(engineState.rules.blacklist, "temp", 600);
    AddComputer(engineState.rules.blacklist, "keep", kPermanent);
    AddComputer(engineState.rules.whitelist, "friend", kPermanent);
    SaveComputerLists(engineState.rules);
    EXPECT_EQ(ReadSettingInt("blacklist", "count", -1), 1);
    std::array<char, 64> value{};
    ReadSettingText("blacklist", "comp0", "", value);
    EXPECT_STREQ(value.data(), "KEEP");
    ReadSettingText("blacklist", "comp1", "", value);
    EXPECT_STREQ(value.data(), "OLD1") << "stale keys stay";
    EXPECT_EQ(ReadSettingInt("whitelist", "count", -1), 1);
    ReadSettingText("whitelist", "comp0", "", value);
    EXPECT_STREQ(value.data(), "FRIEND");
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", -1), 0);

    Restart();
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(Names(engineState.rules.blacklist), std::vector<std::wstring>{L"\\\\KEEP/-1"});
    EXPECT_EQ(Names(engineState.rules.whitelist), std::vector<std::wstring>{L"\\\\FRIEND/-1"});
    ExpectInvariant();
}

TEST_F(ComputerListTest, BlockModeRoundTrips)
{
    engineState.rules.blockMode = Whitelist;
    SaveComputerLists(engineState.rules);
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", 0), 1);
    engineState.rules.blockMode = Blacklist;
    SaveComputerLists(engineState.rules);
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", 1), 0);
}

TEST_F(ComputerListTest, CountsNegativeAboveTheSlotsOrWithAbsentKeys)
{
    WriteWholeFile(SettingsFilePath(), "[blacklist]\r\ncount=-4\r\ncomp0=A\r\n[whitelist]\r\ncount=2\r\ncomp1=B\r\n");
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(InUse(engineState.rules.blacklist), 0);
    EXPECT_EQ(Names(engineState.rules.whitelist), (std::vector<std::wstring>{L"\\\\B/-1"})) << "the absent comp0 adds nothing";

    Restart();
    std::string file = "[blacklist]\r\ncount=300\r\n";
    for (int i = 0; i < 300; ++i)
        file += "comp" + std::to_string(i) + "=pc" + std::to_string(i) + "\r\n";
    WriteWholeFile(SettingsFilePath(), file);
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(engineState.rules.blacklist.inUse, 256);
    EXPECT_EQ(NameAt(engineState.rules.blacklist, 255), L"\\\\PC255");
    ExpectInvariant();
}

TEST_F(ComputerListTest, AHandEditedFileFullOfGarbageLoadsAndRoundTrips)
{
    RecordTrial("bad input", "a settings file with names of 5,000 characters, non-ASCII and control bytes, count=100000 and count=abc",
                "loads within its slots; a save and a load give the same lists");
    std::string file = "[blacklist]\r\ncount=100000\r\ncomp0=" + std::string(5000, 'L') + "\r\ncomp1=caf\xe9-\xfc\xdf\r\n";
    file += "comp2=\r\ncomp3=ok-name\r\ncomp5=" + std::string(63, 'M') + "\r\ncomp6=" + std::string(64, 'N') + "\r\n";
    file += "comp7=\x01\x02\x7f\r\n=\r\ngarbage line\r\n[whitelist]\r\ncount=abc\r\ncomp0=x\r\n";
    file += "[whitelist]\r\ncount=99999999999999\r\n";
    WriteWholeFile(SettingsFilePath(), file);
    LoadComputerLists(engineState.rules);
    ExpectInvariant();
    EXPECT_EQ(Names(engineState.rules.blacklist),
              (std::vector<std::wstring>{L"\\\\CAF\x00e9-\x00fc\x00df/-1", L"\\\\OK-NAME/-1",
                                         L"\\\\" + std::wstring(63, L'M') + L"/-1"}))
        << "too long, empty, absent and control-character names add nothing";
    for (const ComputerList* list : {&engineState.rules.blacklist, &engineState.rules.whitelist})
        for (const BlockEntry& entry : *list)
            EXPECT_LT(std::wstring(entry.name.data(), kBlockNameUnits).find(L'\0'), kBlockNameUnits);

    const auto blacklist = Names(engineState.rules.blacklist);
    const auto whitelist = Names(engineState.rules.whitelist);
    SaveComputerLists(engineState.rules);
    Restart();
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(Names(engineState.rules.blacklist), blacklist);
    EXPECT_EQ(Names(engineState.rules.whitelist), whitelist);
}

TEST_F(ComputerListTest, AFailedEnumerationDeletesNothing)
{
    RecordTrial("faults", "the block tick's enumeration refused, then answering ERROR_MORE_DATA",
                "nothing deleted on the refusal; the part is enforced on");
    AddComputer(engineState.rules.blacklist, "PC1", kPermanent);
    Session(L"PC1");
    server->sessionStatus = ERROR_ACCESS_DENIED;
    Tick();
    EXPECT_TRUE(Deletions().empty());
    server->sessionStatus = ERROR_MORE_DATA;
    Tick();
    EXPECT_EQ(Deletions().size(), 1u) << "a partial answer is enforced on";
}

TEST_F(ComputerListTest, ASettingsFileThatCannotBeWrittenAtExitIsLeftWhole)
{
    RecordTrial("faults", "the settings file held open without sharing by another program, then made read-only, "
                          "while the lists are saved at exit",
                "a save that cannot write fails quietly and leaves the earlier content whole; a read-only file is "
                "either left as it was or written whole (Wine, run as root, writes it); the next save that can "
                "write brings it up to date");
    const std::string before = "[blacklist]\r\ncount=1\r\ncomp0=OLD\r\n";
    WriteWholeFile(SettingsFilePath(), before);
    AddComputer(engineState.rules.blacklist, "NEW1", kPermanent);
    AddComputer(engineState.rules.blacklist, "NEW2", kPermanent);

    HANDLE held = CreateFileA(SettingsFilePath(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SaveComputerLists(engineState.rules);
    CloseHandle(held);
    EXPECT_EQ(ReadWholeFile(SettingsFilePath()), before);

    const std::vector<std::wstring> saved = {L"\\\\NEW1/-1", L"\\\\NEW2/-1"};
    ASSERT_TRUE(SetFileAttributesA(SettingsFilePath(), FILE_ATTRIBUTE_READONLY));
    SaveComputerLists(engineState.rules);
    SetFileAttributesA(SettingsFilePath(), FILE_ATTRIBUTE_NORMAL);
    const std::string afterReadOnly = ReadWholeFile(SettingsFilePath());
    if (afterReadOnly != before) {
        const auto blacklist = engineState.rules.blacklist;
        Restart();
        LoadComputerLists(engineState.rules);
        EXPECT_EQ(Names(engineState.rules.blacklist), saved) << "written whole";
        engineState.rules.blacklist = blacklist;
        engineState.rules.blacklist.inUse = 2;
    }

    SaveComputerLists(engineState.rules);
    Restart();
    LoadComputerLists(engineState.rules);
    EXPECT_EQ(Names(engineState.rules.blacklist), saved);
}
