#include <algorithm>
#include <string>

#include "blocking/computer_list.h"
#include "core/app_state.h"
#include "core/settings.h"
#include "support/test_support.h"

namespace {

class ComputerListTest : public QuorvelTest {
protected:
    static int InUse(const ComputerList& list)
    {
        return static_cast<int>(std::count_if(list.begin(), list.end(), [](const BlockEntry& e) { return e.inUse; }));
    }
    static std::wstring NameAt(const ComputerList& list, std::size_t slot) { return list[slot].name.data(); }
    void ExpectInvariant() const { EXPECT_EQ(appState.blacklistInUse, InUse(appState.blacklist)); }
    void Session(const std::wstring& client, const std::wstring& user = L"u")
    {
        server->sessions.push_back({client, user});
    }
    std::vector<std::wstring> Deletions() const { return server->CallsStartingWith(L"NetSessionDel"); }
    std::string SettingsFile() const { return ReadWholeFile(appState.settingsPath.data()); }
    void Tick(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            OnBlockTick();
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
    EXPECT_TRUE(AddComputer(appState.blacklist, "pc1", kPermanent));
    EXPECT_TRUE(AddComputer(appState.blacklist, "\xe9t\xe9-pc", kPermanent));  // é keeps its case
    EXPECT_TRUE(AddComputer(appState.blacklist, "\\\\pc9", kPermanent));
    EXPECT_EQ(NameAt(appState.blacklist, 0), L"\\\\PC1");
    EXPECT_EQ(NameAt(appState.blacklist, 1), L"\\\\\x00e9T\x00e9-PC");
    EXPECT_EQ(NameAt(appState.blacklist, 2), L"\\\\\\\\PC9") << "typed backslashes are kept, four in all";
    EXPECT_EQ(appState.blacklist[0].ticksLeft, kPermanent);
    ExpectInvariant();
    SaveComputerLists();
    EXPECT_NE(SettingsFile().find("comp0=PC1"), std::string::npos);
}

TEST_F(ComputerListTest, AFullListIgnoresTheNextComputer)
{
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(AddComputer(appState.whitelist, ("PC" + std::to_string(i)).c_str(), kPermanent));
    EXPECT_FALSE(AddComputer(appState.whitelist, "PC256", kPermanent));
    EXPECT_EQ(InUse(appState.whitelist), 256);
    EXPECT_EQ(appState.blacklistInUse, 0) << "the whitelist never touches the blacklist's count";
    RemoveComputer(appState.whitelist, "\\\\PC17");
    EXPECT_TRUE(AddComputer(appState.whitelist, "NEW", kPermanent));
    EXPECT_EQ(NameAt(appState.whitelist, 17), L"\\\\NEW") << "the first free slot is taken";
}

TEST_F(ComputerListTest, DuplicatesTakeTwoSlotsAndOneRemovalFreesBoth)
{
    AddComputer(appState.blacklist, "pc1", kPermanent);
    AddComputer(appState.blacklist, "PC1", 600);
    AddComputer(appState.blacklist, "PC2", kPermanent);
    EXPECT_EQ(appState.blacklistInUse, 3);
    RemoveComputer(appState.blacklist, "\\\\PC1");
    EXPECT_EQ(appState.blacklistInUse, 1);
    EXPECT_EQ(Names(appState.blacklist), std::vector<std::wstring>{L"\\\\PC2/-1"});
    RemoveComputer(appState.blacklist, "\\\\PC1");
    EXPECT_EQ(appState.blacklistInUse, 1) << "removing what is not there changes nothing";
}

TEST_F(ComputerListTest, RemovalIsCaseSensitiveWhileBlockingIsNot)
{
    AddComputer(appState.blacklist, "PC1", kPermanent);
    RemoveComputer(appState.blacklist, "\\\\pc1");
    EXPECT_EQ(appState.blacklistInUse, 1);
    Session(L"pc1");
    Tick();
    EXPECT_EQ(Deletions(), std::vector<std::wstring>{L"NetSessionDel \\\\PC1 <null>"});
}

TEST_F(ComputerListTest, NamesLongerThanASlotHoldsAreRefusedForEveryCaller)
{
    const std::string fits(63, 'a');
    const std::string tooLong(64, 'a');
    EXPECT_TRUE(AddComputer(appState.blacklist, fits.c_str(), kPermanent));
    EXPECT_EQ(std::wstring(appState.blacklist[0].name.data()).size(), 65u);
    EXPECT_FALSE(AddComputer(appState.blacklist, tooLong.c_str(), kPermanent));
    EXPECT_FALSE(AddComputer(appState.blacklist, std::string(300, 'b').c_str(), 600));
    EXPECT_FALSE(AddComputer(appState.blacklist, std::string(70000, 'c').c_str(), kPermanent));
    EXPECT_EQ(appState.blacklistInUse, 1);
    // The slot after the refused names stays untouched, terminator and all.
    EXPECT_EQ(appState.blacklist[1].inUse, 0);
    EXPECT_EQ(appState.blacklist[1].name[0], L'\0');
    EXPECT_EQ(appState.blacklist[0].name[65], L'\0');
}

TEST_F(ComputerListTest, TemporaryEntriesCountDownAndAreFreedAfter600Ticks)
{
    AddComputer(appState.blacklist, "PC1", 600);
    Tick(599);
    EXPECT_EQ(appState.blacklist[0].ticksLeft, 1);
    EXPECT_EQ(appState.blacklistInUse, 1);
    Session(L"PC1");
    Tick();
    EXPECT_EQ(appState.blacklist[0].inUse, 0);
    EXPECT_EQ(appState.blacklistInUse, 0);
    EXPECT_TRUE(Deletions().empty()) << "an entry that expires on a tick is not enforced on it";
    const int enumerations = server->sessionEnumCalls;
    Tick();
    EXPECT_EQ(server->sessionEnumCalls, enumerations) << "an empty blacklist enumerates nothing";
}

TEST_F(ComputerListTest, TheCountdownStopsWhileTheWhitelistIsEnforced)
{
    AddComputer(appState.blacklist, "PC1", 600);
    Tick(100);
    appState.blockMode = Whitelist;
    Tick(1000);
    EXPECT_EQ(appState.blacklist[0].ticksLeft, 500);
    appState.blockMode = Blacklist;
    Tick(500);
    EXPECT_EQ(appState.blacklistInUse, 0);
}

TEST_F(ComputerListTest, ALateTimerCountsTheTicksThatPassedButNotTheWhitelistsTime)
{
    AddComputer(appState.blacklist, "PC1", 600);
    Tick();
    clock->AdvanceMilliseconds(30000);  // a loaded machine: the timer comes half a minute late
    Tick();
    EXPECT_EQ(appState.blacklist[0].ticksLeft, 299);
    appState.blockMode = Whitelist;
    clock->AdvanceMilliseconds(60000);
    Tick();
    appState.blockMode = Blacklist;
    Tick();
    EXPECT_EQ(appState.blacklist[0].ticksLeft, 298);
    clock->AdvanceMilliseconds(29900);
    Tick();
    EXPECT_EQ(appState.blacklistInUse, 0) << "a minute of blacklist time in all";
}

TEST_F(ComputerListTest, BlacklistDeletesEveryForbiddenClientByTheEntrysName)
{
    AddComputer(appState.blacklist, "pc1", kPermanent);
    AddComputer(appState.blacklist, "PC3", 1200);
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
    AddComputer(appState.blacklist, "PC1", kPermanent);
    AddComputer(appState.blacklist, "PC1", kPermanent);
    Session(L"PC1");
    Tick();
    EXPECT_EQ(Deletions().size(), 2u);
}

TEST_F(ComputerListTest, NoEnumerationWhenNothingCanBeBlocked)
{
    AddComputer(appState.whitelist, "PC1", kPermanent);
    Session(L"PC2");
    Tick(5);
    EXPECT_EQ(server->sessionEnumCalls, 0) << "blacklist mode with only whitelist entries";
    EXPECT_TRUE(Deletions().empty());
    RemoveComputer(appState.whitelist, "\\\\PC1");
    appState.blockMode = Whitelist;
    Tick(5);
    EXPECT_EQ(server->sessionEnumCalls, 0) << "an empty whitelist blocks nobody";
    EXPECT_TRUE(Deletions().empty());
}

TEST_F(ComputerListTest, WhitelistDeletesEveryComputerItDoesNotName)
{
    appState.blockMode = Whitelist;
    AddComputer(appState.whitelist, "PC1", kPermanent);
    AddComputer(appState.blacklist, "PC2", kPermanent);  // not in force
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
    appState.blockMode = 7;
    AddComputer(appState.whitelist, "PC1", kPermanent);
    Session(L"PC2");
    Tick();
    EXPECT_EQ(Deletions().size(), 1u);
    EXPECT_EQ(&ActiveComputerList(), &appState.whitelist);
}

TEST_F(ComputerListTest, LongClientNamesInWhitelistModeAreDeletedExactlyOrSkipped)
{
    appState.blockMode = Whitelist;
    AddComputer(appState.whitelist, "PC1", kPermanent);
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
    WriteWholeFile(appState.settingsPath.data(), "[whitelist]\r\ncount=1\r\n");
    LoadComputerLists();
    EXPECT_EQ(InUse(appState.whitelist), 0);
    appState.blockMode = Whitelist;
    Session(L"PC1");
    Tick();
    EXPECT_TRUE(Deletions().empty());
}

TEST_F(ComputerListTest, NamesThatCouldNotComeBackFromTheSettingsFileAreRefused)
{
    RecordTrial("bad input", "computer names with line breaks, tabs, quotes, DEL, blanks only, or blanks around them",
                "refused, or stored without the blanks, so that the settings file cannot be split and the list reloads the same");
    for (const char* name : {"", "   ", "PC\r\n[main]", "TAB\tBED", "\"QUOTED\"", "DEL\x7f"})
        EXPECT_FALSE(AddComputer(appState.blacklist, name, kPermanent)) << name;
    EXPECT_EQ(appState.blacklistInUse, 0);
    EXPECT_TRUE(AddComputer(appState.blacklist, "  pc-spaced  ", kPermanent));
    EXPECT_EQ(NameAt(appState.blacklist, 0), L"\\\\PC-SPACED") << "blanks around it go, as a reload drops them";
    SaveComputerLists();
    Restart();
    LoadComputerLists();
    EXPECT_EQ(Names(appState.blacklist), std::vector<std::wstring>{L"\\\\PC-SPACED/-1"});
}

TEST_F(ComputerListTest, SaveWritesOnlyPermanentEntriesRenumberedAndLeavesStaleKeys)
{
    WriteWholeFile(appState.settingsPath.data(),
                   "[blacklist]\r\ncount=3\r\ncomp0=OLD0\r\ncomp1=OLD1\r\ncomp2=OLD2\r\n");
    AddComputer(appState.blacklist, "temp", 600);
    AddComputer(appState.blacklist, "keep", kPermanent);
    AddComputer(appState.whitelist, "friend", kPermanent);
    SaveComputerLists();
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
    LoadComputerLists();
    EXPECT_EQ(Names(appState.blacklist), std::vector<std::wstring>{L"\\\\KEEP/-1"});
    EXPECT_EQ(Names(appState.whitelist), std::vector<std::wstring>{L"\\\\FRIEND/-1"});
    ExpectInvariant();
}

TEST_F(ComputerListTest, BlockModeRoundTrips)
{
    appState.blockMode = Whitelist;
    SaveComputerLists();
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", 0), 1);
    appState.blockMode = Blacklist;
    SaveComputerLists();
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", 1), 0);
}

TEST_F(ComputerListTest, CountsNegativeAboveTheSlotsOrWithAbsentKeys)
{
    WriteWholeFile(appState.settingsPath.data(), "[blacklist]\r\ncount=-4\r\ncomp0=A\r\n[whitelist]\r\ncount=2\r\ncomp1=B\r\n");
    LoadComputerLists();
    EXPECT_EQ(InUse(appState.blacklist), 0);
    EXPECT_EQ(Names(appState.whitelist), (std::vector<std::wstring>{L"\\\\B/-1"})) << "the absent comp0 adds nothing";

    Restart();
    std::string file = "[blacklist]\r\ncount=300\r\n";
    for (int i = 0; i < 300; ++i)
        file += "comp" + std::to_string(i) + "=pc" + std::to_string(i) + "\r\n";
    WriteWholeFile(appState.settingsPath.data(), file);
    LoadComputerLists();
    EXPECT_EQ(appState.blacklistInUse, 256);
    EXPECT_EQ(NameAt(appState.blacklist, 255), L"\\\\PC255");
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
    WriteWholeFile(appState.settingsPath.data(), file);
    LoadComputerLists();
    ExpectInvariant();
    EXPECT_EQ(Names(appState.blacklist),
              (std::vector<std::wstring>{L"\\\\CAF\x00e9-\x00fc\x00df/-1", L"\\\\OK-NAME/-1",
                                         L"\\\\" + std::wstring(63, L'M') + L"/-1"}))
        << "too long, empty, absent and control-character names add nothing";
    for (const ComputerList* list : {&appState.blacklist, &appState.whitelist})
        for (const BlockEntry& entry : *list)
            EXPECT_LT(std::wstring(entry.name.data(), kBlockNameUnits).find(L'\0'), kBlockNameUnits);

    const auto blacklist = Names(appState.blacklist);
    const auto whitelist = Names(appState.whitelist);
    SaveComputerLists();
    Restart();
    LoadComputerLists();
    EXPECT_EQ(Names(appState.blacklist), blacklist);
    EXPECT_EQ(Names(appState.whitelist), whitelist);
}

TEST_F(ComputerListTest, AFailedEnumerationDeletesNothing)
{
    RecordTrial("faults", "the block tick's enumeration refused, then answering ERROR_MORE_DATA",
                "nothing deleted on the refusal; the part is enforced on");
    AddComputer(appState.blacklist, "PC1", kPermanent);
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
    WriteWholeFile(appState.settingsPath.data(), before);
    AddComputer(appState.blacklist, "NEW1", kPermanent);
    AddComputer(appState.blacklist, "NEW2", kPermanent);

    HANDLE held = CreateFileA(appState.settingsPath.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SaveComputerLists();
    CloseHandle(held);
    EXPECT_EQ(ReadWholeFile(appState.settingsPath.data()), before);

    const std::vector<std::wstring> saved = {L"\\\\NEW1/-1", L"\\\\NEW2/-1"};
    ASSERT_TRUE(SetFileAttributesA(appState.settingsPath.data(), FILE_ATTRIBUTE_READONLY));
    SaveComputerLists();
    SetFileAttributesA(appState.settingsPath.data(), FILE_ATTRIBUTE_NORMAL);
    const std::string afterReadOnly = ReadWholeFile(appState.settingsPath.data());
    if (afterReadOnly != before) {
        const auto blacklist = appState.blacklist;
        Restart();
        LoadComputerLists();
        EXPECT_EQ(Names(appState.blacklist), saved) << "written whole";
        appState.blacklist = blacklist;
        appState.blacklistInUse = 2;
    }

    SaveComputerLists();
    Restart();
    LoadComputerLists();
    EXPECT_EQ(Names(appState.blacklist), saved);
}
