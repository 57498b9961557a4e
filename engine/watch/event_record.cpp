#include "engine/watch/event_record.h"

#include <array>

namespace {

struct SinkSlot {
    EventSink sink;
    void* context;
};

std::array<SinkSlot, 4> sinks;

}  // namespace

bool AddEventSink(EventSink sink, void* context)
{
    // Added twice, a sink would see every record twice.
    for (const SinkSlot& slot : sinks) {
        if (slot.sink == sink && slot.context == context)
            return true;
    }
    for (SinkSlot& slot : sinks) {
        if (!slot.sink) {
            slot = {sink, context};
            return true;
        }
    }
    return false;
}

void RemoveEventSinks()
{
    sinks = {};
}

void PublishEvent(const EventRecord& record)
{
    for (const SinkSlot& slot : sinks) {
        if (slot.sink)
            slot.sink(record, slot.context);
    }
}
