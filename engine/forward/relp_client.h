// The collector's connection: the sockets the forwarder sends through (UDP, TCP, RELP)
// and the RELP client. Every call waits at most the time it is given, so a collector
// that does not answer holds up only the thread that calls (the forwarder's, or a
// dialog's test), never the engine's.
//
// RELP frames are `TXNR SP COMMAND SP DATALEN [SP DATA] LF`. The client opens with
// `open` and its offers (relp_version=0, commands=syslog), sends each message as a
// `syslog` frame, keeps up to kRelpWindow of them unacknowledged, and takes the
// collector's `rsp` frames ("200 OK", or an error) in any order; a message counts as
// delivered only once it and every message before it have their "200". Anything else
// the collector sends (a frame cut short by the close, an unknown transaction, a
// command it should not send, a length beyond reason) ends the connection: the
// caller drops it and sends its unacknowledged messages again on the next one.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Messages sent and not yet acknowledged, at most.
constexpr std::size_t kRelpWindow = 128;
// The longest frame the collector may send us; its answers are a few dozen bytes.
constexpr std::size_t kRelpReplyCapacity = 4096;
// Frames gather into sends of this much.
constexpr std::size_t kRelpSendCapacity = 65536;
// The frame's header: 9 digits of transaction number, a command, 9 digits of length.
constexpr std::size_t kRelpHeaderCapacity = 64;
constexpr uint32_t kRelpHighestTxnr = 999999999;
constexpr std::size_t kRelpHighestDataLength = 999999999;

enum class NetResult {
    Ok,
    HostUnknown,   // the name does not resolve
    Refused,       // nothing listens on the port
    TimedOut,      // no answer within the time given
    Rejected,      // the collector answered with an error (RELP's "500 ...")
    Garbage,       // the collector sent what RELP does not allow
    Closed,        // the collector ended the connection
    Failed,        // any other socket failure
};
// "refused", "timed out", ...: for the notices and the dialog's test.
const char* NetResultText(NetResult result);

// Winsock, started once for the process (never stopped: the process ends it).
bool StartSockets();

// The collector's address; HostUnknown when `host` does not resolve (an IPv4 address
// or a name; the first IPv4 address of a name is used).
NetResult ResolveCollector(const char* host, uint16_t port, sockaddr_in* address);

// A TCP connection (or a connected UDP socket), non-blocking, made within `timeoutMs`.
NetResult ConnectCollector(const sockaddr_in& address, bool datagram, DWORD timeoutMs, SOCKET* connected);
// All of `bytes` sent within `timeoutMs` (a UDP datagram: at once, whole).
NetResult SendAll(SOCKET socket, std::string_view bytes, DWORD timeoutMs);
// Whether the socket has something to read (or was closed) within `timeoutMs`.
bool WaitReadable(SOCKET socket, DWORD timeoutMs);
// A connected UDP socket whose collector's port answered "unreachable" (ICMP): Windows
// reports it at the next read, Wine only in the socket's pending error; both are read.
bool PortUnreachable(SOCKET socket);
void CloseSocket(SOCKET* socket);

// One RELP frame, parsed. The views point into the bytes parsed.
struct RelpFrame {
    uint32_t txnr;
    std::string_view command;
    std::string_view data;
};
enum class RelpParse { Frame, NeedMore, Garbage };
// The frame at the start of `bytes`: Frame with its length in `used`; NeedMore when
// the bytes stop inside a frame that may still come whole within kRelpReplyCapacity;
// Garbage otherwise.
RelpParse ParseRelpFrame(std::string_view bytes, RelpFrame* frame, std::size_t* used);
// `TXNR SP COMMAND SP DATALEN [SP DATA] LF` into `dest`; 0 when it does not fit.
std::size_t FormatRelpFrame(std::span<char> dest, uint32_t txnr, std::string_view command, std::string_view data);
// The code of an `rsp` frame's data ("200 OK" gives 200); -1 when it has none.
int32_t RelpReplyCode(std::string_view data);

struct RelpSent {
    uint32_t txnr;
    uint64_t tag;  // the caller's name for the message (the spool's sequence number)
    bool acknowledged;
    ULONGLONG sentAt;  // pacing milliseconds, for the reply deadline
};

struct RelpClient {
    SOCKET socket;  // INVALID_SOCKET while closed
    uint32_t nextTxnr;
    std::array<RelpSent, kRelpWindow> sent;  // oldest first
    std::size_t sentCount;
    std::array<char, kRelpReplyCapacity> reply;  // bytes received, not yet a whole frame
    std::size_t replyLength;
    std::array<char, kRelpSendCapacity> outgoing;  // frames not sent yet
    std::size_t outgoingLength;
    int32_t lastCode;                 // of the last answer that was not 200
    std::array<char, 128> lastText;   // its text, or what else went wrong
    uint64_t refusedTag;              // the message that answer refused; 0 none
    DWORD replyDeadlineMs;            // the oldest message's answer is awaited this long; 0: for ever
};

// A client with no connection. Call before first use.
void ResetRelpClient(RelpClient& client);
// Connects and opens the session: Ok once the collector answered "200" and offers
// the syslog command; Rejected with its code and text for another answer.
NetResult OpenRelp(RelpClient& client, const sockaddr_in& address, DWORD timeoutMs);
// Whether another message may be sent before acknowledgements come back.
bool RelpWindowOpen(const RelpClient& client);
// One `syslog` frame: `tag` comes back from TakeRelpAcknowledgements once the
// collector acknowledged it and everything before it. Frames gather, and go when
// 64 KiB are waiting or acknowledgements are next looked for.
NetResult SendRelpMessage(RelpClient& client, std::string_view message, uint64_t tag, DWORD timeoutMs);
// Sends the frames that wait, within `timeoutMs`.
NetResult FlushRelp(RelpClient& client, DWORD timeoutMs);
// Sends what waits, then reads what the collector sent within `waitMs` and puts the
// tags newly delivered, oldest first, in `delivered` (room for kRelpWindow); Ok, or
// why the connection is over (the caller then drops it; what was delivered before
// that is in `delivered` all the same): Rejected with `refusedTag` for a message the
// collector refused, TimedOut when the oldest message waited past the reply deadline.
NetResult TakeRelpAcknowledgements(RelpClient& client, DWORD waitMs, std::span<uint64_t, kRelpWindow> delivered,
                                   std::size_t* count);
// Ends the session politely: `close`, its answer awaited up to `timeoutMs`, then the socket.
void CloseRelp(RelpClient& client, DWORD timeoutMs);
// Ends the connection at once; the unacknowledged messages are forgotten (the
// caller keeps them, and sends them again).
void DropRelp(RelpClient& client);
