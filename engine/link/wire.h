// What the service and its window say to each other over the local pipe. A stream of
// frames, each a small header and a payload; a record for each kind of message with an
// encoder and a decoder. Every decoder checks every field against its limit and
// refuses the whole message on the first fault: whoever sent it is dropped, nothing
// of it is used.
#pragma once

#include <windows.h>
#include <lm.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/reserved_store.h"
#include "engine/forward/forwarder.h"
#include "engine/history/history_status.h"
#include "engine/watch/log_text.h"
#include "engine/watch/news.h"
#include "engine/watch/remote_server.h"
#include "engine/watch/server_list.h"
#include "rules/block_rules.h"

// Header: u32 magic, u16 version, u16 kind, u32 payload length, all little-endian.
constexpr uint32_t kWireMagic = 0x31505651;  // "QVP1" as it lies in the stream
// 2: the log gates carry [history] keepdays; 3: the history's state; 4: the service's own
// state, and RELP's reply time in [forward]
constexpr uint16_t kWireVersion = 5;
constexpr std::size_t kFrameHeaderBytes = 12;
constexpr uint32_t kMaxFramePayload = 1u << 20;
constexpr std::size_t kMaxFrameBytes = kFrameHeaderBytes + kMaxFramePayload;

enum class WireKind : uint16_t {
    // The service to its window.
    Welcome = 1,
    LogGates = 2,
    Rules = 3,
    Tripwires = 4,
    Servers = 5,
    LogText = 6,
    News = 7,
    ReadingBegin = 8,
    ReadingPart = 9,
    ReadingEnd = 10,
    CommandDone = 11,
    Forward = 12,
    HistoryState = 13,
    ServiceState = 14,
    // The window to the service.
    Hello = 101,
    Watch = 102,
    Command = 103,
};

// Which way a stream runs: each end accepts only the kinds sent its way.
enum class WireDirection : int32_t { ToWindow = 0, ToService = 1 };
bool IsKindFor(WireDirection direction, uint16_t kind);

// ---- Payloads ---------------------------------------------------------------------

// Writes into fixed room. Anything that does not fit, or a text over its limit or with
// a NUL inside, fails the writer: a failed message is never sent.
struct PayloadWriter {
    std::span<uint8_t> room;
    std::size_t used = 0;
    bool failed = false;
};
void PutU8(PayloadWriter& writer, uint8_t value);
void PutU16(PayloadWriter& writer, uint16_t value);
void PutU32(PayloadWriter& writer, uint32_t value);
void PutU64(PayloadWriter& writer, uint64_t value);
void PutI32(PayloadWriter& writer, int32_t value);
// A u32 count of units, then the units (UTF-16 little-endian, or bytes); no terminator.
void PutWide(PayloadWriter& writer, std::wstring_view text, std::size_t limit);
void PutNarrow(PayloadWriter& writer, std::string_view text, std::size_t limit);

// Reads a received payload. Reading past its end, a count over its limit or a NUL
// inside a text fails the reader; every later read then fails too and yields zeros.
struct PayloadReader {
    std::span<const uint8_t> bytes;
    std::size_t at = 0;
    bool failed = false;
};
uint8_t TakeU8(PayloadReader& reader);
uint16_t TakeU16(PayloadReader& reader);
uint32_t TakeU32(PayloadReader& reader);
uint64_t TakeU64(PayloadReader& reader);
int32_t TakeI32(PayloadReader& reader);
// Into `dest`, terminated; `limit` must be below its size.
bool TakeWide(PayloadReader& reader, std::size_t limit, std::span<wchar_t> dest);
bool TakeNarrow(PayloadReader& reader, std::size_t limit, std::span<char> dest);
// A view into the payload itself, valid while the payload is.
bool TakeNarrowView(PayloadReader& reader, std::size_t limit, std::string_view* text);
// Whether every byte was read and nothing failed: what each decoder ends with.
inline bool ReadWhole(const PayloadReader& reader) { return !reader.failed && reader.at == reader.bytes.size(); }

// ---- Frames -----------------------------------------------------------------------

// A frame made in `room` (kMaxFrameBytes is always enough): the payload is written
// first, then FinishFrame puts the header before it. An empty span when it failed.
PayloadWriter StartFrame(std::span<uint8_t> room);
std::span<const uint8_t> FinishFrame(PayloadWriter& writer, WireKind kind);

template <typename Message, typename Encode>
std::span<const uint8_t> MakeFrame(std::span<uint8_t> room, WireKind kind, const Message& message, Encode encode)
{
    PayloadWriter writer = StartFrame(room);
    encode(message, writer);
    return FinishFrame(writer, kind);
}

struct Frame {
    WireKind kind;
    std::span<const uint8_t> payload;
};

// Puts frames together from bytes as they arrive, a header or a payload split across
// any number of reads. A header with the wrong magic or version, a kind unknown or
// not sent this way, or a payload over kMaxFramePayload makes the stream malformed:
// the caller drops the connection.
struct FrameAssembler {
    ReservedStore store;  // the frame coming in: header, then payload
    std::size_t have;     // its bytes so far
    std::size_t need;     // its whole size, once the header is in; 0 before
    WireDirection accepts;
    int32_t handedOut;  // the frame in the store is whole and handed out
    int32_t malformed;
};
enum class FrameStep { NeedMore, Whole, Malformed };

// Reserves room for the largest frame, once; false when it cannot.
bool StartFrameAssembler(FrameAssembler& assembler, WireDirection accepts);
// A new stream begins.
void ResetFrameAssembler(FrameAssembler& assembler);
// Takes bytes until a frame is whole or they run out; `*used` says how many it took.
// A whole frame's payload stays valid until the next call. After Malformed every
// call answers Malformed until the assembler is reset.
FrameStep AssembleFrame(FrameAssembler& assembler, std::span<const uint8_t> bytes, std::size_t* used, Frame* frame);

// ---- The service to its window ----------------------------------------------------

constexpr std::size_t kProductVersionUnits = 32;  // terminator included
constexpr std::size_t kAlertTextUnits = kFormatCapacity - 1;
constexpr std::size_t kMaxNewsLines = kAlertLinesKept * kAlertKinds;

struct WireWelcome {
    uint16_t version;
    std::array<char, kProductVersionUnits> product;
};

// The [main] settings the service's logging obeys, as the settings hold them, and
// the days its history keeps (0 to kKeepDaysMost; any other value refuses the message).
struct WireLogGates {
    int32_t savesess;
    int32_t savefiles;
    int32_t savelogs;
    int32_t savecsvlogs;
    int32_t historyKeepDays;
};

// The tables go by slot, so that an entry the window names (a release) is the
// service's own; the window is told each table whole.
struct WireRules {
    int32_t blockMode;  // 0 or 1
    ComputerList blacklist;
    ComputerList whitelist;
    ComputerList tripped;
};

struct WireServer {
    ServerId id;  // 1 to kMaxRemoteServers, each at most once
    std::array<char, kServerNameUnits> name;
    int32_t state;  // a ServerState
};
struct WireServers {
    int32_t count;
    std::array<WireServer, kMaxRemoteServers> servers;
};

// A piece of the Log page's text; `reset`: the text starts again with it.
struct WireLogText {
    int32_t reset;
    std::string_view text;  // a view into the payload, at most kLogTextCapacity
};

struct WireReadingBegin {
    ServerId server;  // 0 this computer, 1 to kMaxRemoteServers
    ReplyKind kind;
    NET_API_STATUS status;
    uint32_t total;  // records in the parts to come
};

// The service's [forward] settings as it read them: a hand-edited value out of its
// range comes as it is (the window shows it to be put right); texts within their limits.
constexpr std::size_t kForwardHostUnits = sizeof(ForwardSettings::host);

enum class CommandResult : uint8_t { Done = 0, Refused = 1, UnknownServer = 2 };
// The service's history as its window's History page shows it.
struct WireHistoryState {
    HistoryHealth health;
    BackfillState backfill;
    uint32_t filesDone;  // no more than filesTotal
    uint32_t filesTotal;
    uint64_t linesRead;
};

struct WireCommandDone {
    uint32_t command;
    CommandResult result;
};

// What the service found of its own at its start: whether it refused part of its
// folder (and then watches with its last good settings or the defaults), and the first
// thing it said of it.
constexpr std::size_t kServiceRefusalBytes = 512;
struct WireServiceState {
    int32_t refused;  // 0 or 1
    std::array<char, kServiceRefusalBytes> refusal;
};

void EncodeWelcome(const WireWelcome& welcome, PayloadWriter& writer);
void EncodeLogGates(const WireLogGates& gates, PayloadWriter& writer);
void EncodeRules(const WireRules& rules, PayloadWriter& writer);
void EncodeTripwires(const TripwireRules& rules, PayloadWriter& writer);
void EncodeServers(const WireServers& servers, PayloadWriter& writer);
void EncodeLogText(const WireLogText& text, PayloadWriter& writer);
// The newest lines of each kind, at most kAlertLinesKept, in the order they came.
void EncodeNews(const EngineNews& news, PayloadWriter& writer);
void EncodeReadingBegin(const WireReadingBegin& begin, PayloadWriter& writer);
void EncodeCommandDone(const WireCommandDone& done, PayloadWriter& writer);
void EncodeForward(const ForwardSettings& settings, PayloadWriter& writer);
void EncodeHistoryState(const WireHistoryState& state, PayloadWriter& writer);
void EncodeServiceState(const WireServiceState& state, PayloadWriter& writer);

bool DecodeWelcome(std::span<const uint8_t> payload, WireWelcome* welcome);
bool DecodeLogGates(std::span<const uint8_t> payload, WireLogGates* gates);
bool DecodeRules(std::span<const uint8_t> payload, WireRules* rules);
bool DecodeTripwires(std::span<const uint8_t> payload, TripwireRules* rules);
bool DecodeServers(std::span<const uint8_t> payload, WireServers* servers);
bool DecodeLogText(std::span<const uint8_t> payload, WireLogText* text);
// Into a fresh record: the lines as the engine would have added them, the flags set.
bool DecodeNews(std::span<const uint8_t> payload, EngineNews* news);
bool DecodeReadingBegin(std::span<const uint8_t> payload, WireReadingBegin* begin);
bool DecodeReadingEnd(std::span<const uint8_t> payload);
bool DecodeCommandDone(std::span<const uint8_t> payload, WireCommandDone* done);
bool DecodeForward(std::span<const uint8_t> payload, ForwardSettings* settings);
bool DecodeHistoryState(std::span<const uint8_t> payload, WireHistoryState* state);
bool DecodeServiceState(std::span<const uint8_t> payload, WireServiceState* state);

// ---- The window to the service ----------------------------------------------------

struct WireHello {
    uint16_t version;
};

// The servers the window shows: on the Monitoring page and on the Shares page.
struct WireWatch {
    ServerId monitoring;
    ServerId shares;
};

enum class CommandKind : uint16_t {
    CloseSession = 1,    // server, name (the client, "\\NAME" as reported), user (empty: every user)
    CloseFile = 2,       // server, fileId
    RemoveShare = 3,     // server, name (the share)
    RefreshShares = 4,   // server
    AddComputer = 5,     // list, name (as typed, without backslashes), ticks
    RemoveComputer = 6,  // list, name (in normal form)
    SetBlockMode = 7,    // blockMode
    ReleaseTripped = 8,  // slot
    SetTripwires = 9,    // tripwires
    SetServers = 10,     // servers
    SetLogGates = 11,    // gates
    SetForward = 12,     // forward: every value in its range (CheckForwardValues), the host not resolved
    StopBackfill = 13,   // nothing: the history's reading of the daily logs stops
    ResumeBackfill = 14, // nothing: and goes on where it stopped
};

// One record for every command; each kind fills only the fields it names.
struct WireCommand {
    uint32_t id;  // the window's, echoed in CommandDone
    CommandKind kind;
    ServerId server;
    DWORD fileId;
    int32_t list;  // a BlockMode: which list
    int32_t ticks;  // kPermanent, or 1 and more block ticks
    int32_t blockMode;
    int32_t slot;
    std::array<wchar_t, kClientNameUnits> name;
    std::array<wchar_t, kClientNameUnits> user;
    TripwireRules tripwires;
    ServerList servers;
    WireLogGates gates;
    ForwardSettings forward;
};

void EncodeHello(const WireHello& hello, PayloadWriter& writer);
void EncodeWatch(const WireWatch& watch, PayloadWriter& writer);
void EncodeCommand(const WireCommand& command, PayloadWriter& writer);

bool DecodeHello(std::span<const uint8_t> payload, WireHello* hello);
bool DecodeWatch(std::span<const uint8_t> payload, WireWatch* watch);
bool DecodeCommand(std::span<const uint8_t> payload, WireCommand* command);

// ---- Readings -----------------------------------------------------------------------

// A server's enumeration goes as ReadingBegin, as many ReadingParts as it needs (each
// under the frame limit), then ReadingEnd.
constexpr uint32_t kMaxReadingSessions = 65536;
constexpr uint32_t kMaxReadingFiles = 262144;
constexpr uint32_t kMaxReadingShares = 4096;
// A record's texts: longer ones are cut to these.
constexpr std::size_t kRecordNameUnits = 1024;
constexpr std::size_t kRecordPathUnits = 32767;
// All the texts of one reading as the window keeps them, terminators included.
constexpr std::size_t kReadingTextBytes = std::size_t{128} << 20;

uint32_t MostRecordsOf(ReplyKind kind);

// Makes the frames of one reading, one at a time. Records past the most a reading
// carries, or whose texts would not fit the window's room, are left out, and a
// reading that had answered whole then says ERROR_MORE_DATA.
struct ReadingEncoder {
    WireReadingBegin begin;
    const void* records;
    std::size_t next;
    int32_t stage;
};
void StartReading(ReadingEncoder& encoder, ServerId server, NET_API_STATUS status,
                  std::span<const SESSION_INFO_1> sessions);
void StartReading(ReadingEncoder& encoder, ServerId server, NET_API_STATUS status, std::span<const FILE_INFO_3> files);
void StartReading(ReadingEncoder& encoder, ServerId server, NET_API_STATUS status,
                  std::span<const SHARE_INFO_502> shares);
// The next frame, made in `room` (at least kMaxFrameBytes); empty once the reading's
// last frame was made. The frame is valid until `room` is written again.
std::span<const uint8_t> NextReadingFrame(ReadingEncoder& encoder, std::span<uint8_t> room);

// The window's side: rebuilds a reading as the platform's own records, their texts in
// storage the assembler owns (reserved once, for the largest reading), valid until
// the next ReadingBegin it takes. A part past the announced count, an end that comes
// short, a part or end without a begin, or a begin before the last reading ended
// fails: the stream is malformed.
struct ReadingAssembler {
    ReservedStore records;
    TextArena texts;
    std::array<wchar_t, kRecordPathUnits + 1> scratch;
    WireReadingBegin begin;
    uint32_t received;
    int32_t stage;
};
bool StartReadingAssembler(ReadingAssembler& assembler);
// A new stream begins: a reading under way is dropped, the last whole one kept.
void AbandonPartialReading(ReadingAssembler& assembler);
// ReadingBegin, ReadingPart or ReadingEnd; false when it breaks the rules above.
bool TakeReadingFrame(ReadingAssembler& assembler, const Frame& frame);
inline bool IsReadingKind(WireKind kind)
{
    return kind == WireKind::ReadingBegin || kind == WireKind::ReadingPart || kind == WireKind::ReadingEnd;
}
// The last reading, once its end came; empty spans otherwise or for another kind.
bool ReadingIsWhole(const ReadingAssembler& assembler);
std::span<const SESSION_INFO_1> AssembledSessions(const ReadingAssembler& assembler);
std::span<const FILE_INFO_3> AssembledFiles(const ReadingAssembler& assembler);
std::span<const SHARE_INFO_502> AssembledShares(const ReadingAssembler& assembler);
