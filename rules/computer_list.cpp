#include "rules/computer_list.h"

#include <algorithm>
#include <cstring>

#include "core/settings.h"
#include "core/text.h"

namespace {

constexpr std::size_t kNameTextCapacity = 256;  // what a caller may hand in, terminator included
constexpr int32_t kMostKeysRead = 1024;
constexpr char kComputerKey[] = "comp";
constexpr char kUserKey[] = "user";

std::wstring_view NameWithoutBackslashes(const BlockEntry& entry)
{
    const std::wstring_view name(entry.name.data());
    return name.size() >= 2 ? name.substr(2) : std::wstring_view();
}

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

bool AddComputerWide(ComputerList& list, const wchar_t* name, int32_t ticks, const wchar_t* user)
{
    const auto slot =
        std::find_if(list.begin(), list.end(), [](const BlockEntry& entry) { return entry.inUse == 0; });
    const std::wstring_view usable = UsableComputerName(WideOrEmpty(name));
    if (slot == list.end() || usable.empty() || usable.size() > kMaxComputerName)
        return false;
    *slot = {};
    slot->name[0] = slot->name[1] = L'\\';
    for (std::size_t i = 0; i < usable.size(); ++i) {
        const wchar_t c = usable[i];
        slot->name[i + 2] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    CopyWideText(slot->user, WideOrEmpty(user));
    slot->inUse = 1;
    slot->ticksLeft = ticks;
    ++list.inUse;
    return true;
}

bool FreeComputer(ComputerList& list, std::size_t slot)
{
    if (slot >= list.size() || !list[slot].inUse)
        return false;
    list[slot].inUse = 0;
    --list.inUse;
    return true;
}

void RemoveComputer(ComputerList& list, const char* name)
{
    std::array<wchar_t, kNameTextCapacity> wanted{};
    WideFromAnsi(wanted, name);
    for (std::size_t slot = 0; slot < list.size(); ++slot) {
        if (list[slot].inUse && std::wstring_view(list[slot].name.data()) == std::wstring_view(wanted.data()))
            FreeComputer(list, slot);
    }
}

bool EntryMatchesClient(const BlockEntry& entry, std::wstring_view client)
{
    return EqualsIgnoringAsciiCase(NameWithoutBackslashes(entry), client);
}

const BlockEntry* FindComputer(const ComputerList& list, std::wstring_view client)
{
    int32_t examined = 0;
    for (const BlockEntry& entry : list) {
        if (examined >= list.inUse)
            break;
        if (!entry.inUse)
            continue;
        ++examined;
        if (EntryMatchesClient(entry, client))
            return &entry;
    }
    return nullptr;
}

void CountDownComputers(ComputerList& list, int32_t ticks)
{
    for (std::size_t slot = 0; slot < list.size() && list.inUse > 0; ++slot) {
        BlockEntry& entry = list[slot];
        if (!entry.inUse || entry.ticksLeft == kPermanent)
            continue;
        entry.ticksLeft = entry.ticksLeft > ticks ? entry.ticksLeft - ticks : 0;
        if (entry.ticksLeft == 0)
            FreeComputer(list, slot);
    }
}

void LoadComputerList(ComputerList& list, const char* section, bool withUsers)
{
    const int32_t count = ReadKeyCount(section, kMostKeysRead);
    for (int32_t k = 0; k < count && list.inUse < static_cast<int32_t>(list.size()); ++k) {
        // Keys past a full list could change nothing.
        std::array<char, kNameTextCapacity> name{};
        ReadSettingText(section, NumberedKey(kComputerKey, k).data(), "", name);
        if (!withUsers) {
            AddComputer(list, name.data(), kPermanent);
            continue;
        }
        std::array<char, kNameTextCapacity> user{};
        ReadSettingText(section, NumberedKey(kUserKey, k).data(), "", user);
        std::array<wchar_t, kNameTextCapacity + 2> wideName{};
        std::array<wchar_t, kBlockUserUnits> wideUser{};
        WideFromAnsi(wideName, name.data());
        WideFromAnsi(wideUser, user.data());
        std::wstring_view client(wideName.data());
        if (client.size() >= 2 && client[0] == L'\\' && client[1] == L'\\')
            client.remove_prefix(2);
        // A hand-edited name that no computer has is left out, and a computer only once.
        if (client.empty() || client.find(L'\\') != std::wstring_view::npos || FindComputer(list, client))
            continue;
        std::array<wchar_t, kNameTextCapacity + 2> bare{};
        CopyWideText(bare, client);
        AddComputerWide(list, bare.data(), kPermanent, wideUser.data());
    }
}

void SaveComputerList(const ComputerList& list, const char* section, bool withUsers)
{
    int32_t k = 0;
    for (const BlockEntry& entry : list) {
        if (!entry.inUse || entry.ticksLeft != kPermanent)
            continue;
        std::array<char, kNameTextCapacity> text{};
        AnsiFromWide(text, entry.name.data() + 2);
        WriteSettingText(section, NumberedKey(kComputerKey, k).data(), text.data());
        if (withUsers) {
            AnsiFromWide(text, entry.user.data());
            WriteSettingText(section, NumberedKey(kUserKey, k).data(), text.data());
        }
        ++k;
    }
    WriteSettingInt(section, "count", k);
}
