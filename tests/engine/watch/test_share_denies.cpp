// Trips that deny the tripped account at the shares: the descriptors' edits alone, the
// journal, and the engine denying and putting back the shares of the fake server.
#include <windows.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/log_text.h"
#include "engine/watch/share_denies.h"
#include "engine/watch/trips.h"
#include "rules/share_deny.h"
#include "rules/tripwires.h"
#include "support/engine_fixture.h"
#include "support/forwarding_support.h"

namespace {

constexpr wchar_t kMallory[] = L"S-1-5-21-1004336348-1177238915-682003330-1105";

ShareDescriptor DescriptorOf(const wchar_t* sddl)
{
    ShareDescriptor descriptor{};
    PSECURITY_DESCRIPTOR made = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, nullptr)) << sddl;
    EXPECT_TRUE(CopyShareDescriptor(made, &descriptor));
    LocalFree(made);
    return descriptor;
}

AccountSid SidOf(const wchar_t* text)
{
    AccountSid sid{};
    PSID made = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &made));
    EXPECT_TRUE(CopyAccountSid(made, &sid));
    LocalFree(made);
    return sid;
}

std::wstring SddlOf(const ShareDescriptor& descriptor)
{
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<BYTE*>(descriptor.bytes.data()), SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                                  DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return L"(invalid)";
    std::wstring sddl(text);
    LocalFree(text);
    return sddl;
}

std::vector<BYTE> BytesOf(const ShareDescriptor& descriptor)
{
    return {descriptor.bytes.begin(), descriptor.bytes.begin() + descriptor.length};
}

}  // namespace

TEST(ShareDenyEntry, GoesFirstAndComesOutLeavingTheRestAsItWas)
{
    const AccountSid mallory = SidOf(kMallory);
    const ShareDescriptor original =
        DescriptorOf(L"O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;0x1f01ff;;;S-1-5-21-1004336348-1177238915-682003330-1200)");
    ShareDescriptor denied{};
    ASSERT_TRUE(AddDenyEntry(original, mallory, &denied));
    EXPECT_EQ(SddlOf(denied), std::wstring(L"O:BAG:BAD:(D;;FA;;;") + kMallory +
                                  L")(A;;0x1200a9;;;WD)(A;;FA;;;S-1-5-21-1004336348-1177238915-682003330-1200)");
    EXPECT_TRUE(HoldsDenyEntry(denied, mallory));
    EXPECT_FALSE(HoldsDenyEntry(original, mallory));
    EXPECT_FALSE(HoldsDenyEntry(denied, SidOf(L"S-1-5-21-1004336348-1177238915-682003330-1106")));

    // Someone else added an entry during the trip: only ours comes out.
    const ShareDescriptor changed = DescriptorOf((std::wstring(L"O:BAG:BAD:(D;;FA;;;") + kMallory +
                                                  L")(A;;0x1200a9;;;WD)(A;;FA;;;BA)")
                                                     .c_str());
    ShareDescriptor restored{};
    ASSERT_TRUE(RemoveDenyEntry(changed, mallory, &restored));
    EXPECT_EQ(SddlOf(restored), L"O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)");
    EXPECT_FALSE(RemoveDenyEntry(restored, mallory, &denied)) << "no entry of ours left";

    // A deny of the same account an administrator wrote by hand, with other rights, is not ours.
    const ShareDescriptor theirs = DescriptorOf((std::wstring(L"O:BAG:BAD:(D;;0x2;;;") + kMallory + L")(A;;FA;;;WD)").c_str());
    EXPECT_FALSE(HoldsDenyEntry(theirs, mallory));

    // No list lets everyone in: the deny keeps that for everyone else.
    SECURITY_DESCRIPTOR absolute{};
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE);
    ShareDescriptor everyone{};
    DWORD size = static_cast<DWORD>(everyone.bytes.size());
    ASSERT_TRUE(MakeSelfRelativeSD(&absolute, everyone.bytes.data(), &size));
    everyone.length = size;
    ShareDescriptor open{};
    ASSERT_TRUE(AddDenyEntry(everyone, mallory, &open));
    EXPECT_EQ(SddlOf(open), std::wstring(L"D:(D;;FA;;;") + kMallory + L")(A;;FA;;;WD)");

    // Bytes that are not a descriptor, and a descriptor that would not fit, are refused.
    ShareDescriptor garbage{};
    garbage.length = 64;
    garbage.bytes.fill(0xA5);
    EXPECT_FALSE(AddDenyEntry(garbage, mallory, &denied));
    EXPECT_FALSE(RemoveDenyEntry(garbage, mallory, &denied));
    EXPECT_FALSE(CopyShareDescriptor(nullptr, &denied));
}

// A server's reply is hostile: each part must lie within the bytes the reply gave.
TEST(ShareDenyEntry, AServersDescriptorIsReadOnlyWithinItsBytes)
{
    const ShareDescriptor sound = DescriptorOf((std::wstring(L"O:BAG:BAD:(A;;FA;;;WD)(A;;FA;;;") + kMallory + L")").c_str());
    ShareDescriptor copy{};
    ASSERT_TRUE(CopyShareDescriptor(sound.bytes.data(), &copy, sound.length));
    EXPECT_EQ(BytesOf(copy), BytesOf(sound));
    EXPECT_FALSE(CopyShareDescriptor(sound.bytes.data(), &copy, sound.length - 1)) << "cut by one byte";
    EXPECT_EQ(copy.length, 0u);

    SECURITY_DESCRIPTOR_RELATIVE header{};
    memcpy(&header, sound.bytes.data(), sizeof header);
    const auto changed = [&](auto change) {
        ShareDescriptor bad = sound;
        change(bad);
        ShareDescriptor out{};
        return CopyShareDescriptor(bad.bytes.data(), &out, bad.length);
    };
    const auto at = [](ShareDescriptor& d, std::size_t offset) { return d.bytes.data() + offset; };
    const auto putDword = [&](ShareDescriptor& d, std::size_t offset, DWORD value) { memcpy(at(d, offset), &value, 4); };
    EXPECT_FALSE(changed([&](ShareDescriptor& d) { putDword(d, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), 4000); }))
        << "a list past the reply";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) { putDword(d, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner), d.length - 4); }))
        << "an owner cut at the end";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) { putDword(d, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group), 3); }))
        << "a group inside the header";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) { *at(d, header.Owner + 1) = 200; })) << "a SID of 200 parts";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) {
        const WORD size = 0xF000;
        memcpy(at(d, header.Dacl + offsetof(ACL, AclSize)), &size, 2);
    })) << "a list larger than the reply";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) {
        const WORD count = 40;
        memcpy(at(d, header.Dacl + offsetof(ACL, AceCount)), &count, 2);
    })) << "more entries than the list holds";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) {
        const WORD size = 0x7000;
        memcpy(at(d, header.Dacl + sizeof(ACL) + offsetof(ACE_HEADER, AceSize)), &size, 2);
    })) << "an entry larger than its list";
    EXPECT_FALSE(changed([&](ShareDescriptor& d) {
        const WORD control = header.Control & ~SE_SELF_RELATIVE;
        memcpy(at(d, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control)), &control, 2);
    })) << "an absolute descriptor holds pointers";
    EXPECT_FALSE(CopyShareDescriptor(sound.bytes.data(), &copy, 12)) << "shorter than a header";
}

TEST(ShareDenyEntry, OnlyAUsersOwnAccountIsEverDenied)
{
    const AccountSid self = SidOf(L"S-1-5-21-1004336348-1177238915-682003330-1001");
    EXPECT_TRUE(MayDenyAccount(SidOf(kMallory), SidTypeUser, self));
    EXPECT_FALSE(MayDenyAccount(SidOf(kMallory), SidTypeGroup, self)) << "a group named like a user";
    EXPECT_FALSE(MayDenyAccount(SidOf(L"S-1-1-0"), SidTypeWellKnownGroup, self)) << "Everyone";
    EXPECT_FALSE(MayDenyAccount(SidOf(L"S-1-5-32-544"), SidTypeAlias, self)) << "the Administrators";
    EXPECT_FALSE(MayDenyAccount(SidOf(L"S-1-5-18"), SidTypeUser, self)) << "SYSTEM, whatever the lookup says";
    EXPECT_FALSE(MayDenyAccount(SidOf(L"S-1-5-32-544"), SidTypeUser, self));
    EXPECT_FALSE(MayDenyAccount(SidOf(L"S-1-5-21-1004336348-1177238915-682003330-500"), SidTypeUser, self))
        << "the built-in administrator";
    EXPECT_FALSE(MayDenyAccount(self, SidTypeUser, self)) << "the account this program runs as";

    TripwireRules rules{};
    SetNeverDenied(rules, " backup , CORP\\svc_sql,,bad\x01name, ");
    ASSERT_EQ(rules.neverDeniedCount, 2);
    std::array<char, kNeverDeniedTextUnits> text{};
    NeverDeniedText(rules, text);
    EXPECT_STREQ(text.data(), "backup, CORP\\svc_sql");
    EXPECT_TRUE(IsNeverDenied(rules, L"BACKUP"));
    EXPECT_TRUE(IsNeverDenied(rules, L"CORP\\backup")) << "a name without a domain is every domain's";
    EXPECT_TRUE(IsNeverDenied(rules, L"svc_sql"));
    EXPECT_TRUE(IsNeverDenied(rules, L"corp\\SVC_SQL"));
    EXPECT_FALSE(IsNeverDenied(rules, L"OTHER\\svc_sql")) << "a name with a domain is that domain's";
    EXPECT_FALSE(IsNeverDenied(rules, L"mallory"));
}

TEST(DenyJournal, ReadsBackWhatItWroteAndLeavesOutADamagedLine)
{
    const std::string path = MakeTestFolder() + kDenyJournalName;
    static DenyJournal journal;
    journal = {};
    DeniedAccount& account = journal.accounts[3];
    account.inUse = 1;
    CopyWideText(account.server, L"\\\\FS2");
    CopyWideText(account.user, L"m\x00e4llory");
    account.sid = SidOf(kMallory);
    account.untilUtc = 134000000000000000LL;
    DeniedShare* share = AddJournalShare(journal);
    ASSERT_NE(share, nullptr);
    share->state = static_cast<int32_t>(ShareDenyState::Denying);
    share->account = 3;
    CopyWideText(share->share, L"Team files");
    share->original = DescriptorOf(L"O:BAG:BAD:(A;;FA;;;WD)");
    ASSERT_TRUE(AddDenyEntry(share->original, account.sid, &share->written));
    ASSERT_TRUE(SaveDenyJournal(path.c_str(), journal));

    static DenyJournal back;
    back = {};
    ASSERT_TRUE(LoadDenyJournal(path.c_str(), &back)) << ReadWholeFile(path);
    ASSERT_TRUE(back.accounts[3].inUse);
    EXPECT_EQ(std::wstring(back.accounts[3].user.data()), L"m\x00e4llory");
    EXPECT_EQ(std::wstring(back.accounts[3].server.data()), L"\\\\FS2");
    EXPECT_EQ(back.accounts[3].untilUtc, 134000000000000000LL);
    ASSERT_EQ(back.shareCount, 1u);
    EXPECT_EQ(std::wstring(back.shares[0].share.data()), L"Team files");
    EXPECT_EQ(BytesOf(back.shares[0].original), BytesOf(share->original));
    EXPECT_EQ(BytesOf(back.shares[0].written), BytesOf(share->written));

    // A line cut short, one for an account that is not there, garbage hex: each left out, the rest read.
    const std::string text = ReadWholeFile(path);
    const std::size_t shareLine = text.find("share\t");
    WriteWholeFile(path, text + text.substr(shareLine, 40) + "\r\nshare\t9\t2\tX\t00\t00\r\n" +
                             "share\t3\t2\tY\tzz\tzz\r\naccount\t3\t\tdup\t00\t0\t0\r\n");
    back = {};
    EXPECT_FALSE(LoadDenyJournal(path.c_str(), &back)) << "it says that lines were left out";
    EXPECT_TRUE(back.accounts[3].inUse);
    std::size_t sound = 0;
    for (std::size_t k = 0; k < back.shareCount; ++k)
        sound += back.shares[k].state != static_cast<int32_t>(ShareDenyState::Free);
    EXPECT_EQ(sound, 1u);

    WriteWholeFile(path, "something else 7\r\nshare\t3\t2\tX\t00\t00\r\n");
    back = {};
    EXPECT_FALSE(LoadDenyJournal(path.c_str(), &back)) << "not a journal of ours: nothing of it is used";
    EXPECT_EQ(back.shareCount, 0u);
    DeleteFileA(path.c_str());
    EXPECT_TRUE(LoadDenyJournal(path.c_str(), &back)) << "none: nothing is denied";
}

// A journal someone else wrote never has the program write permissions it did not make.
TEST(DenyJournal, ALineWhosePermissionsNoDenyMadeIsLeftOut)
{
    const std::string path = MakeTestFolder() + kDenyJournalName;
    const AccountSid mallory = SidOf(kMallory);
    const ShareDescriptor original = DescriptorOf(L"O:BAG:BAD:(A;;0x1200a9;;;WD)");
    ShareDescriptor denied{};
    ASSERT_TRUE(AddDenyEntry(original, mallory, &denied));
    const ShareDescriptor everyoneFull = DescriptorOf(L"O:BAG:BAD:(A;;FA;;;WD)");
    const auto hex = [](const ShareDescriptor& d) {
        std::array<char, kShareDescriptorBytes * 2 + 1> text{};
        HexOf(std::span<const BYTE>(d.bytes.data(), d.length), text);
        return std::string(text.data());
    };
    const auto sidHex = [](const AccountSid& sid) {
        std::array<char, 2 * SECURITY_MAX_SID_SIZE + 1> text{};
        HexOf(std::span<const BYTE>(sid.bytes.data(), sid.length), text);
        return std::string(text.data());
    };
    const std::string account = "account\t0\t\tmallory\t" + sidHex(mallory) + "\t0\t0\r\n";
    const auto load = [&](const std::string& lines, std::size_t* shares) {
        WriteWholeFile(path, "quorvel-denies 1\r\n" + lines);
        static DenyJournal back;
        back = {};
        const bool sound = LoadDenyJournal(path.c_str(), &back);
        *shares = 0;
        for (std::size_t k = 0; k < back.shareCount; ++k)
            *shares += back.shares[k].state != static_cast<int32_t>(ShareDenyState::Free);
        return sound && back.accounts[0].inUse;
    };
    std::size_t shares = 0;
    EXPECT_TRUE(load(account + "share\t0\t1\tDocs\t" + hex(original) + "\t" + hex(denied) + "\r\n", &shares));
    EXPECT_EQ(shares, 1u) << "what a deny writes is read";
    // Being denied, it would write Everyone full control.
    EXPECT_FALSE(load(account + "share\t0\t1\tDocs\t" + hex(original) + "\t" + hex(everyoneFull) + "\r\n", &shares));
    EXPECT_EQ(shares, 0u);
    // Being put back where the share holds what it says was written: that holds no entry of ours.
    EXPECT_FALSE(load(account + "share\t0\t3\tDocs\t" + hex(everyoneFull) + "\t" + hex(original) + "\r\n", &shares));
    EXPECT_EQ(shares, 0u);
    // An account the program never denies: Everyone, the Administrators.
    for (const wchar_t* sid : {L"S-1-1-0", L"S-1-5-32-544"}) {
        const std::string other = "account\t0\t\tmallory\t" + sidHex(SidOf(sid)) + "\t0\t0\r\n";
        EXPECT_FALSE(load(other, &shares)) << Utf8Of(sid);
    }
    // Bytes that name parts beyond themselves.
    ShareDescriptor beyond = denied;
    const DWORD distant = 6000;
    memcpy(beyond.bytes.data() + offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), &distant, 4);
    EXPECT_FALSE(load(account + "share\t0\t2\tDocs\t" + hex(original) + "\t" + hex(beyond) + "\r\n", &shares));
    EXPECT_EQ(shares, 0u);
}

namespace {

class ShareDenyTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        engineState.rules.tripwires.enabled = 1;
        engineState.rules.tripwires.denyShares = 1;
        engineState.rules.tripwires.blockMinutes = kDefaultTripMinutes;
        AddBaitPattern(engineState.rules.tripwires, "*\\canary*");
        journal = folder + kDenyJournalName;
        server->shares = {{L"Projects", STYPE_DISKTREE, L"", 0, L"D:\\Projects"},
                          {L"HR", STYPE_DISKTREE, L"", 0, L"D:\\HR"},
                          {L"C$", STYPE_DISKTREE | STYPE_SPECIAL, L"", 0, L"C:\\"},
                          {L"Printer", STYPE_PRINTQ, L"", 0, L""}};
        server->shares[1].descriptor = Bytes(L"O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)");
        server->accounts = {{L"mallory", kMallory}};
        server->sessions = {{L"PC66", L"mallory"}, {L"PC2", L"bob"}};
        RunEngineRounds(1);
    }
    void TearDown() override
    {
        StopShareDenies();
        EngineTest::TearDown();
    }
    static std::vector<BYTE> Bytes(const wchar_t* sddl) { return BytesOf(DescriptorOf(sddl)); }
    void Start() { ASSERT_TRUE(StartShareDenies(journal.c_str())); }
    void Trip(const wchar_t* user = L"mallory")
    {
        server->files.push_back({nextId++, PERM_FILE_READ, 0, L"D:\\Projects\\canary.docx", user});
        RunEngineRounds(1);
    }
    bool Settled(const std::function<bool()>& condition)
    {
        return WaitUntil(
            [&] {
                RunEngineRounds(1);
                if (!ShareDeniesIdle())
                    return false;
                const FakeServerHeld held;
                return condition();
            },
            10000);
    }
    std::vector<BYTE> Now(std::size_t share)
    {
        const FakeServerHeld held;
        return server->shares[share].descriptor;
    }
    // The same as the text the permissions dialog's SDDL would show.
    std::wstring SddlNow(std::size_t share)
    {
        const std::vector<BYTE> bytes = Now(share);
        ShareDescriptor now{};
        memcpy(now.bytes.data(), bytes.data(), std::min(bytes.size(), now.bytes.size()));
        now.length = static_cast<uint32_t>(std::min(bytes.size(), now.bytes.size()));
        return SddlOf(now);
    }
    std::string LogPage() const { return std::string(WholeLogText(engineState.logText)); }
    std::string journal;
    DWORD nextId = 500;
};

}  // namespace

TEST_F(ShareDenyTest, ATripDeniesTheAccountAtEveryDiskShareAndTheReleasePutsBackEveryByte)
{
    RecordTrial("faults", "a trip with the deny at the shares on, then its release by hand",
                "every disk share denies the account, its sessions go again, and each descriptor comes back byte for byte");
    Start();
    const std::vector<BYTE> hrBefore = Now(1);
    Trip();
    ASSERT_TRUE(Settled([&] { return LogPage().find("mallory is denied at 2 shares of this computer.") != std::string::npos; }))
        << LogPage();
    EXPECT_EQ(server->shareSetCalls, 2);
    const std::wstring deny = std::wstring(L"(D;;FA;;;") + kMallory + L")";
    for (std::size_t k : {0u, 1u})
        EXPECT_NE(SddlNow(k).find(L"D:" + deny), std::wstring::npos) << SddlNow(k);
    EXPECT_TRUE(Now(2).empty() && Now(3).empty()) << "the special and printer shares are left alone";
    {
        const FakeServerHeld held;
        EXPECT_FALSE(server->CallsStartingWith(L"NetSessionDel <null> mallory").empty())
            << "what reconnected meanwhile goes once the entries are in place";
    }
    ASSERT_TRUE(Settled([] { return engineState.rules.tripped[0].deniedShares == 2; }));
    EXPECT_NE(ReadWholeFile(journal).find("share\t"), std::string::npos) << "written down before";

    // A share made during the trip gets the entry too, at the next round.
    {
        const FakeServerHeld held;
        server->shares.push_back({L"New", STYPE_DISKTREE, L"", 0, L"D:\\New"});
    }
    ASSERT_TRUE(Settled([] { return engineState.rules.tripped[0].deniedShares == 3; })) << LogPage();

    ReleaseTrippedComputer(0);
    ASSERT_TRUE(Settled([&] { return LogPage().find("are as before the trip of mallory.") != std::string::npos; }))
        << LogPage();
    EXPECT_EQ(server->shareSetCalls, 6);
    EXPECT_EQ(Now(1), hrBefore) << "byte for byte";
    EXPECT_EQ(Now(0), Bytes(kEveryoneFullControl));
    EXPECT_NE(LogPage().find("The permissions of 3 shares of this computer are as before the trip of mallory."),
              std::string::npos)
        << LogPage();
    EXPECT_EQ(ReadWholeFile(journal), "quorvel-denies 1\r\n") << "nothing left behind";
    // The Application log has the trip, each deny and the restore.
    std::vector<DWORD> ids;
    for (const RecordedEvent& event : RecordedEvents())
        ids.push_back(event.id);
    EXPECT_EQ(ids, (std::vector<DWORD>{QUORVEL_EVENT_TRIP, QUORVEL_EVENT_SHARES_DENIED, QUORVEL_EVENT_SHARES_DENIED,
                                       QUORVEL_EVENT_SHARES_RESTORED}));
}

TEST_F(ShareDenyTest, ASharesChangedMeanwhileLosesOnlyOurEntryAndOneThatRefusesIsSaid)
{
    RecordTrial("faults", "during a trip an administrator changes a share's permissions; another share refuses the change",
                "the release takes out only the deny's entry there; the refusing share is named with why, the rest denied");
    server->refusingShares = {L"HR"};
    Start();
    Trip();
    ASSERT_TRUE(Settled([&] { return LogPage().find("mallory is denied at 1 share of") != std::string::npos; }))
        << LogPage();
    EXPECT_EQ(server->shareSetCalls, 2);
    EXPECT_NE(LogPage().find("The share HR of this computer could not be changed (access denied): mallory is not "
                             "denied there."),
              std::string::npos)
        << LogPage();
    EXPECT_NE(LogPage().find("mallory is denied at 1 share of this computer."), std::string::npos) << LogPage();
    EXPECT_EQ(engineState.rules.tripped[0].inUse, 1) << "the trip still cuts off as before";
    {
        const FakeServerHeld held;
        // Someone adds the Administrators by hand, keeping the deny.
        server->shares[0].descriptor =
            Bytes((std::wstring(L"O:BAG:BAD:(D;;FA;;;") + kMallory + L")(A;;FA;;;WD)(A;;FA;;;BA)").c_str());
    }
    ReleaseTrippedComputer(0);
    ASSERT_TRUE(Settled([&] { return LogPage().find("only the entry that denied mallory") != std::string::npos; }))
        << LogPage();
    EXPECT_EQ(server->shareSetCalls, 3);
    EXPECT_EQ(SddlNow(0), L"O:BAG:BAD:(A;;FA;;;WD)(A;;FA;;;BA)");
    EXPECT_NE(LogPage().find("The permissions of the share Projects of this computer were changed during the trip: "
                             "only the entry that denied mallory was taken out."),
              std::string::npos)
        << LogPage();
}

TEST_F(ShareDenyTest, WhoIsNeverDeniedIsCutOffAsBeforeAndNoShareChanges)
{
    RecordTrial("bad input", "trips of an account in the never-denied list, of a group's name, of an unknown account",
                "each is cut off as before, no share changes, and the Log page says why");
    server->accounts.push_back({L"Administrators", L"S-1-5-32-544", SidTypeAlias});
    server->sessions.push_back({L"SRV", L"Administrators"});
    server->sessions.push_back({L"NAS", L"backup"});
    server->sessions.push_back({L"PC9", L"ghost"});
    SetNeverDenied(engineState.rules.tripwires, "backup");
    Start();
    Trip(L"backup");
    Trip(L"Administrators");
    Trip(L"ghost");
    ASSERT_TRUE(Settled([&] { return LogPage().find("ghost is not denied") != std::string::npos; })) << LogPage();
    EXPECT_EQ(server->shareSetCalls, 0);
    EXPECT_NE(LogPage().find("backup is never denied at the shares: it is in the tripwires' list"), std::string::npos);
    EXPECT_NE(LogPage().find("Administrators is never denied at the shares: it is not a user's own account"),
              std::string::npos)
        << LogPage();
    EXPECT_NE(LogPage().find("ghost is not denied at the shares of this computer: the server does not know the account"),
              std::string::npos);
    int tripped = 0;
    for (const BlockEntry& entry : engineState.rules.tripped)
        tripped += entry.inUse;
    EXPECT_EQ(tripped, 3) << "cut off all the same";

    // An account only the server's own list knows is found there.
    server->localAccounts = {{L"mallory", kMallory}};
    server->accounts.clear();
    Trip();
    ASSERT_TRUE(Settled([&] { return server->shareSetCalls == 2; })) << LogPage();
}

TEST_F(ShareDenyTest, StoppedInTheMiddleOfTheDenyOrOfTheReleaseTheNextStartFinishesIt)
{
    RecordTrial("faults", "the program stopped after writing the journal and one share, in the deny and in the release",
                "the next start denies the rest, and the release then puts every share back as it was");
    const std::vector<BYTE> projects = Bytes(kEveryoneFullControl);
    const std::vector<BYTE> hr = Now(1);
    // What a stop after the journal and the first share's write leaves.
    static DenyJournal left;
    left = {};
    left.accounts[0].inUse = 1;
    CopyWideText(left.accounts[0].user, L"mallory");
    left.accounts[0].sid = SidOf(kMallory);
    for (std::size_t k : {0u, 1u}) {
        DeniedShare* share = AddJournalShare(left);
        share->state = static_cast<int32_t>(ShareDenyState::Denying);
        CopyWideText(share->share, server->shares[k].name);
        share->original = DescriptorOf(k == 0 ? kEveryoneFullControl : L"O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)");
        AddDenyEntry(share->original, left.accounts[0].sid, &share->written);
    }
    server->shares[0].descriptor = BytesOf(left.shares[0].written);
    ASSERT_TRUE(SaveDenyJournal(journal.c_str(), left));

    Start();
    ASSERT_TRUE(Settled([&] { return server->shareSetCalls == 1; })) << "only the share left undone: " << LogPage();
    EXPECT_EQ(Now(1), BytesOf(left.shares[1].written));
    EXPECT_EQ(DeniedShareCount(L"MALLORY"), 2);

    // Stopped again after the first share of the release was put back.
    StopShareDenies();
    left.accounts[0].releasing = 1;
    for (std::size_t k : {0u, 1u})
        left.shares[k].state = static_cast<int32_t>(ShareDenyState::Restoring);
    server->shares[0].descriptor = projects;
    ASSERT_TRUE(SaveDenyJournal(journal.c_str(), left));
    Start();
    ASSERT_TRUE(Settled([&] { return DeniedShareCount(L"mallory") == 0 && !HoldsShareDenies(L"mallory"); }))
        << LogPage();
    EXPECT_EQ(Now(0), projects);
    EXPECT_EQ(Now(1), hr);
    EXPECT_EQ(ReadWholeFile(journal), "quorvel-denies 1\r\n");
}

TEST_F(ShareDenyTest, ATripUntilReleasedThatOutlastedAStartStaysDeniedPastTheMinutesSetNow)
{
    RecordTrial("faults", "a trip until released by hand kept over a restart, with a trip's minutes set to 1 meanwhile",
                "the start denies the user again until released, not for the minutes set now");
    engineState.rules.tripwires.blockMinutes = 1;
    ASSERT_TRUE(AddComputerWide(engineState.rules.tripped, L"\\\\PC66", kPermanent, L"mallory"));
    Start();
    DenyTrippedUsersAgain();
    ASSERT_TRUE(Settled([] { return DeniedShareCount(L"mallory") == 2; })) << LogPage();
    clock->AdvanceMilliseconds(3 * 60 * 1000);
    // An ask wakes the denies, and their round after it would end a deny whose minutes are over.
    DenyAtShares(nullptr, L"ghost", 1);
    ASSERT_TRUE(Settled([&] { return LogPage().find("ghost is not denied") != std::string::npos; })) << LogPage();
    EXPECT_EQ(DeniedShareCount(L"mallory"), 2) << "still denied after the minutes set now: " << LogPage();
    EXPECT_EQ(LogPage().find("as before the trip of mallory"), std::string::npos) << LogPage();
    ReleaseTrippedComputer(0);
    ASSERT_TRUE(Settled([] { return DeniedShareCount(L"mallory") == 0 && !HoldsShareDenies(L"mallory"); }))
        << LogPage();
}

TEST_F(ShareDenyTest, ADenyLastsAsLongAsItsTrippedRowWhateverTheOrderOfAsks)
{
    RecordTrial("faults", "a trip released at once, while its deny is under way; a journal's deny with no tripped row left; "
                          "a trip again while a share could not be put back yet",
                "nothing stays denied without a tripped row; the second trip stays denied everywhere until its release");
    Start();
    const std::vector<BYTE> projects = Now(0);
    const std::vector<BYTE> hr = Now(1);
    // Released before the denies' thread could have finished: it ends with nothing denied.
    Trip();
    ReleaseTrippedComputer(0);
    ASSERT_TRUE(Settled([&] { return DeniedShareCount(L"mallory") == 0 && !HoldsShareDenies(L"mallory"); }))
        << LogPage();
    EXPECT_EQ(Now(0), projects);
    EXPECT_EQ(Now(1), hr);

    // A trip, then its release while HR refuses to be put back; tripped again meanwhile,
    // each time from a session (the cut-off took the last one away).
    const auto comeBack = [&] {
        const FakeServerHeld held;
        server->sessions.push_back({L"PC66", L"mallory"});
    };
    comeBack();
    Trip();
    ASSERT_TRUE(Settled([] { return DeniedShareCount(L"mallory") == 2; })) << LogPage();
    {
        const FakeServerHeld held;
        server->refusingShares = {L"HR"};
    }
    ReleaseTrippedComputer(0);
    ASSERT_TRUE(Settled([&] { return LogPage().find("could not be put back yet") != std::string::npos; })) << LogPage();
    const std::vector<BYTE> putBack = Bytes(kEveryoneFullControl);  // Projects had none: everyone in
    EXPECT_EQ(Now(0), putBack) << "Projects was put back";
    comeBack();
    Trip();
    ASSERT_TRUE(Settled([] { return DeniedShareCount(L"mallory") == 2 && engineState.rules.tripped[0].inUse; }))
        << LogPage();
    {
        const FakeServerHeld held;
        server->refusingShares.clear();
    }
    // Rounds of the denies pass (each ask wakes them): the second trip stays denied.
    for (int k = 0; k < 3; ++k) {
        DenyAtShares(nullptr, L"ghost", 0);
        ASSERT_TRUE(Settled([] { return true; }));
    }
    EXPECT_EQ(DeniedShareCount(L"mallory"), 2) << LogPage();
    EXPECT_NE(Now(0), putBack) << "Projects is denied again";

    // Stopped, the tripped row lost (a trip for some minutes is not kept over a start):
    // the next start puts back what its journal still denies.
    StopShareDenies();
    engineState.rules.tripped = {};
    Start();
    ASSERT_TRUE(Settled([&] { return DeniedShareCount(L"mallory") == 0 && !HoldsShareDenies(L"mallory"); }))
        << LogPage();
    EXPECT_EQ(Now(0), putBack);
    EXPECT_EQ(Now(1), hr);
    EXPECT_EQ(ReadWholeFile(journal), "quorvel-denies 1\r\n");
}

TEST_F(ShareDenyTest, AShareWithNoPermissionsOfItsOwnIsDeniedAndPutBackLettingEveryoneIn)
{
    RecordTrial("bad input", "a share whose information gives no permissions at all", "denied like one that lets everyone "
                "in, and put back letting everyone in");
    {
        const FakeServerHeld held;
        server->shares[0].none = true;
    }
    Start();
    Trip();
    ASSERT_TRUE(Settled([] { return DeniedShareCount(L"mallory") == 2; })) << LogPage();
    EXPECT_EQ(SddlNow(0), std::wstring(L"D:(D;;FA;;;") + kMallory + L")(A;;FA;;;WD)");
    ReleaseTrippedComputer(0);
    ASSERT_TRUE(Settled([] { return DeniedShareCount(L"mallory") == 0 && !HoldsShareDenies(L"mallory"); })) << LogPage();
    const std::vector<BYTE> bytes = Now(0);
    // A list present and none given: everyone in, as before (not an empty list, which lets nobody in).
    SECURITY_DESCRIPTOR_RELATIVE header{};
    ASSERT_GE(bytes.size(), sizeof header);
    memcpy(&header, bytes.data(), sizeof header);
    EXPECT_TRUE((header.Control & SE_DACL_PRESENT) != 0 && header.Dacl == 0) << SddlNow(0);
}
