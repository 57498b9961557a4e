#include "windows/notify_lines.h"

void AddToNotifyLines(NotifyLines& lines, const char* text)
{
    CopyText(lines.ring[lines.added % lines.ring.size()], text ? text : "");
    ++lines.added;
}
