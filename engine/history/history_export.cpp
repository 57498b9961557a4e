#include "engine/history/history_export.h"

#include <algorithm>
#include <cstring>

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

bool CreateOutputFile(OutputFile& output, const char* path)
{
    output.length = 0;
    output.failed = 0;
    output.file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output.file == INVALID_HANDLE_VALUE)
        output.file = nullptr;
    return output.file != nullptr;
}

namespace {

void Flush(OutputFile& output)
{
    DWORD written = 0;
    if (output.length && !output.failed &&
        (!WriteFile(output.file, output.buffer.data(), static_cast<DWORD>(output.length), &written, nullptr) ||
         written != output.length))
        output.failed = 1;
    output.length = 0;
}

}  // namespace

void WriteOutput(OutputFile& output, std::string_view text)
{
    while (!text.empty()) {
        if (output.length == output.buffer.size())
            Flush(output);
        const std::size_t part = std::min(text.size(), output.buffer.size() - output.length);
        memcpy(output.buffer.data() + output.length, text.data(), part);
        output.length += part;
        text.remove_prefix(part);
    }
}

bool CloseOutputFile(OutputFile& output)
{
    if (!output.file)
        return false;
    Flush(output);
    const bool closed = CloseHandle(output.file) != 0;
    output.file = nullptr;
    return closed && !output.failed;
}
