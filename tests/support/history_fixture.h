// The ground of the history's tests: the engine's fixture with the history opened on
// its log folder, events put in the way the engine delivers them, searches run to
// their end, and a connection of the test's own to look into the file.
#pragma once

#include <windows.h>
#include <lm.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/watch/engine_state.h"
#include "engine/history/history_search.h"
#include "engine/history/history_store.h"
#include "support/engine_fixture.h"

struct sqlite3;

// Polls `done` every few milliseconds until it holds or `timeoutMs` passes.
bool PollUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000);

class HistoryTest : public EngineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    void OpenHistoryHere(int32_t keepDays = 0, std::size_t queueBytes = 0);
    void Flush();  // every event published so far is stored

    // Events as detection hands them over, each delivered at once.
    static void Connected(const std::wstring& computer, const std::wstring& user);
    static void Opened(const std::wstring& path, DWORD permissions, const std::wstring& user);
    static void Tripped(const std::wstring& user, const char* detail);
    // Any event, as the actions and the block round publish theirs.
    static void Published(EventKind kind, const char* server, const std::wstring& computer, const std::wstring& user,
                          const std::wstring& path, const char* rule);

    // A search run to its end, and all its rows.
    static std::vector<HistoryRow> Find(const HistoryQuery& query, uint32_t* generation = nullptr);
    static HistoryQuery AllEvents() { return HistoryQuery{}; }

    std::string DatabasePath() const { return std::string(engineState.logFolder.data()) + "quorvel-history.db"; }
    std::string TodayLog() const { return std::string(engineState.logFolder.data()) + "7.3.2026.log"; }
    // A number the test's own connection reads from the file (-1 when it cannot).
    int64_t CountIn(const std::string& sql) const;
    static std::vector<std::string> Lines(const std::string& text);

    DWORD lastFileId = 0;
};

// Texts of the program's rows.
template <std::size_t N>
std::string Text(const std::array<char, N>& text)
{
    return text.data();
}
std::string Utf8(const std::wstring& text);
SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second);
