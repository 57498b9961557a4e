#include "core/output_file.h"

#include <algorithm>
#include <cstring>

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

bool CloseOutputFile(OutputFile& output, bool toDisk)
{
    if (!output.file)
        return false;
    Flush(output);
    if (toDisk && !output.failed && !FlushFileBuffers(output.file))
        output.failed = 1;
    const bool closed = CloseHandle(output.file) != 0;
    output.file = nullptr;
    return closed && !output.failed;
}
