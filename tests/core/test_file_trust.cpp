// The rule by which the service trusts a file or folder: owner and access list, read
// from security descriptors as Windows and Wine give them. (Wine gives every file its
// own user as owner, and access lists made from the Unix permissions: the rule itself
// is tested here, on descriptors written out.)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/file_trust.h"
#include "support/engine_fixture.h"

namespace {

constexpr char kAdministrator[] = "S-1-5-21-1-2-3-1001";  // the account that runs install
constexpr char kWineUser[] = "S-1-5-21-0-0-0-1000";

struct Descriptor {
    PSECURITY_DESCRIPTOR security = nullptr;
    explicit Descriptor(const char* sddl)
    {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &security, nullptr))
            << sddl;
    }
    ~Descriptor() { LocalFree(security); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

struct Account {
    PSID sid = nullptr;
    explicit Account(const char* text) { EXPECT_TRUE(ConvertStringSidToSidA(text, &sid)); }
    ~Account() { LocalFree(sid); }
    Account(const Account&) = delete;
    Account& operator=(const Account&) = delete;
};

TrustVerdict Judge(const char* sddl, TrustScope scope, const char* self = kAdministrator)
{
    const Descriptor descriptor(sddl);
    const Account account(self);
    return JudgeSecurity(descriptor.security, account.sid, scope);
}

std::string Words(const TrustVerdict& verdict)
{
    std::array<char, 256> text{};
    DescribeVerdict(verdict, text);
    return text.data();
}

}  // namespace

TEST(FileTrust, TheServicesOwnAndTheAdministratorsAreTrusted)
{
    for (const char* sddl : {
             "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",          // what the service makes
             "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)",  // read by the users
             "O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-1-2-3-1001)",  // the installing administrator's
             "O:BAD:(A;;FA;;;SY)(A;OICIIO;FA;;;CO)(D;;FA;;;WD)(A;;FA;;;OW)",      // creator owner, a denial, owner rights
             "O:S-1-5-80-956008885-3418522649-1831038044-1850970751-2399230110D:(A;;FA;;;BA)",  // TrustedInstaller's
             "O:BAD:",  // no one may do anything but its owner
         }) {
        EXPECT_EQ(Judge(sddl, TrustScope::FileOnly).fault, TrustFault::None) << sddl;
        EXPECT_EQ(Judge(sddl, TrustScope::FolderAndNewFiles).fault, TrustFault::None) << sddl;
    }
    // As Wine shows a file it made, 0644: its user owns it, everyone reads it.
    EXPECT_EQ(Judge("O:S-1-5-21-0-0-0-1000G:S-1-5-21-0-0-0-513D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)"
                    "(A;;0x1200a9;;;WD)",
                    TrustScope::FileOnly, kWineUser)
                  .fault,
              TrustFault::None);
}

TEST(FileTrust, WhatSomeoneElseMadeOrMayChangeIsNot)
{
    // A standard user made it: as a folder made in ProgramData is.
    const TrustVerdict planted =
        Judge("O:S-1-5-21-1-2-3-1002D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-1002)", TrustScope::FileOnly);
    EXPECT_EQ(planted.fault, TrustFault::Owner);
    EXPECT_EQ(Words(planted), "owned by S-1-5-21-1-2-3-1002") << "an account no one can name is told by its SID";

    for (const char* entry : {"(A;;0x2;;;BU)", "(A;;0x4;;;AU)", "(A;;0x10000;;;IU)", "(A;;0x40000;;;WD)",
                              "(A;;0x80000;;;BU)", "(A;;GW;;;BU)", "(A;;GA;;;WD)", "(A;;0x40;;;BU)", "(A;;0x100;;;BU)",
                              "(A;;FA;;;S-1-5-21-1-2-3-1002)", "(A;;FA;;;S-1-5-21-1-2-3-1001)"}) {
        const std::string sddl = std::string("O:BAD:(A;;FA;;;SY)") + entry;
        EXPECT_EQ(Judge(sddl.c_str(), TrustScope::FileOnly).fault, TrustFault::Writer) << entry;
    }
    // The installing administrator's own account is trusted as an owner, not as one
    // writer among others: a folder of theirs that a standard user owns is not.
    EXPECT_EQ(Judge("O:S-1-5-21-1-2-3-1002D:(A;;FA;;;S-1-5-21-1-2-3-1001)", TrustScope::FileOnly).fault,
              TrustFault::Owner);
    // Wine's mark of a file everyone may write (0666 or 0777).
    const TrustVerdict everyone = Judge("O:S-1-5-21-0-0-0-1000D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)"
                                        "(A;;0x1301ff;;;WD)",
                                        TrustScope::FileOnly, kWineUser);
    EXPECT_EQ(everyone.fault, TrustFault::Writer);
    EXPECT_EQ(Words(everyone), "writable by Everyone") << "named as the system names it";

    // No list at all lets everyone in; an allowing entry of a kind files do not use is
    // not read, and not let through.
    const Account administrators("S-1-5-32-544");
    const Account users("S-1-5-32-545");
    SECURITY_DESCRIPTOR bare{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&bare, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&bare, administrators.sid, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&bare, TRUE, nullptr, FALSE));
    const TrustVerdict open = JudgeSecurity(&bare, nullptr, TrustScope::FileOnly);
    EXPECT_EQ(open.fault, TrustFault::Writer);
    EXPECT_EQ(Words(open), "writable by Everyone");
    std::array<BYTE, 256> list{};
    auto* access = reinterpret_cast<PACL>(list.data());
    ASSERT_TRUE(InitializeAcl(access, static_cast<DWORD>(list.size()), ACL_REVISION_DS));
    GUID kind{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
    if (AddAccessAllowedObjectAce(access, ACL_REVISION_DS, 0, FILE_WRITE_DATA, &kind, nullptr, users.sid)) {
        ASSERT_TRUE(SetSecurityDescriptorDacl(&bare, TRUE, access, FALSE));
        EXPECT_EQ(JudgeSecurity(&bare, nullptr, TrustScope::FileOnly).fault, TrustFault::Writer);
    }
    EXPECT_EQ(JudgeSecurity(nullptr, nullptr, TrustScope::FileOnly).fault, TrustFault::Unreadable);
    RecordTrial("planted files", "descriptors of files made by a standard user, writable by Users, Everyone, "
                "Authenticated Users or another account, with no list, or with an object entry",
                "each refused, by its owner or the writer named");
}

TEST(FileTrust, AFoldersFilesToComeAndTheFoldersAboveAreJudgedForWhatTheyAllow)
{
    // The users may make files in it, as ProgramData lets them in its own folders.
    const char* usersCreate = "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;CI;0x116;;;BU)(A;OICIIO;FA;;;CO)";
    EXPECT_EQ(Judge(usersCreate, TrustScope::FolderAndNewFiles).fault, TrustFault::Writer);
    // Full control of the files to come, not of the folder itself.
    const char* inherited = "O:BAD:(A;;FA;;;SY)(A;OICIIO;FA;;;BU)";
    EXPECT_EQ(Judge(inherited, TrustScope::FileOnly).fault, TrustFault::None);
    EXPECT_EQ(Judge(inherited, TrustScope::FolderAndNewFiles).fault, TrustFault::Writer);
    // C:\ lets the users make folders in it: nothing of what is there already.
    const char* root = "O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x4;;;AU)(A;OICIIO;SDGRGWGX;;;AU)";
    EXPECT_EQ(Judge(root, TrustScope::FolderAbove).fault, TrustFault::None);
    EXPECT_EQ(Judge(root, TrustScope::FolderAndNewFiles).fault, TrustFault::Writer);
    // Deleting what is in it, or changing its list, lets anyone put a folder in its place.
    for (const char* entry : {"(A;;0x40;;;AU)", "(A;;WD;;;BU)", "(A;;SD;;;WD)", "(A;;GA;;;BU)"}) {
        const std::string sddl = std::string("O:SYD:(A;;FA;;;SY)") + entry;
        EXPECT_EQ(Judge(sddl.c_str(), TrustScope::FolderAbove).fault, TrustFault::Writer) << entry;
    }
}

TEST(FileTrust, TheFoldersAboveAPathAreEachJudgedUpToItsRoot)
{
    const std::string folder = MakeTestFolder();
    const std::string inner = folder + "inner";
    ASSERT_TRUE(CreateDirectoryA(inner.c_str(), nullptr));
    std::array<char, MAX_PATH> failed{'x'};
    EXPECT_EQ(JudgePathAndAncestors(inner.c_str(), TrustScope::FolderAndNewFiles, failed).fault, TrustFault::None)
        << "a test folder of this user's, below the prefix's drive: " << failed.data();
    EXPECT_STREQ(failed.data(), "");

    // Everyone may delete what is in the folder above: the inner one can be put back
    // by anyone, whatever its own list says. (Under Wine, the mark everyone-may-write.)
    const Descriptor open("D:(A;OICI;FA;;;WD)");
    PACL access = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorDacl(open.security, &present, &access, &defaulted));
    std::string outer = folder.substr(0, folder.size() - 1);
    ASSERT_EQ(SetNamedSecurityInfoA(outer.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, access,
                                    nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    const TrustVerdict above = JudgePathAndAncestors(inner.c_str(), TrustScope::FolderAndNewFiles, failed);
    EXPECT_EQ(above.fault, TrustFault::Writer);
    EXPECT_EQ(std::string(failed.data()), outer) << "the folder above is named, not the one asked of";
    EXPECT_EQ(JudgePath((folder + "missing").c_str(), TrustScope::FileOnly).fault, TrustFault::Unreadable);
}
