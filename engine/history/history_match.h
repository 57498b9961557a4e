// How a search compares the texts a person typed with the history's: whole names and
// parts of paths, any case, every character literal (no wildcards). Registered as SQL
// functions on the search thread's connection.
#pragma once

#include <string_view>

struct sqlite3;

// `needle` is a part of `text`, letters compared in any case (all of Unicode).
bool ContainsIgnoringCase(std::string_view text, std::string_view needle);
// The same name in any case; backslashes before either name are ignored (\\PC1 is PC1).
bool SameNameIgnoringCase(std::string_view text, std::string_view wanted);

// history_contains(text, part) and history_same(text, name) on the connection.
int RegisterHistoryMatches(sqlite3* db);
