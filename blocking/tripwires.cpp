#include "blocking/tripwires.h"

#include <algorithm>
#include <cwchar>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "monitor/activity_delivery.h"
#include "monitor/remote_servers.h"
#include "monitor/server_api.h"
#include "monitor/server_watch.h"

namespace {

constexpr std::size_t kRingSize = static_cast<std::size_t>(kMaxBurstFiles) + 1;
constexpr std::size_t kSettingTextCapacity = 64;
// Computers one trip names in its line; a user on more is cut off from all the same.
constexpr std::size_t kComputersNamed = 8;
constexpr std::size_t kNameCapacity = 256;

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
    uint64_t hash = 14695981039346656037ull;
    for (const wchar_t* at = folded.data(); *at; ++at) {
        hash ^= static_cast<uint16_t>(*at);
        hash *= 1099511628211ull;
    }
    return hash | 1;  // 0 marks a free slot
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

bool SameClient(const TrippedComputer& entry, std::wstring_view client)
{
    const std::wstring_view name(entry.name.data());
    return name.size() >= 2 && EqualsIgnoringAsciiCase(name.substr(2), client);
}

int32_t TripTicks()
{
    const int32_t minutes = appState.tripwireRules.blockMinutes;
    return minutes == 0 ? kPermanent : minutes * kTicksPerMinute;
}

enum class KeptOff { Now, Already, NoRoom };

// Takes a slot for the client. With the table full, the computer is cut off now but
// not kept off: its next reconnect is not deleted by the tick.
KeptOff KeepOff(std::wstring_view client, const wchar_t* user, int32_t ticks)
{
    if (client.empty() || client.size() > kMaxComputerName)
        return KeptOff::NoRoom;
    if (IsTripped(client))
        return KeptOff::Already;
    TrippedList& list = appState.tripped;
    const auto slot = std::find_if(list.begin(), list.end(), [](const TrippedComputer& e) { return !e.inUse; });
    if (slot == list.end())
        return KeptOff::NoRoom;
    *slot = {};
    slot->name[0] = slot->name[1] = L'\\';
    for (std::size_t i = 0; i < client.size(); ++i) {
        const wchar_t c = client[i];
        slot->name[i + 2] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    CopyWideText(slot->user, WideOrEmpty(user));
    slot->ticksLeft = ticks;
    slot->inUse = 1;
    return KeptOff::Now;
}

// Cuts off every computer that holds a session of `user`, at once, and tells. On this
// computer the server is asked for the user's sessions; another server's worker
// brought them last and is asked to delete them. The cut then holds on every
// watched server.
bool Trip(const ServerWatch& watch, const wchar_t* user, const char* rule, const wchar_t* path, TripReport* report)
{
    Enumeration<SESSION_INFO_1> asked;
    std::span<const SESSION_INFO_1> sessions;
    if (watch.remote < 0) {
        EnumerateSessionsOfUser(user, &asked);
        sessions = asked.Records();
    } else {
        LatestSessions(watch.remote, &sessions);
    }
    std::array<char, kFormatCapacity> computers{};
    std::size_t cut = 0;
    bool seen = false;
    for (const SESSION_INFO_1& session : sessions) {
        const std::wstring_view client = WideOrEmpty(session.sesi1_cname);
        if (client.empty() || client.size() + 3 > kClientNameUnits ||
            !EqualsIgnoringAsciiCase(WideOrEmpty(session.sesi1_username), WideOrEmpty(user)))
            continue;  // no computer's name, or a server that ignores the filter
        seen = true;
        if (KeepOff(client, user, TripTicks()) == KeptOff::Already)
            continue;
        std::array<wchar_t, kClientNameUnits> name{};
        name[0] = name[1] = L'\\';
        CopyWideText(std::span(name).subspan(2), client);
        if (watch.remote < 0)
            DeleteServerSession(name.data(), nullptr);
        else
            RequestServer(watch.remote, DeleteSessionRequest, name.data(), nullptr, 0);
        if (cut < kComputersNamed) {
            std::array<char, kNameCapacity> ansi{};
            AnsiFromWide(ansi, name.data() + 2);
            AppendText(computers, cut == 0 ? "" : ", ");
            AppendText(computers, ansi.data());
        } else if (cut == kComputersNamed) {
            AppendText(computers, ", ...");
        }
        ++cut;
    }
    if (cut == 0 && seen)
        return false;  // every computer of the user is cut off already: a trip fires once
    if (cut == 0)
        CopyText(computers, "no session");
    CopyWideText(report->user, WideOrEmpty(user));
    FormatText(report->detail, "[%s] %s %ws", computers.data(), rule, WideOrEmpty(path));
    if (appState.tripwireRules.blockMinutes == 0 && cut > 0)
        SaveTrippedComputers();
    return true;
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
    rules.blockMinutes = ReadRuleNumber("blockminutes", kDefaultTripMinutes, 0, INT32_MAX / kTicksPerMinute);
    const int32_t count = std::min(ReadRuleNumber("count", 0, 0, INT32_MAX), static_cast<int32_t>(kMaxBaitPatterns));
    for (int32_t k = 1; k <= count; ++k) {
        std::array<char, 16> key{};
        FormatText(key, "bait%d", k);
        std::array<char, kBaitPatternUnits + 1> pattern{};
        ReadSettingText(kTripwiresSection, key.data(), "", pattern);
        AddBaitPattern(rules, pattern.data());  // an empty or unusable one is skipped
    }
}

void SaveTripwireRules(const TripwireRules& rules)
{
    WriteSettingInt(kTripwiresSection, "enabled", rules.enabled ? 1 : 0);
    WriteSettingInt(kTripwiresSection, "count", rules.baitCount);
    for (int32_t k = 1; k <= static_cast<int32_t>(kMaxBaitPatterns); ++k) {
        std::array<char, 16> key{};
        FormatText(key, "bait%d", k);
        if (k > rules.baitCount) {
            WritePrivateProfileStringA(kTripwiresSection, key.data(), nullptr, appState.settingsPath.data());
            continue;
        }
        std::array<char, kBaitPatternUnits * 2> pattern{};
        AnsiFromWide(pattern, rules.baits[static_cast<std::size_t>(k - 1)].data());
        WriteSettingText(kTripwiresSection, key.data(), pattern.data());
    }
    WriteSettingInt(kTripwiresSection, "burstfiles", rules.burstFiles);
    WriteSettingInt(kTripwiresSection, "burstseconds", rules.burstSeconds);
    WriteSettingInt(kTripwiresSection, "blockminutes", rules.blockMinutes);
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

bool CheckTripwires(const ServerWatch& watch, const FILE_INFO_3& file, bool burst, TripReport* report)
{
    const TripwireRules& rules = appState.tripwireRules;
    if (!rules.enabled)
        return false;
    if (rules.baitCount > 0) {
        static std::array<wchar_t, 32768> folded;  // the longest path the platform has
        CopyWideText(folded, WideOrEmpty(file.fi3_pathname));
        FoldForMatching(folded);
        for (int32_t i = 0; i < rules.baitCount; ++i) {
            if (!BaitMatches(rules.folded[static_cast<std::size_t>(i)].data(), folded.data()))
                continue;
            std::array<char, kBaitPatternUnits * 2 + 16> rule{};
            FormatText(rule, "bait \"%ws\"", rules.baits[static_cast<std::size_t>(i)].data());
            return Trip(watch, WideOrEmpty(file.fi3_username), rule.data(), file.fi3_pathname, report);
        }
    }
    const bool writes = (file.fi3_permissions & (PERM_FILE_WRITE | PERM_FILE_CREATE)) != 0;
    if (burst && writes && rules.burstFiles > 0 &&
        CountWriteOpen(appState.burstCounter, WideOrEmpty(file.fi3_username), MillisecondsNow(), rules.burstFiles,
                       rules.burstSeconds)) {
        std::array<char, 96> rule{};
        FormatText(rule, "more than %d files written within %d s", rules.burstFiles, rules.burstSeconds);
        return Trip(watch, WideOrEmpty(file.fi3_username), rule.data(), file.fi3_pathname, report);
    }
    return false;
}

bool AnyTrippedComputer()
{
    return std::any_of(appState.tripped.begin(), appState.tripped.end(),
                       [](const TrippedComputer& entry) { return entry.inUse != 0; });
}

bool IsTripped(std::wstring_view client)
{
    return std::any_of(appState.tripped.begin(), appState.tripped.end(), [&](const TrippedComputer& entry) {
        return entry.inUse && SameClient(entry, client);
    });
}

void CountDownTrippedComputers(int32_t ticks)
{
    for (TrippedComputer& entry : appState.tripped) {
        if (!entry.inUse || entry.ticksLeft == kPermanent)
            continue;
        entry.ticksLeft = entry.ticksLeft > ticks ? entry.ticksLeft - ticks : 0;
        if (entry.ticksLeft == 0)
            entry.inUse = 0;
    }
}

void EnforceTrippedComputers(std::span<const SESSION_INFO_0> sessions)
{
    for (const SESSION_INFO_0& session : sessions) {
        const std::wstring_view client = WideOrEmpty(session.sesi0_cname);
        for (const TrippedComputer& entry : appState.tripped) {
            if (entry.inUse && SameClient(entry, client)) {
                DeleteServerSession(entry.name.data(), nullptr);
                break;
            }
        }
    }
}

void ReleaseTrippedComputer(std::size_t slot)
{
    if (slot >= appState.tripped.size() || !appState.tripped[slot].inUse)
        return;
    const bool permanent = appState.tripped[slot].ticksLeft == kPermanent;
    appState.tripped[slot].inUse = 0;
    if (permanent)
        SaveTrippedComputers();
}

void LoadTrippedComputers()
{
    const int32_t count = std::min<int32_t>(ReadSettingInt(kTrippedSection, "count", 0),
                                            static_cast<int32_t>(kMaxTrippedComputers));
    for (int32_t k = 0; k < count; ++k) {
        std::array<char, 16> key{};
        std::array<char, kNameCapacity> name{};
        std::array<char, kNameCapacity> user{};
        FormatText(key, "comp%d", k);
        ReadSettingText(kTrippedSection, key.data(), "", name);
        FormatText(key, "user%d", k);
        ReadSettingText(kTrippedSection, key.data(), "", user);
        std::array<wchar_t, kNameCapacity> wideName{};
        std::array<wchar_t, kTrippedUserUnits> wideUser{};
        WideFromAnsi(wideName, name.data());
        WideFromAnsi(wideUser, user.data());
        std::wstring_view client(wideName.data());
        if (client.size() >= 2 && client[0] == L'\\' && client[1] == L'\\')
            client.remove_prefix(2);
        // A hand-edited name that no computer has is left out.
        if (std::none_of(client.begin(), client.end(), [](wchar_t c) { return c < 0x20 || c == L'"' || c == L'\\'; }))
            (void)KeepOff(client, wideUser.data(), kPermanent);
    }
}

void SaveTrippedComputers()
{
    int32_t k = 0;
    for (const TrippedComputer& entry : appState.tripped) {
        if (!entry.inUse || entry.ticksLeft != kPermanent)
            continue;
        std::array<char, 16> key{};
        std::array<char, kNameCapacity> text{};
        FormatText(key, "comp%d", k);
        AnsiFromWide(text, entry.name.data() + 2);
        WriteSettingText(kTrippedSection, key.data(), text.data());
        FormatText(key, "user%d", k);
        AnsiFromWide(text, entry.user.data());
        WriteSettingText(kTrippedSection, key.data(), text.data());
        ++k;
    }
    WriteSettingInt(kTrippedSection, "count", k);
}
