#include "rules/tripwires.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "core/hash.h"
#include "core/settings.h"
#include "core/text.h"

namespace {

constexpr std::size_t kRingSize = static_cast<std::size_t>(kMaxBurstFiles) + 1;
constexpr std::size_t kSettingTextCapacity = 64;
constexpr std::size_t kNameCapacity = 256;
constexpr char kBaitKey[] = "bait";

// A number from the settings file, or `fallback` when it is missing, not a number or
// outside [lowest, highest].
int32_t ReadRuleNumber(const char* key, int32_t fallback, int32_t lowest, int32_t highest)
{
    std::array<char, kSettingTextCapacity> text{};
    ReadSettingText(kTripwiresSection, key, "", text);
    int32_t value = 0;
    return ReadNumber(text.data(), lowest, highest, &value) ? value : fallback;
}

uint64_t UserKey(std::wstring_view user)
{
    std::array<wchar_t, kTrippedUserUnits * 4> folded{};
    CopyWideText(folded, user);
    FoldForMatching(folded);
    TextHash hash;
    hash.Add(std::wstring_view(folded.data()));
    return hash.value | 1;  // 0 marks a free slot
}

BurstUser& SlotFor(BurstCounter& counter, uint64_t key)
{
    BurstUser* free = nullptr;
    BurstUser* quietest = &counter.users[0];
    for (BurstUser& user : counter.users) {
        if (user.key == key)
            return user;
        if (!free && user.key == 0)
            free = &user;
        if (user.last < quietest->last)
            quietest = &user;
    }
    BurstUser& slot = free ? *free : *quietest;  // the memory full: the quietest user starts again
    slot = {key, 0, 0, 0};
    return slot;
}

int32_t TripTicks(int32_t blockMinutes)
{
    return blockMinutes == 0 ? kPermanent : blockMinutes * kTicksPerMinute;
}

}  // namespace

void FoldForMatching(std::span<wchar_t> text)
{
    const std::size_t length = std::wcslen(text.data());
    CharUpperBuffW(text.data(), static_cast<DWORD>(length));
}

bool BaitMatches(std::wstring_view pattern, std::wstring_view path)
{
    // The last star's place in both texts: on a mismatch the star takes one more character.
    std::size_t p = 0, t = 0;
    std::size_t star = std::wstring_view::npos, starText = 0;
    while (t < path.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == path[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            starText = t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

bool AddBaitPattern(TripwireRules& rules, const char* pattern)
{
    if (rules.baitCount >= static_cast<int32_t>(kMaxBaitPatterns) || !pattern || !*pattern)
        return false;
    const std::string_view text(pattern, strnlen(pattern, kBaitPatternUnits));
    if (text.size() >= kBaitPatternUnits ||
        std::any_of(text.begin(), text.end(), [](char c) { return IsControlCharacter(c); }))
        return false;
    const auto at = static_cast<std::size_t>(rules.baitCount);
    WideFromAnsi(rules.baits[at], pattern);
    rules.folded[at] = rules.baits[at];
    FoldForMatching(rules.folded[at]);
    ++rules.baitCount;
    return true;
}

void RemoveBaitPattern(TripwireRules& rules, int32_t index)
{
    if (index < 0 || index >= rules.baitCount)
        return;
    for (auto i = static_cast<std::size_t>(index); i + 1 < static_cast<std::size_t>(rules.baitCount); ++i) {
        rules.baits[i] = rules.baits[i + 1];
        rules.folded[i] = rules.folded[i + 1];
    }
    --rules.baitCount;
}

void LoadTripwireRules(TripwireRules& rules)
{
    rules = {};
    rules.enabled = ReadRuleNumber("enabled", 0, 0, 1);
    rules.burstFiles = ReadRuleNumber("burstfiles", kDefaultBurstFiles, 0, kMaxBurstFiles);
    rules.burstSeconds = ReadRuleNumber("burstseconds", kDefaultBurstSeconds, 1, kMaxBurstSeconds);
    rules.blockMinutes = ReadRuleNumber("blockminutes", kDefaultTripMinutes, 0, kMaxTripMinutes);
    rules.denyShares = ReadRuleNumber("denyshares", 1, 0, 1);
    std::array<char, kNeverDeniedTextUnits> names{};
    ReadSettingText(kTripwiresSection, kNeverDeniedKey, "", names);
    SetNeverDenied(rules, names.data());
    const int32_t count = ReadKeyCount(kTripwiresSection, static_cast<int32_t>(kMaxBaitPatterns));
    for (int32_t k = 1; k <= count; ++k) {
        std::array<char, kBaitPatternUnits + 1> pattern{};
        ReadSettingText(kTripwiresSection, NumberedKey(kBaitKey, k).data(), "", pattern);
        AddBaitPattern(rules, pattern.data());  // an empty or unusable one is skipped
    }
}

void SaveTripwireRules(const TripwireRules& rules)
{
    WriteSettingInt(kTripwiresSection, "enabled", rules.enabled ? 1 : 0);
    WriteKeyCount(kTripwiresSection, kBaitKey, 1, rules.baitCount, static_cast<int32_t>(kMaxBaitPatterns));
    for (int32_t k = 1; k <= rules.baitCount; ++k) {
        std::array<char, kBaitPatternUnits * 2> pattern{};
        AnsiFromWide(pattern, rules.baits[static_cast<std::size_t>(k - 1)].data());
        WriteSettingText(kTripwiresSection, NumberedKey(kBaitKey, k).data(), pattern.data());
    }
    WriteSettingInt(kTripwiresSection, "burstfiles", rules.burstFiles);
    WriteSettingInt(kTripwiresSection, "burstseconds", rules.burstSeconds);
    WriteSettingInt(kTripwiresSection, "blockminutes", rules.blockMinutes);
    WriteSettingInt(kTripwiresSection, "denyshares", rules.denyShares ? 1 : 0);
    std::array<char, kNeverDeniedTextUnits> names{};
    NeverDeniedText(rules, names);
    WriteSettingText(kTripwiresSection, kNeverDeniedKey, names.data());
}

void SetNeverDenied(TripwireRules& rules, const char* names)
{
    rules.neverDeniedCount = 0;
    rules.neverDenied = {};
    std::string_view rest = names ? names : "";
    while (!rest.empty() && rules.neverDeniedCount < static_cast<int32_t>(kMaxNeverDenied)) {
        const std::size_t comma = rest.find(',');
        std::string_view name = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!name.empty() && name.front() == ' ')
            name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ')
            name.remove_suffix(1);
        std::array<char, kBlockUserUnits> copy{};
        if (name.empty() || name.size() >= copy.size() ||
            std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }))
            continue;
        memcpy(copy.data(), name.data(), name.size());
        auto& slot = rules.neverDenied[static_cast<std::size_t>(rules.neverDeniedCount)];
        WideFromAnsi(slot, copy.data());
        ++rules.neverDeniedCount;
    }
}

void NeverDeniedText(const TripwireRules& rules, std::span<char> text)
{
    CopyText(text, "");
    for (int32_t k = 0; k < rules.neverDeniedCount && k < static_cast<int32_t>(kMaxNeverDenied); ++k) {
        std::array<char, kBlockUserUnits * 2> name{};
        AnsiFromWide(name, rules.neverDenied[static_cast<std::size_t>(k)].data());
        if (k > 0)
            AppendText(text, ", ");
        AppendText(text, name.data());
    }
}

namespace {

std::wstring_view AfterDomain(std::wstring_view name)
{
    const std::size_t slash = name.rfind(L'\\');
    return slash == std::wstring_view::npos ? name : name.substr(slash + 1);
}

}  // namespace

bool IsNeverDenied(const TripwireRules& rules, std::wstring_view user)
{
    const std::wstring_view userOnly = AfterDomain(user);
    for (int32_t k = 0; k < rules.neverDeniedCount && k < static_cast<int32_t>(kMaxNeverDenied); ++k) {
        const auto& slot = rules.neverDenied[static_cast<std::size_t>(k)];
        const std::wstring_view name(slot.data(), wcsnlen(slot.data(), slot.size()));
        const std::wstring_view nameOnly = AfterDomain(name);
        // Domains are compared only when both name one: "backup" is every domain's.
        const bool bothHaveDomains = nameOnly.size() != name.size() && userOnly.size() != user.size();
        if (bothHaveDomains ? EqualsIgnoringAsciiCase(name, user) : EqualsIgnoringAsciiCase(nameOnly, userOnly))
            return true;
    }
    return false;
}

bool CountWriteOpen(BurstCounter& counter, std::wstring_view user, ULONGLONG now, int32_t files, int32_t seconds)
{
    if (files <= 0 || files > kMaxBurstFiles)
        return false;
    ReserveStore(counter.moments, kBurstUsers * kRingSize * sizeof(ULONGLONG));
    BurstUser& slot = SlotFor(counter, UserKey(user));
    const auto index = static_cast<std::size_t>(&slot - counter.users.data());
    ULONGLONG* moments = CommitArray<ULONGLONG>(counter.moments, (index + 1) * kRingSize);
    if (!moments)
        return false;
    ULONGLONG* ring = moments + index * kRingSize;
    ring[slot.next] = now;
    slot.next = static_cast<uint32_t>((slot.next + 1) % kRingSize);
    slot.count = std::min<uint32_t>(slot.count + 1, static_cast<uint32_t>(kRingSize));
    slot.last = now;
    const auto window = static_cast<uint32_t>(files) + 1;
    if (slot.count < window)
        return false;
    const ULONGLONG first = ring[(slot.next + kRingSize - window) % kRingSize];
    if (now - first >= static_cast<ULONGLONG>(seconds) * 1000)
        return false;
    slot.count = 0;
    return true;
}

bool TripsOn(const TripwireRules& rules, BurstCounter& counter, const FILE_INFO_3& file, bool burst, ULONGLONG now,
             std::span<char> rule)
{
    if (!rules.enabled)
        return false;
    if (rules.baitCount > 0) {
        static std::array<wchar_t, 32768> folded;  // the longest path the platform has
        CopyWideText(folded, WideOrEmpty(file.fi3_pathname));
        FoldForMatching(folded);
        for (int32_t i = 0; i < rules.baitCount; ++i) {
            if (!BaitMatches(rules.folded[static_cast<std::size_t>(i)].data(), folded.data()))
                continue;
            FormatText(rule, "bait \"%ws\"", rules.baits[static_cast<std::size_t>(i)].data());
            return true;
        }
    }
    const bool writes = (file.fi3_permissions & (PERM_FILE_WRITE | PERM_FILE_CREATE)) != 0;
    if (burst && writes && rules.burstFiles > 0 &&
        CountWriteOpen(counter, WideOrEmpty(file.fi3_username), now, rules.burstFiles, rules.burstSeconds)) {
        FormatText(rule, "more than %d files written within %d s", rules.burstFiles, rules.burstSeconds);
        return true;
    }
    return false;
}

TripSession TakeTripSession(ComputerList& tripped, int32_t blockMinutes, const wchar_t* user,
                            const SESSION_INFO_1& session, std::span<wchar_t> client)
{
    const std::wstring_view name = WideOrEmpty(session.sesi1_cname);
    if (name.empty() || name.size() + 3 > kClientNameUnits || name.size() + 3 > client.size() ||
        !EqualsIgnoringAsciiCase(WideOrEmpty(session.sesi1_username), WideOrEmpty(user)))
        return TripSession::NotTheUsers;  // no computer's name, or a server that ignores the filter
    if (FindComputer(tripped, name))
        return TripSession::AlreadyCut;
    // A full table, or a name no slot holds, still cuts the computer off now.
    AddComputerWide(tripped, session.sesi1_cname, TripTicks(blockMinutes), user);
    client[0] = client[1] = L'\\';
    CopyWideText(client.subspan(2), name);
    return TripSession::CutNow;
}

void NameInTripReport(TripReport& report, const wchar_t* client)
{
    constexpr int32_t kComputersNamed = 8;  // a user on more is cut off from all the same
    std::array<char, kNameCapacity> ansi{};
    AnsiFromWide(ansi, client + 2);
    std::span<char> computers(report.detail);
    if (report.cut < kComputersNamed) {
        AppendText(computers, report.cut == 0 ? "" : ", ");
        AppendText(computers, ansi.data());
    } else if (report.cut == kComputersNamed) {
        AppendText(computers, ", ...");
    }
    ++report.cut;
}

bool FinishTripReport(TripReport& report, bool seen, const wchar_t* user, const char* rule, const wchar_t* path)
{
    if (report.cut == 0 && seen)
        return false;  // every computer of the user is cut off already: a trip fires once
    std::array<char, kFormatCapacity> computers{};
    CopyText(computers, report.cut == 0 ? "no session" : report.detail.data());
    CopyWideText(report.user, WideOrEmpty(user));
    FormatText(report.detail, "[%s] %s %ws", computers.data(), rule, WideOrEmpty(path));
    return true;
}

void LoadTrippedComputers(ComputerList& tripped)
{
    LoadComputerList(tripped, kTrippedSection, true);
}

void SaveTrippedComputers(const ComputerList& tripped)
{
    SaveComputerList(tripped, kTrippedSection, true);
}
