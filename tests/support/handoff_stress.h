// Two threads handing millions of numbers through a HandoffSlots: how often each
// number arrived, and how many payloads were torn.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

#include "core/handoff.h"

namespace handoff_stress {

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
            bool took = false;
            for (std::size_t slot = 0; slot < Count; ++slot) {
                if (!IsPosted(slots, slot))
                    continue;
                took = true;
                const int64_t number = read(payloads[slot]);
                if (number < 0 || number >= total)
                    ++*torn;
                else if (seen[static_cast<std::size_t>(number)] < 255)
                    ++seen[static_cast<std::size_t>(number)];
                FreeSlot(slots, slot);
                ++received;
            }
            // Sharing a core with the producer (a loaded machine), a consumer that spun
            // would hold it for its whole time slice per sweep.
            if (!took)
                std::this_thread::yield();
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

}  // namespace handoff_stress
