#include "rules/block_rules.h"

#include "core/settings.h"

namespace {

constexpr char kBlacklistSection[] = "blacklist";
constexpr char kWhitelistSection[] = "whitelist";

}  // namespace

ComputerList& ActiveComputerList(BlockRules& rules)
{
    return rules.blockMode ? rules.whitelist : rules.blacklist;
}

bool AnythingForbidden(const BlockRules& rules)
{
    const bool byList = rules.blockMode ? rules.whitelist.inUse > 0 : rules.blacklist.inUse > 0;
    return byList || rules.tripped.inUse > 0;
}

bool IsForbidden(const BlockRules& rules, std::wstring_view client)
{
    bool forbidden = false;
    ForEachCutOff(rules, client, [&forbidden](const wchar_t*, const char*) { forbidden = true; });
    return forbidden;
}

void CountDownBlocks(BlockRules& rules, int32_t ticks)
{
    // While the whitelist is in force, temporary blacklist entries keep their time.
    if (!rules.blockMode)
        CountDownComputers(rules.blacklist, ticks);
    CountDownComputers(rules.tripped, ticks);
}

void LoadComputerLists(BlockRules& rules)
{
    LoadComputerList(rules.blacklist, kBlacklistSection);
    LoadComputerList(rules.whitelist, kWhitelistSection);
}

void LoadBlockRules(BlockRules& rules)
{
    LoadComputerLists(rules);
    LoadTripwireRules(rules.tripwires);
    LoadTrippedComputers(rules.tripped);
    rules.blockMode = ReadSetting(kBlockModeKey);
}

void SaveComputerLists(const BlockRules& rules)
{
    SaveComputerList(rules.blacklist, kBlacklistSection);
    SaveComputerList(rules.whitelist, kWhitelistSection);
    WriteSetting(kBlockModeKey, rules.blockMode);
}
