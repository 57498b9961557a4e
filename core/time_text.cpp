#include "core/time_text.h"

#include "core/clock.h"
#include "core/text.h"

char* FormatTimeOfDay(std::span<char> text)
{
    const SYSTEMTIME now = LocalTimeNow();
    FormatText(text, "%d:%d:%d", now.wHour, now.wMinute, now.wSecond);
    return text.data();
}

char* FormatDuration(uint32_t seconds, std::span<char> text)
{
    FormatText(text, "%02u:%02u:%02u", seconds / 3600, (seconds % 3600) / 60, seconds % 60);
    return text.data();
}
