// The hand-overs between threads, under load: two threads, millions of hand-overs,
// each one seen once, whole, and nothing lost.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "core/handoff.h"
#include "support/handoff_stress.h"
#include "core/text.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"

using handoff_stress::PassThroughSlots;
using handoff_stress::CountNot;

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
