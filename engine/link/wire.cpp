#include "engine/link/wire.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "core/text.h"
#include "engine/history/history_store.h"

namespace {

struct KindRule {
    WireKind kind;
    WireDirection direction;
};
constexpr std::array<KindRule, 17> kKinds = {{
    {WireKind::Welcome, WireDirection::ToWindow},
    {WireKind::LogGates, WireDirection::ToWindow},
    {WireKind::Rules, WireDirection::ToWindow},
    {WireKind::Tripwires, WireDirection::ToWindow},
    {WireKind::Servers, WireDirection::ToWindow},
    {WireKind::LogText, WireDirection::ToWindow},
    {WireKind::News, WireDirection::ToWindow},
    {WireKind::ReadingBegin, WireDirection::ToWindow},
    {WireKind::ReadingPart, WireDirection::ToWindow},
    {WireKind::ReadingEnd, WireDirection::ToWindow},
    {WireKind::CommandDone, WireDirection::ToWindow},
    {WireKind::Forward, WireDirection::ToWindow},
    {WireKind::HistoryState, WireDirection::ToWindow},
    {WireKind::ServiceState, WireDirection::ToWindow},
    {WireKind::Hello, WireDirection::ToService},
    {WireKind::Watch, WireDirection::ToService},
    {WireKind::Command, WireDirection::ToService},
}};

constexpr int32_t kLastServerState = ServerAccessDenied;
constexpr int32_t kLastReplyKind = SharesReply;
constexpr uint8_t kLastCommandResult = static_cast<uint8_t>(CommandResult::UnknownServer);

// Decoders start from an all-zero record, as large as it is, without a temporary.
template <typename Record>
void Clear(Record* record)
{
    static_assert(std::is_trivially_copyable_v<Record>);
    std::memset(static_cast<void*>(record), 0, sizeof(Record));
}

template <std::size_t Size>
std::string_view TextOf(const std::array<char, Size>& text)
{
    return {text.data(), strnlen(text.data(), Size)};
}

template <std::size_t Size>
std::wstring_view TextOf(const std::array<wchar_t, Size>& text)
{
    return {text.data(), wcsnlen(text.data(), Size)};
}

bool HasControl(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), IsControlCharacter);
}

bool HasControl(std::wstring_view text)
{
    return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

// Two backslashes, then 1 to 63 characters as AddComputerWide leaves them: no blank at
// either end, no control character or quote, no ASCII lower-case letter.
bool IsNormalComputerName(std::wstring_view name)
{
    if (name.size() < 3 || name.size() > kBlockNameUnits - 1 || name[0] != L'\\' || name[1] != L'\\')
        return false;
    const std::wstring_view rest = name.substr(2);
    if (rest.front() == L' ' || rest.back() == L' ')
        return false;
    return std::none_of(rest.begin(), rest.end(), [](wchar_t c) {
        return c < 0x20 || c == 0x7F || c == L'"' || (c >= L'a' && c <= L'z');
    });
}

bool IsUsableServerId(int32_t id, bool thisComputerToo)
{
    return id >= (thisComputerToo ? kThisComputer : 1) && id <= kMaxRemoteServers;
}

// ---- Writing ----

uint8_t* Room(PayloadWriter& writer, std::size_t bytes)
{
    if (writer.failed || writer.used > writer.room.size() || bytes > writer.room.size() - writer.used) {
        writer.failed = true;
        return nullptr;
    }
    uint8_t* at = writer.room.data() + writer.used;
    writer.used += bytes;
    return at;
}

void PutLittle(PayloadWriter& writer, uint64_t value, std::size_t bytes)
{
    if (uint8_t* at = Room(writer, bytes)) {
        for (std::size_t i = 0; i < bytes; ++i)
            at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A small number sent as one byte: a value it cannot hold fails the message.
void PutByte(PayloadWriter& writer, int32_t value)
{
    if (value < 0 || value > 0xFF)
        writer.failed = true;
    PutU8(writer, static_cast<uint8_t>(value));
}

void PutServerId(PayloadWriter& writer, ServerId server)
{
    if (!IsUsableServerId(server, true))
        writer.failed = true;
    PutByte(writer, server);
}

void PutFlag(PayloadWriter& writer, int32_t value)
{
    PutU8(writer, value ? 1 : 0);
}

void PatchU32(PayloadWriter& writer, std::size_t at, uint32_t value)
{
    if (writer.failed || at + 4 > writer.used)
        return;
    for (std::size_t i = 0; i < 4; ++i)
        writer.room[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// ---- Reading ----

const uint8_t* Bytes(PayloadReader& reader, std::size_t count)
{
    if (reader.failed || reader.at > reader.bytes.size() || count > reader.bytes.size() - reader.at) {
        reader.failed = true;
        return nullptr;
    }
    const uint8_t* at = reader.bytes.data() + reader.at;
    reader.at += count;
    return at;
}

uint64_t TakeLittle(PayloadReader& reader, std::size_t bytes)
{
    const uint8_t* at = Bytes(reader, bytes);
    uint64_t value = 0;
    for (std::size_t i = 0; at && i < bytes; ++i)
        value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}

uint32_t LittleU32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

uint16_t LittleU16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

// A one-byte value that must lie within [0, highest]; else the reader fails and the
// value reads as 0, so that it can index nothing out of range.
int32_t TakeSmall(PayloadReader& reader, int32_t highest)
{
    const int32_t value = TakeU8(reader);
    if (value <= highest)
        return value;
    reader.failed = true;
    return 0;
}

// A count that must be at most `most`; else 0.
uint32_t TakeCount(PayloadReader& reader, uint32_t value, uint32_t most)
{
    if (value <= most)
        return value;
    reader.failed = true;
    return 0;
}

// A count the encoder was given: one past `most` fails the message.
std::size_t CountToPut(PayloadWriter& writer, int32_t count, std::size_t most)
{
    if (count < 0 || static_cast<std::size_t>(count) > most) {
        writer.failed = true;
        return 0;
    }
    return static_cast<std::size_t>(count);
}

void Require(PayloadReader& reader, bool sound)
{
    if (!sound)
        reader.failed = true;
}

// ---- Shared parts of messages ----

void PutTable(PayloadWriter& writer, const ComputerList& list)
{
    const auto count = std::count_if(list.begin(), list.end(), [](const BlockEntry& e) { return e.inUse != 0; });
    PutU16(writer, static_cast<uint16_t>(count));
    for (std::size_t slot = 0; slot < list.size(); ++slot) {
        const BlockEntry& entry = list[slot];
        if (!entry.inUse)
            continue;
        PutU8(writer, static_cast<uint8_t>(slot));
        PutWide(writer, TextOf(entry.name), kBlockNameUnits - 1);
        PutWide(writer, TextOf(entry.user), kBlockUserUnits - 1);
        PutI32(writer, entry.ticksLeft);
    }
}

// Slots come in rising order, so that each is named once.
void TakeTable(PayloadReader& reader, ComputerList& list)
{
    const uint32_t count = TakeCount(reader, TakeU16(reader), kComputerListSlots);
    int32_t previous = -1;
    for (uint32_t i = 0; i < count && !reader.failed; ++i) {
        const int32_t slot = TakeU8(reader);
        Require(reader, slot > previous);
        previous = slot;
        BlockEntry& entry = list[static_cast<std::size_t>(slot)];
        TakeWide(reader, kBlockNameUnits - 1, entry.name);
        TakeWide(reader, kBlockUserUnits - 1, entry.user);
        entry.ticksLeft = TakeI32(reader);
        Require(reader, IsNormalComputerName(TextOf(entry.name)) && entry.ticksLeft >= kPermanent);
        entry.inUse = 1;
        ++list.inUse;
    }
}

void TakeTripwireFields(PayloadReader& reader, TripwireRules& rules)
{
    rules.enabled = TakeSmall(reader, 1);
    rules.baitCount = static_cast<int32_t>(TakeCount(reader, TakeU8(reader), kMaxBaitPatterns));
    for (std::size_t i = 0; i < static_cast<std::size_t>(rules.baitCount) && !reader.failed; ++i) {
        TakeWide(reader, kBaitPatternUnits - 1, rules.baits[i]);
        const std::wstring_view bait = TextOf(rules.baits[i]);
        Require(reader, !bait.empty() && !HasControl(bait));
        rules.folded[i] = rules.baits[i];
        FoldForMatching(rules.folded[i]);
    }
    rules.burstFiles = TakeI32(reader);
    rules.burstSeconds = TakeI32(reader);
    rules.blockMinutes = TakeI32(reader);
    Require(reader, rules.burstFiles >= 0 && rules.burstFiles <= kMaxBurstFiles);
    Require(reader, rules.burstSeconds >= 1 && rules.burstSeconds <= kMaxBurstSeconds);
    Require(reader, rules.blockMinutes >= 0 && rules.blockMinutes <= kMaxTripMinutes);
}

void TakeLogGateFields(PayloadReader& reader, WireLogGates& gates)
{
    gates.savesess = TakeI32(reader);
    gates.savefiles = TakeI32(reader);
    gates.savelogs = TakeI32(reader);
    gates.savecsvlogs = TakeI32(reader);
    gates.historyKeepDays = TakeI32(reader);
    Require(reader, gates.historyKeepDays >= 0 && gates.historyKeepDays <= kKeepDaysMost);
}

void PutForwardFields(PayloadWriter& writer, const ForwardSettings& settings)
{
    PutFlag(writer, settings.enabled);
    PutNarrow(writer, TextOf(settings.host), kForwardHostUnits - 1);
    PutI32(writer, settings.port);
    PutByte(writer, static_cast<int32_t>(settings.transport));
    PutI32(writer, settings.facility);
    PutByte(writer, static_cast<int32_t>(settings.minimum));
    PutI32(writer, settings.spoolMegabytes);
    PutNarrow(writer, TextOf(settings.webhook), kWebhookUrlCapacity - 1);
    PutByte(writer, static_cast<int32_t>(settings.webhookFormat));
    PutI32(writer, settings.replySeconds);
}

// The words that read as none of a setting's words come as Unknown, as ReadForwardSettings leaves them.
void TakeForwardFields(PayloadReader& reader, ForwardSettings& settings)
{
    settings.enabled = TakeSmall(reader, 1);
    TakeNarrow(reader, kForwardHostUnits - 1, settings.host);
    settings.port = TakeI32(reader);
    settings.transport = static_cast<ForwardTransport>(TakeSmall(reader, static_cast<int32_t>(ForwardTransport::Unknown)));
    settings.facility = TakeI32(reader);
    settings.minimum = static_cast<ForwardMinimum>(TakeSmall(reader, static_cast<int32_t>(ForwardMinimum::Unknown)));
    settings.spoolMegabytes = TakeI32(reader);
    TakeNarrow(reader, kWebhookUrlCapacity - 1, settings.webhook);
    settings.webhookFormat = static_cast<WebhookFormat>(TakeSmall(reader, static_cast<int32_t>(WebhookFormat::Unknown)));
    settings.replySeconds = TakeI32(reader);
}

void TakeServerName(PayloadReader& reader, std::span<char> name)
{
    TakeNarrow(reader, kServerNameUnits - 1, name);
    const std::string_view text(name.data(), strnlen(name.data(), name.size()));
    Require(reader, !text.empty() && !HasControl(text));
}

// ---- Readings ----

enum ReadingStage : int32_t { kReadingNone = 0, kReadingBegin, kReadingParts, kReadingEnd, kReadingDone };
enum AssemblyStage : int32_t { kAssemblyNone = 0, kAssemblyReceiving, kAssemblyWhole };

std::wstring_view Cut(const wchar_t* text, std::size_t limit)
{
    return text ? std::wstring_view(text, wcsnlen(text, limit)) : std::wstring_view();
}

// What one text costs the window's arena: its units and a terminator.
std::size_t KeptBytes(const wchar_t* text, std::size_t limit)
{
    return (Cut(text, limit).size() + 1) * sizeof(wchar_t);
}

std::size_t TextBytesOf(const SESSION_INFO_1& record)
{
    return KeptBytes(record.sesi1_cname, kRecordNameUnits) + KeptBytes(record.sesi1_username, kRecordNameUnits);
}

std::size_t TextBytesOf(const FILE_INFO_3& record)
{
    return KeptBytes(record.fi3_pathname, kRecordPathUnits) + KeptBytes(record.fi3_username, kRecordNameUnits);
}

std::size_t TextBytesOf(const SHARE_INFO_502& record)
{
    return KeptBytes(record.shi502_netname, kRecordNameUnits) + KeptBytes(record.shi502_remark, kRecordNameUnits) +
           KeptBytes(record.shi502_path, kRecordPathUnits);
}

void PutRecord(PayloadWriter& writer, const SESSION_INFO_1& record)
{
    PutWide(writer, Cut(record.sesi1_cname, kRecordNameUnits), kRecordNameUnits);
    PutWide(writer, Cut(record.sesi1_username, kRecordNameUnits), kRecordNameUnits);
    PutU32(writer, record.sesi1_num_opens);
    PutU32(writer, record.sesi1_time);
    PutU32(writer, record.sesi1_idle_time);
    PutU32(writer, record.sesi1_user_flags);
}

void PutRecord(PayloadWriter& writer, const FILE_INFO_3& record)
{
    PutU32(writer, record.fi3_id);
    PutU32(writer, record.fi3_permissions);
    PutU32(writer, record.fi3_num_locks);
    PutWide(writer, Cut(record.fi3_pathname, kRecordPathUnits), kRecordPathUnits);
    PutWide(writer, Cut(record.fi3_username, kRecordNameUnits), kRecordNameUnits);
}

void PutRecord(PayloadWriter& writer, const SHARE_INFO_502& record)
{
    PutWide(writer, Cut(record.shi502_netname, kRecordNameUnits), kRecordNameUnits);
    PutU32(writer, record.shi502_type);
    PutWide(writer, Cut(record.shi502_remark, kRecordNameUnits), kRecordNameUnits);
    PutU32(writer, record.shi502_current_uses);
    PutWide(writer, Cut(record.shi502_path, kRecordPathUnits), kRecordPathUnits);
}

// A text of the record kept in the assembler's arena. The platform's records name
// their texts without const, though nothing writes through them.
wchar_t* TakeKeptText(PayloadReader& reader, ReadingAssembler& assembler, std::size_t limit)
{
    if (!TakeWide(reader, limit, assembler.scratch))
        return nullptr;
    const wchar_t* kept = KeepWideText(assembler.texts, assembler.scratch.data());
    Require(reader, kept != nullptr);
    return const_cast<wchar_t*>(kept);
}

void TakeRecord(PayloadReader& reader, ReadingAssembler& assembler, SESSION_INFO_1& record)
{
    record = {};
    record.sesi1_cname = TakeKeptText(reader, assembler, kRecordNameUnits);
    record.sesi1_username = TakeKeptText(reader, assembler, kRecordNameUnits);
    record.sesi1_num_opens = TakeU32(reader);
    record.sesi1_time = TakeU32(reader);
    record.sesi1_idle_time = TakeU32(reader);
    record.sesi1_user_flags = TakeU32(reader);
}

void TakeRecord(PayloadReader& reader, ReadingAssembler& assembler, FILE_INFO_3& record)
{
    record = {};
    record.fi3_id = TakeU32(reader);
    record.fi3_permissions = TakeU32(reader);
    record.fi3_num_locks = TakeU32(reader);
    record.fi3_pathname = TakeKeptText(reader, assembler, kRecordPathUnits);
    record.fi3_username = TakeKeptText(reader, assembler, kRecordNameUnits);
}

void TakeRecord(PayloadReader& reader, ReadingAssembler& assembler, SHARE_INFO_502& record)
{
    record = {};
    record.shi502_netname = TakeKeptText(reader, assembler, kRecordNameUnits);
    record.shi502_type = TakeU32(reader);
    record.shi502_remark = TakeKeptText(reader, assembler, kRecordNameUnits);
    record.shi502_current_uses = TakeU32(reader);
    record.shi502_path = TakeKeptText(reader, assembler, kRecordPathUnits);
}

template <typename Record>
void StartReadingOf(ReadingEncoder& encoder, ServerId server, ReplyKind kind, NET_API_STATUS status,
                    std::span<const Record> records)
{
    const std::size_t most = std::min<std::size_t>(records.size(), MostRecordsOf(kind));
    std::size_t count = 0;
    std::size_t textBytes = 0;
    while (count < most) {
        const std::size_t bytes = TextBytesOf(records[count]);
        if (bytes > kReadingTextBytes - textBytes)
            break;
        textBytes += bytes;
        ++count;
    }
    if (count < records.size() && status == NERR_Success)
        status = ERROR_MORE_DATA;
    encoder = {};
    encoder.begin = {server, kind, status, static_cast<uint32_t>(count)};
    encoder.records = records.data();
    encoder.stage = kReadingBegin;
}

template <typename Record>
std::span<const uint8_t> NextPart(ReadingEncoder& encoder, std::span<uint8_t> room)
{
    const auto* records = static_cast<const Record*>(encoder.records);
    PayloadWriter writer = StartFrame(room);
    const std::size_t countAt = writer.used;
    PutU32(writer, 0);
    uint32_t count = 0;
    while (encoder.next < encoder.begin.total) {
        const std::size_t mark = writer.used;
        PutRecord(writer, records[encoder.next]);
        if (writer.failed) {
            // The frame is full: the record goes first in the next one.
            writer.used = mark;
            writer.failed = false;
            break;
        }
        ++encoder.next;
        ++count;
    }
    if (count == 0) {
        encoder.stage = kReadingDone;  // room too small for one record: the reading cannot go
        return {};
    }
    PatchU32(writer, countAt, count);
    if (encoder.next == encoder.begin.total)
        encoder.stage = kReadingEnd;
    return FinishFrame(writer, WireKind::ReadingPart);
}

template <typename Record>
bool TakePart(ReadingAssembler& assembler, std::span<const uint8_t> payload)
{
    PayloadReader reader{payload};
    const uint32_t count = TakeU32(reader);
    if (reader.failed || count == 0 || count > assembler.begin.total - assembler.received)
        return false;
    Record* records = CommitArray<Record>(assembler.records, std::size_t{assembler.received} + count);
    if (!records)
        return false;
    for (uint32_t i = 0; i < count && !reader.failed; ++i)
        TakeRecord(reader, assembler, records[assembler.received + i]);
    if (!ReadWhole(reader))
        return false;
    assembler.received += count;
    return true;
}

template <typename Record>
std::span<const Record> AssembledOf(const ReadingAssembler& assembler, ReplyKind kind)
{
    if (assembler.stage != kAssemblyWhole || assembler.begin.kind != kind || !assembler.records.base)
        return {};
    return {reinterpret_cast<const Record*>(assembler.records.base), assembler.received};
}

}  // namespace

bool IsKindFor(WireDirection direction, uint16_t kind)
{
    return std::any_of(kKinds.begin(), kKinds.end(), [&](const KindRule& rule) {
        return static_cast<uint16_t>(rule.kind) == kind && rule.direction == direction;
    });
}

// ---- Payloads ----

void PutU8(PayloadWriter& writer, uint8_t value) { PutLittle(writer, value, 1); }
void PutU16(PayloadWriter& writer, uint16_t value) { PutLittle(writer, value, 2); }
void PutU32(PayloadWriter& writer, uint32_t value) { PutLittle(writer, value, 4); }
void PutU64(PayloadWriter& writer, uint64_t value) { PutLittle(writer, value, 8); }
void PutI32(PayloadWriter& writer, int32_t value) { PutLittle(writer, static_cast<uint32_t>(value), 4); }

void PutWide(PayloadWriter& writer, std::wstring_view text, std::size_t limit)
{
    if (text.size() > limit || text.find(L'\0') != std::wstring_view::npos) {
        writer.failed = true;
        return;
    }
    PutU32(writer, static_cast<uint32_t>(text.size()));
    if (uint8_t* at = Room(writer, text.size() * 2)) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            at[2 * i] = static_cast<uint8_t>(text[i]);
            at[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(text[i]) >> 8);
        }
    }
}

void PutNarrow(PayloadWriter& writer, std::string_view text, std::size_t limit)
{
    if (text.size() > limit || text.find('\0') != std::string_view::npos) {
        writer.failed = true;
        return;
    }
    PutU32(writer, static_cast<uint32_t>(text.size()));
    if (uint8_t* at = Room(writer, text.size()))
        std::memcpy(at, text.data(), text.size());
}

uint8_t TakeU8(PayloadReader& reader) { return static_cast<uint8_t>(TakeLittle(reader, 1)); }
uint16_t TakeU16(PayloadReader& reader) { return static_cast<uint16_t>(TakeLittle(reader, 2)); }
uint32_t TakeU32(PayloadReader& reader) { return static_cast<uint32_t>(TakeLittle(reader, 4)); }
uint64_t TakeU64(PayloadReader& reader) { return TakeLittle(reader, 8); }
int32_t TakeI32(PayloadReader& reader) { return static_cast<int32_t>(TakeU32(reader)); }

bool TakeWide(PayloadReader& reader, std::size_t limit, std::span<wchar_t> dest)
{
    if (!dest.empty())
        dest[0] = L'\0';
    const uint32_t count = TakeU32(reader);
    if (reader.failed || limit >= dest.size() || count > limit) {
        reader.failed = true;
        return false;
    }
    const uint8_t* at = Bytes(reader, std::size_t{count} * 2);
    if (!at)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<wchar_t>(LittleU16(at + 2 * i));
        if (unit == L'\0') {
            dest[0] = L'\0';
            reader.failed = true;
            return false;
        }
        dest[i] = unit;
    }
    dest[count] = L'\0';
    return true;
}

bool TakeNarrowView(PayloadReader& reader, std::size_t limit, std::string_view* text)
{
    *text = {};
    const uint32_t count = TakeU32(reader);
    if (reader.failed || count > limit) {
        reader.failed = true;
        return false;
    }
    const uint8_t* at = Bytes(reader, count);
    if (!at)
        return false;
    const std::string_view taken(reinterpret_cast<const char*>(at), count);
    if (taken.find('\0') != std::string_view::npos) {
        reader.failed = true;
        return false;
    }
    *text = taken;
    return true;
}

bool TakeNarrow(PayloadReader& reader, std::size_t limit, std::span<char> dest)
{
    if (!dest.empty())
        dest[0] = '\0';
    std::string_view text;
    if (limit >= dest.size()) {
        reader.failed = true;
        return false;
    }
    if (!TakeNarrowView(reader, limit, &text))
        return false;
    std::memcpy(dest.data(), text.data(), text.size());
    dest[text.size()] = '\0';
    return true;
}

// ---- Frames ----

PayloadWriter StartFrame(std::span<uint8_t> room)
{
    PayloadWriter writer{room.first(std::min(room.size(), kMaxFrameBytes)), 0, false};
    Room(writer, kFrameHeaderBytes);
    return writer;
}

std::span<const uint8_t> FinishFrame(PayloadWriter& writer, WireKind kind)
{
    if (writer.failed || writer.used < kFrameHeaderBytes)
        return {};
    PayloadWriter header{writer.room.first(kFrameHeaderBytes), 0, false};
    PutU32(header, kWireMagic);
    PutU16(header, kWireVersion);
    PutU16(header, static_cast<uint16_t>(kind));
    PutU32(header, static_cast<uint32_t>(writer.used - kFrameHeaderBytes));
    return writer.room.first(writer.used);
}

bool StartFrameAssembler(FrameAssembler& assembler, WireDirection accepts)
{
    assembler.accepts = accepts;
    ResetFrameAssembler(assembler);
    return ReserveStore(assembler.store, kMaxFrameBytes) && CommitStore(assembler.store, kFrameHeaderBytes);
}

void ResetFrameAssembler(FrameAssembler& assembler)
{
    assembler.have = 0;
    assembler.need = 0;
    assembler.handedOut = 0;
    assembler.malformed = 0;
}

FrameStep AssembleFrame(FrameAssembler& assembler, std::span<const uint8_t> bytes, std::size_t* used, Frame* frame)
{
    *used = 0;
    if (assembler.handedOut)
        ResetFrameAssembler(assembler);
    BYTE* base = assembler.store.base;
    if (assembler.malformed || !base || assembler.store.committed < kFrameHeaderBytes) {
        assembler.malformed = 1;
        return FrameStep::Malformed;
    }
    std::size_t taken = 0;
    if (assembler.have < kFrameHeaderBytes) {
        const std::size_t part = std::min(kFrameHeaderBytes - assembler.have, bytes.size());
        std::memcpy(base + assembler.have, bytes.data(), part);
        assembler.have += part;
        taken = part;
        *used = taken;
        if (assembler.have < kFrameHeaderBytes)
            return FrameStep::NeedMore;
        const uint32_t length = LittleU32(base + 8);
        const bool sound = LittleU32(base) == kWireMagic && LittleU16(base + 4) == kWireVersion &&
                           IsKindFor(assembler.accepts, LittleU16(base + 6)) && length <= kMaxFramePayload;
        if (!sound || !CommitStore(assembler.store, kFrameHeaderBytes + length)) {
            assembler.malformed = 1;
            return FrameStep::Malformed;
        }
        assembler.need = kFrameHeaderBytes + length;
    }
    const std::size_t part = std::min(assembler.need - assembler.have, bytes.size() - taken);
    if (part > 0)
        std::memcpy(base + assembler.have, bytes.data() + taken, part);
    assembler.have += part;
    *used = taken + part;
    if (assembler.have < assembler.need)
        return FrameStep::NeedMore;
    assembler.handedOut = 1;
    frame->kind = static_cast<WireKind>(LittleU16(base + 6));
    frame->payload = {base + kFrameHeaderBytes, assembler.need - kFrameHeaderBytes};
    return FrameStep::Whole;
}

// ---- The service to its window ----

void EncodeWelcome(const WireWelcome& welcome, PayloadWriter& writer)
{
    PutU16(writer, welcome.version);
    PutNarrow(writer, TextOf(welcome.product), kProductVersionUnits - 1);
}

bool DecodeWelcome(std::span<const uint8_t> payload, WireWelcome* welcome)
{
    Clear(welcome);
    PayloadReader reader{payload};
    welcome->version = TakeU16(reader);
    TakeNarrow(reader, kProductVersionUnits - 1, welcome->product);
    Require(reader, welcome->version == kWireVersion && !HasControl(TextOf(welcome->product)));
    return ReadWhole(reader);
}

void EncodeLogGates(const WireLogGates& gates, PayloadWriter& writer)
{
    PutI32(writer, gates.savesess);
    PutI32(writer, gates.savefiles);
    PutI32(writer, gates.savelogs);
    PutI32(writer, gates.savecsvlogs);
    PutI32(writer, gates.historyKeepDays);
}

bool DecodeLogGates(std::span<const uint8_t> payload, WireLogGates* gates)
{
    Clear(gates);
    PayloadReader reader{payload};
    TakeLogGateFields(reader, *gates);
    return ReadWhole(reader);
}

void EncodeRules(const WireRules& rules, PayloadWriter& writer)
{
    PutFlag(writer, rules.blockMode);
    PutTable(writer, rules.blacklist);
    PutTable(writer, rules.whitelist);
    PutTable(writer, rules.tripped);
}

bool DecodeRules(std::span<const uint8_t> payload, WireRules* rules)
{
    Clear(rules);
    PayloadReader reader{payload};
    rules->blockMode = TakeSmall(reader, Whitelist);
    TakeTable(reader, rules->blacklist);
    TakeTable(reader, rules->whitelist);
    TakeTable(reader, rules->tripped);
    return ReadWhole(reader);
}

void EncodeTripwires(const TripwireRules& rules, PayloadWriter& writer)
{
    const std::size_t count = CountToPut(writer, rules.baitCount, kMaxBaitPatterns);
    PutFlag(writer, rules.enabled);
    PutU8(writer, static_cast<uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i)
        PutWide(writer, TextOf(rules.baits[i]), kBaitPatternUnits - 1);
    PutI32(writer, rules.burstFiles);
    PutI32(writer, rules.burstSeconds);
    PutI32(writer, rules.blockMinutes);
}

bool DecodeTripwires(std::span<const uint8_t> payload, TripwireRules* rules)
{
    Clear(rules);
    PayloadReader reader{payload};
    TakeTripwireFields(reader, *rules);
    return ReadWhole(reader);
}

void EncodeServers(const WireServers& servers, PayloadWriter& writer)
{
    const std::size_t count = CountToPut(writer, servers.count, kMaxRemoteServers);
    PutU8(writer, static_cast<uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        PutByte(writer, servers.servers[i].id);
        PutNarrow(writer, TextOf(servers.servers[i].name), kServerNameUnits - 1);
        PutByte(writer, servers.servers[i].state);
    }
}

bool DecodeServers(std::span<const uint8_t> payload, WireServers* servers)
{
    Clear(servers);
    PayloadReader reader{payload};
    servers->count = static_cast<int32_t>(TakeCount(reader, TakeU8(reader), kMaxRemoteServers));
    uint32_t seen = 0;  // a bit per id
    for (std::size_t i = 0; i < static_cast<std::size_t>(servers->count) && !reader.failed; ++i) {
        WireServer& server = servers->servers[i];
        server.id = TakeU8(reader);
        Require(reader, IsUsableServerId(server.id, false) && !(seen & (1u << server.id)));
        seen |= 1u << (server.id & 31);
        TakeServerName(reader, server.name);
        server.state = TakeSmall(reader, kLastServerState);
    }
    return ReadWhole(reader);
}

void EncodeLogText(const WireLogText& text, PayloadWriter& writer)
{
    PutFlag(writer, text.reset);
    PutNarrow(writer, text.text, kLogTextCapacity);
}

bool DecodeLogText(std::span<const uint8_t> payload, WireLogText* text)
{
    Clear(text);
    PayloadReader reader{payload};
    text->reset = TakeSmall(reader, 1);
    TakeNarrowView(reader, kLogTextCapacity, &text->text);
    return ReadWhole(reader);
}

void EncodeNews(const EngineNews& news, PayloadWriter& writer)
{
    PutFlag(writer, news.activity);
    PutFlag(writer, news.fileOpens);
    PutFlag(writer, news.trips);
    std::array<uint32_t, kAlertKinds> kept{};
    std::array<uint32_t, kAlertKinds> sent{};
    uint32_t total = 0;
    for (std::size_t kind = 0; kind < kept.size(); ++kind) {
        kept[kind] = std::min<uint32_t>(news.added[kind], static_cast<uint32_t>(kAlertLinesKept));
        total += kept[kind];
    }
    PutU8(writer, static_cast<uint8_t>(total));
    // Oldest first across the kinds: each kind's kept lines are already in order.
    for (uint32_t n = 0; n < total; ++n) {
        const AlertLine* oldest = nullptr;
        std::size_t from = 0;
        for (std::size_t kind = 0; kind < kept.size(); ++kind) {
            if (sent[kind] >= kept[kind])
                continue;
            const AlertLine& line =
                news.lines[kind][(news.added[kind] - kept[kind] + sent[kind]) % kAlertLinesKept];
            if (!oldest || line.sequence < oldest->sequence) {
                oldest = &line;
                from = kind;
            }
        }
        ++sent[from];
        PutU8(writer, static_cast<uint8_t>(from));
        PutU64(writer, oldest->sequence);
        PutNarrow(writer, TextOf(oldest->text), kAlertTextUnits);
    }
}

bool DecodeNews(std::span<const uint8_t> payload, EngineNews* news)
{
    Clear(news);
    PayloadReader reader{payload};
    news->activity = TakeSmall(reader, 1);
    news->fileOpens = TakeSmall(reader, 1);
    news->trips = TakeSmall(reader, 1);
    const uint32_t count = TakeCount(reader, TakeU8(reader), kMaxNewsLines);
    for (uint32_t i = 0; i < count && !reader.failed; ++i) {
        const auto kind = static_cast<std::size_t>(TakeSmall(reader, kAlertKinds - 1));
        const uint64_t sequence = TakeU64(reader);
        // In the order the events came, and no more of a kind than are kept.
        Require(reader, sequence > news->nextSequence && news->added[kind] < kAlertLinesKept);
        if (reader.failed)
            break;
        AlertLine& line = news->lines[kind][news->added[kind]];
        line.sequence = sequence;
        TakeNarrow(reader, kAlertTextUnits, line.text);
        ++news->added[kind];
        news->nextSequence = sequence;
    }
    return ReadWhole(reader);
}

void EncodeReadingBegin(const WireReadingBegin& begin, PayloadWriter& writer)
{
    PutServerId(writer, begin.server);
    PutByte(writer, begin.kind);
    PutU32(writer, begin.status);
    PutU32(writer, begin.total);
    if (begin.total > MostRecordsOf(begin.kind))
        writer.failed = true;
}

bool DecodeReadingBegin(std::span<const uint8_t> payload, WireReadingBegin* begin)
{
    Clear(begin);
    PayloadReader reader{payload};
    begin->server = TakeSmall(reader, kMaxRemoteServers);
    begin->kind = static_cast<ReplyKind>(TakeSmall(reader, kLastReplyKind));
    begin->status = TakeU32(reader);
    begin->total = TakeCount(reader, TakeU32(reader), MostRecordsOf(begin->kind));
    return ReadWhole(reader);
}

bool DecodeReadingEnd(std::span<const uint8_t> payload)
{
    return payload.empty();
}

void EncodeCommandDone(const WireCommandDone& done, PayloadWriter& writer)
{
    PutU32(writer, done.command);
    PutU8(writer, static_cast<uint8_t>(done.result));
}

bool DecodeCommandDone(std::span<const uint8_t> payload, WireCommandDone* done)
{
    Clear(done);
    PayloadReader reader{payload};
    done->command = TakeU32(reader);
    done->result = static_cast<CommandResult>(TakeSmall(reader, kLastCommandResult));
    return ReadWhole(reader);
}

void EncodeForward(const ForwardSettings& settings, PayloadWriter& writer)
{
    PutForwardFields(writer, settings);
}

void EncodeHistoryState(const WireHistoryState& state, PayloadWriter& writer)
{
    PutByte(writer, static_cast<int32_t>(state.health));
    PutByte(writer, static_cast<int32_t>(state.backfill));
    PutU32(writer, state.filesDone);
    PutU32(writer, state.filesTotal);
    PutU64(writer, state.linesRead);
}

bool DecodeHistoryState(std::span<const uint8_t> payload, WireHistoryState* state)
{
    Clear(state);
    PayloadReader reader{payload};
    state->health = static_cast<HistoryHealth>(TakeSmall(reader, static_cast<int32_t>(HistoryHealth::ServiceOwned)));
    state->backfill = static_cast<BackfillState>(TakeSmall(reader, static_cast<int32_t>(BackfillState::Done)));
    state->filesDone = TakeU32(reader);
    state->filesTotal = TakeU32(reader);
    state->linesRead = TakeU64(reader);
    Require(reader, state->filesDone <= state->filesTotal);
    return ReadWhole(reader);
}

void EncodeServiceState(const WireServiceState& state, PayloadWriter& writer)
{
    PutByte(writer, state.refused);
    PutNarrow(writer, state.refusal.data(), kServiceRefusalBytes - 1);
}

bool DecodeServiceState(std::span<const uint8_t> payload, WireServiceState* state)
{
    Clear(state);
    PayloadReader reader{payload};
    state->refused = TakeSmall(reader, 1);
    TakeNarrow(reader, kServiceRefusalBytes - 1, state->refusal);
    return ReadWhole(reader);
}

bool DecodeForward(std::span<const uint8_t> payload, ForwardSettings* settings)
{
    Clear(settings);
    PayloadReader reader{payload};
    TakeForwardFields(reader, *settings);
    return ReadWhole(reader);
}

// ---- The window to the service ----

void EncodeHello(const WireHello& hello, PayloadWriter& writer)
{
    PutU16(writer, hello.version);
}

bool DecodeHello(std::span<const uint8_t> payload, WireHello* hello)
{
    Clear(hello);
    PayloadReader reader{payload};
    hello->version = TakeU16(reader);
    Require(reader, hello->version == kWireVersion);
    return ReadWhole(reader);
}

void EncodeWatch(const WireWatch& watch, PayloadWriter& writer)
{
    PutServerId(writer, watch.monitoring);
    PutServerId(writer, watch.shares);
}

bool DecodeWatch(std::span<const uint8_t> payload, WireWatch* watch)
{
    Clear(watch);
    PayloadReader reader{payload};
    watch->monitoring = TakeSmall(reader, kMaxRemoteServers);
    watch->shares = TakeSmall(reader, kMaxRemoteServers);
    return ReadWhole(reader);
}

void EncodeCommand(const WireCommand& command, PayloadWriter& writer)
{
    PutU32(writer, command.id);
    PutU16(writer, static_cast<uint16_t>(command.kind));
    switch (command.kind) {
    case CommandKind::CloseSession:
        PutServerId(writer, command.server);
        PutWide(writer, TextOf(command.name), kClientNameUnits - 1);
        PutWide(writer, TextOf(command.user), kClientNameUnits - 1);
        break;
    case CommandKind::CloseFile:
        PutServerId(writer, command.server);
        PutU32(writer, command.fileId);
        break;
    case CommandKind::RemoveShare:
        PutServerId(writer, command.server);
        PutWide(writer, TextOf(command.name), kClientNameUnits - 1);
        break;
    case CommandKind::RefreshShares: PutServerId(writer, command.server); break;
    case CommandKind::AddComputer:
        PutByte(writer, command.list);
        PutWide(writer, TextOf(command.name), kMaxComputerName);
        PutI32(writer, command.ticks);
        break;
    case CommandKind::RemoveComputer:
        PutByte(writer, command.list);
        PutWide(writer, TextOf(command.name), kBlockNameUnits - 1);
        break;
    case CommandKind::SetBlockMode: PutByte(writer, command.blockMode); break;
    case CommandKind::ReleaseTripped: PutByte(writer, command.slot); break;
    case CommandKind::SetTripwires: EncodeTripwires(command.tripwires, writer); break;
    case CommandKind::SetServers: {
        const std::size_t count = CountToPut(writer, command.servers.count, kMaxRemoteServers);
        PutU8(writer, static_cast<uint8_t>(count));
        for (std::size_t i = 0; i < count; ++i)
            PutNarrow(writer, TextOf(command.servers.names[i]), kServerNameUnits - 1);
        break;
    }
    case CommandKind::SetLogGates: EncodeLogGates(command.gates, writer); break;
    case CommandKind::SetForward: PutForwardFields(writer, command.forward); break;
    case CommandKind::StopBackfill:
    case CommandKind::ResumeBackfill: break;
    default: writer.failed = true; break;
    }
}

bool DecodeCommand(std::span<const uint8_t> payload, WireCommand* command)
{
    Clear(command);
    PayloadReader reader{payload};
    command->id = TakeU32(reader);
    command->kind = static_cast<CommandKind>(TakeU16(reader));
    switch (command->kind) {
    case CommandKind::CloseSession:
        command->server = TakeSmall(reader, kMaxRemoteServers);
        TakeWide(reader, kClientNameUnits - 1, command->name);
        TakeWide(reader, kClientNameUnits - 1, command->user);
        Require(reader, command->name[0] != L'\0');
        break;
    case CommandKind::CloseFile:
        command->server = TakeSmall(reader, kMaxRemoteServers);
        command->fileId = TakeU32(reader);
        break;
    case CommandKind::RemoveShare:
        command->server = TakeSmall(reader, kMaxRemoteServers);
        TakeWide(reader, kClientNameUnits - 1, command->name);
        Require(reader, command->name[0] != L'\0');
        break;
    case CommandKind::RefreshShares: command->server = TakeSmall(reader, kMaxRemoteServers); break;
    case CommandKind::AddComputer: {
        command->list = TakeSmall(reader, Whitelist);
        TakeWide(reader, kMaxComputerName, command->name);
        command->ticks = TakeI32(reader);
        const std::wstring_view name = TextOf(command->name);
        Require(reader, !name.empty() && !HasControl(name) && (command->ticks == kPermanent || command->ticks >= 1));
        break;
    }
    case CommandKind::RemoveComputer:
        command->list = TakeSmall(reader, Whitelist);
        TakeWide(reader, kBlockNameUnits - 1, command->name);
        Require(reader, IsNormalComputerName(TextOf(command->name)));
        break;
    case CommandKind::SetBlockMode: command->blockMode = TakeSmall(reader, Whitelist); break;
    case CommandKind::ReleaseTripped: command->slot = TakeU8(reader); break;
    case CommandKind::SetTripwires: TakeTripwireFields(reader, command->tripwires); break;
    case CommandKind::SetServers:
        command->servers.count = static_cast<int32_t>(TakeCount(reader, TakeU8(reader), kMaxRemoteServers));
        for (std::size_t i = 0; i < static_cast<std::size_t>(command->servers.count) && !reader.failed; ++i)
            TakeServerName(reader, command->servers.names[i]);
        break;
    case CommandKind::SetLogGates: TakeLogGateFields(reader, command->gates); break;
    case CommandKind::SetForward: {
        TakeForwardFields(reader, command->forward);
        std::array<char, 160> why{};
        Require(reader, CheckForwardValues(command->forward, why) == ForwardField::None &&
                            !HasControl(TextOf(command->forward.host)) && !HasControl(TextOf(command->forward.webhook)));
        break;
    }
    case CommandKind::StopBackfill:
    case CommandKind::ResumeBackfill: break;
    default: reader.failed = true; break;
    }
    return ReadWhole(reader);
}

// ---- Readings ----

uint32_t MostRecordsOf(ReplyKind kind)
{
    switch (kind) {
    case SessionsReply: return kMaxReadingSessions;
    case FilesReply: return kMaxReadingFiles;
    case SharesReply: return kMaxReadingShares;
    }
    return 0;
}

void StartReading(ReadingEncoder& encoder, ServerId server, NET_API_STATUS status,
                  std::span<const SESSION_INFO_1> sessions)
{
    StartReadingOf(encoder, server, SessionsReply, status, sessions);
}

void StartReading(ReadingEncoder& encoder, ServerId server, NET_API_STATUS status, std::span<const FILE_INFO_3> files)
{
    StartReadingOf(encoder, server, FilesReply, status, files);
}

void StartReading(ReadingEncoder& encoder, ServerId server, NET_API_STATUS status,
                  std::span<const SHARE_INFO_502> shares)
{
    StartReadingOf(encoder, server, SharesReply, status, shares);
}

std::span<const uint8_t> NextReadingFrame(ReadingEncoder& encoder, std::span<uint8_t> room)
{
    switch (encoder.stage) {
    case kReadingBegin: {
        const auto frame = MakeFrame(room, WireKind::ReadingBegin, encoder.begin, EncodeReadingBegin);
        // A begin that cannot be made (a server out of range) sends nothing at all.
        encoder.stage = frame.empty() ? kReadingDone : encoder.begin.total > 0 ? kReadingParts : kReadingEnd;
        return frame;
    }
    case kReadingParts:
        switch (encoder.begin.kind) {
        case SessionsReply: return NextPart<SESSION_INFO_1>(encoder, room);
        case FilesReply: return NextPart<FILE_INFO_3>(encoder, room);
        case SharesReply: return NextPart<SHARE_INFO_502>(encoder, room);
        }
        encoder.stage = kReadingDone;
        return {};
    case kReadingEnd: {
        encoder.stage = kReadingDone;
        PayloadWriter writer = StartFrame(room);
        return FinishFrame(writer, WireKind::ReadingEnd);
    }
    default: return {};
    }
}

bool StartReadingAssembler(ReadingAssembler& assembler)
{
    constexpr std::size_t recordBytes =
        std::max({kMaxReadingSessions * sizeof(SESSION_INFO_1), kMaxReadingFiles * sizeof(FILE_INFO_3),
                  kMaxReadingShares * sizeof(SHARE_INFO_502)});
    assembler.stage = kAssemblyNone;
    return ReserveStore(assembler.records, recordBytes) && ReserveStore(assembler.texts.store, kReadingTextBytes);
}

void AbandonPartialReading(ReadingAssembler& assembler)
{
    if (assembler.stage == kAssemblyReceiving)
        assembler.stage = kAssemblyNone;
}

bool TakeReadingFrame(ReadingAssembler& assembler, const Frame& frame)
{
    bool sound = false;
    switch (frame.kind) {
    case WireKind::ReadingBegin:
        sound = assembler.stage != kAssemblyReceiving && DecodeReadingBegin(frame.payload, &assembler.begin);
        assembler.received = 0;
        EmptyArena(assembler.texts);
        break;
    case WireKind::ReadingPart:
        if (assembler.stage != kAssemblyReceiving)
            break;
        switch (assembler.begin.kind) {
        case SessionsReply: sound = TakePart<SESSION_INFO_1>(assembler, frame.payload); break;
        case FilesReply: sound = TakePart<FILE_INFO_3>(assembler, frame.payload); break;
        case SharesReply: sound = TakePart<SHARE_INFO_502>(assembler, frame.payload); break;
        }
        break;
    case WireKind::ReadingEnd:
        sound = assembler.stage == kAssemblyReceiving && DecodeReadingEnd(frame.payload) &&
                assembler.received == assembler.begin.total;
        if (sound) {
            assembler.stage = kAssemblyWhole;
            return true;
        }
        break;
    default: break;
    }
    assembler.stage = sound ? kAssemblyReceiving : kAssemblyNone;
    return sound;
}

bool ReadingIsWhole(const ReadingAssembler& assembler)
{
    return assembler.stage == kAssemblyWhole;
}

std::span<const SESSION_INFO_1> AssembledSessions(const ReadingAssembler& assembler)
{
    return AssembledOf<SESSION_INFO_1>(assembler, SessionsReply);
}

std::span<const FILE_INFO_3> AssembledFiles(const ReadingAssembler& assembler)
{
    return AssembledOf<FILE_INFO_3>(assembler, FilesReply);
}

std::span<const SHARE_INFO_502> AssembledShares(const ReadingAssembler& assembler)
{
    return AssembledOf<SHARE_INFO_502>(assembler, SharesReply);
}
