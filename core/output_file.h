// A file written through a fixed buffer: an export, a list, a journal. A failed write
// is remembered and what follows is dropped, so that only the close need be checked.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct OutputFile {
    HANDLE file;
    std::size_t length;
    int32_t failed;
    std::array<char, 1 << 16> buffer;
};

// Made anew (an existing file is replaced), shared with nobody while it is written.
bool CreateOutputFile(OutputFile& output, const char* path);
void WriteOutput(OutputFile& output, std::string_view text);
// Flushes and closes; with `toDisk`, waits until the system has the bytes on the disk
// first. False when anything was not written.
bool CloseOutputFile(OutputFile& output, bool toDisk = false);
