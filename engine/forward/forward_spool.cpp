#include "engine/forward/forward_spool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "core/file_trust.h"
#include "core/hash.h"
#include "core/text.h"
#include "engine/forward/syslog_message.h"

namespace {

constexpr std::array<char, 8> kSpoolMagic = {'Q', 'V', 'S', 'P', 'O', 'O', 'L', '1'};
constexpr uint32_t kRecordMagic = 0x43525651;  // "QVRC"
// Tests make small rings; a file claiming a ring outside these is not ours.
constexpr uint64_t kSmallestRing = 4096;
constexpr uint64_t kLargestRing = static_cast<uint64_t>(kHighestSpoolMegabytes) * kSpoolMegabyte;

struct SpoolHeader {
    std::array<char, 8> magic;
    uint64_t capacity;
    uint64_t head;
    uint64_t used;
    uint64_t count;
    uint64_t firstSequence;
    uint64_t dropped;
    uint64_t checksum;
};
static_assert(sizeof(SpoolHeader) == kSpoolHeaderBytes);

struct RecordHeader {
    uint32_t magic;
    uint32_t length;
    uint64_t sequence;
    uint64_t checksum;
};
static_assert(sizeof(RecordHeader) == kSpoolRecordHeaderBytes);

uint64_t Checksum(std::span<const char> bytes, uint64_t sequence)
{
    TextHash hash;
    hash.Add(std::string_view(bytes.data(), bytes.size()));
    for (int shift = 0; shift < 64; shift += 16)
        hash.Add(static_cast<uint16_t>(sequence >> shift));
    return hash.value;
}

uint64_t HeaderChecksum(const SpoolHeader& header)
{
    return Checksum(std::span<const char>(reinterpret_cast<const char*>(&header), offsetof(SpoolHeader, checksum)), 0);
}

bool ReadAt(HANDLE file, uint64_t offset, void* bytes, std::size_t size)
{
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(offset);
    place.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, bytes, static_cast<DWORD>(size), &read, &place) && read == size;
}

// The writes a test lets through before it plays a kill; -1: all.
std::atomic<int64_t> writesBeforeKill{-1};

bool WriteAt(HANDLE file, uint64_t offset, const void* bytes, std::size_t size)
{
    int64_t left = writesBeforeKill.load();
    while (left > 0 && !writesBeforeKill.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0)
        return false;
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(offset);
    place.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(size), &written, &place) && written == size;
}

// The ring's bytes from `at`, round its end when they reach it.
bool RingRead(const ForwardSpool& spool, uint64_t at, void* bytes, std::size_t size)
{
    const std::size_t first = static_cast<std::size_t>(std::min<uint64_t>(size, spool.capacity - at));
    auto* out = static_cast<char*>(bytes);
    return ReadAt(spool.file, kSpoolHeaderBytes + at, out, first) &&
           (first == size || ReadAt(spool.file, kSpoolHeaderBytes, out + first, size - first));
}

bool RingWrite(const ForwardSpool& spool, uint64_t at, const void* bytes, std::size_t size)
{
    const std::size_t first = static_cast<std::size_t>(std::min<uint64_t>(size, spool.capacity - at));
    const auto* in = static_cast<const char*>(bytes);
    return WriteAt(spool.file, kSpoolHeaderBytes + at, in, first) &&
           (first == size || WriteAt(spool.file, kSpoolHeaderBytes, in + first, size - first));
}

uint64_t Advance(const ForwardSpool& spool, uint64_t at, uint64_t bytes)
{
    return (at + bytes) % spool.capacity;
}

// The record header at `at`, checked against what the ring says must be there.
bool ReadRecordHeader(const ForwardSpool& spool, uint64_t at, uint64_t sequence, RecordHeader* header)
{
    return RingRead(spool, at, header, sizeof *header) && header->magic == kRecordMagic &&
           header->length <= kSyslogMessageCapacity && header->sequence == sequence;
}

bool Truncate(HANDLE file, uint64_t size)
{
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

void StartEmpty(ForwardSpool& spool, uint64_t firstSequence)
{
    spool.capacity = spool.wantedCapacity;
    spool.head = 0;
    spool.used = 0;
    spool.count = 0;
    spool.firstSequence = firstSequence;
    spool.changed = true;
    Truncate(spool.file, kSpoolHeaderBytes);
}

// The oldest record goes, counted as dropped. False when it does not read back.
bool DropOldest(ForwardSpool& spool)
{
    RecordHeader header{};
    if (spool.count == 0 || !ReadRecordHeader(spool, spool.head, spool.firstSequence, &header))
        return false;
    spool.head = Advance(spool, spool.head, kSpoolRecordHeaderBytes + header.length);
    spool.used -= std::min(spool.used, kSpoolRecordHeaderBytes + header.length);
    --spool.count;
    ++spool.firstSequence;
    ++spool.dropped;
    spool.changed = true;
    return true;
}

// Every record between head and tail, read back and checked.
bool RecordsReadBack(const ForwardSpool& spool)
{
    std::array<char, kSyslogMessageCapacity> bytes{};
    uint64_t at = spool.head;
    uint64_t total = 0;
    for (uint64_t k = 0; k < spool.count; ++k) {
        RecordHeader header{};
        if (total + kSpoolRecordHeaderBytes > spool.used ||
            !ReadRecordHeader(spool, at, spool.firstSequence + k, &header) ||
            total + kSpoolRecordHeaderBytes + header.length > spool.used ||
            !RingRead(spool, Advance(spool, at, kSpoolRecordHeaderBytes), bytes.data(), header.length) ||
            Checksum(std::span<const char>(bytes.data(), header.length), header.sequence) != header.checksum)
            return false;
        total += kSpoolRecordHeaderBytes + header.length;
        at = Advance(spool, at, kSpoolRecordHeaderBytes + header.length);
    }
    return total == spool.used;
}

// The header of an existing file, and its records, as this program writes them.
bool ReadExisting(ForwardSpool& spool)
{
    SpoolHeader header{};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(spool.file, &size) || static_cast<uint64_t>(size.QuadPart) < kSpoolHeaderBytes ||
        !ReadAt(spool.file, 0, &header, sizeof header) || header.magic != kSpoolMagic ||
        header.checksum != HeaderChecksum(header) || header.capacity < kSmallestRing ||
        header.capacity > kLargestRing || header.head >= header.capacity || header.used > header.capacity ||
        header.count > header.used / kSpoolRecordHeaderBytes || (header.count == 0) != (header.used == 0) ||
        header.firstSequence == 0 || header.firstSequence > UINT64_MAX / 2)
        return false;
    // The file holds the ring up to its furthest byte in use.
    const uint64_t end = header.head + header.used > header.capacity ? header.capacity : header.head + header.used;
    if (static_cast<uint64_t>(size.QuadPart) < kSpoolHeaderBytes + end)
        return false;
    spool.capacity = header.capacity;
    spool.head = header.head;
    spool.used = header.used;
    spool.count = header.count;
    spool.firstSequence = header.firstSequence;
    spool.dropped = header.dropped;
    spool.changed = false;
    return true;
}

HANDLE OpenSpoolFile(const char* path)
{
    return CreateGuardedFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

// A new, empty file; the count of messages dropped and not yet told stays.
SpoolOpened StartNewFile(ForwardSpool& spool)
{
    spool.file = OpenSpoolFile(spool.path.data());
    if (spool.file == INVALID_HANDLE_VALUE)
        return SpoolOpened::Failed;
    StartEmpty(spool, 1);
    return SaveSpoolHeader(spool) ? SpoolOpened::Empty : SpoolOpened::Failed;
}

// The next record at or after ring place `from` (and before `end` bytes on) whose
// header and bytes read back whole with a sequence number after `after`: where the
// walk goes on past a damaged one. Read a window at a time.
bool FindNextRecord(const ForwardSpool& spool, uint64_t from, uint64_t end, uint64_t after, uint64_t* at,
                    RecordHeader* found)
{
    static std::array<char, 65536 + kSpoolRecordHeaderBytes> window;
    static std::array<char, kSyslogMessageCapacity> bytes;
    const uint64_t last = spool.firstSequence + spool.count;
    for (uint64_t start = 0; start < end; start += window.size() - kSpoolRecordHeaderBytes) {
        // Within the bytes in use: the file may end there. Windows overlap by a header.
        const auto size = static_cast<std::size_t>(std::min<uint64_t>(window.size(), end - start));
        if (!RingRead(spool, Advance(spool, from, start), window.data(), size))
            return false;
        for (std::size_t k = 0; k + kSpoolRecordHeaderBytes <= size && start + k < end; ++k) {
            RecordHeader header{};
            std::memcpy(&header, window.data() + k, sizeof header);
            if (header.magic != kRecordMagic || header.sequence <= after || header.sequence >= last ||
                header.length > kSyslogMessageCapacity)
                continue;
            const uint64_t place = Advance(spool, from, start + k);
            if (RingRead(spool, Advance(spool, place, kSpoolRecordHeaderBytes), bytes.data(), header.length) &&
                Checksum(std::span<const char>(bytes.data(), header.length), header.sequence) == header.checksum) {
                *at = start + k;
                *found = header;
                return true;
            }
        }
    }
    return false;
}

// The records that read back whole, in order, into a new file that takes the old
// one's place (kept aside as NAME.corrupt); each damaged one is counted as dropped,
// which the collector is told. True when something was damaged.
bool RebuildSpool(ForwardSpool& spool, uint64_t* lost)
{
    *lost = 0;
    PathText rebuilt{};
    FormatText(rebuilt, "%s.new", spool.path.data());
    DeleteFileA(rebuilt.data());
    ForwardSpool fresh{};
    fresh.file = CreateGuardedFile(rebuilt.data(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (fresh.file == INVALID_HANDLE_VALUE)
        return false;
    CopyText(fresh.path, rebuilt.data());
    fresh.wantedCapacity = spool.capacity;
    StartEmpty(fresh, spool.firstSequence);
    static std::array<char, kSyslogMessageCapacity> bytes;
    uint64_t walked = 0;  // bytes from the head
    uint64_t expected = spool.firstSequence;
    const uint64_t last = spool.firstSequence + spool.count;
    while (expected < last && walked < spool.used) {
        const uint64_t at = Advance(spool, spool.head, walked);
        RecordHeader header{};
        const bool whole = ReadRecordHeader(spool, at, expected, &header) &&
                           walked + kSpoolRecordHeaderBytes + header.length <= spool.used &&
                           RingRead(spool, Advance(spool, at, kSpoolRecordHeaderBytes), bytes.data(), header.length) &&
                           Checksum(std::span<const char>(bytes.data(), header.length), expected) == header.checksum;
        if (whole) {
            AppendToSpool(fresh, std::string_view(bytes.data(), header.length));
            walked += kSpoolRecordHeaderBytes + header.length;
            ++expected;
            continue;
        }
        uint64_t next = 0;
        if (!FindNextRecord(spool, Advance(spool, at, 1), spool.used - walked - 1, expected - 1, &next, &header)) {
            *lost += last - expected;
            break;
        }
        *lost += header.sequence - expected;
        walked += 1 + next;
        expected = header.sequence;
    }
    fresh.dropped = spool.dropped + *lost;
    fresh.changed = true;
    const bool saved = SaveSpoolHeader(fresh);
    CloseHandle(fresh.file);
    if (!saved)
        return false;
    CloseHandle(spool.file);
    spool.file = INVALID_HANDLE_VALUE;
    PathText aside{};
    FormatText(aside, "%s%s", spool.path.data(), kSpoolSetAsideSuffix);
    MoveFileExA(spool.path.data(), aside.data(), MOVEFILE_REPLACE_EXISTING);
    return MoveFileExA(rebuilt.data(), spool.path.data(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

}  // namespace

SpoolOpened OpenForwardSpool(ForwardSpool& spool, const char* path, uint64_t capacity)
{
    spool = {};
    spool.file = INVALID_HANDLE_VALUE;
    CopyText(spool.path, path);
    spool.wantedCapacity = std::clamp<uint64_t>(capacity, kSmallestRing, kLargestRing);
    spool.file = OpenSpoolFile(spool.path.data());
    if (spool.file == INVALID_HANDLE_VALUE)
        return SpoolOpened::Failed;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(spool.file, &size) && size.QuadPart == 0) {
        CloseHandle(spool.file);
        return StartNewFile(spool);
    }
    if (!ReadExisting(spool))
        return SetSpoolAside(spool) == SpoolOpened::Empty ? SpoolOpened::SetAside : SpoolOpened::Failed;
    // A damaged record costs that record alone: the rest is read into a new file.
    const bool damaged = !RecordsReadBack(spool);
    if (damaged) {
        const SpoolOpened repaired = RepairSpool(spool);
        if (repaired != SpoolOpened::Repaired)
            return repaired;
    }
    if (spool.count == 0)
        StartEmpty(spool, spool.firstSequence);
    SaveSpoolHeader(spool);
    if (damaged)
        return SpoolOpened::Repaired;
    return spool.count > 0 || spool.dropped > 0 ? SpoolOpened::Waiting : SpoolOpened::Empty;
}

void CloseForwardSpool(ForwardSpool& spool)
{
    if (spool.file == INVALID_HANDLE_VALUE)
        return;
    SaveSpoolHeader(spool);
    CloseHandle(spool.file);
    spool.file = INVALID_HANDLE_VALUE;
}

bool AppendToSpool(ForwardSpool& spool, std::string_view message)
{
    const uint64_t size = kSpoolRecordHeaderBytes + message.size();
    if (spool.file == INVALID_HANDLE_VALUE || message.size() > kSyslogMessageCapacity || size > spool.capacity) {
        CountDropped(spool, 1);
        return spool.file != INVALID_HANDLE_VALUE;
    }
    bool dropped = false;
    while (spool.capacity - spool.used < size) {
        if (!DropOldest(spool)) {
            CountDropped(spool, 1);
            return false;
        }
        dropped = true;
    }
    // The header lets go of the records dropped before their bytes are written over: a
    // kill in between leaves a header that points at none of the new bytes.
    if (dropped && !SaveSpoolHeader(spool)) {
        CountDropped(spool, 1);
        return false;
    }
    const uint64_t sequence = spool.firstSequence + spool.count;
    std::array<char, kSpoolRecordHeaderBytes + kSyslogMessageCapacity> record{};
    const RecordHeader header{kRecordMagic, static_cast<uint32_t>(message.size()), sequence,
                              Checksum(std::span<const char>(message.data(), message.size()), sequence)};
    std::memcpy(record.data(), &header, sizeof header);
    std::copy_n(message.data(), message.size(), record.data() + sizeof header);
    if (!RingWrite(spool, Advance(spool, spool.head, spool.used), record.data(), static_cast<std::size_t>(size))) {
        CountDropped(spool, 1);
        return false;
    }
    spool.used += size;
    ++spool.count;
    spool.changed = true;
    spool.unflushed = true;
    return true;
}

void CountDropped(ForwardSpool& spool, uint64_t lost)
{
    if (lost == 0)
        return;
    spool.dropped += lost;
    spool.changed = true;
}

void ForgetDropped(ForwardSpool& spool, uint64_t told)
{
    spool.dropped -= std::min(spool.dropped, told);
    spool.changed = true;
}

bool SaveSpoolHeader(ForwardSpool& spool)
{
    if (spool.file == INVALID_HANDLE_VALUE)
        return false;
    if (!spool.changed)
        return true;
    // The records reach the disk before the header that points at them.
    if (spool.unflushed) {
        if (writesBeforeKill.load() == 0 || !FlushFileBuffers(spool.file))
            return false;
        spool.unflushed = false;
    }
    SpoolHeader header{kSpoolMagic, spool.capacity, spool.head, spool.used, spool.count,
                       spool.firstSequence, spool.dropped, 0};
    header.checksum = HeaderChecksum(header);
    spool.changed = !WriteAt(spool.file, 0, &header, sizeof header);
    return !spool.changed;
}

SpoolCursor SpoolStart(const ForwardSpool& spool)
{
    return {spool.head, spool.firstSequence};
}

SpoolRead ReadSpoolRecord(ForwardSpool& spool, SpoolCursor& cursor, std::span<char> dest, std::size_t* length,
                          uint64_t* sequence)
{
    if (cursor.sequence <= spool.firstSequence)
        cursor = SpoolStart(spool);
    if (spool.file == INVALID_HANDLE_VALUE || cursor.sequence >= spool.firstSequence + spool.count)
        return SpoolRead::End;
    RecordHeader header{};
    if (!ReadRecordHeader(spool, cursor.offset, cursor.sequence, &header) || header.length > dest.size() ||
        !RingRead(spool, Advance(spool, cursor.offset, kSpoolRecordHeaderBytes), dest.data(), header.length) ||
        Checksum(dest.first(header.length), header.sequence) != header.checksum)
        return SpoolRead::Corrupt;
    *length = header.length;
    *sequence = header.sequence;
    cursor.offset = Advance(spool, cursor.offset, kSpoolRecordHeaderBytes + header.length);
    ++cursor.sequence;
    return SpoolRead::Record;
}

void RemoveSpoolThrough(ForwardSpool& spool, uint64_t sequence)
{
    bool removed = false;
    while (spool.count > 0 && spool.firstSequence <= sequence) {
        RecordHeader header{};
        if (!ReadRecordHeader(spool, spool.head, spool.firstSequence, &header))
            break;  // the next read finds it corrupt and sets the file aside
        spool.head = Advance(spool, spool.head, kSpoolRecordHeaderBytes + header.length);
        spool.used -= std::min(spool.used, kSpoolRecordHeaderBytes + header.length);
        --spool.count;
        ++spool.firstSequence;
        spool.changed = true;
        removed = true;
    }
    // Empty: the ring starts again at the file's start, so the file stays small
    // while the collector keeps up, and a new size takes effect.
    if (spool.count == 0 && removed)
        StartEmpty(spool, spool.firstSequence);
}

SpoolOpened RepairSpool(ForwardSpool& spool)
{
    uint64_t lost = 0;
    const uint64_t wanted = spool.wantedCapacity;
    PathText path{};
    CopyText(path, spool.path.data());
    if (!RebuildSpool(spool, &lost))
        return SetSpoolAside(spool) == SpoolOpened::Empty ? SpoolOpened::SetAside : SpoolOpened::Failed;
    spool = {};
    spool.file = OpenSpoolFile(path.data());
    CopyText(spool.path, path.data());
    spool.wantedCapacity = wanted;
    spool.lastRepairLost = lost;
    if (spool.file == INVALID_HANDLE_VALUE)
        return SpoolOpened::Failed;
    if (!ReadExisting(spool) || !RecordsReadBack(spool))
        return SetSpoolAside(spool) == SpoolOpened::Empty ? SpoolOpened::SetAside : SpoolOpened::Failed;
    return SpoolOpened::Repaired;
}

void LimitSpoolWritesForTests(int64_t writes)
{
    writesBeforeKill.store(writes);
}

SpoolOpened SetSpoolAside(ForwardSpool& spool)
{
    if (spool.file != INVALID_HANDLE_VALUE)
        CloseHandle(spool.file);
    spool.file = INVALID_HANDLE_VALUE;
    PathText aside{};
    CopyText(aside, spool.path.data());
    AppendText(aside, kSpoolSetAsideSuffix);
    if (!MoveFileExA(spool.path.data(), aside.data(), MOVEFILE_REPLACE_EXISTING) && !DeleteFileA(spool.path.data()))
        return SpoolOpened::Failed;
    return StartNewFile(spool);
}
