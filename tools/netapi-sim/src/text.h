// Text helpers shared by the scenario parser, the server state and the journal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nsim {

// Longest text we store or serve, in UTF-16 units. Real servers send 15-character NetBIOS
// names and paths well under 1024, so this is far past anything real, yet it bounds the
// records a scenario can make us build.
constexpr size_t kMaxText = 1024;

// Longest string we read through a caller's pointer; longer means "not a string".
constexpr size_t kMaxArg = 32767;

// Strict UTF-8: overlong forms, surrogates and values past U+10FFFF are refused.
bool utf8_to_wide(std::string_view in, std::wstring& out);
// Lone surrogates become U+FFFD so the journal stays valid UTF-8.
std::string wide_to_utf8(std::wstring_view in);

// Cuts s to kMaxText units without splitting a surrogate pair. True if it cut.
bool bound_text(std::wstring& s);

// Names compare like the server's: case-insensitive for ASCII letters only.
wchar_t fold(wchar_t c);
std::wstring folded(std::wstring_view s);
bool iequal(std::wstring_view a, std::wstring_view b);
bool istarts_with(std::wstring_view s, std::wstring_view prefix);

// "\\PC17" and "PC17" name the same client.
std::wstring_view strip_unc(std::wstring_view name);

// Journal form of a string: in double quotes, a quote doubled, control characters as <XX>.
std::string quote(std::wstring_view s);
std::string quote_utf8(std::string_view s);

}  // namespace nsim
