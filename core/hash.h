// The program's one hash of texts: 64-bit FNV-1a, fed a code unit at a time.
#pragma once

#include <cstdint>
#include <string_view>

struct TextHash {
    uint64_t value = 14695981039346656037ull;

    void Add(uint16_t unit)
    {
        value ^= unit;
        value *= 1099511628211ull;
    }
    void Add(std::wstring_view text)
    {
        for (const wchar_t unit : text)
            Add(static_cast<uint16_t>(unit));
    }
    void Add(std::string_view text)
    {
        for (const char unit : text)
            Add(static_cast<uint16_t>(static_cast<unsigned char>(unit)));
    }
};
