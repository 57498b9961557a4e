#include "engine/watch/news.h"

void AddAlert(EngineNews& news, AlertKind kind, std::string_view line)
{
    const auto at = static_cast<std::size_t>(kind);
    AlertLine& slot = news.lines[at][news.added[at] % kAlertLinesKept];
    slot.sequence = ++news.nextSequence;
    CopyText(slot.text, line);
    ++news.added[at];
}

void ClearNews(EngineNews& news)
{
    news.added = {};
    news.activity = 0;
    news.fileOpens = 0;
    news.trips = 0;
}
