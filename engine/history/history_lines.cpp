#include "engine/history/history_lines.h"

#include <lm.h>

#include <array>

#include "core/text.h"
#include "engine/watch/event_text.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_queue.h"

namespace {

constexpr std::string_view kConnectionStart = "User ";
constexpr std::string_view kConnectedFrom = " connected from ";
constexpr std::string_view kTripStart = "Tripwire [";

// The open modes a file line can show, with their bits, as FormatOpenMode writes them.
struct ModeText {
    std::string_view text;
    uint32_t bits;
};
constexpr std::array<ModeText, 8> kModes = {{
    {"ReadWriteCreate", 7}, {"ReadWrite", 3}, {"ReadCreate", 5}, {"WriteCreate", 6},
    {"Read", 1}, {"Write", 2}, {"Create", 4}, {"", 0},
}};

// One or two decimal digits up to `end`, within [0, most].
bool TakeNumber(std::string_view& text, char end, int32_t most, int32_t* value)
{
    std::size_t digits = 0;
    int32_t number = 0;
    while (digits < text.size() && digits < 3 && text[digits] >= '0' && text[digits] <= '9')
        number = number * 10 + (text[digits++] - '0');
    if (digits == 0 || digits > 2 || digits >= text.size() || text[digits] != end || number > most)
        return false;
    *value = number;
    text.remove_prefix(digits + 1);
    return true;
}

bool ParseFileOpen(std::string_view rest, LogLine* parsed)
{
    // "[USER][MODE] PATH": the first "][" followed by a mode and "] " ends the user.
    rest.remove_prefix(1);
    for (std::size_t at = rest.find("]["); at != std::string_view::npos; at = rest.find("][", at + 1)) {
        const std::string_view after = rest.substr(at + 2);
        for (const ModeText& mode : kModes) {
            if (after.size() >= mode.text.size() + 2 && after.substr(0, mode.text.size()) == mode.text &&
                after.substr(mode.text.size(), 2) == "] ") {
                parsed->kind = EventKind::FileOpen;
                parsed->mode = mode.bits;
                parsed->user = rest.substr(0, at);
                parsed->path = after.substr(mode.text.size() + 2);
                return true;
            }
        }
    }
    return false;
}

// A wide text for the formatters, which take terminated texts.
template <std::size_t N>
const wchar_t* Terminated(std::array<wchar_t, N>& room, std::wstring_view text)
{
    CopyWideText(room, text);
    return room.data();
}

}  // namespace

bool ParseLogLine(std::string_view line, LogLine* parsed)
{
    *parsed = {};
    if (line.size() < 2 || line[0] != '[')
        return false;
    std::string_view rest = line.substr(1);
    int32_t hour = 0, minute = 0, second = 0;
    if (!TakeNumber(rest, ':', 23, &hour) || !TakeNumber(rest, ':', 59, &minute) ||
        !TakeNumber(rest, ']', 59, &second) || rest.empty() || rest[0] != ' ')
        return false;
    rest.remove_prefix(1);
    parsed->secondOfDay = hour * 3600 + minute * 60 + second;
    if (rest.substr(0, kTripStart.size()) == kTripStart) {
        rest.remove_prefix(kTripStart.size());
        const std::size_t end = rest.find(']');
        if (end == std::string_view::npos)
            return false;
        parsed->kind = EventKind::Tripwire;
        parsed->user = rest.substr(0, end);
        parsed->detail = rest.substr(end + 1);
        return true;
    }
    if (rest.substr(0, kConnectionStart.size()) == kConnectionStart) {
        const std::size_t from = rest.rfind(kConnectedFrom);
        if (from == std::string_view::npos || from < kConnectionStart.size())
            return false;
        parsed->kind = EventKind::Connection;
        parsed->user = rest.substr(kConnectionStart.size(), from - kConnectionStart.size());
        parsed->computer = rest.substr(from + kConnectedFrom.size());
        return true;
    }
    if (!rest.empty() && rest[0] == '[')
        return ParseFileOpen(rest, parsed);
    return false;
}

bool ParseLogFileName(std::string_view name, SYSTEMTIME* day)
{
    constexpr std::string_view kExtension = ".log";
    if (name.size() <= kExtension.size() || !EndsWithIgnoringAsciiCase(name, kExtension))
        return false;
    name.remove_suffix(kExtension.size());
    std::array<int32_t, 3> parts{};
    for (std::size_t k = 0; k < parts.size(); ++k) {
        std::size_t digits = 0;
        int32_t value = 0;
        while (digits < name.size() && digits < 5 && name[digits] >= '0' && name[digits] <= '9')
            value = value * 10 + (name[digits++] - '0');
        const bool last = k + 1 == parts.size();
        if (digits == 0 || digits > 4 || (last ? digits != name.size() : digits >= name.size() || name[digits] != '.'))
            return false;
        parts[k] = value;
        name.remove_prefix(last ? digits : digits + 1);
    }
    SYSTEMTIME parsed{};
    parsed.wDay = static_cast<WORD>(parts[0]);
    parsed.wMonth = static_cast<WORD>(parts[1]);
    parsed.wYear = static_cast<WORD>(parts[2]);
    int64_t seconds = 0;
    if (!HistorySecondsOf(parsed, &seconds))
        return false;
    *day = SystemTimeOfHistorySeconds(seconds);
    return true;
}

bool FormatLogLineOf(EventKind kind, uint32_t mode, std::wstring_view user, std::wstring_view computer,
                     std::wstring_view path, std::string_view detail, const SYSTEMTIME& local, std::span<char> line)
{
    std::array<char, 32> time{};
    FormatText(time, "%d:%d:%d", local.wHour, local.wMinute, local.wSecond);
    std::array<wchar_t, kQueuedNameUnits + 1> userRoom{};
    std::array<wchar_t, kQueuedNameUnits + 1> computerRoom{};
    std::array<wchar_t, kQueuedPathUnits + 1> pathRoom{};
    switch (kind) {
    case EventKind::Connection: {
        const SESSION_INFO_1 session{const_cast<wchar_t*>(Terminated(computerRoom, computer)),
                                    const_cast<wchar_t*>(Terminated(userRoom, user)), 0, 0, 0, 0};
        FormatConnectionLine(session, time.data(), line);
        return true;
    }
    case EventKind::FileOpen: {
        const FILE_INFO_3 file{0, mode & kHistoryModeBits, 0, const_cast<wchar_t*>(Terminated(pathRoom, path)),
                               const_cast<wchar_t*>(Terminated(userRoom, user))};
        FormatFileOpenLine(file, time.data(), line);
        return true;
    }
    case EventKind::Tripwire: {
        std::array<char, kFormatCapacity> detailText{};
        CopyText(detailText, detail);
        FormatTripwireLine(Terminated(userRoom, user), detailText.data(), time.data(), line);
        return true;
    }
    default:
        return false;
    }
}
