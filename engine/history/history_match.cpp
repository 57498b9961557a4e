#include "engine/history/history_match.h"

#include <windows.h>

#include <sqlite3.h>

#include <array>

#include "core/text.h"
#include "core/utf8.h"

namespace {

// Room for a text compared in UTF-16: a path the history keeps, and more.
constexpr std::size_t kCompareUnits = 2048;

bool IsAscii(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool AsciiContains(std::string_view text, std::string_view needle)
{
    if (needle.size() > text.size())
        return false;
    const char first = LowerAscii(needle[0]);
    for (std::size_t at = 0; at + needle.size() <= text.size(); ++at) {
        if (LowerAscii(text[at]) != first)
            continue;
        std::size_t k = 1;
        while (k < needle.size() && LowerAscii(text[at + k]) == LowerAscii(needle[k]))
            ++k;
        if (k == needle.size())
            return true;
    }
    return false;
}

std::string_view WithoutLeadingBackslashes(std::string_view name)
{
    while (!name.empty() && name.front() == '\\')
        name.remove_prefix(1);
    return name;
}

std::string_view ValueText(sqlite3_value* value)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value))) : std::string_view();
}

void ContainsFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    sqlite3_result_int(context, ContainsIgnoringCase(ValueText(values[0]), ValueText(values[1])) ? 1 : 0);
}

void SameFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    sqlite3_result_int(context, SameNameIgnoringCase(ValueText(values[0]), ValueText(values[1])) ? 1 : 0);
}

}  // namespace

bool ContainsIgnoringCase(std::string_view text, std::string_view needle)
{
    if (needle.empty())
        return true;
    if (IsAscii(text) && IsAscii(needle))
        return AsciiContains(text, needle);
    std::array<wchar_t, kCompareUnits> wideText{};
    std::array<wchar_t, kCompareUnits> wideNeedle{};
    const std::size_t textUnits = WideFromUtf8(wideText, text);
    const std::size_t needleUnits = WideFromUtf8(wideNeedle, needle);
    return needleUnits > 0 && FindStringOrdinal(FIND_FROMSTART, wideText.data(), static_cast<int>(textUnits),
                                                wideNeedle.data(), static_cast<int>(needleUnits), TRUE) >= 0;
}

bool SameNameIgnoringCase(std::string_view text, std::string_view wanted)
{
    text = WithoutLeadingBackslashes(text);
    wanted = WithoutLeadingBackslashes(wanted);
    if (IsAscii(text) && IsAscii(wanted)) {
        if (text.size() != wanted.size())
            return false;
        for (std::size_t k = 0; k < text.size(); ++k)
            if (LowerAscii(text[k]) != LowerAscii(wanted[k]))
                return false;
        return true;
    }
    std::array<wchar_t, kCompareUnits> wideText{};
    std::array<wchar_t, kCompareUnits> wideWanted{};
    const std::size_t textUnits = WideFromUtf8(wideText, text);
    const std::size_t wantedUnits = WideFromUtf8(wideWanted, wanted);
    return CompareStringOrdinal(wideText.data(), static_cast<int>(textUnits), wideWanted.data(),
                                static_cast<int>(wantedUnits), TRUE) == CSTR_EQUAL;
}

int RegisterHistoryMatches(sqlite3* db)
{
    constexpr int kFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY;
    int result = sqlite3_create_function_v2(db, "history_contains", 2, kFlags, nullptr, ContainsFunction, nullptr,
                                            nullptr, nullptr);
    if (result == SQLITE_OK)
        result = sqlite3_create_function_v2(db, "history_same", 2, kFlags, nullptr, SameFunction, nullptr, nullptr,
                                            nullptr);
    return result;
}
