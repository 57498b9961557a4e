#include "core/text.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdarg>

std::size_t CopyText(std::span<char> dest, std::string_view source)
{
    if (dest.empty())
        return 0;
    const std::size_t length = std::min(source.size(), dest.size() - 1);
    std::copy_n(source.data(), length, dest.data());
    dest[length] = '\0';
    return length;
}

std::size_t CopyWideText(std::span<wchar_t> dest, std::wstring_view source)
{
    if (dest.empty())
        return 0;
    const std::size_t length = std::min(source.size(), dest.size() - 1);
    std::copy_n(source.data(), length, dest.data());
    dest[length] = L'\0';
    return length;
}

std::size_t AppendText(std::span<char> dest, std::string_view source)
{
    if (dest.empty())
        return 0;
    const std::size_t used = std::string_view(dest.data(), dest.size()).find('\0');
    if (used == std::string_view::npos) {  // not terminated: make it so, losing the last byte
        dest[dest.size() - 1] = '\0';
        return dest.size() - 1;
    }
    return used + CopyText(dest.subspan(used), source);
}

int FormatText(std::span<char> dest, const char* format, ...)
{
    // The platform's formatter never writes more than 1024 bytes, terminator included.
    std::array<char, kFormatCapacity> formatted{};
    va_list args;
    va_start(args, format);
    wvsprintfA(formatted.data(), format, args);
    va_end(args);
    formatted.back() = '\0';
    return static_cast<int>(CopyText(dest, formatted.data()));
}

namespace {

int AnsiLength(const wchar_t* source, int length)
{
    return WideCharToMultiByte(CP_ACP, 0, source, length, nullptr, 0, nullptr, nullptr);
}

}  // namespace

std::string_view DecimalText(uint64_t value, std::span<char, 20> digits)
{
    std::size_t at = digits.size();
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string_view(digits.data() + at, digits.size() - at);
}

std::size_t AnsiFromWide(std::span<char> dest, const wchar_t* source)
{
    if (dest.empty())
        return 0;
    dest[0] = '\0';
    if (!source || !*source)
        return 0;
    const int room = static_cast<int>(std::min<std::size_t>(dest.size() - 1, INT_MAX / 2));
    // A unit gives at least one byte, so no more than `room` units can fit; then shorten
    // the head until its conversion fits, never splitting a surrogate pair.
    int length = static_cast<int>(std::min<std::size_t>(wcsnlen(source, static_cast<std::size_t>(room) + 1), static_cast<std::size_t>(room)));
    while (length > 0 && AnsiLength(source, length) > room) {
        --length;
        if (length > 0 && IS_HIGH_SURROGATE(source[length - 1]))
            --length;
    }
    const int written = length > 0 ? WideCharToMultiByte(CP_ACP, 0, source, length, dest.data(), room, nullptr, nullptr) : 0;
    dest[static_cast<std::size_t>(std::clamp(written, 0, room))] = '\0';
    return static_cast<std::size_t>(std::clamp(written, 0, room));
}

std::size_t WideFromAnsi(std::span<wchar_t> dest, const char* source)
{
    if (dest.empty())
        return 0;
    dest[0] = L'\0';
    if (!source || !*source)
        return 0;
    // A byte gives at most one unit, so a head of `room` bytes always fits.
    const int room = static_cast<int>(std::min<std::size_t>(dest.size() - 1, INT_MAX));
    const int length = static_cast<int>(strnlen(source, static_cast<std::size_t>(room)));
    const int written = MultiByteToWideChar(CP_ACP, 0, source, length, dest.data(), room);
    dest[static_cast<std::size_t>(std::clamp(written, 0, room))] = L'\0';
    return static_cast<std::size_t>(std::clamp(written, 0, room));
}

bool ParseLeadingIntChecked(std::string_view text, int* value)
{
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' ||
                                text[at] == '\n' || text[at] == '\v' || text[at] == '\f'))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long magnitude = 0;
    bool fits = true;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (magnitude <= static_cast<long long>(INT_MAX) + 1)
            magnitude = magnitude * 10 + (text[at] - '0');
    }
    long long result = negative ? -magnitude : magnitude;
    if (result > INT_MAX) {
        result = INT_MAX;
        fits = false;
    } else if (result < INT_MIN) {
        result = INT_MIN;
        fits = false;
    }
    *value = static_cast<int>(result);
    return fits;
}

bool ReadNumber(std::string_view text, int32_t lowest, int32_t highest, int32_t* value)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at]))
        ++at;
    const std::size_t number = at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    const std::size_t digits = at;
    while (at < text.size() && isDigit(text[at]))
        ++at;
    if (at == digits)
        return false;
    const std::size_t end = at;
    while (at < text.size() && isBlank(text[at]))
        ++at;
    while (at < text.size() && isLetter(text[at]))
        ++at;
    while (at < text.size() && isBlank(text[at]))
        ++at;
    int read = 0;
    if (at != text.size() || !ParseLeadingIntChecked(text.substr(number, end - number), &read) || read < lowest ||
        read > highest)
        return false;
    *value = read;
    return true;
}

int ParseLeadingInt(std::string_view text)
{
    int value = 0;
    ParseLeadingIntChecked(text, &value);
    return value;
}

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

wchar_t LowerAsciiWide(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

void ReplaceControlCharacters(std::span<char> text)
{
    for (char& c : text) {
        if (c == '\0')
            break;
        if (IsControlCharacter(c))
            c = '?';
    }
}

void UpperCaseAscii(std::span<char> text)
{
    for (char& c : text) {
        if (c == '\0')
            break;
        c = UpperAscii(c);
    }
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return LowerAsciiWide(x) == LowerAsciiWide(y); });
}

bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix)
{
    if (text.size() < suffix.size())
        return false;
    const std::string_view tail = text.substr(text.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(),
                      [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}
