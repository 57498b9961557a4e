#include "blocking/computer_list.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/settings.h"
#include "blocking/tripwires.h"
#include "core/text.h"
#include "monitor/server_api.h"

namespace {

constexpr std::size_t kNameTextCapacity = 256;  // what a caller may hand in, terminator included
constexpr int32_t kMostKeysRead = 1024;

struct ListSection {
    ComputerList* list;
    const char* section;
};

void FreeSlot(ComputerList& list, BlockEntry& entry)
{
    entry.inUse = 0;
    if (&list == &appState.blacklist)
        --appState.blacklistInUse;
}

std::wstring_view NameWithoutBackslashes(const BlockEntry& entry)
{
    const std::wstring_view name(entry.name.data());
    return name.size() >= 2 ? name.substr(2) : std::wstring_view();
}

// The block ticks that passed since the last timer call: one, or more when the timer
// came late (a loaded machine delivers it late), so that a minute's block ends after
// a minute of the clock, not after 600 calls.
int32_t TicksSinceLastCall()
{
    const ULONGLONG now = MillisecondsNow();
    if (appState.blockTicksCounted == 0)
        appState.blockTicksCounted = now - kBlockTickMs;
    const auto behind = static_cast<LONGLONG>(now - appState.blockTicksCounted);
    int32_t ticks = 1;
    if (behind >= 2 * static_cast<LONGLONG>(kBlockTickMs))
        ticks = static_cast<int32_t>(std::min<LONGLONG>(behind / kBlockTickMs, INT32_MAX));
    appState.blockTicksCounted += static_cast<ULONGLONG>(ticks) * kBlockTickMs;
    return ticks;
}

// Temporary entries count down first on a tick; one that expires on it is not enforced on it.
void CountDownTemporaryBlocks(int32_t ticks)
{
    ComputerList& list = appState.blacklist;
    for (BlockEntry& entry : list) {
        if (!entry.inUse || entry.ticksLeft == kPermanent)
            continue;
        entry.ticksLeft = entry.ticksLeft > ticks ? entry.ticksLeft - ticks : 0;
        if (entry.ticksLeft == 0)
            FreeSlot(list, entry);
    }
}

// Case A: the blacklist in force.
void EnforceBlacklist(std::span<const SESSION_INFO_0> sessions)
{
    ComputerList& list = appState.blacklist;
    for (const SESSION_INFO_0& session : sessions) {
        const std::wstring_view client = WideOrEmpty(session.sesi0_cname);
        int32_t examined = 0;
        for (const BlockEntry& entry : list) {
            if (examined >= appState.blacklistInUse)
                break;
            if (!entry.inUse)
                continue;
            ++examined;
            if (EntryMatchesClient(entry, client))
                DeleteServerSession(entry.name.data(), nullptr);
        }
    }
}

// Case C: the whitelist in force. Every session of a computer it does not name goes.
void EnforceWhitelist(std::span<const SESSION_INFO_0> sessions)
{
    const ComputerList& list = appState.whitelist;
    const auto allowed = static_cast<int32_t>(
        std::count_if(list.begin(), list.end(), [](const BlockEntry& entry) { return entry.inUse != 0; }));
    if (allowed == 0)
        return;  // an empty whitelist blocks nobody
    for (const SESSION_INFO_0& session : sessions) {
        const std::wstring_view client = WideOrEmpty(session.sesi0_cname);
        int32_t examined = 0;
        bool isAllowed = false;
        for (const BlockEntry& entry : list) {
            if (examined >= allowed)
                break;
            if (!entry.inUse)
                continue;
            ++examined;
            if (EntryMatchesClient(entry, client)) {
                isAllowed = true;
                break;
            }
        }
        if (isAllowed || client.size() + 3 > kClientNameUnits)
            continue;
        std::array<wchar_t, kClientNameUnits> name{};
        name[0] = name[1] = L'\\';
        CopyWideText(std::span(name).subspan(2), client);
        DeleteServerSession(name.data(), nullptr);
    }
}

void LoadList(ComputerList& list, const char* section)
{
    // A hand-edited count of millions would hold up the start for minutes: past a
    // few times the slots, keys are not read.
    const int32_t count = std::min(ReadSettingInt(section, "count", 0), kMostKeysRead);
    for (int32_t k = 0; k < count; ++k) {
        // Keys past a full list could change nothing.
        if (std::none_of(list.begin(), list.end(), [](const BlockEntry& entry) { return entry.inUse == 0; }))
            break;
        std::array<char, 16> key{};
        FormatText(key, "comp%d", k);
        std::array<char, kNameTextCapacity> name{};
        ReadSettingText(section, key.data(), "", name);
        AddComputer(list, name.data(), kPermanent);
    }
}

void SaveList(const ComputerList& list, const char* section)
{
    int32_t k = 0;
    for (const BlockEntry& entry : list) {
        if (!entry.inUse || entry.ticksLeft != kPermanent)
            continue;
        std::array<char, 16> key{};
        FormatText(key, "comp%d", k);
        std::array<char, kNameTextCapacity> name{};
        AnsiFromWide(name, entry.name.data() + 2);
        WriteSettingText(section, key.data(), name.data());
        ++k;
    }
    WriteSettingInt(section, "count", k);
}

}  // namespace

ComputerList& ActiveComputerList()
{
    return appState.blockMode ? appState.whitelist : appState.blacklist;
}

bool IsForbiddenClient(std::wstring_view client)
{
    if (IsTripped(client))
        return true;
    const auto matches = [client](const BlockEntry& entry) { return entry.inUse && EntryMatchesClient(entry, client); };
    if (appState.blockMode) {
        const bool any = std::any_of(appState.whitelist.begin(), appState.whitelist.end(),
                                     [](const BlockEntry& entry) { return entry.inUse != 0; });
        return any && std::none_of(appState.whitelist.begin(), appState.whitelist.end(), matches);
    }
    return std::any_of(appState.blacklist.begin(), appState.blacklist.end(), matches);
}

bool EntryMatchesClient(const BlockEntry& entry, std::wstring_view client)
{
    return EqualsIgnoringAsciiCase(NameWithoutBackslashes(entry), client);
}

namespace {

// Blanks around a name are dropped, as the settings file drops them when it is read
// back. A name with a control character or a quote is no computer's, and would not
// come back whole from the settings file; neither would an empty one.
std::wstring_view UsableComputerName(std::wstring_view text)
{
    while (!text.empty() && text.front() == L' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == L' ')
        text.remove_suffix(1);
    const bool usable = std::none_of(text.begin(), text.end(), [](wchar_t c) {
        return c < 0x20 || c == 0x7F || c == L'"';
    });
    return usable ? text : std::wstring_view();
}

}  // namespace

bool AddComputer(ComputerList& list, const char* name, int32_t ticks)
{
    // Converted into more room than a slot has, so that a name too long for it is
    // seen whole and refused rather than cut into some other computer's name.
    std::array<wchar_t, kNameTextCapacity + 2> wide{};
    WideFromAnsi(wide, name ? name : "");
    return AddComputerWide(list, wide.data(), ticks);
}

bool AddComputerWide(ComputerList& list, const wchar_t* name, int32_t ticks)
{
    const auto slot =
        std::find_if(list.begin(), list.end(), [](const BlockEntry& entry) { return entry.inUse == 0; });
    const std::wstring_view usable = UsableComputerName(WideOrEmpty(name));
    if (slot == list.end() || usable.empty() || usable.size() > kMaxComputerName)
        return false;
    slot->name = {};
    slot->name[0] = slot->name[1] = L'\\';
    for (std::size_t i = 0; i < usable.size(); ++i) {
        const wchar_t c = usable[i];
        slot->name[i + 2] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    slot->inUse = 1;
    slot->needsRow = 0;
    slot->ticksLeft = ticks;
    if (&list == &appState.blacklist)
        ++appState.blacklistInUse;
    return true;
}

void RemoveComputer(ComputerList& list, const char* name)
{
    std::array<wchar_t, kNameTextCapacity> wanted{};
    WideFromAnsi(wanted, name);
    for (BlockEntry& entry : list) {
        if (entry.inUse && std::wstring_view(entry.name.data()) == std::wstring_view(wanted.data()))
            FreeSlot(list, entry);
    }
}

void LoadComputerLists()
{
    LoadList(appState.blacklist, "blacklist");
    LoadList(appState.whitelist, "whitelist");
}

void SaveComputerLists()
{
    SaveList(appState.blacklist, "blacklist");
    SaveList(appState.whitelist, "whitelist");
    WriteSetting(kBlockModeKey, appState.blockMode);
}

namespace {

// Only a list that can forbid someone costs an enumeration: an empty blacklist or
// whitelist and no tripped computer leave the server alone.
void EnforceActiveList()
{
    appState.lastEnforcement = MillisecondsNow();
    const bool whitelist = appState.blockMode != 0 && std::any_of(appState.whitelist.begin(), appState.whitelist.end(),
                                                                 [](const BlockEntry& e) { return e.inUse != 0; });
    const bool blacklist = appState.blockMode == 0 && appState.blacklistInUse != 0;
    const bool tripped = AnyTrippedComputer();
    if (!whitelist && !blacklist && !tripped)
        return;
    Enumeration<SESSION_INFO_0> sessions;
    EnumerateSessions0(&sessions);
    if (whitelist)
        EnforceWhitelist(sessions.Records());
    if (blacklist)
        EnforceBlacklist(sessions.Records());
    if (tripped)
        EnforceTrippedComputers(sessions.Records());
}

}  // namespace

void CALLBACK OnBlockTick(HWND, UINT, UINT_PTR, DWORD)
{
    const int32_t ticks = TicksSinceLastCall();
    if (!appState.blockMode && appState.blacklistInUse != 0)
        CountDownTemporaryBlocks(ticks);
    CountDownTrippedComputers(ticks);
    EnforceActiveList();
}

void EnforceBlocksIfDue()
{
    if (MillisecondsNow() - appState.lastEnforcement >= kBlockTickMs)
        EnforceActiveList();
}
