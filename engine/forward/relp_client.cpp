#include "engine/forward/relp_client.h"

#include <mstcpip.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/clock.h"
#include "core/text.h"
#include "engine/forward/syslog_message.h"

namespace {

constexpr std::size_t kRelpCommandCapacity = 32;
constexpr std::size_t kNumberDigits = 9;
// Frames that wait go out within this, before acknowledgements are looked for.
constexpr DWORD kRelpFlushMs = 5000;
constexpr ULONG kKeepAliveIdleMs = 10000;
constexpr ULONG kKeepAliveIntervalMs = 2000;
constexpr std::string_view kOpenOffers = "relp_version=0\nrelp_software=Quorvel\ncommands=syslog";

std::atomic<int> socketsStarted{0};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Decimal digits up to a blank or line end: Frame when the number ended inside the bytes.
RelpParse ReadFrameNumber(std::string_view bytes, std::size_t* at, uint64_t* value)
{
    const std::size_t start = *at;
    uint64_t number = 0;
    while (*at < bytes.size() && IsDigit(bytes[*at])) {
        if (*at - start >= kNumberDigits)
            return RelpParse::Garbage;
        number = number * 10 + static_cast<uint64_t>(bytes[*at] - '0');
        ++*at;
    }
    if (*at == bytes.size())
        return RelpParse::NeedMore;
    if (*at == start)
        return RelpParse::Garbage;
    *value = number;
    return RelpParse::Frame;
}

DWORD RemainingMs(ULONGLONG deadline)
{
    const ULONGLONG now = PacingMillisecondsNow();
    return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF));
}

void NoteProblem(RelpClient& client, const char* text)
{
    CopyText(client.lastText, text);
}

// What the socket holds, appended to the bytes not yet parsed.
NetResult ReceiveSome(RelpClient& client, DWORD waitMs)
{
    if (!WaitReadable(client.socket, waitMs))
        return NetResult::Ok;
    if (client.replyLength == client.reply.size()) {
        NoteProblem(client, "a frame longer than any answer");
        return NetResult::Garbage;
    }
    const int received = recv(client.socket, client.reply.data() + client.replyLength,
                              static_cast<int>(client.reply.size() - client.replyLength), 0);
    if (received == 0) {
        NoteProblem(client, "the collector closed the connection");
        return NetResult::Closed;
    }
    if (received == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
            return NetResult::Ok;
        NoteProblem(client, "the connection broke");
        return error == WSAECONNRESET || error == WSAECONNABORTED ? NetResult::Closed : NetResult::Failed;
    }
    client.replyLength += static_cast<std::size_t>(received);
    return NetResult::Ok;
}

// A network that dies under a quiet connection is found by the system's probes: after
// 10 s without traffic, every 2 s.
void KeepAlive(SOCKET one)
{
    const BOOL on = TRUE;
    setsockopt(one, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive values{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD returned = 0;
    WSAIoctl(one, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}

void ConsumeReply(RelpClient& client, std::size_t used)
{
    std::memmove(client.reply.data(), client.reply.data() + used, client.replyLength - used);
    client.replyLength -= used;
}

uint32_t TakeTxnr(RelpClient& client)
{
    const uint32_t txnr = client.nextTxnr;
    client.nextTxnr = txnr >= kRelpHighestTxnr ? 1 : txnr + 1;
    return txnr;
}

NetResult SendFrame(RelpClient& client, uint32_t txnr, std::string_view command, std::string_view data,
                    DWORD timeoutMs)
{
    std::array<char, kSyslogMessageCapacity + kRelpHeaderCapacity> frame{};
    const std::size_t length = FormatRelpFrame(frame, txnr, command, data);
    if (length == 0) {
        NoteProblem(client, "a message too long for a frame");
        return NetResult::Failed;
    }
    const NetResult result = SendAll(client.socket, std::string_view(frame.data(), length), timeoutMs);
    if (result != NetResult::Ok)
        NoteProblem(client, "the connection broke while sending");
    return result;
}

// An answer that is not 200: its code and text are kept for the notice.
NetResult Refusal(RelpClient& client, std::string_view data)
{
    client.lastCode = RelpReplyCode(data);
    const std::size_t lineEnd = std::min(data.find('\n'), data.size());
    std::array<char, 128> text{};
    CopyText(text, data.substr(0, lineEnd));
    ReplaceControlCharacters(text);
    FormatText(client.lastText, "the collector answered \"%s\"", text.data());
    return NetResult::Rejected;
}

}  // namespace

const char* NetResultText(NetResult result)
{
    switch (result) {
    case NetResult::Ok: return "ok";
    case NetResult::HostUnknown: return "host unknown";
    case NetResult::Refused: return "connection refused";
    case NetResult::TimedOut: return "timed out";
    case NetResult::Rejected: return "refused by the collector";
    case NetResult::Garbage: return "the collector sent what RELP does not allow";
    case NetResult::Closed: return "the collector closed the connection";
    case NetResult::Failed: return "network failure";
    }
    return "network failure";
}

bool StartSockets()
{
    if (socketsStarted.load() == 1)
        return true;
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    // A second start only raises Winsock's own count: harmless.
    socketsStarted.store(1);
    return true;
}

NetResult ResolveCollector(const char* host, uint16_t port, sockaddr_in* address)
{
    *address = {};
    if (!host || !*host || !StartSockets())
        return NetResult::HostUnknown;
    // A name no host can have is not looked up: no query leaves for it.
    for (const char* c = host; *c; ++c) {
        if (!IsLetter(*c) && !IsDigit(*c) && *c != '.' && *c != '-' && *c != '_')
            return NetResult::HostUnknown;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return NetResult::HostUnknown;
    NetResult result = NetResult::HostUnknown;
    for (const addrinfo* one = found; one; one = one->ai_next) {
        if (one->ai_family == AF_INET && one->ai_addrlen >= sizeof(sockaddr_in)) {
            std::memcpy(address, one->ai_addr, sizeof(sockaddr_in));
            address->sin_port = htons(port);
            result = NetResult::Ok;
            break;
        }
    }
    freeaddrinfo(found);
    return result;
}

NetResult ConnectCollector(const sockaddr_in& address, bool datagram, DWORD timeoutMs, SOCKET* connected)
{
    *connected = INVALID_SOCKET;
    if (!StartSockets())
        return NetResult::Failed;
    SOCKET one = socket(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, datagram ? IPPROTO_UDP : IPPROTO_TCP);
    if (one == INVALID_SOCKET)
        return NetResult::Failed;
    u_long nonBlocking = 1;
    ioctlsocket(one, FIONBIO, &nonBlocking);
    if (!datagram) {
        // RELP waits for answers to small frames: no delay for coalescing.
        const BOOL noDelay = TRUE;
        setsockopt(one, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        KeepAlive(one);
    }
    if (connect(one, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        *connected = one;
        return NetResult::Ok;
    }
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(one, &writable);
        FD_SET(one, &failed);
        timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready == 0) {
            closesocket(one);
            return NetResult::TimedOut;
        }
        int socketError = 0;
        int size = sizeof socketError;
        getsockopt(one, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError), &size);
        if (ready > 0 && FD_ISSET(one, &writable) && socketError == 0) {
            *connected = one;
            return NetResult::Ok;
        }
        error = socketError;
    }
    closesocket(one);
    if (error == WSAECONNREFUSED)
        return NetResult::Refused;
    if (error == WSAETIMEDOUT)
        return NetResult::TimedOut;
    return NetResult::Failed;
}

NetResult SendAll(SOCKET socket, std::string_view bytes, DWORD timeoutMs)
{
    const ULONGLONG deadline = PacingMillisecondsNow() + timeoutMs;
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
        const int sent = send(socket, bytes.data(), chunk, 0);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        const int error = WSAGetLastError();
        if (sent == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
            const DWORD left = RemainingMs(deadline);
            if (left == 0)
                return NetResult::TimedOut;
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(socket, &writable);
            timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
            select(0, nullptr, &writable, nullptr, &wait);
            continue;
        }
        if (error == WSAECONNREFUSED || error == WSAECONNRESET)
            return NetResult::Refused;
        return error == WSAECONNABORTED || error == WSAESHUTDOWN ? NetResult::Closed : NetResult::Failed;
    }
    return NetResult::Ok;
}

bool WaitReadable(SOCKET socket, DWORD timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

bool PortUnreachable(SOCKET socket)
{
    std::array<char, 64> ignored{};
    if (recv(socket, ignored.data(), static_cast<int>(ignored.size()), 0) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error == WSAECONNRESET || error == WSAECONNREFUSED)
            return true;
    }
    int pending = 0;
    int size = sizeof pending;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size);
    return pending == WSAECONNRESET || pending == WSAECONNREFUSED;
}

void CloseSocket(SOCKET* socket)
{
    if (*socket != INVALID_SOCKET)
        closesocket(*socket);
    *socket = INVALID_SOCKET;
}

RelpParse ParseRelpFrame(std::string_view bytes, RelpFrame* frame, std::size_t* used)
{
    std::size_t at = 0;
    uint64_t txnr = 0;
    RelpParse step = ReadFrameNumber(bytes, &at, &txnr);
    if (step != RelpParse::Frame)
        return step;
    if (bytes[at++] != ' ')
        return RelpParse::Garbage;
    const std::size_t commandStart = at;
    while (at < bytes.size() && IsLetter(bytes[at])) {
        if (at - commandStart >= kRelpCommandCapacity)
            return RelpParse::Garbage;
        ++at;
    }
    if (at == bytes.size())
        return RelpParse::NeedMore;
    if (at == commandStart || bytes[at] != ' ')
        return RelpParse::Garbage;
    const std::string_view command = bytes.substr(commandStart, at - commandStart);
    ++at;
    uint64_t dataLength = 0;
    step = ReadFrameNumber(bytes, &at, &dataLength);
    if (step != RelpParse::Frame)
        return step;
    // A frame we could never hold whole is not an answer.
    if (dataLength > kRelpReplyCapacity - kRelpHeaderCapacity)
        return RelpParse::Garbage;
    std::string_view data;
    if (dataLength > 0) {
        if (bytes[at++] != ' ')
            return RelpParse::Garbage;
        if (bytes.size() - at < dataLength)
            return RelpParse::NeedMore;
        data = bytes.substr(at, static_cast<std::size_t>(dataLength));
        at += static_cast<std::size_t>(dataLength);
    }
    if (at == bytes.size())
        return RelpParse::NeedMore;
    if (bytes[at++] != '\n')
        return RelpParse::Garbage;
    *frame = {static_cast<uint32_t>(txnr), command, data};
    *used = at;
    return RelpParse::Frame;
}

std::size_t FormatRelpFrame(std::span<char> dest, uint32_t txnr, std::string_view command, std::string_view data)
{
    std::array<char, kRelpHeaderCapacity> header{};
    std::array<char, kRelpCommandCapacity + 1> name{};
    CopyText(name, command);
    const int headerLength = FormatText(header, "%u %s %u", static_cast<unsigned>(txnr), name.data(),
                                        static_cast<unsigned>(data.size()));
    const std::size_t total = static_cast<std::size_t>(headerLength) + (data.empty() ? 0 : 1 + data.size()) + 1;
    if (data.size() > kRelpHighestDataLength || total > dest.size())
        return 0;
    std::size_t at = 0;
    std::copy_n(header.data(), headerLength, dest.data());
    at += static_cast<std::size_t>(headerLength);
    if (!data.empty()) {
        dest[at++] = ' ';
        std::copy_n(data.data(), data.size(), dest.data() + at);
        at += data.size();
    }
    dest[at++] = '\n';
    return at;
}

int32_t RelpReplyCode(std::string_view data)
{
    if (data.size() < 3 || !IsDigit(data[0]) || !IsDigit(data[1]) || !IsDigit(data[2]) ||
        (data.size() > 3 && data[3] != ' ' && data[3] != '\n'))
        return -1;
    return (data[0] - '0') * 100 + (data[1] - '0') * 10 + (data[2] - '0');
}

void ResetRelpClient(RelpClient& client)
{
    client.socket = INVALID_SOCKET;
    client.nextTxnr = 1;
    client.sentCount = 0;
    client.replyLength = 0;
    client.outgoingLength = 0;
    client.lastCode = 0;
    client.lastText[0] = '\0';
    client.refusedTag = 0;
}

NetResult OpenRelp(RelpClient& client, const sockaddr_in& address, DWORD timeoutMs)
{
    DropRelp(client);
    client.nextTxnr = 1;
    client.lastCode = 0;
    client.lastText[0] = '\0';
    client.refusedTag = 0;
    const ULONGLONG deadline = PacingMillisecondsNow() + timeoutMs;
    NetResult result = ConnectCollector(address, false, timeoutMs, &client.socket);
    if (result != NetResult::Ok)
        return result;
    const uint32_t txnr = TakeTxnr(client);
    result = SendFrame(client, txnr, "open", kOpenOffers, RemainingMs(deadline));
    while (result == NetResult::Ok) {
        RelpFrame frame{};
        std::size_t used = 0;
        const RelpParse parse = ParseRelpFrame(std::string_view(client.reply.data(), client.replyLength), &frame, &used);
        if (parse == RelpParse::Garbage) {
            NoteProblem(client, "the collector's answer to open is not RELP");
            result = NetResult::Garbage;
            break;
        }
        if (parse == RelpParse::NeedMore) {
            const DWORD left = RemainingMs(deadline);
            if (left == 0) {
                NoteProblem(client, "no answer to open");
                result = NetResult::TimedOut;
                break;
            }
            result = ReceiveSome(client, std::min<DWORD>(left, 100));
            continue;
        }
        if (frame.command == "serverclose") {
            NoteProblem(client, "the collector closed the session at once");
            result = NetResult::Closed;
        } else if (frame.command != "rsp" || frame.txnr != txnr) {
            NoteProblem(client, "the collector's answer to open is not RELP");
            result = NetResult::Garbage;
        } else if (RelpReplyCode(frame.data) != 200) {
            result = Refusal(client, frame.data);
        } else if (frame.data.find("commands=") == std::string_view::npos ||
                   frame.data.find("syslog") == std::string_view::npos) {
            NoteProblem(client, "the collector does not take syslog messages");
            result = NetResult::Rejected;
        } else {
            ConsumeReply(client, used);
            return NetResult::Ok;
        }
    }
    DropRelp(client);
    return result;
}

bool RelpWindowOpen(const RelpClient& client)
{
    return client.socket != INVALID_SOCKET && client.sentCount < client.sent.size();
}

NetResult SendRelpMessage(RelpClient& client, std::string_view message, uint64_t tag, DWORD timeoutMs)
{
    if (!RelpWindowOpen(client))
        return NetResult::Failed;
    const uint32_t txnr = TakeTxnr(client);
    auto room = [&client] { return std::span<char>(client.outgoing).subspan(client.outgoingLength); };
    std::size_t length = FormatRelpFrame(room(), txnr, "syslog", message);
    if (length == 0) {
        const NetResult result = FlushRelp(client, timeoutMs);
        if (result != NetResult::Ok)
            return result;
        length = FormatRelpFrame(room(), txnr, "syslog", message);
        if (length == 0) {
            NoteProblem(client, "a message too long for a frame");
            return NetResult::Failed;
        }
    }
    client.outgoingLength += length;
    client.sent[client.sentCount++] = {txnr, tag, false, PacingMillisecondsNow()};
    return NetResult::Ok;
}

NetResult FlushRelp(RelpClient& client, DWORD timeoutMs)
{
    if (client.outgoingLength == 0)
        return NetResult::Ok;
    const NetResult result =
        SendAll(client.socket, std::string_view(client.outgoing.data(), client.outgoingLength), timeoutMs);
    client.outgoingLength = 0;
    if (result != NetResult::Ok)
        NoteProblem(client, "the connection broke while sending");
    return result;
}

NetResult TakeRelpAcknowledgements(RelpClient& client, DWORD waitMs, std::span<uint64_t, kRelpWindow> delivered,
                                   std::size_t* count)
{
    *count = 0;
    if (client.socket == INVALID_SOCKET)
        return NetResult::Closed;
    NetResult result = FlushRelp(client, kRelpFlushMs);
    if (result == NetResult::Ok)
        result = ReceiveSome(client, waitMs);
    // Frames that came before a close still count: what they acknowledge is delivered.
    for (;;) {
        RelpFrame frame{};
        std::size_t used = 0;
        const RelpParse parse = ParseRelpFrame(std::string_view(client.reply.data(), client.replyLength), &frame, &used);
        if (parse == RelpParse::NeedMore) {
            if (client.replyLength == client.reply.size()) {
                NoteProblem(client, "a frame longer than any answer");
                result = NetResult::Garbage;
            }
            break;
        }
        if (parse == RelpParse::Garbage) {
            NoteProblem(client, "the collector sent what RELP does not allow");
            result = NetResult::Garbage;
            break;
        }
        if (frame.command == "serverclose") {
            NoteProblem(client, "the collector closed the session");
            result = NetResult::Closed;
            break;
        }
        RelpSent* match = nullptr;
        for (std::size_t i = 0; i < client.sentCount; ++i) {
            if (frame.command == "rsp" && client.sent[i].txnr == frame.txnr && !client.sent[i].acknowledged)
                match = &client.sent[i];
        }
        if (!match) {
            NoteProblem(client, "the collector answered a transaction never sent");
            result = NetResult::Garbage;
            break;
        }
        if (RelpReplyCode(frame.data) != 200) {
            result = Refusal(client, frame.data);
            client.refusedTag = match->tag;
            break;
        }
        match->acknowledged = true;
        ConsumeReply(client, used);
    }
    std::size_t done = 0;
    while (done < client.sentCount && client.sent[done].acknowledged) {
        delivered[done] = client.sent[done].tag;
        ++done;
    }
    std::copy(client.sent.begin() + static_cast<std::ptrdiff_t>(done),
              client.sent.begin() + static_cast<std::ptrdiff_t>(client.sentCount), client.sent.begin());
    client.sentCount -= done;
    *count = done;
    // A collector that took the messages and answers none of them: the connection is
    // given up, and they go again on the next one.
    if (result == NetResult::Ok && client.sentCount > 0 && client.replyDeadlineMs != 0 &&
        PacingMillisecondsNow() - client.sent[0].sentAt >= client.replyDeadlineMs) {
        FormatText(client.lastText, "no answer within %u s", static_cast<unsigned>(client.replyDeadlineMs / 1000));
        result = NetResult::TimedOut;
    }
    return result;
}

void CloseRelp(RelpClient& client, DWORD timeoutMs)
{
    if (client.socket == INVALID_SOCKET)
        return;
    const ULONGLONG deadline = PacingMillisecondsNow() + timeoutMs;
    const uint32_t txnr = TakeTxnr(client);
    if (FlushRelp(client, timeoutMs) == NetResult::Ok && SendFrame(client, txnr, "close", {}, timeoutMs) == NetResult::Ok) {
        // Its answer, or the collector's own close: either ends the session.
        while (RemainingMs(deadline) > 0) {
            RelpFrame frame{};
            std::size_t used = 0;
            const RelpParse parse =
                ParseRelpFrame(std::string_view(client.reply.data(), client.replyLength), &frame, &used);
            if (parse == RelpParse::Garbage || (parse == RelpParse::Frame && frame.txnr == txnr))
                break;
            if (parse == RelpParse::Frame) {
                ConsumeReply(client, used);
                continue;
            }
            if (ReceiveSome(client, std::min<DWORD>(RemainingMs(deadline), 100)) != NetResult::Ok)
                break;
        }
    }
    DropRelp(client);
}

void DropRelp(RelpClient& client)
{
    CloseSocket(&client.socket);
    client.sentCount = 0;
    client.replyLength = 0;
    client.outgoingLength = 0;
}
