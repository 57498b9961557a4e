#include "core/utf8.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Room for the 8-bit texts converted here: a log line or a formatted text is at most this.
constexpr std::size_t kAnsiUnits = 4096;

// The code point at `at` of a UTF-16 text, and how many units it took.
char32_t NextFromWide(std::wstring_view text, std::size_t at, std::size_t* units)
{
    const auto first = static_cast<char32_t>(static_cast<uint16_t>(text[at]));
    *units = 1;
    if (first >= 0xD800 && first <= 0xDBFF && at + 1 < text.size()) {
        const auto second = static_cast<char32_t>(static_cast<uint16_t>(text[at + 1]));
        if (second >= 0xDC00 && second <= 0xDFFF) {
            *units = 2;
            return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
        }
    }
    return first >= 0xD800 && first <= 0xDFFF ? kReplacement : first;
}

// The code point at `at` of a UTF-8 text, and how many bytes it took; a broken
// sequence gives U+FFFD for its first byte alone.
char32_t NextFromUtf8(std::string_view text, std::size_t at, std::size_t* bytes)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    *bytes = 1;
    if (lead < 0x80)
        return lead;
    std::size_t length = 0;
    char32_t value = 0;
    char32_t lowest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        lowest = 0x10000;
    } else {
        return kReplacement;
    }
    if (at + length > text.size())
        return kReplacement;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80)
            return kReplacement;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return kReplacement;
    *bytes = length;
    return value;
}

std::size_t EncodeUtf8(char32_t value, std::array<char, 4>& out)
{
    if (value < 0x80) {
        out[0] = static_cast<char>(value);
        return 1;
    }
    if (value < 0x800) {
        out[0] = static_cast<char>(0xC0 | (value >> 6));
        out[1] = static_cast<char>(0x80 | (value & 0x3F));
        return 2;
    }
    if (value < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (value >> 12));
        out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (value & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (value >> 18));
    out[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (value & 0x3F));
    return 4;
}

}  // namespace

std::size_t Utf8FromWide(std::span<char> dest, std::wstring_view source)
{
    if (dest.empty())
        return 0;
    std::size_t length = 0;
    std::size_t at = 0;
    while (at < source.size()) {
        std::size_t units = 0;
        std::array<char, 4> encoded{};
        const std::size_t bytes = EncodeUtf8(NextFromWide(source, at, &units), encoded);
        if (length + bytes > dest.size() - 1)
            break;
        for (std::size_t k = 0; k < bytes; ++k)
            dest[length++] = encoded[k];
        at += units;
    }
    dest[length] = '\0';
    return length;
}

std::size_t WideFromUtf8(std::span<wchar_t> dest, std::string_view source)
{
    if (dest.empty())
        return 0;
    std::size_t length = 0;
    std::size_t at = 0;
    while (at < source.size()) {
        std::size_t bytes = 0;
        const char32_t value = NextFromUtf8(source, at, &bytes);
        const std::size_t units = value >= 0x10000 ? 2 : 1;
        if (length + units > dest.size() - 1)
            break;
        if (units == 2) {
            dest[length++] = static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10));
            dest[length++] = static_cast<wchar_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
        } else {
            dest[length++] = static_cast<wchar_t>(value);
        }
        at += bytes;
    }
    dest[length] = L'\0';
    return length;
}

std::size_t Utf8FromAnsi(std::span<char> dest, std::string_view source)
{
    std::array<wchar_t, kAnsiUnits> wide{};
    const int units = source.empty() ? 0
                                     : MultiByteToWideChar(CP_ACP, 0, source.data(),
                                                           static_cast<int>(std::min(source.size(), wide.size() - 1)),
                                                           wide.data(), static_cast<int>(wide.size() - 1));
    return Utf8FromWide(dest, std::wstring_view(wide.data(), units > 0 ? static_cast<std::size_t>(units) : 0));
}

std::size_t AnsiFromUtf8(std::span<char> dest, std::string_view source)
{
    if (dest.empty())
        return 0;
    std::array<wchar_t, kAnsiUnits> wide{};
    const std::size_t units = WideFromUtf8(wide, source);
    // Two bytes a unit at most, in any code page the platform offers as ANSI.
    std::array<char, kAnsiUnits * 2> ansi{};
    const int bytes = units == 0 ? 0
                                 : WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(units), ansi.data(),
                                                       static_cast<int>(ansi.size()), nullptr, nullptr);
    std::size_t length = std::min(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, dest.size() - 1);
    // A cut must not leave the first byte of a two-byte character behind.
    if (length < static_cast<std::size_t>(bytes > 0 ? bytes : 0)) {
        std::size_t whole = 0;
        while (whole < length) {
            const std::size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[whole])) ? 2 : 1;
            if (whole + step > length)
                break;
            whole += step;
        }
        length = whole;
    }
    memcpy(dest.data(), ansi.data(), length);
    dest[length] = '\0';
    return length;
}
