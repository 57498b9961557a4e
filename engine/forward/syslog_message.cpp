#include "engine/forward/syslog_message.h"

#include <algorithm>

#include "core/text.h"
#include "engine/watch/event_text.h"

namespace {

// Each value is cut to this many bytes before it is escaped, so that the header and
// the structured data, escaped, take at most about 5 KiB and MSG keeps the rest.
constexpr std::size_t kNameValueBytes = 256;
constexpr std::size_t kPathValueBytes = 1024;
// A datagram's structured data is cut until this much room is left for its text.
constexpr std::size_t kMessageTextLeast = 160;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Bytes put one after another into a destination, stopping at its end.
struct Writer {
    std::span<char> dest;
    std::size_t length;
    bool full = false;  // something did not fit
};

void Put(Writer& writer, std::string_view text)
{
    const std::size_t room = writer.dest.size() - writer.length;
    const std::size_t count = std::min(room, text.size());
    std::copy_n(text.data(), count, writer.dest.data() + writer.length);
    writer.length += count;
    writer.full = writer.full || count < text.size();
}

// What each value is cut to, and where the message ends.
struct MessageShape {
    std::size_t capacity;
    std::size_t name;
    std::size_t path;
    std::size_t rule;
    bool pathInText;  // a datagram carries the path once, in the structured data
};
constexpr MessageShape kStreamShape{kSyslogMessageCapacity, 256, 1024, 256, true};
constexpr std::string_view kCutMark = "\xE2\x80\xA6";  // U+2026, where a datagram's text was cut

void PutNumber(Writer& writer, uint64_t value)
{
    std::array<char, 20> digits{};
    Put(writer, DecimalText(value, digits));
}

std::size_t EncodeUtf8(uint32_t code, std::array<char, 4>& bytes)
{
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (code >> 6));
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (code >> 12));
        bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<char>(0xF0 | (code >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

// A line break in a name or a line would split the message in a collector's file.
void ReplaceControls(std::span<char> text)
{
    for (char& c : text) {
        if (IsControlCharacter(c))
            c = '?';
    }
}

// One SD-PARAM, ` name="value"`, the value cut to `limit` bytes and then escaped as
// RFC 5424 says: '"', '\' and ']' take a backslash. Empty values are left out.
void PutParam(Writer& writer, std::string_view name, std::string_view utf8, std::size_t limit)
{
    if (utf8.empty())
        return;
    utf8 = utf8.substr(0, Utf8HeadLength(utf8, limit));
    Put(writer, " ");
    Put(writer, name);
    Put(writer, "=\"");
    for (const char c : utf8) {
        if (c == '"' || c == '\\' || c == ']')
            Put(writer, "\\");
        Put(writer, std::string_view(IsControlCharacter(c) ? "?" : &c, 1));
    }
    Put(writer, "\"");
}

void PutWideParam(Writer& writer, std::string_view name, std::wstring_view value, std::size_t limit)
{
    std::array<char, kPathValueBytes> utf8{};
    const std::size_t length = CutUtf8FromWide(std::span<char>(utf8).first(std::min(limit, utf8.size())), value);
    PutParam(writer, name, std::string_view(utf8.data(), length), limit);
}

void PutAnsiParam(Writer& writer, std::string_view name, std::string_view value, std::size_t limit)
{
    std::array<char, kPathValueBytes> utf8{};
    const std::size_t length = CutUtf8FromAnsi(std::span<char>(utf8).first(std::min(limit, utf8.size())), value);
    PutParam(writer, name, std::string_view(utf8.data(), length), limit);
}

void PutHeader(Writer& writer, const SyslogOrigin& origin, SyslogSeverity severity, const SYSTEMTIME& utc,
               const char* msgid)
{
    Put(writer, "<");
    PutNumber(writer, static_cast<uint64_t>(origin.facility) * 8 + static_cast<uint64_t>(severity));
    Put(writer, ">1 ");
    Put(writer, FormatSyslogTime(utc).data());
    Put(writer, " ");
    Put(writer, origin.host[0] ? origin.host.data() : "-");
    Put(writer, " ");
    Put(writer, kSyslogAppName);
    Put(writer, " ");
    Put(writer, origin.procId[0] ? origin.procId.data() : "-");
    Put(writer, " ");
    Put(writer, msgid);
    Put(writer, " ");
}

// MSG: the BOM, then the line in UTF-8, cut where the destination ends.
void PutMessageText(Writer& writer, std::string_view ansiText)
{
    if (writer.dest.size() - writer.length < kByteOrderMark.size() + 1)
        return;
    Put(writer, " ");
    Put(writer, kByteOrderMark);
    const std::span<char> rest = writer.dest.subspan(writer.length);
    const std::size_t length = CutUtf8FromAnsi(rest, ansiText);
    ReplaceControls(rest.first(length));
    writer.length += length;
}

std::span<char> MessageRoom(std::span<char> dest)
{
    return dest.first(std::min(dest.size(), kSyslogMessageCapacity));
}

// The header and the structured data of an event, each value cut as `shape` says.
void PutEvent(Writer& writer, const SyslogOrigin& origin, const EventRecord& record, const MessageShape& shape);

// A datagram's MSG: the line without the path (which the structured data holds), cut
// where the datagram ends, and marked where it was cut.
void PutDatagramText(Writer& writer, const EventRecord& record)
{
    std::array<char, kSyslogMessageCapacity> text{};
    CopyText(text, record.text);
    std::array<wchar_t, kSyslogMessageCapacity> wide{};
    CopyWideText(wide, record.path);
    std::array<char, kSyslogMessageCapacity> path{};
    AnsiFromWide(path, wide.data());
    std::string_view line(text.data());
    const std::string_view ansiPath(path.data());
    std::array<char, kSyslogMessageCapacity> without{};
    if (const std::size_t at = ansiPath.empty() ? std::string_view::npos : line.find(ansiPath);
        at != std::string_view::npos) {
        std::size_t from = at;
        while (from > 0 && line[from - 1] == ' ')
            --from;
        CopyText(without, line.substr(0, from));
        AppendText(without, line.substr(at + ansiPath.size()));
        line = without.data();
    }
    if (writer.dest.size() - writer.length < kByteOrderMark.size() + kCutMark.size() + 2)
        return;
    Put(writer, " ");
    Put(writer, kByteOrderMark);
    const std::span<char> rest = writer.dest.subspan(writer.length, writer.dest.size() - writer.length - kCutMark.size());
    const std::size_t length = CutUtf8FromAnsi(rest, line);
    ReplaceControls(rest.first(length));
    writer.length += length;
    std::array<char, kSyslogMessageCapacity> whole{};
    if (CutUtf8FromAnsi(whole, line) > length)
        Put(writer, kCutMark);
}

}  // namespace

namespace {

void PutEvent(Writer& writer, const SyslogOrigin& origin, const EventRecord& record, const MessageShape& shape)
{
    const SyslogKind& kind = SyslogKindOf(record.kind);
    PutHeader(writer, origin, kind.severity, record.utc, kind.msgid);
    Put(writer, "[");
    Put(writer, kSyslogDataId);
    std::string_view server = record.server;
    while (!server.empty() && server.front() == '\\')
        server.remove_prefix(1);
    PutAnsiParam(writer, "server", server.empty() ? std::string_view(origin.host.data()) : server, shape.name);
    PutWideParam(writer, "computer", record.computer, shape.name);
    PutWideParam(writer, "user", record.user, shape.name);
    PutWideParam(writer, "path", record.path, shape.path);
    if (record.kind == EventKind::FileOpen) {
        std::array<char, 64> mode{};
        FormatOpenMode(record.permissions, mode);
        PutParam(writer, "mode", mode.data(), mode.size());
    }
    PutAnsiParam(writer, "rule", record.rule, shape.rule);
    PutWideParam(writer, "by", record.by, shape.name);  // who asked, for an action
    Put(writer, "]");
}

}  // namespace

const SyslogKind& SyslogKindOf(EventKind kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return index < kSyslogKinds.size() ? kSyslogKinds[index] : kSyslogKinds[0];
}

SyslogOrigin MakeSyslogOrigin(int32_t facility)
{
    SyslogOrigin origin{};
    origin.facility = facility >= 0 && facility <= kHighestSyslogFacility ? facility : kDefaultSyslogFacility;
    std::array<wchar_t, 256> name{};
    DWORD size = static_cast<DWORD>(name.size());
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, name.data(), &size) || name[0] == L'\0') {
        size = static_cast<DWORD>(name.size());
        if (!GetComputerNameExW(ComputerNameNetBIOS, name.data(), &size))
            name[0] = L'\0';
    }
    name.back() = L'\0';
    // RFC 5424 allows printable ASCII alone in HOSTNAME.
    std::size_t length = 0;
    for (; length + 1 < origin.host.size() && name[length] != L'\0'; ++length) {
        const wchar_t c = name[length];
        origin.host[length] = c > 32 && c < 127 ? static_cast<char>(c) : '_';
    }
    origin.host[length] = '\0';
    if (length == 0)
        CopyText(origin.host, "-");
    FormatText(origin.procId, "%lu", GetCurrentProcessId());
    return origin;
}

std::array<char, 32> FormatSyslogTime(const SYSTEMTIME& utc)
{
    std::array<char, 32> text{};
    if (utc.wYear == 0 || utc.wYear > 9999 || utc.wMonth < 1 || utc.wMonth > 12 || utc.wDay < 1 || utc.wDay > 31 ||
        utc.wHour > 23 || utc.wMinute > 59 || utc.wSecond > 60 || utc.wMilliseconds > 999) {
        CopyText(text, "-");
        return text;
    }
    FormatText(text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
               utc.wSecond, utc.wMilliseconds);
    return text;
}

std::size_t FormatSyslogMessage(std::span<char> dest, const SyslogOrigin& origin, const EventRecord& record)
{
    Writer writer{dest.first(std::min(dest.size(), kStreamShape.capacity)), 0};
    PutEvent(writer, origin, record, kStreamShape);
    PutMessageText(writer, record.text);
    return writer.length;
}

std::size_t FormatSyslogDatagram(std::span<char> dest, const SyslogOrigin& origin, const EventRecord& record)
{
    // The structured data comes whole: its values are cut further until it fits.
    MessageShape shape{kSyslogDatagramCapacity, 256, 1024, 256, false};
    Writer writer{dest.first(std::min(dest.size(), shape.capacity)), 0};
    for (int attempt = 0; attempt < 4; ++attempt) {
        writer.length = 0;
        writer.full = false;
        PutEvent(writer, origin, record, shape);
        if (!writer.full && writer.dest.size() - writer.length > kMessageTextLeast)
            break;
        shape.path /= 2;
        shape.name /= 2;
        shape.rule /= 2;
    }
    PutDatagramText(writer, record);
    return writer.length;
}

std::size_t FormatSyslogNote(std::span<char> dest, const SyslogOrigin& origin, const SYSTEMTIME& utc,
                             const char* msgid, SyslogSeverity severity, std::string_view text)
{
    Writer writer{MessageRoom(dest), 0};
    PutHeader(writer, origin, severity, utc, msgid);
    Put(writer, "-");
    PutMessageText(writer, text);
    return writer.length;
}

std::size_t CutUtf8FromWide(std::span<char> dest, std::wstring_view source)
{
    std::size_t length = 0;
    for (std::size_t at = 0; at < source.size(); ++at) {
        uint32_t code = static_cast<uint16_t>(source[at]);
        if (code >= 0xD800 && code <= 0xDBFF && at + 1 < source.size() &&
            static_cast<uint16_t>(source[at + 1]) >= 0xDC00 && static_cast<uint16_t>(source[at + 1]) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint16_t>(source[at + 1]) - 0xDC00);
            ++at;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        std::array<char, 4> bytes{};
        const std::size_t count = EncodeUtf8(code, bytes);
        if (count > dest.size() - length)
            break;
        std::copy_n(bytes.data(), count, dest.data() + length);
        length += count;
    }
    return length;
}

std::size_t CutUtf8FromAnsi(std::span<char> dest, std::string_view source)
{
    // Every byte of the code page gives at least one byte of UTF-8, so a head one
    // byte longer than the destination fills it: no character is half converted.
    std::array<wchar_t, kSyslogMessageCapacity> wide{};
    const std::size_t take = std::min({source.size(), dest.size() + 1, wide.size()});
    if (take == 0)
        return 0;
    const int units = MultiByteToWideChar(CP_ACP, 0, source.data(), static_cast<int>(take), wide.data(),
                                          static_cast<int>(wide.size()));
    return CutUtf8FromWide(dest, std::wstring_view(wide.data(), static_cast<std::size_t>(std::max(units, 0))));
}

std::size_t Utf8HeadLength(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return text.size();
    std::size_t length = limit;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return length;
}
