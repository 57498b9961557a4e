// Hand-overs between two threads, without locks, correct by the language's memory
// model rather than by the processor the program runs on:
// - HandoffSlots: fixed slots one thread fills and another empties (a worker's
//   enumerations to the main window's thread, the notify window's lines);
// - RequestRing: requests one thread puts in and another carries out, in order
//   (the deletions the main window's thread asks a server's worker for).
// Storage is fixed; all-zero bytes are a valid empty state, so both may live in
// records that are zero-filled.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

// A slot is free, then filling (the producer writes its contents), then posted (the
// consumer reads them), then free again. The release of each step and the acquire of
// the next make the contents written before a step visible after it.
enum HandoffSlotState : uint32_t { kSlotFree = 0, kSlotFilling = 1, kSlotPosted = 2 };

template <std::size_t Count>
struct HandoffSlots {
    std::array<std::atomic<uint32_t>, Count> state;
};

// The producer: a free slot, now its own to fill, or -1 when every slot is taken.
template <std::size_t Count>
int ClaimSlot(HandoffSlots<Count>& slots)
{
    for (std::size_t i = 0; i < Count; ++i) {
        uint32_t expected = kSlotFree;
        if (slots.state[i].compare_exchange_strong(expected, kSlotFilling, std::memory_order_acquire,
                                                   std::memory_order_relaxed))
            return static_cast<int>(i);
    }
    return -1;
}

// The producer, its contents written: the slot is the consumer's.
template <std::size_t Count>
void PublishSlot(HandoffSlots<Count>& slots, std::size_t slot)
{
    slots.state[slot].store(kSlotPosted, std::memory_order_release);
}

// The consumer: whether the slot holds posted contents, now safe to read. False for
// a slot out of range, so that a number from a message can be asked about as it is.
template <std::size_t Count>
bool IsPosted(const HandoffSlots<Count>& slots, std::size_t slot)
{
    return slot < Count && slots.state[slot].load(std::memory_order_acquire) == kSlotPosted;
}

// The consumer done with the contents, or the producer giving back a slot it could
// not post: the slot is free for the next claim.
template <std::size_t Count>
void FreeSlot(HandoffSlots<Count>& slots, std::size_t slot)
{
    slots.state[slot].store(kSlotFree, std::memory_order_release);
}

// Requests in order, one producer thread and one consumer thread. The counters only
// grow, wrapping as unsigned numbers do; their difference is the number waiting.
template <typename Request, std::size_t Count>
struct RequestRing {
    static_assert((Count & (Count - 1)) == 0, "a place must survive the counters' wrap");
    std::array<Request, Count> requests;
    std::atomic<uint32_t> head;  // requests put in: the producer's
    std::atomic<uint32_t> tail;  // requests carried out: the consumer's
};

// Either side: how many requests wait.
template <typename Request, std::size_t Count>
uint32_t WaitingRequests(const RequestRing<Request, Count>& ring)
{
    return ring.head.load(std::memory_order_acquire) - ring.tail.load(std::memory_order_acquire);
}

// The producer: whether a waiting request satisfies `matches`. The consumer may carry
// some out meanwhile; those still count as waiting, none not yet put in does.
template <typename Request, std::size_t Count, typename Matches>
bool AnyWaitingRequest(const RequestRing<Request, Count>& ring, Matches matches)
{
    const uint32_t head = ring.head.load(std::memory_order_relaxed);
    for (uint32_t at = ring.tail.load(std::memory_order_acquire); at != head; ++at) {
        if (matches(ring.requests[at % Count]))
            return true;
    }
    return false;
}

// The producer: the place of the next request, or nullptr when the ring is full.
template <typename Request, std::size_t Count>
Request* NextRequestPlace(RequestRing<Request, Count>& ring)
{
    const uint32_t head = ring.head.load(std::memory_order_relaxed);
    if (head - ring.tail.load(std::memory_order_acquire) >= Count)
        return nullptr;
    return &ring.requests[head % Count];
}

// The producer, the request written in its place: it is the consumer's.
template <typename Request, std::size_t Count>
void PutRequest(RequestRing<Request, Count>& ring)
{
    ring.head.store(ring.head.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// The consumer: the oldest waiting request, or nullptr when none waits.
template <typename Request, std::size_t Count>
const Request* OldestRequest(const RequestRing<Request, Count>& ring)
{
    const uint32_t tail = ring.tail.load(std::memory_order_relaxed);
    if (ring.head.load(std::memory_order_acquire) == tail)
        return nullptr;
    return &ring.requests[tail % Count];
}

// The consumer, done with the oldest request: its place is the producer's again.
template <typename Request, std::size_t Count>
void DropOldestRequest(RequestRing<Request, Count>& ring)
{
    ring.tail.store(ring.tail.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}
