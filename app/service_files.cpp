#include "app/service_files.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "core/settings.h"
#include "core/text.h"
#include "engine/engine_state.h"
#include "engine/forwarder.h"
#include "engine/history_store.h"
#include "engine/server_list.h"
#include "rules/tripwires.h"

namespace {

// SYSTEM and the administrators, full control, inherited by every file and folder
// inside; nothing inherited from ProgramData, whose users may create files.
constexpr char kServiceFolderSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

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

}  // namespace

PathText ServiceFilesFolder()
{
    PathText folder{};
    std::array<char, MAX_PATH> path{};
    if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path.data())) &&
        path[0] != '\0')
        FormatText(folder, "%s\\Quorvel", path.data());
    return folder;
}

bool PrepareServiceFolder(const char* folder, bool restrictExisting)
{
    if (!folder || folder[0] == '\0')
        return false;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceFolderSecurity, SDDL_REVISION_1, &security,
                                                              nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security, FALSE};
    bool ready = CreateDirectoryA(folder, &attributes) != FALSE;
    if (!ready && GetLastError() == ERROR_ALREADY_EXISTS) {
        ready = true;
        PACL access = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        if (restrictExisting) {
            ready = GetSecurityDescriptorDacl(security, &present, &access, &defaulted) &&
                    SetNamedSecurityInfoA(const_cast<char*>(folder), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, access, nullptr) == ERROR_SUCCESS;
        }
    }
    LocalFree(security);
    return ready;
}

bool UseServiceFolder(const char* folder)
{
    if (!PrepareServiceFolder(folder, false))
        return false;
    PathText settingsFile{};
    FormatText(settingsFile, "%s\\quorvel.ini", folder);
    UseSettingsFile(settingsFile.data());
    FormatText(engineState.logFolder, "%s\\quorvel_logs\\", folder);
    CreateDirectoryA(engineState.logFolder.data(), nullptr);
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
