// The engine's events as syslog messages (RFC 5424), for the organisation's collector:
//
//   <PRI>1 TIMESTAMP HOSTNAME Quorvel PROCID MSGID [quorvel@32473 server=".." ...] BOM MSG
//
// PRI is facility * 8 + severity; the facility is a setting (13, log audit, unless
// set), the severity and MSGID come from the kind (kSyslogKinds). TIMESTAMP is the
// event's UTC time to the millisecond; HOSTNAME this computer's DNS name (its NetBIOS
// name when it has none). Everything is UTF-8: names from the server are converted
// from UTF-16, the log line from the ANSI code page, and MSG starts with the BOM that
// RFC 5424 allows to say so.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/watch/event_record.h"

// The longest message, in bytes: the MSG of a longer one is cut at a character boundary.
constexpr std::size_t kSyslogMessageCapacity = 8192;
// The longest UDP datagram: RFC 5426 promises 480 octets and advises staying near 2,048.
constexpr std::size_t kSyslogDatagramCapacity = 2048;
constexpr int32_t kDefaultSyslogFacility = 13;  // log audit
constexpr int32_t kHighestSyslogFacility = 23;  // local7
constexpr char kSyslogAppName[] = "Quorvel";
// The structured data's id. 32473 is the enterprise number RFC 5612 reserves for
// examples: a placeholder that can be no one else's, until the product registers its own.
constexpr char kSyslogDataId[] = "quorvel@32473";

// RFC 5424's severities.
enum SyslogSeverity : int32_t {
    kSeverityEmergency = 0,
    kSeverityAlert = 1,
    kSeverityCritical = 2,
    kSeverityError = 3,
    kSeverityWarning = 4,
    kSeverityNotice = 5,
    kSeverityInformational = 6,
    kSeverityDebug = 7,
};

struct SyslogKind {
    const char* msgid;
    SyslogSeverity severity;
    bool action;  // a trip, a cut-off or something the program or its user did: sent at minimum "actions"
    bool alarm;   // sent to the alarm webhook too
    const char* name;  // the webhook's kind
};

// By EventKind. Severities: a trip is an alert (someone is at the bait files now); a
// session cut off and a tripped user denied at the shares are warnings; a watched
// server that stopped answering is an error (its sessions are unwatched from then on);
// the rest, what the logs record and what the person at the machine did, are notices. The deny and its restore reach the alarm webhook too: whoever watches the
// alarms must know that share permissions changed, and when they are back.
inline constexpr std::array<SyslogKind, kEventKinds> kSyslogKinds = {{
    {"CONNECT", kSeverityNotice, false, false, "connection"},
    {"OPEN", kSeverityNotice, false, false, "file-open"},
    {"TRIP", kSeverityAlert, true, true, "tripwire"},
    {"CUTOFF", kSeverityWarning, true, true, "session-cut-off"},
    {"CLOSE-SESSION", kSeverityNotice, true, false, "session-closed"},
    {"CLOSE-FILE", kSeverityNotice, true, false, "file-closed"},
    {"REMOVE-SHARE", kSeverityNotice, true, false, "share-removed"},
    {"LISTED", kSeverityNotice, true, false, "computer-listed"},
    {"UNLISTED", kSeverityNotice, true, false, "computer-unlisted"},
    {"RELEASED", kSeverityNotice, true, false, "trip-released"},
    {"SERVER-SILENT", kSeverityError, true, true, "server-silent"},
    {"DENIED", kSeverityWarning, true, true, "shares-denied"},
    {"RESTORED", kSeverityNotice, true, true, "shares-restored"},
}};

// A kind out of range (a record from a newer engine, say) reads as a connection's.
const SyslogKind& SyslogKindOf(EventKind kind);

// Who sends: the header's fields that do not change while the program runs.
struct SyslogOrigin {
    int32_t facility;
    std::array<char, 256> host;  // printable ASCII, no blank; "-" when unknown
    std::array<char, 16> procId;
};
// This computer's DNS host name (else its NetBIOS name), this process's id, and the
// facility, within 0 to 23 (the default outside).
SyslogOrigin MakeSyslogOrigin(int32_t facility);

// The message of one event into `dest`, not terminated; returns its length, at most
// kSyslogMessageCapacity and the destination's size. The structured data always
// comes whole (each value is cut first); only MSG is cut when the message is long.
std::size_t FormatSyslogMessage(std::span<char> dest, const SyslogOrigin& origin, const EventRecord& record);
// The same for UDP: at most kSyslogDatagramCapacity bytes, the path in the structured
// data alone (not in MSG), the values cut further until the structured data fits
// whole, and MSG cut where the datagram ends and marked there with an ellipsis.
std::size_t FormatSyslogDatagram(std::span<char> dest, const SyslogOrigin& origin, const EventRecord& record);
// A message of the program's own (MSGID given, no structured data), such as how many
// messages the spool dropped.
std::size_t FormatSyslogNote(std::span<char> dest, const SyslogOrigin& origin, const SYSTEMTIME& utc,
                             const char* msgid, SyslogSeverity severity, std::string_view text);

// UTF-8 text, cut to fit `dest` at a character boundary; not terminated. Unpaired
// surrogates and bytes the code page cannot map become U+FFFD. Returns the length.
std::size_t CutUtf8FromWide(std::span<char> dest, std::wstring_view source);
std::size_t CutUtf8FromAnsi(std::span<char> dest, std::string_view source);
// The longest head of UTF-8 `text` of at most `limit` bytes that ends at a character boundary.
std::size_t Utf8HeadLength(std::string_view text, std::size_t limit);

// "2024-03-05T14:07:09.250Z" (24 characters and a terminator), or "-" for a zero time.
std::array<char, 32> FormatSyslogTime(const SYSTEMTIME& utc);
