// Who may hold a session: the list in force (the blacklist, or the whitelist), and the
// computers tripwires cut off in either mode. One decision, used by every enforcement,
// on this computer and on every watched server.
#pragma once

#include <cstdint>
#include <string_view>

#include "rules/computer_list.h"
#include "rules/tripwires.h"

struct BlockRules {
    int32_t blockMode;  // a BlockMode; any non-zero value enforces the whitelist
    ComputerList blacklist;
    ComputerList whitelist;
    ComputerList tripped;  // cut off by tripwires, in either mode
    TripwireRules tripwires;
    BurstCounter burstCounter;
};

ComputerList& ActiveComputerList(BlockRules& rules);

// Whether anything can be forbidden at all: the list in force names someone (an
// empty whitelist blocks nobody), or a tripwire cut someone off. Without it no
// session need be looked at.
bool AnythingForbidden(const BlockRules& rules);

// Each deletion the rules ask for the client's sessions, with the name to delete
// them by and the rule that asks it ("blacklist", "whitelist", "tripwire"): each
// blacklist entry naming it (by the entry's name), the whitelist not naming it (by
// the client's own name, with two backslashes), and a tripwire's cut (by the entry's
// name). None for a client whose name no computer has.
constexpr char kBlacklistRule[] = "blacklist";
constexpr char kWhitelistRule[] = "whitelist";
constexpr char kTripwireRule[] = "tripwire";
template <typename Delete>
void ForEachCutOff(const BlockRules& rules, std::wstring_view client, Delete remove);
// Whether any does.
bool IsForbidden(const BlockRules& rules, std::wstring_view client);

// The block ticks that passed: temporary blacklist entries count down while the
// blacklist is in force, tripped computers in either mode.
void CountDownBlocks(BlockRules& rules, int32_t ticks);

// The lists, the block mode, the tripwires and the tripped computers, as the settings
// file keeps them.
void LoadBlockRules(BlockRules& rules);
// The blacklist and the whitelist alone.
void LoadComputerLists(BlockRules& rules);
// The lists and the block mode (tripped computers are saved as they trip).
void SaveComputerLists(const BlockRules& rules);

template <typename Delete>
void ForEachCutOff(const BlockRules& rules, std::wstring_view client, Delete remove)
{
    if (rules.blockMode) {
        if (rules.whitelist.inUse > 0 && !FindComputer(rules.whitelist, client) && client.size() + 3 <= kClientNameUnits) {
            std::array<wchar_t, kClientNameUnits> name{};
            name[0] = name[1] = L'\\';
            std::copy(client.begin(), client.end(), name.begin() + 2);
            remove(static_cast<const wchar_t*>(name.data()), kWhitelistRule);
        }
    } else {
        int32_t examined = 0;
        for (const BlockEntry& entry : rules.blacklist) {
            if (examined >= rules.blacklist.inUse)
                break;
            if (!entry.inUse)
                continue;
            ++examined;
            if (EntryMatchesClient(entry, client))
                remove(static_cast<const wchar_t*>(entry.name.data()), kBlacklistRule);  // a duplicate deletes too
        }
    }
    if (const BlockEntry* tripped = FindComputer(rules.tripped, client))
        remove(static_cast<const wchar_t*>(tripped->name.data()), kTripwireRule);
}
