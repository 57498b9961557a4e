#include "engine/link/wire.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "core/text.h"
#include "engine/history/history_store.h"
#include "engine/watch/share_denies.h"

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

namespace {

// ---- One walk over each message's fields ----
//
// A message's fields are named once, in order, with their type and bounds, in a walk
// that both directions run: FieldPut writes each field, FieldTake reads it and checks
// its bounds, and what a walk checks across its fields (Check) only the reader tests.
// A walk is a template over the message's constness: the writer is given the message
// as it stands, the reader the one it fills.

struct FieldPut {
    static constexpr bool kTakes = false;
    PayloadWriter& writer;

    void U8(const char*, const uint8_t& value) { PutU8(writer, value); }
    void U16(const char*, const uint16_t& value) { PutU16(writer, value); }
    // uint32_t and DWORD alike.
    template <typename T>
    void U32(const char*, const T& value)
    {
        static_assert(sizeof(T) == 4 && std::is_unsigned_v<T>);
        PutU32(writer, static_cast<uint32_t>(value));
    }
    void U64(const char*, const uint64_t& value) { PutU64(writer, value); }
    void I32(const char*, const int32_t& value) { PutI32(writer, value); }
    void Flag(const char*, const int32_t& value) { PutFlag(writer, value); }
    // One byte, read back only within [0, highest].
    template <typename T>
    void Small(const char*, const T& value, T)
    {
        PutByte(writer, static_cast<int32_t>(value));
    }
    void Server(const char*, const ServerId& server) { PutServerId(writer, server); }
    template <std::size_t N>
    void Narrow(const char*, const std::array<char, N>& text, std::size_t limit)
    {
        PutNarrow(writer, TextOf(text), limit);
    }
    void NarrowView(const char*, const std::string_view& text, std::size_t limit) { PutNarrow(writer, text, limit); }
    template <std::size_t N>
    void Wide(const char*, const std::array<wchar_t, N>& text, std::size_t limit)
    {
        PutWide(writer, TextOf(text), limit);
    }
    // A count in one byte, at most `most`, then each(i) for each.
    template <typename Each>
    void Counted(const char*, const int32_t& count, std::size_t most, Each each)
    {
        const std::size_t kept = CountToPut(writer, count, most);
        PutU8(writer, static_cast<uint8_t>(kept));
        for (std::size_t i = 0; i < kept; ++i)
            each(i);
    }
    void Check(const char*, bool) {}
    // What neither side may carry: the writer fails too.
    void Bound(const char*, bool sound)
    {
        if (!sound)
            writer.failed = true;
    }
    bool Failed() const { return writer.failed; }
};

struct FieldTake {
    static constexpr bool kTakes = true;
    PayloadReader reader;

    void U8(const char*, uint8_t& value) { value = TakeU8(reader); }
    void U16(const char*, uint16_t& value) { value = TakeU16(reader); }
    template <typename T>
    void U32(const char*, T& value)
    {
        static_assert(sizeof(T) == 4 && std::is_unsigned_v<T>);
        value = static_cast<T>(TakeU32(reader));
    }
    void U64(const char*, uint64_t& value) { value = TakeU64(reader); }
    void I32(const char*, int32_t& value) { value = TakeI32(reader); }
    void Flag(const char*, int32_t& value) { value = TakeSmall(reader, 1); }
    template <typename T>
    void Small(const char*, T& value, T highest)
    {
        value = static_cast<T>(TakeSmall(reader, static_cast<int32_t>(highest)));
    }
    void Server(const char*, ServerId& server) { server = TakeSmall(reader, kMaxRemoteServers); }
    template <std::size_t N>
    void Narrow(const char*, std::array<char, N>& text, std::size_t limit)
    {
        TakeNarrow(reader, limit, text);
    }
    void NarrowView(const char*, std::string_view& text, std::size_t limit) { TakeNarrowView(reader, limit, &text); }
    template <std::size_t N>
    void Wide(const char*, std::array<wchar_t, N>& text, std::size_t limit)
    {
        TakeWide(reader, limit, text);
    }
    template <typename Each>
    void Counted(const char*, int32_t& count, std::size_t most, Each each)
    {
        count = static_cast<int32_t>(TakeCount(reader, TakeU8(reader), static_cast<uint32_t>(most)));
        for (std::size_t i = 0; i < static_cast<std::size_t>(count) && !reader.failed; ++i)
            each(i);
    }
    void Check(const char*, bool sound) { Require(reader, sound); }
    void Bound(const char*, bool sound) { Require(reader, sound); }
    bool Failed() const { return reader.failed; }
};

template <typename Walk, typename Message>
void PutWith(const Message& message, PayloadWriter& writer)
{
    FieldPut put{writer};
    Walk{}(put, message);
}

template <typename Walk, typename Message>
bool TakeWith(std::span<const uint8_t> payload, Message* message)
{
    Clear(message);
    FieldTake take{PayloadReader{payload}};
    Walk{}(take, *message);
    return ReadWhole(take.reader);
}

// ---- Parts that more than one message has ----

// The list's slots in use, each named once, in rising order.
struct TableFields {
    template <typename Walk, typename List>
    void operator()(Walk& walk, List& list) const
    {
        if constexpr (Walk::kTakes) {
            uint16_t count = 0;
            walk.U16("count", count);
            walk.Check("count", count <= kComputerListSlots);
            int32_t previous = -1;
            for (uint32_t i = 0; i < (count <= kComputerListSlots ? count : 0u) && !walk.Failed(); ++i) {
                uint8_t slot = 0;
                walk.U8("slot", slot);
                walk.Check("slot", slot > previous);
                previous = slot;
                Entry(walk, list[slot]);
                list[slot].inUse = 1;
                ++list.inUse;
            }
        } else {
            const auto count = std::count_if(list.begin(), list.end(), [](const BlockEntry& e) { return e.inUse != 0; });
            walk.U16("count", static_cast<uint16_t>(count));
            for (std::size_t slot = 0; slot < list.size(); ++slot) {
                if (!list[slot].inUse)
                    continue;
                walk.U8("slot", static_cast<uint8_t>(slot));
                Entry(walk, list[slot]);
            }
        }
    }

    template <typename Walk, typename Slot>
    static void Entry(Walk& walk, Slot& entry)
    {
        walk.Wide("name", entry.name, kBlockNameUnits - 1);
        walk.Wide("user", entry.user, kBlockUserUnits - 1);
        walk.I32("ticksLeft", entry.ticksLeft);
        walk.I32("deniedShares", entry.deniedShares);
        walk.Check("entry", IsNormalComputerName(TextOf(entry.name)) && entry.ticksLeft >= kPermanent &&
                                entry.deniedShares >= 0 && entry.deniedShares <= static_cast<int32_t>(kMaxDeniedShares));
    }
};

struct TripwireFields {
    template <typename Walk, typename Rules>
    void operator()(Walk& walk, Rules& rules) const
    {
        walk.Flag("enabled", rules.enabled);
        walk.Counted("baitCount", rules.baitCount, kMaxBaitPatterns, [&](std::size_t i) {
            walk.Wide("bait", rules.baits[i], kBaitPatternUnits - 1);
            if constexpr (Walk::kTakes) {
                const std::wstring_view bait = TextOf(rules.baits[i]);
                walk.Check("bait", !bait.empty() && !HasControl(bait));
                rules.folded[i] = rules.baits[i];
                FoldForMatching(rules.folded[i]);
            }
        });
        walk.I32("burstFiles", rules.burstFiles);
        walk.I32("burstSeconds", rules.burstSeconds);
        walk.I32("blockMinutes", rules.blockMinutes);
        walk.Check("burstFiles", rules.burstFiles >= 0 && rules.burstFiles <= kMaxBurstFiles);
        walk.Check("burstSeconds", rules.burstSeconds >= 1 && rules.burstSeconds <= kMaxBurstSeconds);
        walk.Check("blockMinutes", rules.blockMinutes >= 0 && rules.blockMinutes <= kMaxTripMinutes);
        walk.Flag("denyShares", rules.denyShares);
        walk.Counted("neverDeniedCount", rules.neverDeniedCount, kMaxNeverDenied, [&](std::size_t i) {
            walk.Wide("neverDenied", rules.neverDenied[i], kBlockUserUnits - 1);
            if constexpr (Walk::kTakes) {
                const std::wstring_view name = TextOf(rules.neverDenied[i]);
                walk.Check("neverDenied", !name.empty() && !HasControl(name) && name.find(L',') == std::wstring_view::npos);
            }
        });
    }
};

struct LogGateFields {
    template <typename Walk, typename Gates>
    void operator()(Walk& walk, Gates& gates) const
    {
        walk.I32("savesess", gates.savesess);
        walk.I32("savefiles", gates.savefiles);
        walk.I32("savelogs", gates.savelogs);
        walk.I32("savecsvlogs", gates.savecsvlogs);
        walk.I32("historyKeepDays", gates.historyKeepDays);
        walk.Check("historyKeepDays", gates.historyKeepDays >= 0 && gates.historyKeepDays <= kKeepDaysMost);
    }
};

// The words that read as none of a setting's words come as Unknown, as
// ReadForwardSettings leaves them.
struct ForwardFields {
    template <typename Walk, typename Forward>
    void operator()(Walk& walk, Forward& settings) const
    {
        walk.Flag("enabled", settings.enabled);
        walk.Narrow("host", settings.host, kForwardHostUnits - 1);
        walk.I32("port", settings.port);
        walk.Small("transport", settings.transport, ForwardTransport::Unknown);
        walk.I32("facility", settings.facility);
        walk.Small("minimum", settings.minimum, ForwardMinimum::Unknown);
        walk.I32("spoolMegabytes", settings.spoolMegabytes);
        walk.Narrow("webhook", settings.webhook, kWebhookUrlCapacity - 1);
        walk.Small("webhookFormat", settings.webhookFormat, WebhookFormat::Unknown);
        walk.I32("replySeconds", settings.replySeconds);
    }
};

template <typename Walk, std::size_t N>
void ServerName(Walk& walk, std::array<char, N>& name)
{
    walk.Narrow("name", name, kServerNameUnits - 1);
    const std::string_view text(name.data(), strnlen(name.data(), name.size()));
    walk.Check("name", !text.empty() && !HasControl(text));
}

template <typename Walk, std::size_t N>
void ServerName(Walk& walk, const std::array<char, N>& name)
{
    walk.Narrow("name", name, kServerNameUnits - 1);
}

// ---- The service to its window ----

struct WelcomeFields {
    template <typename Walk, typename Welcome>
    void operator()(Walk& walk, Welcome& welcome) const
    {
        walk.U16("version", welcome.version);
        walk.Narrow("product", welcome.product, kProductVersionUnits - 1);
        walk.Check("version", welcome.version == kWireVersion && !HasControl(TextOf(welcome.product)));
    }
};

struct RulesFields {
    template <typename Walk, typename Rules>
    void operator()(Walk& walk, Rules& rules) const
    {
        walk.Small("blockMode", rules.blockMode, static_cast<int32_t>(Whitelist));
        TableFields{}(walk, rules.blacklist);
        TableFields{}(walk, rules.whitelist);
        TableFields{}(walk, rules.tripped);
    }
};

struct ServersFields {
    template <typename Walk, typename Servers>
    void operator()(Walk& walk, Servers& servers) const
    {
        uint32_t seen = 0;  // a bit per id
        walk.Counted("count", servers.count, kMaxRemoteServers, [&](std::size_t i) {
            auto& server = servers.servers[i];
            walk.Small("id", server.id, static_cast<int32_t>(0xFF));
            walk.Check("id", IsUsableServerId(server.id, false) && !(seen & (1u << (server.id & 31))));
            seen |= 1u << (server.id & 31);
            ServerName(walk, server.name);
            walk.Small("state", server.state, static_cast<int32_t>(kLastServerState));
        });
    }
};

struct LogTextFields {
    template <typename Walk, typename Text>
    void operator()(Walk& walk, Text& text) const
    {
        walk.Flag("reset", text.reset);
        walk.NarrowView("text", text.text, kLogTextCapacity);
    }
};

struct ReadingBeginFields {
    template <typename Walk, typename Begin>
    void operator()(Walk& walk, Begin& begin) const
    {
        walk.Server("server", begin.server);
        walk.Small("kind", begin.kind, static_cast<ReplyKind>(kLastReplyKind));
        walk.U32("status", begin.status);
        walk.U32("total", begin.total);
        walk.Bound("total", begin.total <= MostRecordsOf(begin.kind));
    }
};

struct CommandDoneFields {
    template <typename Walk, typename Done>
    void operator()(Walk& walk, Done& done) const
    {
        walk.U32("command", done.command);
        walk.Small("result", done.result, static_cast<CommandResult>(kLastCommandResult));
    }
};

struct HistoryStateFields {
    template <typename Walk, typename State>
    void operator()(Walk& walk, State& state) const
    {
        walk.Small("health", state.health, HistoryHealth::ServiceOwned);
        walk.Small("backfill", state.backfill, BackfillState::Done);
        walk.U32("filesDone", state.filesDone);
        walk.U32("filesTotal", state.filesTotal);
        walk.U64("linesRead", state.linesRead);
        walk.Check("filesDone", state.filesDone <= state.filesTotal);
    }
};

struct ServiceStateFields {
    template <typename Walk, typename State>
    void operator()(Walk& walk, State& state) const
    {
        walk.Small("refused", state.refused, 1);
        walk.Narrow("refusal", state.refusal, kServiceRefusalBytes - 1);
    }
};

// ---- The window to the service ----

struct HelloFields {
    template <typename Walk, typename Hello>
    void operator()(Walk& walk, Hello& hello) const
    {
        walk.U16("version", hello.version);
        walk.Check("version", hello.version == kWireVersion);
    }
};

struct WatchFields {
    template <typename Walk, typename Watch>
    void operator()(Walk& walk, Watch& watch) const
    {
        walk.Server("monitoring", watch.monitoring);
        walk.Server("shares", watch.shares);
    }
};

// Each command's fields after its id and kind; an unknown kind fails both sides.
struct CommandFields {
    template <typename Walk, typename Command>
    void operator()(Walk& walk, Command& command) const
    {
        walk.U32("id", command.id);
        uint16_t kind = static_cast<uint16_t>(command.kind);
        walk.U16("kind", kind);
        if constexpr (Walk::kTakes)
            command.kind = static_cast<CommandKind>(kind);
        switch (command.kind) {
        case CommandKind::CloseSession:
            walk.Server("server", command.server);
            walk.Wide("name", command.name, kClientNameUnits - 1);
            walk.Wide("user", command.user, kClientNameUnits - 1);
            walk.Check("name", command.name[0] != L'\0');
            break;
        case CommandKind::CloseFile:
            walk.Server("server", command.server);
            walk.U32("fileId", command.fileId);
            break;
        case CommandKind::RemoveShare:
            walk.Server("server", command.server);
            walk.Wide("name", command.name, kClientNameUnits - 1);
            walk.Check("name", command.name[0] != L'\0');
            break;
        case CommandKind::RefreshShares: walk.Server("server", command.server); break;
        case CommandKind::AddComputer: {
            walk.Small("list", command.list, static_cast<int32_t>(Whitelist));
            walk.Wide("name", command.name, kMaxComputerName);
            walk.I32("ticks", command.ticks);
            const std::wstring_view name = TextOf(command.name);
            walk.Check("name", !name.empty() && !HasControl(name) && (command.ticks == kPermanent || command.ticks >= 1));
            break;
        }
        case CommandKind::RemoveComputer:
            walk.Small("list", command.list, static_cast<int32_t>(Whitelist));
            walk.Wide("name", command.name, kBlockNameUnits - 1);
            walk.Check("name", IsNormalComputerName(TextOf(command.name)));
            break;
        case CommandKind::SetBlockMode: walk.Small("blockMode", command.blockMode, static_cast<int32_t>(Whitelist)); break;
        case CommandKind::ReleaseTripped: walk.Small("slot", command.slot, static_cast<int32_t>(0xFF)); break;
        case CommandKind::SetTripwires: TripwireFields{}(walk, command.tripwires); break;
        case CommandKind::SetServers:
            walk.Counted("count", command.servers.count, kMaxRemoteServers,
                         [&](std::size_t i) { ServerName(walk, command.servers.names[i]); });
            break;
        case CommandKind::SetLogGates: LogGateFields{}(walk, command.gates); break;
        case CommandKind::SetForward: {
            ForwardFields{}(walk, command.forward);
            std::array<char, 160> why{};
            walk.Check("forward", CheckForwardValues(command.forward, why) == ForwardField::None &&
                                      !HasControl(TextOf(command.forward.host)) &&
                                      !HasControl(TextOf(command.forward.webhook)));
            break;
        }
        case CommandKind::StopBackfill:
        case CommandKind::ResumeBackfill: break;
        default: walk.Bound("kind", false); break;
        }
    }
};

}  // namespace

void EncodeWelcome(const WireWelcome& welcome, PayloadWriter& writer) { PutWith<WelcomeFields>(welcome, writer); }
bool DecodeWelcome(std::span<const uint8_t> payload, WireWelcome* welcome)
{
    return TakeWith<WelcomeFields>(payload, welcome);
}

void EncodeLogGates(const WireLogGates& gates, PayloadWriter& writer) { PutWith<LogGateFields>(gates, writer); }
bool DecodeLogGates(std::span<const uint8_t> payload, WireLogGates* gates)
{
    return TakeWith<LogGateFields>(payload, gates);
}

void EncodeRules(const WireRules& rules, PayloadWriter& writer) { PutWith<RulesFields>(rules, writer); }
bool DecodeRules(std::span<const uint8_t> payload, WireRules* rules) { return TakeWith<RulesFields>(payload, rules); }

void EncodeTripwires(const TripwireRules& rules, PayloadWriter& writer) { PutWith<TripwireFields>(rules, writer); }
bool DecodeTripwires(std::span<const uint8_t> payload, TripwireRules* rules)
{
    return TakeWith<TripwireFields>(payload, rules);
}

void EncodeServers(const WireServers& servers, PayloadWriter& writer) { PutWith<ServersFields>(servers, writer); }
bool DecodeServers(std::span<const uint8_t> payload, WireServers* servers)
{
    return TakeWith<ServersFields>(payload, servers);
}

void EncodeLogText(const WireLogText& text, PayloadWriter& writer) { PutWith<LogTextFields>(text, writer); }
bool DecodeLogText(std::span<const uint8_t> payload, WireLogText* text) { return TakeWith<LogTextFields>(payload, text); }

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
    PutWith<ReadingBeginFields>(begin, writer);
}
bool DecodeReadingBegin(std::span<const uint8_t> payload, WireReadingBegin* begin)
{
    return TakeWith<ReadingBeginFields>(payload, begin);
}

bool DecodeReadingEnd(std::span<const uint8_t> payload)
{
    return payload.empty();
}

void EncodeCommandDone(const WireCommandDone& done, PayloadWriter& writer) { PutWith<CommandDoneFields>(done, writer); }
bool DecodeCommandDone(std::span<const uint8_t> payload, WireCommandDone* done)
{
    return TakeWith<CommandDoneFields>(payload, done);
}

void EncodeForward(const ForwardSettings& settings, PayloadWriter& writer) { PutWith<ForwardFields>(settings, writer); }
bool DecodeForward(std::span<const uint8_t> payload, ForwardSettings* settings)
{
    return TakeWith<ForwardFields>(payload, settings);
}

void EncodeHistoryState(const WireHistoryState& state, PayloadWriter& writer)
{
    PutWith<HistoryStateFields>(state, writer);
}
bool DecodeHistoryState(std::span<const uint8_t> payload, WireHistoryState* state)
{
    return TakeWith<HistoryStateFields>(payload, state);
}

void EncodeServiceState(const WireServiceState& state, PayloadWriter& writer)
{
    PutWith<ServiceStateFields>(state, writer);
}
bool DecodeServiceState(std::span<const uint8_t> payload, WireServiceState* state)
{
    return TakeWith<ServiceStateFields>(payload, state);
}

void EncodeHello(const WireHello& hello, PayloadWriter& writer) { PutWith<HelloFields>(hello, writer); }
bool DecodeHello(std::span<const uint8_t> payload, WireHello* hello) { return TakeWith<HelloFields>(payload, hello); }

void EncodeWatch(const WireWatch& watch, PayloadWriter& writer) { PutWith<WatchFields>(watch, writer); }
bool DecodeWatch(std::span<const uint8_t> payload, WireWatch* watch) { return TakeWith<WatchFields>(payload, watch); }

void EncodeCommand(const WireCommand& command, PayloadWriter& writer) { PutWith<CommandFields>(command, writer); }
bool DecodeCommand(std::span<const uint8_t> payload, WireCommand* command)
{
    return TakeWith<CommandFields>(payload, command);
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
