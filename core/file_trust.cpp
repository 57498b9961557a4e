#include "core/file_trust.h"

#include <aclapi.h>
#include <sddl.h>

#include <string_view>

#include "core/paths.h"
#include "core/text.h"

namespace {

// What lets someone other than the owner change a file or folder, or what is in it.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;
// Of a folder above: what lets someone remove or rename what is in it, or itself.
constexpr ACCESS_MASK kAncestorRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

constexpr char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1850970751-2399230110";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    return IsWellKnownSid(sid, type) != FALSE;
}

bool IsTrustedInstaller(PSID sid)
{
    PSID installer = nullptr;
    if (!ConvertStringSidToSidA(kTrustedInstaller, &installer))
        return false;
    const bool same = EqualSid(sid, installer) != FALSE;
    LocalFree(installer);
    return same;
}

bool IsTrustedOwner(PSID sid, PSID self)
{
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
           IsTrustedInstaller(sid) || (self && EqualSid(sid, self));
}

// An entry for the owner, through the owner's own SID, OWNER RIGHTS or CREATOR OWNER
// (which becomes whoever makes the file: SYSTEM, for what the service makes).
bool IsTrustedWriter(PSID sid, PSID owner)
{
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
           IsTrustedInstaller(sid) || IsWellKnown(sid, WinCreatorOwnerSid) ||
           IsWellKnown(sid, static_cast<WELL_KNOWN_SID_TYPE>(WinCreatorOwnerRightsSid)) || EqualSid(sid, owner);
}

void NameOf(PSID sid, std::span<char> who)
{
    std::array<char, 128> name{};
    std::array<char, 128> domain{};
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD domainSize = static_cast<DWORD>(domain.size());
    SID_NAME_USE use{};
    if (sid && LookupAccountSidA(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize, &use)) {
        if (domain[0] != '\0')
            FormatText(who, "%s\\%s", domain.data(), name.data());
        else
            CopyText(who, name.data());
        return;
    }
    char* text = nullptr;
    if (sid && ConvertSidToStringSidA(sid, &text)) {
        CopyText(who, text);
        LocalFree(text);
        return;
    }
    CopyText(who, "an unknown account");
}

TrustVerdict Fault(TrustFault fault, PSID sid)
{
    TrustVerdict verdict{fault, {}};
    NameOf(sid, verdict.who);
    return verdict;
}

bool EntryCounts(BYTE flags, TrustScope scope)
{
    if (!(flags & INHERIT_ONLY_ACE))
        return true;
    // A folder's files to come inherit its inheritable entries.
    return scope == TrustScope::FolderAndNewFiles && (flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
}

bool IsAllowing(BYTE type)
{
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

// A reparse point that names another place: a junction, a symbolic link, a mount
// point. Compressed, deduplicated and cloud files are reparse points of other kinds;
// one whose kind is not told is taken for a link.
bool IsLink(DWORD attributes, DWORD tag)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// By the handle: what the handle reached (a link itself, when opened not to follow).
bool HandleIsLink(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO information{};
    return GetFileInformationByHandleEx(file, FileAttributeTagInfo, &information, sizeof(information)) &&
           IsLink(information.FileAttributes, information.ReparseTag);
}

PathText guardedFolder;

// "C:\\a\\b" becomes "C:\\a", then "C:\\"; "\\\\S\\share\\a" becomes "\\\\S\\share". False at a root.
bool CutToParent(std::span<char> path)
{
    std::size_t length = std::string_view(path.data()).size();
    while (length > 3 && path[length - 1] == '\\')
        path[--length] = '\0';
    const std::string_view text(path.data(), length);
    std::size_t root = 3;  // "C:\\"
    if (text.substr(0, 2) == "\\\\") {
        const std::size_t server = text.find('\\', 2);
        root = server == std::string_view::npos ? length : text.find('\\', server + 1);
        if (root == std::string_view::npos)
            return false;
    }
    const std::size_t slash = text.rfind('\\');
    if (length <= root || slash == std::string_view::npos || slash < 2)
        return false;
    path[slash < root ? root : slash] = '\0';
    return true;
}

}  // namespace

TrustVerdict JudgeSecurity(PSECURITY_DESCRIPTOR security, PSID self, TrustScope scope)
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!security || !GetSecurityDescriptorOwner(security, &owner, &defaulted) || !owner)
        return {TrustFault::Unreadable, {}};
    if (!IsTrustedOwner(owner, self))
        return Fault(TrustFault::Owner, owner);
    BOOL present = FALSE;
    PACL access = nullptr;
    if (!GetSecurityDescriptorDacl(security, &present, &access, &defaulted))
        return {TrustFault::Unreadable, {}};
    if (!present || !access) {  // no access list at all: everyone may do anything
        TrustVerdict verdict{TrustFault::Writer, {}};
        CopyText(verdict.who, "Everyone");
        return verdict;
    }
    const ACCESS_MASK rights = scope == TrustScope::FolderAbove ? kAncestorRights : kChangeRights;
    for (DWORD index = 0; index < access->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(access, index, &entry))
            return {TrustFault::Unreadable, {}};
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (!EntryCounts(header->AceFlags, scope))
            continue;
        if (!IsAllowing(header->AceType))
            continue;  // denials, audits and labels give no one anything
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
            // An allowing entry of a kind files do not use: its trustee is not read here.
            TrustVerdict verdict{TrustFault::Writer, {}};
            CopyText(verdict.who, "an access entry of an unusual kind");
            return verdict;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        auto* sid = reinterpret_cast<PSID>(const_cast<DWORD*>(&allowed->SidStart));
        if ((allowed->Mask & rights) && !IsTrustedWriter(sid, owner))
            return Fault(TrustFault::Writer, sid);
    }
    return {TrustFault::None, {}};
}

TrustVerdict JudgePath(const char* path, TrustScope scope)
{
    TrustVerdict link{TrustFault::Link, {}};
    if (IsLinkPath(path))
        return link;
    const HANDLE file = CreateFileA(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {TrustFault::Unreadable, {}};
    if (HandleIsLink(file)) {
        CloseHandle(file);
        return link;
    }
    PSECURITY_DESCRIPTOR security = nullptr;
    const DWORD read = GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &security);
    CloseHandle(file);
    if (read != ERROR_SUCCESS)
        return {TrustFault::Unreadable, {}};
    const TrustVerdict verdict = JudgeSecurity(security, ProcessAccount(), scope);
    LocalFree(security);
    return verdict;
}

TrustVerdict JudgePathAndAncestors(const char* path, TrustScope scope, std::span<char> failed)
{
    CopyText(failed, path);
    TrustVerdict verdict = JudgePath(path, scope);
    std::array<char, kFormatCapacity> above{};
    CopyText(above, path);
    while (verdict.fault == TrustFault::None && CutToParent(above)) {
        verdict = JudgePath(above.data(), TrustScope::FolderAbove);
        CopyText(failed, above.data());
    }
    if (verdict.fault == TrustFault::None)
        CopyText(failed, "");
    return verdict;
}

bool IsLinkPath(const char* path)
{
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return IsLink(found.dwFileAttributes, found.dwReserved0);
}

bool IsLinkEntry(const WIN32_FIND_DATAA& entry)
{
    return IsLink(entry.dwFileAttributes, entry.dwReserved0);
}

void GuardFolder(const char* folder)
{
    CopyText(guardedFolder, folder ? folder : "");
}

HANDLE CreateGuardedFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes)
{
    const std::string_view guarded(guardedFolder.data());
    const std::string_view wanted(path);
    const bool under = !guarded.empty() && wanted.size() > guarded.size() && wanted[guarded.size()] == '\\' &&
                       CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, wanted.data(), static_cast<int>(guarded.size()),
                                      guarded.data(), static_cast<int>(guarded.size())) == CSTR_EQUAL;
    if (!under)
        return CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
    // Every folder between the guarded one and the file, and the file itself.
    std::array<char, kFormatCapacity> part{};
    CopyText(part, wanted);
    for (std::size_t at = guarded.size() + 1; at <= wanted.size(); ++at) {
        if (at < wanted.size() && wanted[at] != '\\')
            continue;
        part[at] = '\0';
        const bool link = IsLinkPath(part.data());
        part[at] = at < wanted.size() ? '\\' : '\0';
        if (link) {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return INVALID_HANDLE_VALUE;
        }
    }
    const HANDLE file =
        CreateFileA(path, access, share, nullptr, disposition, attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE && HandleIsLink(file)) {
        CloseHandle(file);
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

PSID ProcessAccount()
{
    static std::array<BYTE, SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)> user = [] {
        std::array<BYTE, SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)> read{};
        HANDLE token = nullptr;
        DWORD size = 0;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            GetTokenInformation(token, TokenUser, read.data(), static_cast<DWORD>(read.size()), &size);
            CloseHandle(token);
        }
        return read;
    }();
    return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

void DescribeVerdict(const TrustVerdict& verdict, std::span<char> text)
{
    switch (verdict.fault) {
    case TrustFault::None: CopyText(text, "trusted"); break;
    case TrustFault::Owner: FormatText(text, "owned by %s", verdict.who.data()); break;
    case TrustFault::Writer: FormatText(text, "writable by %s", verdict.who.data()); break;
    case TrustFault::Link: CopyText(text, "a link to another place"); break;
    case TrustFault::Unreadable: CopyText(text, "of a security that cannot be read"); break;
    }
}
