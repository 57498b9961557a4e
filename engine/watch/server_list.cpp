#include "engine/watch/server_list.h"

#include <windows.h>

#include <algorithm>

#include "core/settings.h"
#include "core/text.h"

namespace {

// A server's name: no blank inside (no NetBIOS or DNS name has one), nothing a
// folder name may not hold (its logs' folder is named after it).
constexpr char kNotInServerNames[] = "\\/:*?\"<>| ";
constexpr char kServerKey[] = "server";

}  // namespace

bool UsableServerName(std::string_view typed, std::span<char> name)
{
    while (!typed.empty() && typed.front() == ' ')
        typed.remove_prefix(1);
    while (!typed.empty() && typed.back() == ' ')
        typed.remove_suffix(1);
    while (!typed.empty() && typed.front() == '\\')
        typed.remove_prefix(1);
    const bool usable = !typed.empty() && typed.size() < kServerNameUnits && typed.size() < name.size() &&
                        std::none_of(typed.begin(), typed.end(), [](char c) {
                            return IsControlCharacter(c) || std::string_view(kNotInServerNames).find(c) !=
                                                                std::string_view::npos;
                        }) &&
                        typed != "." && typed != "..";
    if (!usable)
        return false;
    CopyText(name, typed);
    return true;
}

bool IsThisComputer(const char* name)
{
    // Watched already as this computer: watched again, its events would show twice.
    for (const COMPUTER_NAME_FORMAT format : {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
        std::array<char, kServerNameUnits> own{};
        DWORD size = static_cast<DWORD>(own.size());
        if (GetComputerNameExA(format, own.data(), &size) && own[0] && lstrcmpiA(own.data(), name) == 0)
            return true;
    }
    return lstrcmpiA(name, "localhost") == 0 || lstrcmpiA(name, "127.0.0.1") == 0;
}

void LoadServerList(ServerList& list)
{
    list = {};
    const int32_t count = ReadKeyCount(kServersSection, kMaxRemoteServers);
    for (int32_t k = 1; k <= count; ++k) {
        std::array<char, kServerNameUnits * 2> text{};
        ReadSettingText(kServersSection, NumberedKey(kServerKey, k).data(), "", text);
        auto& name = list.names[static_cast<std::size_t>(list.count)];
        if (!UsableServerName(text.data(), name) || IsThisComputer(name.data()))
            continue;  // a hand-edited name no server has, or this computer's, is left out
        const bool twice = std::any_of(list.names.begin(), list.names.begin() + list.count,
                                       [&](const auto& other) { return lstrcmpiA(other.data(), name.data()) == 0; });
        if (!twice)
            ++list.count;
    }
}

void SaveServerList(const ServerList& list)
{
    for (int32_t k = 1; k <= list.count; ++k)
        WriteSettingText(kServersSection, NumberedKey(kServerKey, k).data(),
                         list.names[static_cast<std::size_t>(k - 1)].data());
    WriteKeyCount(kServersSection, kServerKey, 1, list.count, kMaxRemoteServers);
}

