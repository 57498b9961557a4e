#include "engine/watch/log_text.h"

#include <windows.h>

#include <cstring>

namespace {

// Drops whole lines from the top: about a quarter of the text at a time.
void DropOldestLines(LogText& log)
{
    const std::string_view text(log.text.data(), log.length);
    std::size_t cut = text.find('\n', kLogTextCapacity / 4);
    cut = cut == std::string_view::npos ? text.size() : cut + 1;
    // What the view still shows of the dropped part goes from its top; what it never
    // got goes from what it has yet to get.
    const std::size_t shown = std::min(cut, log.newFrom);
    log.droppedPositions += ControlPositions(text.substr(0, shown));
    log.newFrom -= shown;
    memmove(log.text.data(), log.text.data() + cut, log.length - cut);
    log.length -= cut;
}

}  // namespace

std::size_t ControlPositions(std::string_view text)
{
    CPINFO info{};
    if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1)
        return text.size();
    return static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0));
}

void AppendLogText(LogText& log, std::string_view text)
{
    if (text.empty())
        return;
    if (text.size() > kLogTextCapacity)
        text = text.substr(text.size() - kLogTextCapacity);  // never: a batch is smaller
    while (log.length > 0 && log.length + text.size() > kLogTextCapacity)
        DropOldestLines(log);
    memcpy(log.text.data() + log.length, text.data(), text.size());
    log.length += text.size();
    log.text[log.length] = '\0';
}

void ClearLogText(LogText& log)
{
    log.length = 0;
    log.text[0] = '\0';
    log.droppedPositions = 0;
    log.newFrom = 0;
    log.emptied = 1;
}

void MarkLogTextShown(LogText& log)
{
    log.droppedPositions = 0;
    log.newFrom = log.length;
    log.emptied = 0;
}
