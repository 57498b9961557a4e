// The syslog messages, parsed back field by field as a collector reads RFC 5424.
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "core/text.h"
#include "engine/watch/event_record.h"
#include "engine/forward/syslog_message.h"
#include "support/engine_fixture.h"
#include "support/forwarding_support.h"

namespace {

struct Parsed {
    int pri = -1;
    std::string version, timestamp, host, app, procId, msgid, sdId;
    std::map<std::string, std::string> params;
    bool hasBom = false;
    std::string msg;
    std::string error;  // where parsing failed
};

std::string Word(const std::string& text, std::size_t& at)
{
    const std::size_t end = text.find(' ', at);
    const std::string word = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    return word;
}

// RFC 5424's grammar, strictly: a malformed message fills `error`.
Parsed Parse(const std::string& text)
{
    Parsed parsed;
    if (text.empty() || text[0] != '<') {
        parsed.error = "no PRI";
        return parsed;
    }
    const std::size_t close = text.find('>');
    if (close == std::string::npos || close > 4) {
        parsed.error = "PRI unterminated";
        return parsed;
    }
    parsed.pri = std::stoi(text.substr(1, close - 1));
    std::size_t at = close + 1;
    parsed.version = Word(text, at);
    parsed.timestamp = Word(text, at);
    parsed.host = Word(text, at);
    parsed.app = Word(text, at);
    parsed.procId = Word(text, at);
    parsed.msgid = Word(text, at);
    if (at >= text.size()) {
        parsed.error = "no structured data";
        return parsed;
    }
    if (text[at] == '-') {
        ++at;
    } else {
        if (text[at] != '[') {
            parsed.error = "SD does not start with [";
            return parsed;
        }
        ++at;
        const std::size_t idEnd = text.find_first_of(" ]", at);
        parsed.sdId = text.substr(at, idEnd - at);
        at = idEnd;
        while (at < text.size() && text[at] == ' ') {
            ++at;
            const std::size_t equals = text.find('=', at);
            const std::string name = text.substr(at, equals - at);
            if (equals == std::string::npos || text[equals + 1] != '"') {
                parsed.error = "param " + name + " without a quoted value";
                return parsed;
            }
            std::string value;
            at = equals + 2;
            for (; at < text.size() && text[at] != '"'; ++at) {
                if (text[at] == '\\' && at + 1 < text.size() &&
                    (text[at + 1] == '"' || text[at + 1] == '\\' || text[at + 1] == ']'))
                    ++at;
                else if (text[at] == ']') {
                    parsed.error = "unescaped ] in " + name;
                    return parsed;
                }
                value += text[at];
            }
            if (at >= text.size()) {
                parsed.error = "value of " + name + " unterminated";
                return parsed;
            }
            ++at;
            parsed.params[name] = value;
        }
        if (at >= text.size() || text[at] != ']') {
            parsed.error = "SD element unterminated";
            return parsed;
        }
        ++at;
    }
    if (at < text.size()) {
        if (text[at] != ' ') {
            parsed.error = "no blank before MSG";
            return parsed;
        }
        ++at;
        parsed.hasBom = text.compare(at, 3, "\xEF\xBB\xBF") == 0;
        parsed.msg = text.substr(at + (parsed.hasBom ? 3 : 0));
    }
    return parsed;
}

// Whether every multi-byte sequence is whole and well formed.
bool IsWholeUtf8(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || at + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80)
                return false;
        at += length;
    }
    return true;
}

// Text of the ANSI code page for `wide`, as the engine's log lines are.
std::string AnsiOf(const std::wstring& wide)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi.data(), size, nullptr, nullptr);
    return ansi;
}

SyslogOrigin TestOrigin()
{
    SyslogOrigin origin = MakeSyslogOrigin(kDefaultSyslogFacility);
    CopyText(origin.host, "fs1.example.org");
    CopyText(origin.procId, "4242");
    return origin;
}

SYSTEMTIME TestUtc()
{
    SYSTEMTIME utc{};
    utc.wYear = 2024;
    utc.wMonth = 3;
    utc.wDay = 5;
    utc.wHour = 14;
    utc.wMinute = 7;
    utc.wSecond = 9;
    utc.wMilliseconds = 25;
    return utc;
}

std::string Format(const EventRecord& record, std::size_t room = kSyslogMessageCapacity)
{
    std::string message(room, '\0');
    message.resize(FormatSyslogMessage(std::span<char>(message.data(), message.size()), TestOrigin(), record));
    return message;
}

}  // namespace

TEST(SyslogMessage, EveryFieldReadsBackAsRfc5424SaysWithNamesInUtf8AndEscapes)
{
    const std::wstring computer = L"PC-\u00dcml\u00e4ut";
    const std::wstring user = L"an\"n\\o]th";  // each of the three escapes
    const std::wstring path = L"D:\\Akten\\Gr\u00f6\u00dfe \u6587\u4ef6 \U0001F512.docx";
    const std::wstring line = L"[9:5:8] [ann][ReadWrite] D:\\Akten\\Gr\u00f6\u00dfe.docx";
    const std::string ansiLine = AnsiOf(line);
    const EventRecord record{EventKind::FileOpen, {}, TestUtc(), "\\\\FS2", computer, user, path,
                             PERM_FILE_READ | PERM_FILE_WRITE, "", ansiLine};
    const std::string message = Format(record);
    const Parsed parsed = Parse(message);
    ASSERT_EQ(parsed.error, "") << message;
    EXPECT_EQ(parsed.pri, 13 * 8 + kSeverityNotice);
    EXPECT_EQ(parsed.version, "1");
    EXPECT_EQ(parsed.timestamp, "2024-03-05T14:07:09.025Z");
    EXPECT_EQ(parsed.host, "fs1.example.org");
    EXPECT_EQ(parsed.app, "Quorvel");
    EXPECT_EQ(parsed.procId, "4242");
    EXPECT_EQ(parsed.msgid, "OPEN");
    EXPECT_EQ(parsed.sdId, "quorvel@32473");
    EXPECT_EQ(parsed.params.at("server"), "FS2") << "the watched server, without its backslashes";
    EXPECT_EQ(parsed.params.at("computer"), Utf8Of(computer));
    EXPECT_EQ(parsed.params.at("user"), "an\"n\\o]th");
    EXPECT_NE(message.find("user=\"an\\\"n\\\\o\\]th\""), std::string::npos) << message;
    EXPECT_EQ(parsed.params.at("path"), Utf8Of(path)) << "a character beyond the BMP comes from its surrogate pair";
    EXPECT_EQ(parsed.params.at("mode"), "ReadWrite");
    EXPECT_EQ(parsed.params.count("rule"), 0u) << "an empty value is left out";
    EXPECT_EQ(parsed.params.count("by"), 0u) << "no one asked for a file open";
    EXPECT_TRUE(parsed.hasBom);
    // Whatever the code page could hold of the line comes through as UTF-8.
    std::array<wchar_t, 256> roundTrip{};
    WideFromAnsi(roundTrip, ansiLine.c_str());
    EXPECT_EQ(parsed.msg, Utf8Of(roundTrip.data()));
    EXPECT_TRUE(IsWholeUtf8(message));
}

// An action a service's window asked for names the account that asked.
TEST(SyslogMessage, AnActionAskedThroughThePipeSaysWhoAsked)
{
    EventRecord record{EventKind::ComputerListed, {}, TestUtc(), "", L"PC1", L"", L"", 0, "blacklist",
                       "PC1 added to the blacklist"};
    record.by = L"CORP\\\u0414\u043c\u0438\u0442\u0440\u0438\u0439";
    const Parsed parsed = Parse(Format(record));
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.params.at("by"), Utf8Of(std::wstring(record.by)));
    EXPECT_EQ(parsed.params.at("rule"), "blacklist");
}

TEST(SyslogMessage, EachKindHasItsMsgidAndSeverityAndThisComputerIsTheServer)
{
    const std::map<EventKind, std::pair<std::string, int>> expected = {
        {EventKind::Connection, {"CONNECT", kSeverityNotice}},
        {EventKind::FileOpen, {"OPEN", kSeverityNotice}},
        {EventKind::Tripwire, {"TRIP", kSeverityAlert}},
        {EventKind::SessionCutOff, {"CUTOFF", kSeverityWarning}},
        {EventKind::SessionClosed, {"CLOSE-SESSION", kSeverityNotice}},
        {EventKind::FileClosed, {"CLOSE-FILE", kSeverityNotice}},
        {EventKind::ShareRemoved, {"REMOVE-SHARE", kSeverityNotice}},
        {EventKind::ComputerListed, {"LISTED", kSeverityNotice}},
        {EventKind::ComputerUnlisted, {"UNLISTED", kSeverityNotice}},
        {EventKind::TripReleased, {"RELEASED", kSeverityNotice}},
        {EventKind::ServerSilent, {"SERVER-SILENT", kSeverityError}},
        {EventKind::SharesDenied, {"DENIED", kSeverityWarning}},
        {EventKind::SharesRestored, {"RESTORED", kSeverityNotice}},
    };
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(kEventKinds));
    for (const auto& [kind, facts] : expected) {
        const EventRecord record{kind, {}, TestUtc(), "", L"PC1", L"", L"", 0, "blacklist", "Session of PC1 deleted"};
        const Parsed parsed = Parse(Format(record));
        ASSERT_EQ(parsed.error, "");
        EXPECT_EQ(parsed.msgid, facts.first);
        EXPECT_EQ(parsed.pri, 13 * 8 + facts.second) << facts.first;
        EXPECT_EQ(parsed.params.at("server"), "fs1.example.org") << "this computer's events name it";
        EXPECT_EQ(parsed.params.at("rule"), "blacklist");
        EXPECT_EQ(parsed.params.count("mode"), 0u) << "only a file open has a mode";
    }
    // A facility of the settings, and one out of range falling back to log audit.
    SyslogOrigin local7 = MakeSyslogOrigin(23);
    const EventRecord trip{EventKind::Tripwire, {}, {}, "", L"", L"", L"", 0, "", "x"};
    std::array<char, 512> text{};
    std::string message(text.data(), FormatSyslogMessage(text, local7, trip));
    EXPECT_EQ(message.rfind("<185>1 - ", 0), 0u) << "23 * 8 + 1, and a time not known is the nil value: " << message;
    EXPECT_EQ(MakeSyslogOrigin(24).facility, 13);
    EXPECT_EQ(MakeSyslogOrigin(-1).facility, 13);
    EXPECT_NE(std::string(MakeSyslogOrigin(13).host.data()), "") << "this computer's name";
    EXPECT_EQ(std::string(MakeSyslogOrigin(13).host.data()).find(' '), std::string::npos);
}

TEST(SyslogMessage, ALongMessageIsCutAtACharacterBoundaryWithItsStructuredDataWhole)
{
    RecordTrial("bad input", "an event of 10,000 two-byte characters, a 40,000-character path and a user of 600 "
                "quotes formatted as a syslog message, and into rooms of 0 to 1,001 bytes",
                "at most 8 KiB, cut at a character boundary, the structured data whole and parseable");
    // The line: 10,000 characters of two bytes in UTF-8 (where the code page has them),
    // after one ASCII character, so that the limit falls inside a character.
    std::wstring wideLine = L"x" + std::wstring(10000, L'\u00e9');
    std::string line = AnsiOf(wideLine);
    if (line.find('?') != std::string::npos)
        GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no e acute";
    const std::wstring path(40000, L'\u20ac');  // three bytes each, far beyond the path's share
    const std::wstring user = std::wstring(600, L'"');  // each doubles when escaped
    const EventRecord record{EventKind::FileOpen, {}, TestUtc(), "", L"PC1", user, path, PERM_FILE_READ, "", line};
    const std::string message = Format(record, kSyslogMessageCapacity + 100);
    EXPECT_LE(message.size(), kSyslogMessageCapacity);
    EXPECT_GE(message.size(), kSyslogMessageCapacity - 1) << "cut at most one byte short, to end a character";
    EXPECT_TRUE(IsWholeUtf8(message));
    const Parsed parsed = Parse(message);
    ASSERT_EQ(parsed.error, "") << "the structured data is whole";
    EXPECT_EQ(parsed.params.at("path").size() % 3, 0u) << "a cut value holds whole characters";
    EXPECT_GT(parsed.params.at("path").size(), 900u);
    EXPECT_EQ(parsed.params.at("user"), std::string(256, '"'));
    EXPECT_TRUE(parsed.hasBom);
    EXPECT_EQ(parsed.msg.substr(0, 3), "x\xC3\xA9");

    // Smaller rooms: always whole characters, never more than the room.
    for (std::size_t room : {0u, 1u, 10u, 100u, 333u, 1001u}) {
        const std::string small = Format(record, room);
        EXPECT_LE(small.size(), room);
        EXPECT_TRUE(IsWholeUtf8(small)) << room;
    }
}

// Over UDP a message is kept near what every network carries whole, and the path goes
// once: RFC 5426 promises only 480 octets and advises staying near 2,048.
TEST(SyslogMessage, ADatagramIsAtMost2048OctetsWithThePathOnceAndACutTextMarked)
{
    RecordTrial("bad input", "UDP messages of a 1,500-character path, and of every name, path and line at its "
                "longest with characters of three bytes",
                "each at most 2,048 octets, the structured data whole, the path only there, a cut text marked");
    const std::wstring path = L"D:\\Shares\\" + std::wstring(1500, L'a');
    const std::string line = "[9:5:8] [ann][Read] " + AnsiOf(path);
    const EventRecord open{EventKind::FileOpen, {}, TestUtc(), "", L"PC1", L"ann", path, PERM_FILE_READ, "", line};
    std::array<char, kSyslogMessageCapacity> room{};
    std::string datagram(room.data(), FormatSyslogDatagram(room, TestOrigin(), open));
    EXPECT_LE(datagram.size(), kSyslogDatagramCapacity);
    Parsed parsed = Parse(datagram);
    ASSERT_EQ(parsed.error, "") << datagram;
    EXPECT_EQ(parsed.params.at("path").rfind("D:\\Shares\\aaa", 0), 0u);
    EXPECT_EQ(parsed.msg, "[9:5:8] [ann][Read]") << "the path is in the structured data alone";
    // Everything at its longest: the values shrink until the structured data fits whole.
    const std::wstring euros(3000, L'\u20ac');
    const std::string server = "\\\\" + std::string(300, 'S');
    const std::string rule(300, 'r');
    const std::string text(5000, 'x');
    const EventRecord longest{EventKind::FileOpen, {}, TestUtc(), server, euros, euros, euros, PERM_FILE_READ, rule,
                              text};
    datagram.assign(room.data(), FormatSyslogDatagram(room, TestOrigin(), longest));
    EXPECT_LE(datagram.size(), kSyslogDatagramCapacity);
    EXPECT_TRUE(IsWholeUtf8(datagram));
    parsed = Parse(datagram);
    ASSERT_EQ(parsed.error, "") << "the structured data is whole";
    EXPECT_FALSE(parsed.params.at("path").empty());
    ASSERT_GE(parsed.msg.size(), 3u);
    EXPECT_EQ(parsed.msg.substr(parsed.msg.size() - 3), "\xE2\x80\xA6") << "a cut text is marked";
    // Over TCP the same message is as it was: the path in both.
    EXPECT_NE(Format(open).find(AnsiOf(path) + ""), std::string::npos);
}

TEST(SyslogMessage, TextConversionsCutWholeCharactersAndReplaceWhatCannotBeRead)
{
    std::array<char, 16> room{};
    // "a", "é" (2), "€" (3), "🔒" (4) = 10 bytes.
    const std::wstring mixed = L"a\u00e9\u20ac\U0001F512";
    EXPECT_EQ(CutUtf8FromWide(room, mixed), 10u);
    EXPECT_EQ(std::string(room.data(), 10), Utf8Of(mixed));
    for (std::size_t size = 0; size < 10; ++size) {
        const std::size_t length = CutUtf8FromWide(std::span<char>(room).first(size), mixed);
        const std::size_t whole = size < 1 ? 0 : size < 3 ? 1 : size < 6 ? 3 : 6;
        EXPECT_EQ(length, whole) << "room " << size;
    }
    // An unpaired surrogate, either half, is U+FFFD.
    const std::wstring broken = {L'a', static_cast<wchar_t>(0xD83D), L'b', static_cast<wchar_t>(0xDD12)};
    EXPECT_EQ(std::string(room.data(), CutUtf8FromWide(room, broken)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(Utf8HeadLength("a\xC3\xA9", 2), 1u);
    EXPECT_EQ(Utf8HeadLength("a\xC3\xA9", 3), 3u);
    EXPECT_EQ(Utf8HeadLength("\xE2\x82\xAC", 2), 0u);
    // A line break in a name or a line would split the message in a line-based file.
    const EventRecord record{EventKind::Connection, {}, TestUtc(), "", L"PC\n1", L"ann", L"", 0, "", "a\r\nb"};
    const Parsed parsed = Parse(Format(record));
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.params.at("computer"), "PC?1");
    EXPECT_EQ(parsed.msg, "a??b");
}
