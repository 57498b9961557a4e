// UTF-8, the history database's text, to and from the program's UTF-16 and 8-bit
// texts. Every conversion cuts at the destination's size on a whole character and
// terminates; a broken sequence becomes U+FFFD, so that no input can make a reader
// run past its text.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Returns the length written, terminator not counted.
std::size_t Utf8FromWide(std::span<char> dest, std::wstring_view source);
std::size_t WideFromUtf8(std::span<wchar_t> dest, std::string_view source);
// Through the ANSI code page, as the logs and the windows write their text.
std::size_t Utf8FromAnsi(std::span<char> dest, std::string_view source);
std::size_t AnsiFromUtf8(std::span<char> dest, std::string_view source);

// The room a UTF-8 copy of `units` UTF-16 units needs at most, terminator included.
constexpr std::size_t Utf8Room(std::size_t units)
{
    return units * 3 + 1;
}
