#include "engine/watch/activity_batch.h"

#include "core/clock.h"

PollTime TakePollTime()
{
    PollTime time{};
    time.at = LocalTimeNow();
    time.utc = UniversalTimeNow();
    FormatText(time.text, "%d:%d:%d", time.at.wHour, time.at.wMinute, time.at.wSecond);
    return time;
}
