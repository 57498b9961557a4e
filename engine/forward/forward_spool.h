// The forwarder's spool: messages on their way to the collector wait in one file in
// the log folder, so that a collector out of reach, or a restart of the program,
// loses none of them. The file is a ring of bounded size: when a new message does
// not fit, the oldest ones are dropped, and the number dropped is kept (in the file
// too) until the forwarder has told the collector. Messages leave it only when the
// forwarder says they were delivered, oldest first, by sequence number.
//
// The file: a 64-byte header (magic "QVSPOOL1", the ring's size, where its oldest
// record lies, the bytes and records in use, the first record's sequence number, the
// number dropped, and a checksum of all that), then the ring. Each record is a magic
// number, its length, its sequence number and a checksum of its bytes, then the
// bytes; a record may wrap round the ring's end. A record that does not read back
// costs itself alone: the others are kept, the lost ones counted and told. A file whose
// header does not read back (cut short, overwritten, from another program) is kept
// aside as NAME.corrupt, replacing an earlier one, and a new spool is started: nothing
// of it is ever sent. Records reach the disk before the header that counts them, and
// the header lets go of dropped records before their bytes are written over, so that a
// kill at any step of an append loses at most the record being appended.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/paths.h"

constexpr uint64_t kSpoolMegabyte = 1024 * 1024;
constexpr int32_t kDefaultSpoolMegabytes = 64;
constexpr int32_t kLowestSpoolMegabytes = 1;
constexpr int32_t kHighestSpoolMegabytes = 4096;
constexpr uint64_t kSpoolHeaderBytes = 64;
constexpr uint64_t kSpoolRecordHeaderBytes = 24;
constexpr char kSpoolFileName[] = "forward.spool";
constexpr char kSpoolSetAsideSuffix[] = ".corrupt";

struct ForwardSpool {
    HANDLE file;  // INVALID_HANDLE_VALUE while closed
    PathText path;
    uint64_t capacity;        // bytes of the ring
    uint64_t wantedCapacity;  // the setting's, taken when the ring is next empty
    uint64_t head;            // the oldest record's place in the ring
    uint64_t used;            // bytes of records in the ring
    uint64_t count;           // records in the ring
    uint64_t firstSequence;   // the oldest record's; the next is firstSequence + count
    uint64_t dropped;         // dropped and not yet told
    bool changed;             // the header on disk is behind
    bool unflushed;           // records written since the file was last flushed
    uint64_t lastRepairLost;  // the damaged records the last repair dropped
};

enum class SpoolOpened {
    Empty,     // a new spool, or one with nothing waiting
    Waiting,   // messages of an earlier run wait to be sent
    SetAside,  // the file was corrupt: kept aside, a new one started
    Failed,    // no spool: the file cannot be made or opened
    Repaired,  // damaged records were dropped (lastRepairLost), the rest kept
};
// Opens `path`, or makes it; `capacity` bytes of ring (a spool of another size keeps
// its own until it is next empty).
SpoolOpened OpenForwardSpool(ForwardSpool& spool, const char* path, uint64_t capacity);
// Saves the header and closes the file.
void CloseForwardSpool(ForwardSpool& spool);

// Puts a message at the end, dropping the oldest to make room (a message longer than
// the whole ring is dropped itself); each drop is counted. False when the file
// refused the write: the message is counted as dropped.
bool AppendToSpool(ForwardSpool& spool, std::string_view message);
// Messages lost before they reached the spool (the engine's queue was full).
void CountDropped(ForwardSpool& spool, uint64_t lost);
// The drop note for `told` messages went out.
void ForgetDropped(ForwardSpool& spool, uint64_t told);
// Writes the header when it changed: after each batch of appends or removals.
bool SaveSpoolHeader(ForwardSpool& spool);

// Where the forwarder reads next: a record's place and sequence number.
struct SpoolCursor {
    uint64_t offset;
    uint64_t sequence;
};
SpoolCursor SpoolStart(const ForwardSpool& spool);
enum class SpoolRead { Record, End, Corrupt };
// The record at `cursor` into `dest` (room for kSyslogMessageCapacity), the cursor
// moved past it. A cursor left behind by drops starts again at the oldest record.
SpoolRead ReadSpoolRecord(ForwardSpool& spool, SpoolCursor& cursor, std::span<char> dest, std::size_t* length,
                          uint64_t* sequence);
// Delivered: the records up to and including `sequence` leave the spool.
void RemoveSpoolThrough(ForwardSpool& spool, uint64_t sequence);
// A spool found corrupt while running: kept aside, and a new, empty one started.
SpoolOpened SetSpoolAside(ForwardSpool& spool);
// A record found damaged (at the start or while running): every record that reads
// back whole is kept, in order, in a new file; each damaged one is counted as dropped
// (lastRepairLost, and `dropped`, which the collector is told); the old file is kept
// aside as NAME.corrupt. Repaired, or SetAside when nothing could be read.
SpoolOpened RepairSpool(ForwardSpool& spool);
// Tests play a kill: after `writes` more writes (0: now), every write and flush of
// every spool fails; -1 lets them all through again.
void LimitSpoolWritesForTests(int64_t writes);
