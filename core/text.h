// Bounded text: every copy, format and conversion the program makes goes through
// these helpers, which cut at the destination's size and always terminate it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Room the platform's wsprintfA gives a formatted text, terminator included.
constexpr std::size_t kFormatCapacity = 1024;
// The room a list cell's text is formatted into or read back from: longer texts are cut.
constexpr std::size_t kCellCapacity = 256;

// Copies as much of `source` as fits and terminates; returns the length copied.
std::size_t CopyText(std::span<char> dest, std::string_view source);
std::size_t CopyWideText(std::span<wchar_t> dest, std::wstring_view source);

// Appends to the terminated text already in `dest`; returns the new length.
std::size_t AppendText(std::span<char> dest, std::string_view source);

// wsprintfA into `dest`: %ws converts UTF-16 with the ANSI code page, and the
// output is cut at 1023 characters or at the destination's size, whichever is less.
int FormatText(std::span<char> dest, const char* format, ...);
// A number's decimal digits, written into `digits` (a 64-bit value has at most 20): for
// the texts of 64-bit numbers, which the C library of some builds cannot format.
std::string_view DecimalText(uint64_t value, std::span<char, 20> digits);

// UTF-16 to the ANSI code page and back, cut to fit; NULL reads as empty text.
std::size_t AnsiFromWide(std::span<char> dest, const wchar_t* source);
std::size_t WideFromAnsi(std::span<wchar_t> dest, const char* source);

// Optional blanks and one sign, then decimal digits up to the first other
// character; no digits gives 0. Values beyond 32 bits saturate instead of wrapping.
// For numbers from elsewhere than a person or the settings file (a server's answer).
int ParseLeadingInt(std::string_view text);
// The same, telling whether the value stayed within 32 bits.
bool ParseLeadingIntChecked(std::string_view text, int* value);

// A number as a person types it in a dialog or keeps it in the settings file: blanks,
// one sign, decimal digits, and after them at most a word of letters, its unit ("5min",
// "20 files"), then blanks. Anything else ("", "x5", "-", "1e3", "1.5", "5 5") is not
// a number; neither is a value beyond 32 bits or outside [lowest, highest]. Every
// dialog and the settings file read their numbers through this one rule.
bool ReadNumber(std::string_view text, int32_t lowest, int32_t highest, int32_t* value);

// Control characters (below 32, and 127) become '?' up to the terminator, so that a
// name from the server can never end or split a line of a log or an export.
void ReplaceControlCharacters(std::span<char> text);
inline bool IsControlCharacter(char c)
{
    const auto code = static_cast<unsigned char>(c);
    return code < 0x20 || code == 0x7F;
}

// ASCII letters a to z become A to Z; every other byte stays.
void UpperCaseAscii(std::span<char> text);
char UpperAscii(char c);
wchar_t LowerAsciiWide(wchar_t c);

// Case-insensitive for ASCII letters only; everything else compared exactly.
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);
bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix);

inline const wchar_t* WideOrEmpty(const wchar_t* text) { return text ? text : L""; }
