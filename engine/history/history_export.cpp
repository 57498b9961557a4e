#include "engine/history/history_export.h"

#include "core/text.h"
#include "engine/watch/event_text.h"
#include "engine/history/history_keys.h"

namespace {

bool StartsLikeFormula(std::string_view value)
{
    return !value.empty() && (value[0] == '=' || value[0] == '+' || value[0] == '-' || value[0] == '@' ||
                              value[0] == '\t' || value[0] == '\r');
}

// "value" with its quotes doubled, then the separator; the room is checked by the caller.
void PutField(std::span<char> record, std::size_t& length, std::string_view value, bool last)
{
    const auto put = [&](char c) {
        if (length + 1 < record.size())
            record[length++] = c;
    };
    put('"');
    if (StartsLikeFormula(value))
        put('\'');
    for (const char c : value) {
        if (c == '"')
            put('"');
        put(c);
    }
    put('"');
    if (last) {
        put('\r');
        put('\n');
    } else {
        put(',');
    }
}

}  // namespace

std::size_t FormatHistoryCsvRow(const HistoryRow& row, std::span<char> record)
{
    if (record.empty())
        return 0;
    std::array<char, 32> time{};
    FormatHistoryTime(row.local, time);
    std::array<char, 32> mode{};
    if (row.kind == EventKind::FileOpen)
        FormatOpenMode(row.mode, mode);
    const std::string_view target = row.path[0] ? row.path.data() : row.detail.data();
    std::size_t length = 0;
    PutField(record, length, time.data(), false);
    PutField(record, length, row.server.data(), false);
    PutField(record, length, HistoryKindName(row.kind), false);
    PutField(record, length, row.computer.data(), false);
    PutField(record, length, row.user.data(), false);
    PutField(record, length, target, false);
    PutField(record, length, mode.data(), true);
    record[length] = '\0';
    return length;
}
