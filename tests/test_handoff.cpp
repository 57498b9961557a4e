// The hand-overs between threads, under load: two threads, millions of hand-overs,
// each one seen once, whole, and nothing lost.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "core/handoff.h"
#include "core/text.h"
#include "monitor/remote_servers.h"
#include "notify/notify_window.h"

namespace {

// Hands `total` numbers through `slots`, the payload written by `fill` and checked by
// `read` (which returns the number it found, or -1 for a torn payload), and returns
// how often each number arrived.
template <std::size_t Count, typename Payload, typename Fill, typename Read>
std::vector<uint8_t> PassThroughSlots(HandoffSlots<Count>& slots, std::array<Payload, Count>& payloads,
                                      uint32_t total, Fill fill, Read read, uint32_t* torn)
{
    std::vector<uint8_t> seen(total, 0);
    std::thread consumer([&] {
        uint32_t received = 0;
        while (received < total) {
            for (std::size_t slot = 0; slot < Count; ++slot) {
                if (!IsPosted(slots, slot))
                    continue;
                const int64_t number = read(payloads[slot]);
                if (number < 0 || number >= total)
                    ++*torn;
                else if (seen[static_cast<std::size_t>(number)] < 255)
                    ++seen[static_cast<std::size_t>(number)];
                FreeSlot(slots, slot);
                ++received;
            }
        }
    });
    for (uint32_t number = 0; number < total;) {
        const int slot = ClaimSlot(slots);
        if (slot < 0) {
            std::this_thread::yield();
            continue;
        }
        fill(payloads[static_cast<std::size_t>(slot)], number);
        PublishSlot(slots, static_cast<std::size_t>(slot));
        ++number;
    }
    consumer.join();
    return seen;
}

uint32_t CountNot(const std::vector<uint8_t>& seen, uint8_t times)
{
    uint32_t wrong = 0;
    for (const uint8_t count : seen)
        wrong += count != times;
    return wrong;
}

}  // namespace

TEST(Handoff, AServersRepliesArriveOnceEachAndWhole)
{
    static HandoffSlots<kRepliesPerServer> slots;
    static std::array<ServerReply, kRepliesPerServer> replies;
    uint32_t torn = 0;
    const auto seen = PassThroughSlots(
        slots, replies, 2'000'000,
        [](ServerReply& reply, uint32_t number) {
            reply.kind = static_cast<int32_t>(number % 3);
            reply.count = number;
            reply.scanStart = number;
            reply.scanEnd = ~static_cast<ULONGLONG>(number);
        },
        [](const ServerReply& reply) -> int64_t {
            const bool whole = reply.scanStart == reply.count && reply.scanEnd == ~reply.scanStart &&
                               reply.kind == static_cast<int32_t>(reply.count % 3);
            return whole ? static_cast<int64_t>(reply.count) : -1;
        },
        &torn);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(CountNot(seen, 1), 0u) << "replies lost or seen twice";
}

TEST(Handoff, TheNotifyWindowsLinesArriveOnceEachAndWhole)
{
    static HandoffSlots<kNotifySlots> slots;
    static std::array<NotifyLines, kNotifySlots> lines;
    uint32_t torn = 0;
    const auto seen = PassThroughSlots(
        slots, lines, 1'000'000,
        [](NotifyLines& batch, uint32_t number) {
            batch.added = 0;
            std::array<char, 16> text{};
            FormatText(text, "%u", number);
            AddToNotifyLines(batch, text.data());
            AddToNotifyLines(batch, text.data());
        },
        [](const NotifyLines& batch) -> int64_t {
            if (batch.added != 2 || strcmp(batch.ring[0].data(), batch.ring[1].data()) != 0)
                return -1;
            return ParseLeadingInt(batch.ring[0].data());
        },
        &torn);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(CountNot(seen, 1), 0u) << "line batches lost or seen twice";
}

TEST(Handoff, RequestsArriveInOrderOnceEachAndWhole)
{
    static RequestRing<ServerRequest, kRequestsPerServer> ring;
    constexpr uint32_t kTotal = 3'000'000;
    uint32_t outOfOrder = 0;
    uint32_t received = 0;
    std::thread worker([&] {
        while (received < kTotal) {
            const ServerRequest* request = OldestRequest(ring);
            if (!request) {
                std::this_thread::yield();
                continue;
            }
            const bool whole = request->name[0] == static_cast<wchar_t>(request->fileId % 1000 + 1) &&
                               request->kind == static_cast<int32_t>(request->fileId % 3);
            if (!whole || request->fileId != received)
                ++outOfOrder;
            DropOldestRequest(ring);
            ++received;
        }
    });
    uint32_t duplicates = 0;
    for (uint32_t number = 0; number < kTotal;) {
        ServerRequest* place = NextRequestPlace(ring);
        if (!place) {
            std::this_thread::yield();
            continue;
        }
        place->fileId = number;
        place->kind = static_cast<int32_t>(number % 3);
        place->name[0] = static_cast<wchar_t>(number % 1000 + 1);
        PutRequest(ring);
        // What the main window's thread asks before each request: never one not yet put in.
        if (number % 64 == 0 &&
            AnyWaitingRequest(ring, [&](const ServerRequest& waiting) { return waiting.fileId > number; }))
            ++duplicates;
        ++number;
    }
    worker.join();
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(outOfOrder, 0u);
    EXPECT_EQ(duplicates, 0u) << "a request not put in yet was seen waiting";
    EXPECT_EQ(WaitingRequests(ring), 0u);
}
