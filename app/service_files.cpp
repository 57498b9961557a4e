#include "app/service_files.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/file_trust.h"
#include "core/settings.h"
#include "core/text.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarder.h"
#include "engine/history/history_store.h"
#include "engine/watch/server_list.h"
#include "engine/watch/share_denies.h"
#include "rules/tripwires.h"

namespace {

// SYSTEM and the administrators, full control, inherited by every file and folder
// inside; nothing inherited from ProgramData, whose users may create files.
constexpr char kServiceFolderSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Taken over: owned by the Administrators, the folder with the list above, what is
// inside with nothing of its own (it inherits the folder's).
constexpr char kTakenFolderSecurity[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr char kTakenInsideSecurity[] = "O:BAD:";

// The sections carried over whole, as the lists' and rules' modules name them.
// Forwarding goes too: the service forwards once it watches, and the program no longer does.
constexpr std::array<const char*, 7> kCarriedSections = {"blacklist",     "whitelist",     kTripwiresSection,
                                                         kTrippedSection, kServersSection, kForwardSection,
                                                         kHistorySection};
// Of [main], the keys that are the engine's; the rest are the window's own.
constexpr std::array<const SettingKey*, 5> kCarriedMainKeys = {&kBlockModeKey, &kSaveSessKey, &kSaveFilesKey,
                                                               &kSaveLogsKey, &kSaveCsvLogsKey};

// A section's lines, "key=value", each ended by a zero, the last by two. Larger than
// any list the program writes (256 names, 32 bait patterns) many times over.
constexpr std::size_t kSectionCapacity = 65536;
std::array<char, kSectionCapacity> sectionText;
std::array<char, kSectionCapacity> mainText;

constexpr char kCarriedFrom[] = "Carried over from %s to %s:";
constexpr char kCarriedSection[] = "  [%s]: %d %s%s";
constexpr char kSectionAbsent[] = "  [%s]: not in the user's settings file";
constexpr char kSectionTooLarge[] = "  [%s]: NOT carried over: larger than %d KiB";
constexpr char kSectionNotWritten[] = "  [%s]: NOT carried over: %s cannot be written (error %lu)";
constexpr char kMainCarried[] = "  [main]:%s";
constexpr char kMainAbsent[] = "  [main]: no block mode or log setting in the user's settings file";
constexpr char kNoUserSettings[] =
    "No settings file at %s: the service starts with empty lists and the default settings.";
constexpr char kServiceSettingsKept[] = "The service's settings file %s is there already: nothing carried over from %s.";

bool FileExists(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string_view WithoutBlanks(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One of a section's lines, split at its first '=', blanks around each part dropped
// as the profile functions drop them; false for a line without one.
bool SplitLine(std::string_view line, std::span<char> key, std::span<char> value)
{
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return false;
    CopyText(key, WithoutBlanks(line.substr(0, equals)));
    CopyText(value, WithoutBlanks(line.substr(equals + 1)));
    return true;
}

// Calls `take` with each of a section's lines.
template <typename Take>
void ForEachLine(std::span<const char> text, Take take)
{
    std::string_view rest(text.data(), text.size());
    while (!rest.empty() && rest.front() != '\0') {
        const std::string_view line = rest.substr(0, rest.find('\0'));
        take(line);
        rest.remove_prefix(std::min(line.size() + 1, rest.size()));
    }
}

// The section's lines into `text`; the number read, 0 for none, or -1 when it does not fit.
int ReadSectionLines(const char* file, const char* section, std::span<char> text)
{
    const DWORD size = static_cast<DWORD>(text.size());
    const DWORD read = GetPrivateProfileSectionA(section, text.data(), size, file);
    if (read >= size - 2)
        return -1;
    int lines = 0;
    for (std::string_view rest(text.data(), read); !rest.empty();) {
        const std::size_t end = rest.find('\0');
        ++lines;
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return lines;
}

// The value of a section's count key, for the report; empty when it has none.
std::array<char, 32> CountOf(std::span<const char> text)
{
    std::array<char, 32> count{};
    ForEachLine(text, [&count](std::string_view line) {
        std::array<char, 16> key{};
        std::array<char, 32> value{};
        if (SplitLine(line, key, value) && lstrcmpiA(key.data(), "count") == 0)
            count = value;
    });
    return count;
}

bool CarrySection(const char* userFile, const char* serviceFile, const char* section, SayLine say)
{
    const int lines = ReadSectionLines(userFile, section, sectionText);
    if (lines < 0) {
        SayFormatted(say, kSectionTooLarge, section, static_cast<int>(kSectionCapacity / 1024));
        return false;
    }
    if (lines == 0) {
        SayFormatted(say, kSectionAbsent, section);
        return true;
    }
    if (!WritePrivateProfileSectionA(section, sectionText.data(), serviceFile)) {
        SayFormatted(say, kSectionNotWritten, section, serviceFile, GetLastError());
        return false;
    }
    std::array<char, 64> count{};
    const std::array<char, 32> value = CountOf(sectionText);
    if (value[0] != '\0')
        FormatText(count, ", count=%s", value.data());
    SayFormatted(say, kCarriedSection, section, lines, lines == 1 ? "line" : "lines", count.data());
    return true;
}

// Of [main], only the engine's keys the user's file holds; the others keep their defaults.
bool CarryMainKeys(const char* userFile, const char* serviceFile, SayLine say)
{
    const int lines = ReadSectionLines(userFile, kMainSection, mainText);
    if (lines < 0) {
        SayFormatted(say, kSectionTooLarge, kMainSection, static_cast<int>(kSectionCapacity / 1024));
        return false;
    }
    std::array<char, kFormatCapacity> carried{};
    bool written = true;
    ForEachLine(std::span<const char>(mainText.data(), lines > 0 ? mainText.size() : 0), [&](std::string_view line) {
        std::array<char, 64> key{};
        std::array<char, 256> value{};
        if (!SplitLine(line, key, value))
            return;
        for (const SettingKey* setting : kCarriedMainKeys) {
            if (lstrcmpiA(key.data(), setting->key) != 0)
                continue;
            if (!WritePrivateProfileStringA(kMainSection, setting->key, value.data(), serviceFile)) {
                SayFormatted(say, kSectionNotWritten, kMainSection, serviceFile, GetLastError());
                written = false;
            }
            std::array<char, 320> item{};
            FormatText(item, " %s=%s", setting->key, value.data());
            AppendText(carried, item.data());
        }
    });
    if (carried[0] == '\0')
        say(kMainAbsent);
    else
        SayFormatted(say, kMainCarried, carried.data());
    return written;
}

// ---- The service's folder ----

constexpr char kSettingsFileName[] = "quorvel.ini";
constexpr char kLastGoodName[] = "quorvel.ini.good";
constexpr char kLogsFolderName[] = "quorvel_logs";
constexpr char kSetAsideMark[] = ".untrusted-";
// The service's own tree is two folders deep (its logs, and a watched server's): one
// deeper was made by someone else, and is not walked.
constexpr int kDeepestFolder = 8;

constexpr char kFolderTaken[] = "The service's folder %s was %s: it is the service's now, kept to SYSTEM and "
                                "the Administrators.";
constexpr char kSetAside[] = "Set aside %s as %s: it is %s, and is not used.";
constexpr char kNotSetAside[] = "%s is %s and could not be set aside (error %lu).";
constexpr char kNotTaken[] = "%s could not be given to the Administrators (error %lu).";
constexpr char kLinkFound[] = "%s is a link to another place: Quorvel never follows, moves or removes a link it did "
                              "not make.";
constexpr char kLinksRefused[] = "Nothing was installed: remove the link (rmdir for a folder, del for a file), then "
                                 "install again.";
// ".untrusted-20261209-183000-9" and its terminator.
constexpr std::size_t kSetAsideRoom = 32;
constexpr char kTooLong[] = "%s holds an entry whose path is too long to be looked at (%s): it is not used.";
constexpr char kTooDeep[] = "%s is deeper than the service's own folders: it is not looked into.";
constexpr char kReserveUsed[] = "The service does not use %s while a link is in it: it keeps its settings and logs "
                                "in %s until the link is gone.";
constexpr char kHoldsLink[] = "it holds a link to another place";
constexpr char kLastGoodUsed[] = "The service watches with its last good settings, %s.";
constexpr char kDefaultsUsed[] = "The service watches with the default settings: empty lists, no tripwires, no "
                                 "servers, no forwarding.";
constexpr char kWithLastGood[] = "its last good settings";
constexpr char kWithDefaults[] = "the default settings";

void EnableTakeOverPrivileges()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    // Taking ownership, and setting an owner and access list whatever the old list says.
    for (const char* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME}) {
        TOKEN_PRIVILEGES privilege{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueA(nullptr, name, &privilege.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privilege, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

void NoteFirst(FolderFindings& findings, const char* format, auto... values)
{
    if (findings.first[0] == '\0')
        FormatText(findings.first, format, values...);
}

// "quorvel.ini" becomes "quorvel.ini.untrusted-20261209-183000", or with "-2" and on
// when that is taken. Only files and folders: no link is in the tree by now.
bool SetAside(const char* path, const char* why, SayLine say, FolderFindings& findings)
{
    const SYSTEMTIME now = LocalTimeNow();
    PathText aside{};
    for (int attempt = 1; attempt <= 9; ++attempt) {
        FormatText(aside, attempt == 1 ? "%s%s%04u%02u%02u-%02u%02u%02u" : "%s%s%04u%02u%02u-%02u%02u%02u-%d", path,
                   kSetAsideMark, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, attempt);
        if (MoveFileExA(path, aside.data(), 0))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt == 9) {
            SayFormatted(say, kNotSetAside, path, why, GetLastError());
            return false;
        }
    }
    SayFormatted(say, kSetAside, path, aside.data(), why);
    ReportProductEvent(QUORVEL_EVENT_SET_ASIDE, {path, aside.data(), why});
    ++findings.setAside;
    NoteFirst(findings, kSetAside, path, aside.data(), why);
    return true;
}

// Owned by the Administrators; the top folder with the service's protected access
// list, everything inside inheriting it. Opened not to follow a link.
bool TakeOver(const char* path, bool top)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(top ? kTakenFolderSecurity : kTakenInsideSecurity,
                                                              SDDL_REVISION_1, &security, nullptr))
        return false;
    PSID owner = nullptr;
    PACL access = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(security, &owner, &defaulted);
    GetSecurityDescriptorDacl(security, &present, &access, &defaulted);
    const HANDLE file = CreateFileA(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD result = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (result == ERROR_SUCCESS) {
        const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                          (top ? PROTECTED_DACL_SECURITY_INFORMATION
                                               : UNPROTECTED_DACL_SECURITY_INFORMATION);
        result = SetSecurityInfo(file, SE_FILE_OBJECT, what, owner, nullptr, access, nullptr);
        CloseHandle(file);
    }
    LocalFree(security);
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

bool IsNamed(const char* name, const char* wanted)
{
    return lstrcmpiA(name, wanted) == 0;
}

bool IsSetAside(const WIN32_FIND_DATAA& entry)
{
    return std::string_view(entry.cFileName).find(kSetAsideMark) != std::string_view::npos;
}

bool IsFolderEntry(const WIN32_FIND_DATAA& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Each entry of `folder`, files and folders, "." and ".." left out; `visit` is given
// its whole path and what the listing says of it. An entry whose path (with the mark
// of one set aside) would not fit is left out and said: a path cut short would name
// another entry.
template <typename Visit>
void ForEachEntry(const char* folder, SayLine say, Visit visit)
{
    PathText pattern{};
    FormatText(pattern, "%s\\*", folder);
    WIN32_FIND_DATAA entry{};
    const HANDLE search = FindFirstFileA(pattern.data(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsNamed(entry.cFileName, ".") || IsNamed(entry.cFileName, ".."))
            continue;
        PathText path{};
        const std::size_t length = std::string_view(folder).size() + 1 + std::string_view(entry.cFileName).size();
        if (length + kSetAsideRoom >= path.size()) {
            SayFormatted(say, kTooLong, folder, entry.cFileName);
            continue;
        }
        FormatText(path, "%s\\%s", folder, entry.cFileName);
        visit(path.data(), entry);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

// Every link under `folder`, each said; how many. Links are never walked into.
int32_t SayLinks(const char* folder, int depth, SayLine say)
{
    int32_t links = 0;
    ForEachEntry(folder, say, [&](const char* path, const WIN32_FIND_DATAA& entry) {
        if (IsLinkEntry(entry)) {
            SayFormatted(say, kLinkFound, path);
            ++links;
        } else if (IsFolderEntry(entry) && depth + 1 < kDeepestFolder) {
            links += SayLinks(path, depth + 1, say);
        } else if (IsFolderEntry(entry)) {
            SayFormatted(say, kTooDeep, path);
        }
    });
    return links;
}

// Inside a folder with no link in it: what someone else made or may change set aside.
// With `whole`, every file and folder is judged and taken over (a folder someone else
// made is taken over, its files judged one by one); otherwise (each start of a folder
// that is the service's) the settings file, its last good copy and the log folders.
void SecureInside(const char* folder, int depth, bool whole, SayLine say, FolderFindings& findings)
{
    ForEachEntry(folder, say, [&](const char* path, const WIN32_FIND_DATAA& entry) {
        const bool isFolder = IsFolderEntry(entry);
        if (IsSetAside(entry) || IsLinkEntry(entry) || (isFolder && depth + 1 >= kDeepestFolder))
            return;  // nothing reads it
        // The denies' journal says what the service writes to the shares: trusted as the settings are.
        const bool judged = whole || (depth == 0 && (IsNamed(entry.cFileName, kSettingsFileName) ||
                                                     IsNamed(entry.cFileName, kLastGoodName) ||
                                                     IsNamed(entry.cFileName, kDenyJournalName))) ||
                            (isFolder && (depth > 0 || IsNamed(entry.cFileName, kLogsFolderName)));
        if (judged) {
            const TrustVerdict verdict =
                JudgePath(path, isFolder ? TrustScope::FolderAndNewFiles : TrustScope::FileOnly);
            if (verdict.fault != TrustFault::None && (!isFolder || !whole)) {
                std::array<char, 256> why{};
                DescribeVerdict(verdict, why);
                if (SetAside(path, why.data(), say, findings) && depth == 0 &&
                    IsNamed(entry.cFileName, kSettingsFileName))
                    findings.settingsSetAside = true;
                return;
            }
            if (whole && !TakeOver(path, false))
                SayFormatted(say, kNotTaken, path, GetLastError());
        }
        if (isFolder)
            SecureInside(path, depth + 1, whole, say, findings);
    });
}

// A folder with no link in or under it: made when missing; one that is not the
// service's taken over whole, and with `whole` in any case.
bool SecureFolder(const char* folder, bool whole, SayLine say, FolderFindings& findings)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceFolderSecurity, SDDL_REVISION_1, &security,
                                                              nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security, FALSE};
    const bool made = CreateDirectoryA(folder, &attributes) != FALSE;
    const DWORD error = made ? ERROR_SUCCESS : GetLastError();
    LocalFree(security);
    if (!made && error != ERROR_ALREADY_EXISTS) {
        SetLastError(error);
        return false;
    }
    if (!made) {
        const TrustVerdict verdict = JudgePath(folder, TrustScope::FolderAndNewFiles);
        if (verdict.fault != TrustFault::None) {
            std::array<char, 256> why{};
            DescribeVerdict(verdict, why);
            SayFormatted(say, kFolderTaken, folder, why.data());
            ReportProductEvent(QUORVEL_EVENT_FOLDER_NOT_TRUSTED, {folder, why.data()});
            findings.folderTakenOver = true;
            NoteFirst(findings, kFolderTaken, folder, why.data());
            whole = true;
        }
        if (whole && !TakeOver(folder, true))
            return false;
        SecureInside(folder, 0, whole, say, findings);
    }
    // The logs' folder, inheriting the folder's list.
    PathText logs{};
    FormatText(logs, "%s\\%s", folder, kLogsFolderName);
    return CreateDirectoryA(logs.data(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool HoldsLink(const char* folder, SayLine say)
{
    if (IsLinkPath(folder)) {
        SayFormatted(say, kLinkFound, folder);
        return true;
    }
    return SayLinks(folder, 0, say) > 0;
}

// The last good copy of the settings is kept in the reserve, where no one but SYSTEM
// and the Administrators may write: a settings file that is trusted is copied there at
// each start; one set aside, or none in the reserve when the service first falls back
// to it, is replaced by that copy, or the defaults hold.
void KeepLastGoodSettings(const char* settingsFile, const char* reserve, bool inReserve, SayLine say,
                          FolderFindings& findings)
{
    PathText lastGood{};
    if (reserve[0] != '\0')
        FormatText(lastGood, "%s\\%s", reserve, kLastGoodName);
    const bool replace = findings.settingsSetAside || (inReserve && !FileExists(settingsFile));
    if (!replace) {
        if (!inReserve && lastGood[0] != '\0' && FileExists(settingsFile)) {
            DeleteFileA(lastGood.data());  // made anew, so that it inherits the reserve's list
            CopyFileA(settingsFile, lastGood.data(), TRUE);
        }
        return;
    }
    const bool restored = lastGood[0] != '\0' && FileExists(lastGood.data()) &&
                          JudgePath(lastGood.data(), TrustScope::FileOnly).fault == TrustFault::None &&
                          CopyFileA(lastGood.data(), settingsFile, TRUE);
    if (restored)
        SayFormatted(say, kLastGoodUsed, lastGood.data());
    else
        say(kDefaultsUsed);
    ReportProductEvent(QUORVEL_EVENT_SETTINGS_REFUSED,
                       {settingsFile, findings.first.data(), restored ? kWithLastGood : kWithDefaults});
}

}  // namespace

PathText QuorvelFolderIn(int shellFolder)
{
    PathText folder{};
    std::array<char, MAX_PATH> path{};
    if (SUCCEEDED(SHGetFolderPathA(nullptr, shellFolder, nullptr, SHGFP_TYPE_CURRENT, path.data())) && path[0] != '\0')
        FormatText(folder, "%s\\Quorvel", path.data());
    return folder;
}

PathText ServiceFilesFolder()
{
    return QuorvelFolderIn(CSIDL_COMMON_APPDATA);
}

PathText ServiceReserveFolder()
{
    return QuorvelFolderIn(CSIDL_LOCAL_APPDATA);
}

bool TakeOverServiceFolder(const char* folder, SayLine say, FolderFindings* findings)
{
    *findings = {};
    if (!folder || folder[0] == '\0')
        return false;
    if (HoldsLink(folder, say)) {
        say(kLinksRefused);
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return false;
    }
    EnableTakeOverPrivileges();
    return SecureFolder(folder, true, say, *findings);
}

bool UseServiceFolder(const char* folder, const char* reserve, SayLine say, FolderFindings* findings)
{
    *findings = {};
    if (!folder || folder[0] == '\0' || !reserve)
        return false;
    EnableTakeOverPrivileges();
    // The reserve first, the last good copy's place: a reserve with a link in it is none.
    PathText reserveInUse{};
    if (reserve[0] != '\0' && !HoldsLink(reserve, say) && SecureFolder(reserve, false, say, *findings))
        CopyText(reserveInUse, reserve);
    const char* used = folder;
    if (HoldsLink(folder, say)) {
        // Nothing in it is touched: moving or removing a link can act on what it leads to.
        if (reserveInUse[0] == '\0') {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return false;
        }
        SayFormatted(say, kReserveUsed, folder, reserve);
        ReportProductEvent(QUORVEL_EVENT_FOLDER_NOT_TRUSTED, {folder, kHoldsLink});
        NoteFirst(*findings, kReserveUsed, folder, reserve);
        findings->inReserve = true;
        used = reserve;
    }
    if (!findings->inReserve && !SecureFolder(used, false, say, *findings))
        return false;
    GuardFolder(used);
    PathText settingsFile{};
    FormatText(settingsFile, "%s\\%s", used, kSettingsFileName);
    KeepLastGoodSettings(settingsFile.data(), reserveInUse.data(), findings->inReserve, say, *findings);
    UseSettingsFile(settingsFile.data());
    FormatText(engineState.logFolder, "%s\\%s\\", used, kLogsFolderName);
    engineState.local.logs.folder = &engineState.logFolder;
    return true;
}

CarryOverResult CarryOverUserSettings(const char* userFile, const char* serviceFile, SayLine say)
{
    if (FileExists(serviceFile)) {
        SayFormatted(say, kServiceSettingsKept, serviceFile, userFile);
        return ServiceSettingsKept;
    }
    if (!FileExists(userFile)) {
        SayFormatted(say, kNoUserSettings, userFile);
        return NoUserSettings;
    }
    SayFormatted(say, kCarriedFrom, userFile, serviceFile);
    bool whole = true;
    for (const char* section : kCarriedSections)
        whole = CarrySection(userFile, serviceFile, section, say) && whole;
    whole = CarryMainKeys(userFile, serviceFile, say) && whole;
    return whole ? CarriedOver : CarryOverFailed;
}
