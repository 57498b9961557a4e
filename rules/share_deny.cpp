#include "rules/share_deny.h"

#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <utility>
#include <cstring>

#include "core/text.h"

namespace {

struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control;
    PSID owner;
    PSID group;
    BOOL daclPresent;
    PACL dacl;
    BOOL saclPresent;
    PACL sacl;
};

// The flags a descriptor keeps when it is made again; the rest follow from its parts.
constexpr SECURITY_DESCRIPTOR_CONTROL kKeptControl = SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
                                                     SE_DACL_PROTECTED | SE_SACL_AUTO_INHERIT_REQ |
                                                     SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

// Where a SID at `offset` ends, when all of it lies within the first `limit` bytes; else 0.
std::size_t SidEnd(const BYTE* bytes, std::size_t limit, std::size_t offset)
{
    if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset > limit || limit - offset < 8)
        return 0;
    if (bytes[offset] != SID_REVISION || bytes[offset + 1] > SID_MAX_SUB_AUTHORITIES)
        return 0;
    const std::size_t size = 8 + 4u * bytes[offset + 1];
    return limit - offset < size ? 0 : offset + size;
}

// The same for a list at `offset`, each of its entries within it.
std::size_t AclEnd(const BYTE* bytes, std::size_t limit, std::size_t offset)
{
    if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset > limit || limit - offset < sizeof(ACL))
        return 0;
    ACL acl{};
    memcpy(&acl, bytes + offset, sizeof acl);
    if (acl.AclRevision < MIN_ACL_REVISION || acl.AclRevision > MAX_ACL_REVISION || acl.AclSize < sizeof(ACL) ||
        limit - offset < acl.AclSize)
        return 0;
    std::size_t at = sizeof(ACL);
    for (WORD k = 0; k < acl.AceCount; ++k) {
        if (acl.AclSize - at < sizeof(ACE_HEADER))
            return 0;
        ACE_HEADER ace{};
        memcpy(&ace, bytes + offset + at, sizeof ace);
        if (ace.AceSize < sizeof(ACE_HEADER) || acl.AclSize - at < ace.AceSize)
            return 0;
        at += ace.AceSize;
    }
    return offset + acl.AclSize;
}

PSECURITY_DESCRIPTOR Descriptor(const ShareDescriptor& descriptor)
{
    return const_cast<BYTE*>(descriptor.bytes.data());
}

PSID Sid(const AccountSid& sid)
{
    return const_cast<BYTE*>(sid.bytes.data());
}

bool ValidDescriptor(const ShareDescriptor& descriptor)
{
    return descriptor.length >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) && descriptor.length <= descriptor.bytes.size() &&
           SelfRelativeExtent(descriptor.bytes.data(), descriptor.length) != 0;
}

bool ValidSid(const AccountSid& sid)
{
    return sid.length >= 8 && sid.length <= sid.bytes.size() && IsValidSid(Sid(sid)) &&
           GetLengthSid(Sid(sid)) == sid.length;
}

bool ReadParts(const ShareDescriptor& descriptor, DescriptorParts* parts)
{
    *parts = {};
    if (!ValidDescriptor(descriptor))
        return false;
    PSECURITY_DESCRIPTOR sd = Descriptor(descriptor);
    DWORD revision = 0;
    BOOL defaulted = FALSE;
    return GetSecurityDescriptorControl(sd, &parts->control, &revision) &&
           GetSecurityDescriptorOwner(sd, &parts->owner, &defaulted) &&
           GetSecurityDescriptorGroup(sd, &parts->group, &defaulted) &&
           GetSecurityDescriptorDacl(sd, &parts->daclPresent, &parts->dacl, &defaulted) &&
           GetSecurityDescriptorSacl(sd, &parts->saclPresent, &parts->sacl, &defaulted);
}

// The same owner, group, audit list and flags, with `dacl` as the list.
bool WriteParts(const DescriptorParts& parts, PACL dacl, ShareDescriptor* out)
{
    SECURITY_DESCRIPTOR absolute{};
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&absolute, parts.owner, FALSE) ||
        !SetSecurityDescriptorGroup(&absolute, parts.group, FALSE) ||
        !SetSecurityDescriptorDacl(&absolute, TRUE, dacl, FALSE) ||
        (parts.saclPresent && !SetSecurityDescriptorSacl(&absolute, TRUE, parts.sacl, FALSE)))
        return false;
    const SECURITY_DESCRIPTOR_CONTROL kept = parts.control & kKeptControl;
    if (kept && !SetSecurityDescriptorControl(&absolute, kept, kept))
        return false;
    DWORD size = static_cast<DWORD>(out->bytes.size());
    if (!MakeSelfRelativeSD(&absolute, out->bytes.data(), &size))
        return false;
    // Its own length, as a server keeps it: the room used may be more.
    out->length = GetSecurityDescriptorLength(out->bytes.data());
    return out->length > 0 && out->length <= size;
}

bool IsOurEntry(const void* ace, PSID sid)
{
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_DENIED_ACE_TYPE || header->AceFlags != 0)
        return false;
    // The entry's SID lies within the entry: the list was walked with each entry's size.
    constexpr std::size_t kSidAt = offsetof(ACCESS_DENIED_ACE, SidStart);
    const auto* bytes = static_cast<const BYTE*>(ace);
    if (header->AceSize < kSidAt + 8 || bytes[kSidAt + 1] > SID_MAX_SUB_AUTHORITIES ||
        header->AceSize < kSidAt + 8 + 4u * bytes[kSidAt + 1])
        return false;
    const auto* denied = static_cast<const ACCESS_DENIED_ACE*>(ace);
    return denied->Mask == kShareDenyMask &&
           EqualSid(const_cast<DWORD*>(&denied->SidStart), sid);
}

// The index of our entry in `dacl`, or -1.
int OurEntryIn(PACL dacl, PSID sid)
{
    if (!dacl)
        return -1;
    for (DWORD k = 0; k < dacl->AceCount; ++k) {
        void* ace = nullptr;
        if (GetAce(dacl, k, &ace) && IsOurEntry(ace, sid))
            return static_cast<int>(k);
    }
    return -1;
}

// Copies every entry of `from` but the one at `skip` to the end of `to`.
bool CopyEntries(PACL from, PACL to, int skip)
{
    for (DWORD k = 0; from && k < from->AceCount; ++k) {
        void* ace = nullptr;
        if (static_cast<int>(k) == skip)
            continue;
        if (!GetAce(from, k, &ace) || !AddAce(to, to->AclRevision, MAXDWORD, ace, static_cast<const ACE_HEADER*>(ace)->AceSize))
            return false;
    }
    return true;
}

DWORD EntrySize(PSID sid)
{
    return static_cast<DWORD>(sizeof(ACCESS_DENIED_ACE) - sizeof(DWORD)) + GetLengthSid(sid);
}

}  // namespace

std::size_t SelfRelativeExtent(const void* descriptor, std::size_t limit)
{
    const auto* bytes = static_cast<const BYTE*>(descriptor);
    SECURITY_DESCRIPTOR_RELATIVE header{};
    if (!bytes || limit < sizeof header)
        return 0;
    memcpy(&header, bytes, sizeof header);
    // An absolute descriptor holds pointers, not bytes: only a self-relative one is read.
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION || !(header.Control & SE_SELF_RELATIVE))
        return 0;
    std::size_t extent = sizeof header;
    for (const DWORD sid : {header.Owner, header.Group}) {
        if (sid == 0)
            continue;
        const std::size_t end = SidEnd(bytes, limit, sid);
        if (end == 0)
            return 0;
        extent = std::max(extent, end);
    }
    const std::array<std::pair<SECURITY_DESCRIPTOR_CONTROL, DWORD>, 2> lists = {
        std::pair{SE_SACL_PRESENT, header.Sacl}, std::pair{SE_DACL_PRESENT, header.Dacl}};
    for (const auto& [present, offset] : lists) {
        if (!(header.Control & present) || offset == 0)
            continue;
        const std::size_t end = AclEnd(bytes, limit, offset);
        if (end == 0)
            return 0;
        extent = std::max(extent, end);
    }
    return extent;
}

bool CopyShareDescriptor(const void* descriptor, ShareDescriptor* copy, std::size_t limit)
{
    copy->length = 0;
    const std::size_t extent = SelfRelativeExtent(descriptor, std::min(limit, copy->bytes.size()));
    if (extent == 0)
        return false;
    memcpy(copy->bytes.data(), descriptor, extent);
    copy->length = static_cast<uint32_t>(extent);
    return true;
}

bool EveryoneInDescriptor(ShareDescriptor* descriptor)
{
    descriptor->length = 0;
    SECURITY_DESCRIPTOR absolute{};
    DWORD size = static_cast<DWORD>(descriptor->bytes.size());
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&absolute, TRUE, nullptr, FALSE) ||
        !MakeSelfRelativeSD(&absolute, descriptor->bytes.data(), &size))
        return false;
    descriptor->length = static_cast<uint32_t>(SelfRelativeExtent(descriptor->bytes.data(), size));
    return descriptor->length > 0;
}

bool SameDescriptor(const ShareDescriptor& a, const ShareDescriptor& b)
{
    return a.length == b.length && a.length <= a.bytes.size() && memcmp(a.bytes.data(), b.bytes.data(), a.length) == 0;
}

bool CopyAccountSid(const void* sid, AccountSid* copy)
{
    copy->length = 0;
    if (!sid || !IsValidSid(const_cast<void*>(sid)))
        return false;
    const DWORD length = GetLengthSid(const_cast<void*>(sid));
    if (length > copy->bytes.size())
        return false;
    memcpy(copy->bytes.data(), sid, length);
    copy->length = length;
    return true;
}

bool AddDenyEntry(const ShareDescriptor& original, const AccountSid& sid, ShareDescriptor* denied)
{
    DescriptorParts parts{};
    if (!ValidSid(sid) || !ReadParts(original, &parts))
        return false;
    SID world{SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
    const bool everyoneIn = !parts.daclPresent || !parts.dacl;
    const DWORD oldSize = everyoneIn ? static_cast<DWORD>(sizeof(ACL)) : parts.dacl->AclSize;
    const DWORD size = oldSize + EntrySize(Sid(sid)) + (everyoneIn ? EntrySize(&world) : 0);
    std::array<BYTE, kShareDescriptorBytes> room{};
    if (size > room.size())
        return false;
    auto* dacl = reinterpret_cast<PACL>(room.data());
    const DWORD revision = everyoneIn ? ACL_REVISION : std::max<DWORD>(parts.dacl->AclRevision, ACL_REVISION);
    if (!InitializeAcl(dacl, size, revision) || !AddAccessDeniedAceEx(dacl, revision, 0, kShareDenyMask, Sid(sid)))
        return false;
    if (everyoneIn ? !AddAccessAllowedAceEx(dacl, revision, 0, kShareDenyMask, &world) : !CopyEntries(parts.dacl, dacl, -1))
        return false;
    return WriteParts(parts, dacl, denied);
}

bool RemoveDenyEntry(const ShareDescriptor& current, const AccountSid& sid, ShareDescriptor* restored)
{
    DescriptorParts parts{};
    if (!ValidSid(sid) || !ReadParts(current, &parts) || !parts.daclPresent)
        return false;
    const int ours = OurEntryIn(parts.dacl, Sid(sid));
    if (ours < 0)
        return false;
    std::array<BYTE, kShareDescriptorBytes> room{};
    auto* dacl = reinterpret_cast<PACL>(room.data());
    if (parts.dacl->AclSize > room.size() || !InitializeAcl(dacl, parts.dacl->AclSize, parts.dacl->AclRevision) ||
        !CopyEntries(parts.dacl, dacl, ours))
        return false;
    return WriteParts(parts, dacl, restored);
}

bool HoldsDenyEntry(const ShareDescriptor& descriptor, const AccountSid& sid)
{
    DescriptorParts parts{};
    return ValidSid(sid) && ReadParts(descriptor, &parts) && parts.daclPresent &&
           OurEntryIn(parts.dacl, Sid(sid)) >= 0;
}

bool MayDenyAccount(const AccountSid& sid, SID_NAME_USE use, const AccountSid& self)
{
    if (use != SidTypeUser || !ValidSid(sid))
        return false;
    for (WELL_KNOWN_SID_TYPE kind : {WinLocalSystemSid, WinLocalServiceSid, WinNetworkServiceSid,
                                     WinBuiltinAdministratorsSid, WinWorldSid, WinAuthenticatedUserSid})
        if (IsWellKnownSid(Sid(sid), kind))
            return false;
    if (ValidSid(self) && EqualSid(Sid(sid), Sid(self)))
        return false;
    // The built-in administrator of a machine or a domain: S-1-5-21-...-500.
    const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(Sid(sid));
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    const UCHAR count = *GetSidSubAuthorityCount(Sid(sid));
    return !(memcmp(authority, &nt, sizeof nt) == 0 && count >= 2 &&
             *GetSidSubAuthority(Sid(sid), 0) == SECURITY_NT_NON_UNIQUE &&
             *GetSidSubAuthority(Sid(sid), count - 1u) == DOMAIN_USER_RID_ADMIN);
}

void SidText(const AccountSid& sid, std::span<char> text)
{
    CopyText(text, "");
    char* converted = nullptr;
    if (!ValidSid(sid) || !ConvertSidToStringSidA(Sid(sid), &converted))
        return;
    CopyText(text, converted);
    LocalFree(converted);
}

void HexOf(std::span<const BYTE> bytes, std::span<char> text)
{
    constexpr char kDigits[] = "0123456789abcdef";
    if (text.empty())
        return;
    std::size_t at = 0;
    for (BYTE b : bytes) {
        if (at + 2 >= text.size())
            break;
        text[at++] = kDigits[b >> 4];
        text[at++] = kDigits[b & 15];
    }
    text[at] = '\0';
}

bool BytesOfHex(std::string_view hex, std::span<BYTE> bytes, uint32_t* length)
{
    *length = 0;
    if (hex.size() % 2 != 0 || hex.size() / 2 > bytes.size())
        return false;
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t k = 0; k < hex.size(); k += 2) {
        const int high = digit(hex[k]);
        const int low = digit(hex[k + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[k / 2] = static_cast<BYTE>(high * 16 + low);
    }
    *length = static_cast<uint32_t>(hex.size() / 2);
    return true;
}
