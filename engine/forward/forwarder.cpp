#include "core/event_log.h"
#include "engine/forward/forwarder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "core/clock.h"
#include "core/handoff.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/text.h"
#include "engine/forward/forward_spool.h"
#include "engine/forward/relp_client.h"
#include "engine/forward/syslog_message.h"
#include "rules/block_rules.h"

namespace {

constexpr std::size_t kQueueBytes = 4 * 1024 * 1024;
constexpr std::size_t kNoticeCapacity = 256;
// A message the collector refuses goes this many times before it is set aside.
constexpr int32_t kMostRefusals = 3;
constexpr std::size_t kNoticeCount = 16;
constexpr DWORD kConnectMs = 3000;
constexpr DWORD kSendMs = 5000;
constexpr DWORD kFirstRetryMs = 1000;
constexpr DWORD kLongestRetryMs = 30000;
constexpr DWORD kIdleWaitMs = 200;
constexpr DWORD kAcknowledgementWaitMs = 20;
// How long the first datagram after connecting waits for a port-unreachable answer.
constexpr DWORD kDatagramConfirmMs = 250;
constexpr DWORD kTestMs = 5000;
// Messages sent in one round before the queue is looked at again.
constexpr int kSendRound = 512;
// TCP: frames gather into sends of this much.
constexpr std::size_t kBatchBytes = 65536;

constexpr char kDropMsgid[] = "DROPPED";
constexpr char kTestMsgid[] = "TEST";
constexpr char kTestText[] = "Quorvel test message: forwarding works";

struct Word {
    const char* text;
    int32_t value;
};
constexpr std::array<Word, 3> kTransportWords = {{{"udp", 0}, {"tcp", 1}, {"relp", 2}}};
constexpr std::array<Word, 2> kMinimumWords = {{{"all", 0}, {"actions", 1}}};
constexpr std::array<Word, 3> kFormatWords = {{{"json", 0}, {"teams", 1}, {"slack", 2}}};

template <std::size_t Count>
int32_t ValueOfWord(const std::array<Word, Count>& words, const char* text, int32_t unknown)
{
    // The same length and the same end, letters in either case: the same word.
    for (const Word& word : words) {
        if (std::strlen(text) == std::strlen(word.text) && EndsWithIgnoringAsciiCase(text, word.text))
            return word.value;
    }
    return unknown;
}

template <std::size_t Count>
const char* WordOfValue(const std::array<Word, Count>& words, int32_t value)
{
    for (const Word& word : words) {
        if (word.value == value)
            return word.text;
    }
    return words[0].text;
}

// The engine's thread puts messages in, the forwarder's thread takes them out: each
// is its length (4 bytes) and its bytes, wrapping round the end.
struct MessageQueue {
    std::array<char, kQueueBytes> bytes;
    std::atomic<uint64_t> head;  // bytes put in: the engine's thread's
    std::atomic<uint64_t> tail;  // bytes taken: the forwarder's thread's
    std::atomic<uint64_t> lost;  // messages that did not fit, not yet counted in the spool
};

struct Notice {
    std::array<char, kNoticeCapacity> text;
};

struct Forwarder {
    ForwardSettings settings;
    uint64_t refusedSequence;  // the message the collector last refused, and how often
    int32_t refusals;
    SyslogOrigin origin;
    PathText spoolPath;
    HANDLE thread;
    HANDLE wake;
    std::atomic<bool> running;  // the sink queues
    std::atomic<bool> stopping;
    std::atomic<bool> failing;
    MessageQueue queue;
    RequestRing<Notice, kNoticeCount> notices;
    // The forwarder's thread's alone:
    ForwardSpool spool;
    RelpClient relp;
    SOCKET socket;  // UDP and TCP
    bool connected;
    bool datagramConfirmed;     // UDP: the first datagram drew no port-unreachable answer
    bool spoolCorrupt;          // a record did not read back as written
    uint64_t dropNoteInFlight;  // over RELP: the count the note in flight tells
    std::array<char, kSyslogMessageCapacity> message;
    std::array<char, kBatchBytes> batch;  // TCP frames not sent yet
    std::size_t batchLength;
    uint64_t batchLast;  // the sequence number of the last message in the batch
    // Read by anyone:
    std::atomic<uint64_t> queued;
    std::atomic<uint64_t> delivered;
    std::atomic<uint64_t> sent;
    std::atomic<uint64_t> dropped;
    std::atomic<uint64_t> waiting;
    std::atomic<uint64_t> connections;
};

Forwarder forwarder;

void PutNotice(const char* text)
{
    Notice* notice = NextRequestPlace(forwarder.notices);
    if (!notice)
        return;
    CopyText(notice->text, text);
    PutRequest(forwarder.notices);
}

std::array<char, 300> CollectorName(const ForwardSettings& settings)
{
    std::array<char, 300> name{};
    FormatText(name, "%s:%u (%s)", settings.host.data(), static_cast<unsigned>(ForwardPort(settings)),
               WordOfValue(kTransportWords, static_cast<int32_t>(settings.transport)));
    return name;
}

// The engine's thread: false when the message does not fit.
bool PutInQueue(std::string_view message)
{
    MessageQueue& queue = forwarder.queue;
    const uint64_t head = queue.head.load(std::memory_order_relaxed);
    const uint64_t tail = queue.tail.load(std::memory_order_acquire);
    const uint64_t size = sizeof(uint32_t) + message.size();
    if (kQueueBytes - (head - tail) < size)
        return false;
    const auto length = static_cast<uint32_t>(message.size());
    std::array<char, sizeof length> lengthBytes{};
    std::memcpy(lengthBytes.data(), &length, sizeof length);
    uint64_t at = head;
    for (const std::string_view part : {std::string_view(lengthBytes.data(), lengthBytes.size()), message}) {
        const std::size_t place = static_cast<std::size_t>(at % kQueueBytes);
        const std::size_t first = std::min(part.size(), kQueueBytes - place);
        std::copy_n(part.data(), first, queue.bytes.data() + place);
        std::copy_n(part.data() + first, part.size() - first, queue.bytes.data());
        at += part.size();
    }
    queue.head.store(at, std::memory_order_release);
    // The forwarder's thread drains the queue whole before it waits: only the first
    // message after that needs to wake it.
    if (head == tail)
        SetEvent(forwarder.wake);
    return true;
}

// Bytes of the queue from `at`, round its end when they reach it.
void CopyOutOfQueue(const MessageQueue& queue, uint64_t at, char* out, std::size_t size)
{
    const std::size_t place = static_cast<std::size_t>(at % kQueueBytes);
    const std::size_t first = std::min(size, kQueueBytes - place);
    std::copy_n(queue.bytes.data() + place, first, out);
    std::copy_n(queue.bytes.data(), size - first, out + first);
}

// The forwarder's thread: the oldest message into `dest`, false when none.
bool TakeFromQueue(std::span<char> dest, std::size_t* length)
{
    MessageQueue& queue = forwarder.queue;
    const uint64_t tail = queue.tail.load(std::memory_order_relaxed);
    if (queue.head.load(std::memory_order_acquire) == tail)
        return false;
    uint32_t size = 0;
    std::array<char, sizeof size> lengthBytes{};
    CopyOutOfQueue(queue, tail, lengthBytes.data(), sizeof size);
    std::memcpy(&size, lengthBytes.data(), sizeof size);
    *length = std::min<std::size_t>(size, dest.size());
    CopyOutOfQueue(queue, tail + sizeof size, dest.data(), *length);
    queue.tail.store(tail + sizeof size + size, std::memory_order_release);
    return true;
}

void UpdateWaiting()
{
    forwarder.waiting.store(forwarder.spool.count);
}

void MoveQueueToSpool()
{
    ForwardSpool& spool = forwarder.spool;
    std::size_t length = 0;
    while (TakeFromQueue(forwarder.message, &length)) {
        const uint64_t droppedBefore = spool.dropped;
        AppendToSpool(spool, std::string_view(forwarder.message.data(), length));
        forwarder.dropped.fetch_add(spool.dropped - droppedBefore);
    }
    const uint64_t lost = forwarder.queue.lost.exchange(0);
    CountDropped(spool, lost);
    forwarder.dropped.fetch_add(lost);
    SaveSpoolHeader(spool);
    UpdateWaiting();
}

void Disconnect(bool politely)
{
    if (forwarder.settings.transport == ForwardTransport::Relp) {
        if (politely)
            CloseRelp(forwarder.relp, 1000);
        else
            DropRelp(forwarder.relp);
    } else {
        CloseSocket(&forwarder.socket);
    }
    forwarder.connected = false;
    forwarder.dropNoteInFlight = 0;
}

NetResult Connect(std::span<char> problem)
{
    sockaddr_in address{};
    NetResult result = ResolveCollector(forwarder.settings.host.data(), ForwardPort(forwarder.settings), &address);
    if (result == NetResult::Ok) {
        if (forwarder.settings.transport == ForwardTransport::Relp) {
            forwarder.relp.replyDeadlineMs = static_cast<DWORD>(forwarder.settings.replySeconds) * 1000;
            result = OpenRelp(forwarder.relp, address, kConnectMs);
        }
        else
            result = ConnectCollector(address, forwarder.settings.transport == ForwardTransport::Udp, kConnectMs,
                                      &forwarder.socket);
    }
    CopyText(problem, forwarder.relp.lastText[0] && result != NetResult::Ok ? forwarder.relp.lastText.data()
                                                                            : NetResultText(result));
    forwarder.connected = result == NetResult::Ok;
    forwarder.datagramConfirmed = false;
    if (forwarder.connected)
        forwarder.connections.fetch_add(1);
    return result;
}

// The note that tells the collector how many messages were lost.
std::size_t FormatDropNote(uint64_t count)
{
    std::array<char, 160> text{};
    FormatText(text, "%u messages were dropped: the forwarding spool or queue was full",
               static_cast<unsigned>(std::min<uint64_t>(count, UINT32_MAX)));
    return FormatSyslogNote(forwarder.message, forwarder.origin, UniversalTimeNow(), kDropMsgid, kSeverityWarning,
                            text.data());
}

// TCP: the frames gathered so far, sent in one go. `sentThrough` gets the last
// message's sequence number when they went.
NetResult FlushBatch(uint64_t* sentThrough)
{
    if (forwarder.batchLength == 0)
        return NetResult::Ok;
    const NetResult result =
        SendAll(forwarder.socket, std::string_view(forwarder.batch.data(), forwarder.batchLength), kSendMs);
    forwarder.batchLength = 0;
    if (result == NetResult::Ok && forwarder.batchLast != 0)
        *sentThrough = forwarder.batchLast;
    return result;
}

// One message as the transport frames it: a datagram over UDP, sent now; an
// octet-counted frame (RFC 6587) over TCP, gathered into the batch.
NetResult SendPlain(std::string_view message, uint64_t sequence, uint64_t* sentThrough)
{
    forwarder.sent.fetch_add(1);
    if (forwarder.settings.transport == ForwardTransport::Udp) {
        const NetResult result = SendAll(forwarder.socket, message, kSendMs);
        if (result == NetResult::Ok && sequence != 0)
            *sentThrough = sequence;
        return result;
    }
    std::array<char, 16> count{};
    const auto digits = static_cast<std::size_t>(FormatText(count, "%u ", static_cast<unsigned>(message.size())));
    if (forwarder.batchLength + digits + message.size() > forwarder.batch.size()) {
        const NetResult result = FlushBatch(sentThrough);
        if (result != NetResult::Ok)
            return result;
    }
    std::copy_n(count.data(), digits, forwarder.batch.data() + forwarder.batchLength);
    std::copy_n(message.data(), message.size(), forwarder.batch.data() + forwarder.batchLength + digits);
    forwarder.batchLength += digits + message.size();
    forwarder.batchLast = sequence;
    return NetResult::Ok;
}

// Whether the collector is still there before a round: a TCP collector sends nothing,
// so readable means it closed the connection; a UDP one may have answered
// "unreachable" to what was sent last (those datagrams are lost, as UDP's are).
NetResult CheckCollectorThere()
{
    if (forwarder.settings.transport == ForwardTransport::Udp)
        return PortUnreachable(forwarder.socket) ? NetResult::Refused : NetResult::Ok;
    if (!WaitReadable(forwarder.socket, 0))
        return NetResult::Ok;
    std::array<char, 512> ignored{};
    const int received = recv(forwarder.socket, ignored.data(), static_cast<int>(ignored.size()), 0);
    if (received > 0 || (received == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK))
        return NetResult::Ok;
    return NetResult::Closed;
}

// UDP: the first datagram after connecting counts as delivered only once no
// "unreachable" came back for it, so that a collector that is down loses at most
// that one message's copy, and it stays in the spool.
NetResult ConfirmFirstDatagram()
{
    if (forwarder.settings.transport != ForwardTransport::Udp || forwarder.datagramConfirmed)
        return NetResult::Ok;
    WaitReadable(forwarder.socket, kDatagramConfirmMs);
    if (PortUnreachable(forwarder.socket))
        return NetResult::Refused;
    forwarder.datagramConfirmed = true;
    return NetResult::Ok;
}

NetResult SendPlainRound(SpoolCursor& cursor)
{
    ForwardSpool& spool = forwarder.spool;
    forwarder.batchLength = 0;
    forwarder.batchLast = 0;
    uint64_t sentThrough = 0;
    NetResult result = CheckCollectorThere();
    if (result == NetResult::Ok && spool.dropped > 0) {
        // The note goes out on its own, first: the count is forgotten only once it went.
        const uint64_t count = spool.dropped;
        const std::size_t length = FormatDropNote(count);
        result = SendPlain(std::string_view(forwarder.message.data(), length), 0, &sentThrough);
        if (result == NetResult::Ok)
            result = FlushBatch(&sentThrough);
        if (result == NetResult::Ok)
            result = ConfirmFirstDatagram();
        if (result == NetResult::Ok)
            ForgetDropped(spool, count);
    }
    for (int k = 0; k < kSendRound && result == NetResult::Ok; ++k) {
        std::size_t length = 0;
        uint64_t sequence = 0;
        const SpoolRead read = ReadSpoolRecord(spool, cursor, forwarder.message, &length, &sequence);
        if (read != SpoolRead::Record) {
            forwarder.spoolCorrupt = read == SpoolRead::Corrupt;
            break;
        }
        uint64_t sent = 0;
        result = SendPlain(std::string_view(forwarder.message.data(), length), sequence, &sent);
        if (result == NetResult::Ok)
            result = ConfirmFirstDatagram();
        if (result == NetResult::Ok && sent != 0)
            sentThrough = sent;
    }
    if (result == NetResult::Ok)
        result = FlushBatch(&sentThrough);
    if (sentThrough != 0) {
        const uint64_t before = spool.count;
        RemoveSpoolThrough(spool, sentThrough);
        forwarder.delivered.fetch_add(before - spool.count);
    }
    return result;
}

// A message the collector refuses is sent again, on each new connection, a few times;
// then it is set aside (counted as dropped, which the collector is told) so that it
// never holds up the messages behind it.
void CountRefusal(uint64_t sequence)
{
    if (sequence != forwarder.refusedSequence) {
        forwarder.refusedSequence = sequence;
        forwarder.refusals = 0;
    }
    ForwardSpool& spool = forwarder.spool;
    if (++forwarder.refusals < kMostRefusals || spool.count == 0 || sequence != spool.firstSequence)
        return;
    RemoveSpoolThrough(spool, sequence);
    CountDropped(spool, 1);
    forwarder.dropped.fetch_add(1);
    std::array<char, kNoticeCapacity> text{};
    FormatText(text, "The collector refused one message %d times (%s): it was set aside, counted as dropped, and the "
               "messages behind it go on",
               kMostRefusals, forwarder.relp.lastText.data());
    PutNotice(text.data());
    forwarder.refusedSequence = 0;
    forwarder.refusals = 0;
}

NetResult SendRelpRound(SpoolCursor& cursor)
{
    ForwardSpool& spool = forwarder.spool;
    RelpClient& relp = forwarder.relp;
    NetResult result = NetResult::Ok;
    if (spool.dropped > 0 && forwarder.dropNoteInFlight == 0 && RelpWindowOpen(relp)) {
        const uint64_t count = spool.dropped;
        const std::size_t length = FormatDropNote(count);
        // Tag 0: no spool record has it.
        result = SendRelpMessage(relp, std::string_view(forwarder.message.data(), length), 0, kSendMs);
        forwarder.sent.fetch_add(1);
        if (result == NetResult::Ok)
            forwarder.dropNoteInFlight = count;
    }
    for (int k = 0; k < kSendRound && result == NetResult::Ok && RelpWindowOpen(relp); ++k) {
        std::size_t length = 0;
        uint64_t sequence = 0;
        const SpoolRead read = ReadSpoolRecord(spool, cursor, forwarder.message, &length, &sequence);
        if (read != SpoolRead::Record) {
            forwarder.spoolCorrupt = read == SpoolRead::Corrupt;
            break;
        }
        result = SendRelpMessage(relp, std::string_view(forwarder.message.data(), length), sequence, kSendMs);
        forwarder.sent.fetch_add(1);
    }
    if (result != NetResult::Ok)
        return result;
    std::array<uint64_t, kRelpWindow> delivered{};
    std::size_t count = 0;
    result = TakeRelpAcknowledgements(relp, relp.sentCount > 0 ? kAcknowledgementWaitMs : 0, delivered, &count);
    uint64_t last = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (delivered[k] == 0) {
            ForgetDropped(spool, forwarder.dropNoteInFlight);
            forwarder.dropNoteInFlight = 0;
        } else {
            last = delivered[k];
        }
    }
    if (last != 0) {
        const uint64_t before = spool.count;
        RemoveSpoolThrough(spool, last);
        forwarder.delivered.fetch_add(before - spool.count);
    }
    if (result == NetResult::Rejected && relp.refusedTag != 0)
        CountRefusal(relp.refusedTag);
    return result;
}

void NoteFailing(const char* problem)
{
    if (forwarder.failing.exchange(true))
        return;
    std::array<char, kNoticeCapacity> text{};
    FormatText(text, "Forwarding to %s fails: %s; events wait in the spool", CollectorName(forwarder.settings).data(),
               problem);
    PutNotice(text.data());
    ReportProductEvent(QUORVEL_EVENT_FORWARDING_FAILING, {text.data()});
}

void NoteWorking()
{
    if (!forwarder.failing.exchange(false))
        return;
    std::array<char, kNoticeCapacity> text{};
    FormatText(text, "Forwarding to %s works again", CollectorName(forwarder.settings).data());
    PutNotice(text.data());
    ReportProductEvent(QUORVEL_EVENT_FORWARDING_RECOVERED, {text.data()});
}

void NoteSpool(SpoolOpened opened)
{
    std::array<char, kNoticeCapacity> text{};
    if (opened == SpoolOpened::SetAside)
        FormatText(text, "The forwarding spool %s was damaged: kept aside as %s%s, a new one started",
                   forwarder.spoolPath.data(), kSpoolFileName, kSpoolSetAsideSuffix);
    else if (opened == SpoolOpened::Repaired)
        FormatText(text, "The forwarding spool %s held %u damaged messages: they were dropped (the collector is "
                   "told), the rest is sent; the damaged file is kept aside as %s%s",
                   forwarder.spoolPath.data(), static_cast<unsigned>(forwarder.spool.lastRepairLost), kSpoolFileName,
                   kSpoolSetAsideSuffix);
    else if (opened == SpoolOpened::Failed)
        FormatText(text, "The forwarding spool %s cannot be opened: events are not forwarded",
                   forwarder.spoolPath.data());
    else
        return;
    PutNotice(text.data());
}

bool SpoolHasWork()
{
    return forwarder.spool.count > 0 || forwarder.spool.dropped > 0;
}

// The forwarder thread's place in its work: where the spool is sent from, and the
// wait before the next connection.
struct ThreadRound {
    SpoolCursor cursor;
    DWORD retry;
    ULONGLONG nextAttempt;
    bool deliveredOnConnection;
};

void RetryLater(ThreadRound& round, const char* problem)
{
    NoteFailing(problem);
    round.nextAttempt = PacingMillisecondsNow() + round.retry;
    round.retry = std::min(round.retry * 2, kLongestRetryMs);
}

void TryToConnect(ThreadRound& round)
{
    std::array<char, 160> problem{};
    if (Connect(problem) == NetResult::Ok) {
        round.cursor = SpoolStart(forwarder.spool);
        round.deliveredOnConnection = false;
    } else {
        RetryLater(round, problem.data());
    }
}

void SendOnConnection(ThreadRound& round)
{
    const uint64_t deliveredBefore = forwarder.delivered.load();
    const NetResult result = forwarder.settings.transport == ForwardTransport::Relp ? SendRelpRound(round.cursor)
                                                                                    : SendPlainRound(round.cursor);
    SaveSpoolHeader(forwarder.spool);
    UpdateWaiting();
    if (forwarder.delivered.load() != deliveredBefore) {
        round.deliveredOnConnection = true;
        round.retry = kFirstRetryMs;
        NoteWorking();
    }
    if (result == NetResult::Ok)
        return;
    std::array<char, 160> problem{};
    CopyText(problem, forwarder.relp.lastText[0] ? forwarder.relp.lastText.data() : NetResultText(result));
    Disconnect(false);
    // A connection that worked broke (the collector restarted, or closed it while
    // idle): connect again at once, and tell only if that fails.
    if (round.deliveredOnConnection && result != NetResult::TimedOut)
        round.nextAttempt = 0;
    else
        RetryLater(round, problem.data());
}

void RepairCorruptSpool(ThreadRound& round)
{
    ForwardSpool& spool = forwarder.spool;
    forwarder.spoolCorrupt = false;
    Disconnect(false);  // what is in flight goes again from the repaired spool
    const uint64_t lostBefore = spool.dropped;
    NoteSpool(RepairSpool(spool));
    forwarder.dropped.fetch_add(spool.dropped - std::min(spool.dropped, lostBefore));
    round.cursor = SpoolStart(spool);
}

DWORD WINAPI ForwarderThread(void*)
{
    ForwardSpool& spool = forwarder.spool;
    const SpoolOpened opened = OpenForwardSpool(
        spool, forwarder.spoolPath.data(), static_cast<uint64_t>(forwarder.settings.spoolMegabytes) * kSpoolMegabyte);
    NoteSpool(opened);
    if (opened == SpoolOpened::Repaired)
        forwarder.dropped.fetch_add(spool.lastRepairLost);
    UpdateWaiting();
    ResetRelpClient(forwarder.relp);
    forwarder.socket = INVALID_SOCKET;
    forwarder.connected = false;
    forwarder.spoolCorrupt = false;
    ThreadRound round{SpoolStart(spool), kFirstRetryMs, 0, false};
    for (;;) {
        const bool stop = forwarder.stopping.load();
        MoveQueueToSpool();
        if (stop || spool.file == INVALID_HANDLE_VALUE)
            break;
        if (!forwarder.connected && SpoolHasWork() && PacingMillisecondsNow() >= round.nextAttempt)
            TryToConnect(round);
        if (forwarder.connected) {
            SendOnConnection(round);
            if (forwarder.spoolCorrupt)
                RepairCorruptSpool(round);
        }
        const bool busy = forwarder.connected && (forwarder.relp.sentCount > 0 ||
                                                  round.cursor.sequence < spool.firstSequence + spool.count);
        if (!busy)
            WaitForSingleObject(forwarder.wake, kIdleWaitMs);
    }
    Disconnect(true);
    CloseForwardSpool(spool);
    UpdateWaiting();
    return 0;
}

// The test message over RELP, acknowledged within the test's time; the collector's
// words in `problem`.
NetResult SendTestOverRelp(const sockaddr_in& address, std::string_view text, std::span<char> problem)
{
    RelpClient client{};
    ResetRelpClient(client);
    NetResult outcome = OpenRelp(client, address, kTestMs);
    if (outcome == NetResult::Ok)
        outcome = SendRelpMessage(client, text, 1, kTestMs);
    const ULONGLONG deadline = PacingMillisecondsNow() + kTestMs;
    std::size_t count = 0;
    while (outcome == NetResult::Ok && count == 0 && PacingMillisecondsNow() < deadline) {
        std::array<uint64_t, kRelpWindow> delivered{};
        outcome = TakeRelpAcknowledgements(client, 100, delivered, &count);
    }
    if (outcome == NetResult::Ok && count == 0)
        outcome = NetResult::TimedOut;
    CopyText(problem, client.lastText.data());
    if (outcome == NetResult::Ok)
        CloseRelp(client, 1000);
    else
        DropRelp(client);
    return outcome;
}

// The test message over TCP (octet-counted) or UDP.
NetResult SendTestPlain(const sockaddr_in& address, bool datagram, std::string_view text)
{
    SOCKET socket = INVALID_SOCKET;
    NetResult outcome = ConnectCollector(address, datagram, kTestMs, &socket);
    if (outcome == NetResult::Ok && !datagram) {
        std::array<char, 16> count{};
        const int digits = FormatText(count, "%u ", static_cast<unsigned>(text.size()));
        outcome = SendAll(socket, std::string_view(count.data(), static_cast<std::size_t>(digits)), kTestMs);
    }
    if (outcome == NetResult::Ok)
        outcome = SendAll(socket, text, kTestMs);
    // A UDP port no one listens on answers with an ICMP message.
    if (outcome == NetResult::Ok && datagram) {
        WaitReadable(socket, 500);
        if (PortUnreachable(socket))
            outcome = NetResult::Refused;
    }
    CloseSocket(&socket);
    return outcome;
}

}  // namespace

ForwardSettings DefaultForwardSettings()
{
    ForwardSettings settings{};
    settings.port = 0;
    settings.transport = ForwardTransport::Udp;
    settings.facility = kDefaultSyslogFacility;
    settings.minimum = ForwardMinimum::AllEvents;
    settings.spoolMegabytes = kDefaultSpoolMegabytes;
    settings.webhookFormat = WebhookFormat::Json;
    settings.replySeconds = kDefaultReplySeconds;
    return settings;
}

void ReadForwardSettings(ForwardSettings* settings)
{
    *settings = DefaultForwardSettings();
    settings->enabled = ReadSettingInt(kForwardSection, "enabled", 0) != 0 ? 1 : 0;
    ReadSettingText(kForwardSection, "host", "", settings->host);
    std::array<char, 64> text{};
    ReadSettingText(kForwardSection, "port", "0", text);
    if (!ReadNumber(text.data(), INT32_MIN, INT32_MAX, &settings->port))
        settings->port = -1;
    ReadSettingText(kForwardSection, "transport", "udp", text);
    settings->transport = static_cast<ForwardTransport>(ValueOfWord(kTransportWords, text.data(), 3));
    ReadSettingText(kForwardSection, "facility", "13", text);
    if (!ReadNumber(text.data(), INT32_MIN, INT32_MAX, &settings->facility))
        settings->facility = -1;
    ReadSettingText(kForwardSection, "minimum", "all", text);
    settings->minimum = static_cast<ForwardMinimum>(ValueOfWord(kMinimumWords, text.data(), 2));
    ReadSettingText(kForwardSection, "spoolmb", "64", text);
    if (!ReadNumber(text.data(), INT32_MIN, INT32_MAX, &settings->spoolMegabytes))
        settings->spoolMegabytes = -1;
    ReadSettingText(kForwardSection, "webhook", "", settings->webhook);
    ReadSettingText(kForwardSection, "webhookformat", "json", text);
    settings->webhookFormat = static_cast<WebhookFormat>(ValueOfWord(kFormatWords, text.data(), 3));
    ReadSettingText(kForwardSection, "replytimeout", "30", text);
    if (!ReadNumber(text.data(), INT32_MIN, INT32_MAX, &settings->replySeconds))
        settings->replySeconds = -1;
}

void WriteForwardSettings(const ForwardSettings& settings)
{
    WriteSettingInt(kForwardSection, "enabled", settings.enabled ? 1 : 0);
    WriteSettingText(kForwardSection, "host", settings.host.data());
    WriteSettingInt(kForwardSection, "port", settings.port);
    WriteSettingText(kForwardSection, "transport", WordOfValue(kTransportWords, static_cast<int32_t>(settings.transport)));
    WriteSettingInt(kForwardSection, "facility", settings.facility);
    WriteSettingText(kForwardSection, "minimum", WordOfValue(kMinimumWords, static_cast<int32_t>(settings.minimum)));
    WriteSettingInt(kForwardSection, "spoolmb", settings.spoolMegabytes);
    WriteSettingText(kForwardSection, "webhook", settings.webhook.data());
    WriteSettingText(kForwardSection, "webhookformat",
                     WordOfValue(kFormatWords, static_cast<int32_t>(settings.webhookFormat)));
    WriteSettingInt(kForwardSection, "replytimeout", settings.replySeconds);
}

uint16_t ForwardPort(const ForwardSettings& settings)
{
    if (settings.port > 0 && settings.port <= 65535)
        return static_cast<uint16_t>(settings.port);
    return static_cast<uint16_t>(settings.transport == ForwardTransport::Relp ? kRelpPort : kSyslogPort);
}

ForwardField CheckForwardValues(const ForwardSettings& settings, std::span<char> message)
{
    struct Check {
        bool bad;
        ForwardField field;
        const char* message;
    };
    // In the dialog's order, so that the first bad box is the one named.
    const std::string_view host(settings.host.data(), strnlen(settings.host.data(), settings.host.size()));
    const Check checks[] = {
        {settings.enabled && !settings.host[0], ForwardField::Host, "Enter the collector's host name or address."},
        // Even while forwarding is off: the service's pipe refuses such a name.
        {std::any_of(host.begin(), host.end(), IsControlCharacter), ForwardField::Host,
         "The collector's host name holds a control character."},
        {settings.port < 0 || settings.port > 65535, ForwardField::Port,
         "The port must be a number from 1 to 65535 (0 for the transport's usual port)."},
        {settings.transport != ForwardTransport::Udp && settings.transport != ForwardTransport::Tcp &&
             settings.transport != ForwardTransport::Relp,
         ForwardField::Transport, "The transport must be udp, tcp or relp."},
        {settings.facility < 0 || settings.facility > kHighestSyslogFacility, ForwardField::Facility,
         "The facility must be a number from 0 to 23."},
        {settings.minimum != ForwardMinimum::AllEvents && settings.minimum != ForwardMinimum::Actions,
         ForwardField::Minimum, "What is sent must be all or actions."},
        {settings.spoolMegabytes < kLowestSpoolMegabytes || settings.spoolMegabytes > kHighestSpoolMegabytes,
         ForwardField::Spool, "The spool's size must be from 1 to 4096 MB."},
        {settings.webhook[0] && !IsWebhookUrl(settings.webhook.data()), ForwardField::Webhook,
         "The webhook's address must start with http:// or https:// and name a host."},
        {settings.webhookFormat != WebhookFormat::Json && settings.webhookFormat != WebhookFormat::Teams &&
             settings.webhookFormat != WebhookFormat::Slack,
         ForwardField::WebhookFormat, "The webhook's format must be json, teams or slack."},
        {settings.replySeconds < kLeastReplySeconds || settings.replySeconds > kMostReplySeconds,
         ForwardField::ReplyTimeout, "RELP's wait for an answer (replytimeout) must be from 5 to 3600 seconds."},
    };
    CopyText(message, "");
    for (const Check& check : checks) {
        if (check.bad) {
            CopyText(message, check.message);
            return check.field;
        }
    }
    return ForwardField::None;
}

bool CheckForwardSettings(const ForwardSettings& settings, std::span<char> message, ForwardField* field)
{
    ForwardField bad = CheckForwardValues(settings, message);
    if (bad == ForwardField::None && settings.enabled) {
        sockaddr_in address{};
        if (ResolveCollector(settings.host.data(), ForwardPort(settings), &address) != NetResult::Ok) {
            FormatText(message, "The collector's host %s is unknown.", settings.host.data());
            bad = ForwardField::Host;
        }
    }
    if (field)
        *field = bad;
    return bad == ForwardField::None;
}

ForwardTestResult TestForwarding(const ForwardSettings& settings, std::span<char> result)
{
    ForwardSettings asEnabled = settings;
    asEnabled.enabled = 1;
    if (CheckForwardValues(asEnabled, result) != ForwardField::None)
        return ForwardTestResult::BadSettings;
    const std::array<char, 300> collector = CollectorName(settings);
    sockaddr_in address{};
    if (ResolveCollector(settings.host.data(), ForwardPort(settings), &address) != NetResult::Ok) {
        FormatText(result, "The collector's host %s is unknown.", settings.host.data());
        return ForwardTestResult::HostUnknown;
    }
    std::array<char, kSyslogMessageCapacity> message{};
    const std::size_t length = FormatSyslogNote(message, MakeSyslogOrigin(settings.facility), UniversalTimeNow(),
                                                kTestMsgid, kSeverityNotice, kTestText);
    const std::string_view text(message.data(), length);
    std::array<char, 128> problem{};
    const NetResult outcome = settings.transport == ForwardTransport::Relp
                                  ? SendTestOverRelp(address, text, problem)
                                  : SendTestPlain(address, settings.transport == ForwardTransport::Udp, text);
    switch (outcome) {
    case NetResult::Ok:
        if (settings.transport == ForwardTransport::Relp) {
            FormatText(result, "The collector %s acknowledged the test message.", collector.data());
            return ForwardTestResult::Acknowledged;
        }
        FormatText(result, "The test message was sent to %s (%s gives no acknowledgement).", collector.data(),
                   settings.transport == ForwardTransport::Udp ? "UDP" : "TCP");
        return ForwardTestResult::Sent;
    case NetResult::Refused:
        FormatText(result, "%s refused the connection: nothing listens on that port.", collector.data());
        return ForwardTestResult::Refused;
    case NetResult::TimedOut:
        FormatText(result, "%s did not answer in time.", collector.data());
        return ForwardTestResult::TimedOut;
    case NetResult::Rejected:
        FormatText(result, "%s refused the message: %s.", collector.data(), problem.data());
        return ForwardTestResult::Rejected;
    default:
        FormatText(result, "Sending to %s failed: %s.", collector.data(), problem[0] ? problem.data() : NetResultText(outcome));
        return ForwardTestResult::Failed;
    }
}

bool StartForwarding(const ForwardSettings& settings, const char* folder)
{
    StopForwarding(10000);
    // A thread that did not end when asked still owns the spool and the queue.
    if (forwarder.thread) {
        if (WaitForSingleObject(forwarder.thread, 0) != WAIT_OBJECT_0)
            return false;
        CloseHandle(forwarder.thread);
        forwarder.thread = nullptr;
    }
    forwarder.settings = settings;
    forwarder.origin = MakeSyslogOrigin(settings.facility);
    bool started = false;
    if (settings.webhook[0])
        started = StartWebhook(settings.webhook.data(), settings.webhookFormat, forwarder.origin.host.data(),
                               kWebhookTiming);
    if (!settings.enabled || settings.transport == ForwardTransport::Unknown || !StartSockets())
        return started;
    CopyText(forwarder.spoolPath, folder ? folder : "");
    AppendText(forwarder.spoolPath, kSpoolFileName);
    if (!forwarder.wake)
        forwarder.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    forwarder.queue.head.store(0);
    forwarder.queue.tail.store(0);
    forwarder.queue.lost.store(0);
    forwarder.stopping.store(false);
    forwarder.failing.store(false);
    for (auto* counter : {&forwarder.queued, &forwarder.delivered, &forwarder.sent, &forwarder.dropped,
                          &forwarder.waiting, &forwarder.connections})
        counter->store(0);
    forwarder.thread = CreateThread(nullptr, 0, ForwarderThread, nullptr, 0, nullptr);
    forwarder.running.store(forwarder.thread != nullptr);
    return started || forwarder.thread != nullptr;
}

void StopForwarding(DWORD waitMs)
{
    StopWebhook(waitMs);
    forwarder.running.store(false);
    if (!forwarder.thread)
        return;
    forwarder.stopping.store(true);
    SetEvent(forwarder.wake);
    // A connection attempt or send under way ends within its own limit (a few
    // seconds); a thread still in one keeps its handle, and the next start waits for it.
    if (WaitForSingleObject(forwarder.thread, waitMs) == WAIT_OBJECT_0) {
        CloseHandle(forwarder.thread);
        forwarder.thread = nullptr;
    }
}

bool ForwardingRunning()
{
    return forwarder.running.load();
}

bool ForwardingThreadsEnded()
{
    return (!forwarder.thread || WaitForSingleObject(forwarder.thread, 0) == WAIT_OBJECT_0) && WebhookThreadEnded();
}

void ForwardingEventSink(const EventRecord& record, void*)
{
    const SyslogKind& kind = SyslogKindOf(record.kind);
    // A trip is one alarm: the sessions it cuts off are in the collector's messages.
    if (kind.alarm && !(record.kind == EventKind::SessionCutOff && record.rule == kTripwireRule))
        QueueWebhookAlarm(record);
    if (!forwarder.running.load() || (forwarder.settings.minimum == ForwardMinimum::Actions && !kind.action))
        return;
    std::array<char, kSyslogMessageCapacity> message{};
    // A datagram is kept near what every network carries whole; a stream carries more.
    const std::size_t length = forwarder.settings.transport == ForwardTransport::Udp
                                   ? FormatSyslogDatagram(message, forwarder.origin, record)
                                   : FormatSyslogMessage(message, forwarder.origin, record);
    if (PutInQueue(std::string_view(message.data(), length)))
        forwarder.queued.fetch_add(1);
    else
        forwarder.queue.lost.fetch_add(1);
}

bool TakeForwardingNotice(std::span<char> text)
{
    if (TakeWebhookNotice(text))
        return true;
    const Notice* notice = OldestRequest(forwarder.notices);
    if (!notice)
        return false;
    CopyText(text, notice->text.data());
    DropOldestRequest(forwarder.notices);
    return true;
}

bool ForwardingFailing()
{
    return forwarder.failing.load();
}

ForwardingCounters ForwardingCountersNow()
{
    return {forwarder.queued.load(), forwarder.delivered.load(), forwarder.sent.load(),
            forwarder.dropped.load() + forwarder.queue.lost.load(), forwarder.waiting.load(),
            forwarder.connections.load()};
}
