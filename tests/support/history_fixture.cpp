#include "support/history_fixture.h"

#include <sqlite3.h>

#include <sstream>

#include "core/utf8.h"
#include "engine/watch/delivery.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/watches.h"

bool PollUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG start = GetTickCount64();
    while (!done()) {
        if (GetTickCount64() - start > timeoutMs)
            return done();
        Sleep(2);
    }
    return true;
}

void HistoryTest::SetUp()
{
    EngineTest::SetUp();
}

void HistoryTest::TearDown()
{
    CloseHistory();
    RemoveEventSinks();
    SetHistoryNotice(nullptr, nullptr);
    EngineTest::TearDown();
}

void HistoryTest::OpenHistoryHere(int32_t keepDays, std::size_t queueBytes)
{
    HistoryOptions options{};
    options.queueBytes = queueBytes;
    ASSERT_TRUE(OpenHistory(engineState.logFolder.data(), keepDays, options));
    ASSERT_TRUE(PollUntil([] { return ReadHistoryStatus().health != HistoryHealth::Starting; }));
}

void HistoryTest::Flush()
{
    ASSERT_TRUE(WaitForHistoryWrites(20000)) << HistoryHealthText(ReadHistoryStatus().health);
}

void HistoryTest::Connected(const std::wstring& computer, const std::wstring& user)
{
    std::wstring name = computer;
    std::wstring who = user;
    const SESSION_INFO_1 session{name.data(), who.data(), 1, 0, 0, 0};
    AddConnectionEvent(LocalWatch(), session, TakePollTime());
    DeliverActivity(LocalWatch());
}

void HistoryTest::Opened(const std::wstring& path, DWORD permissions, const std::wstring& user)
{
    static DWORD fileId = 0;
    std::wstring name = path;
    std::wstring who = user;
    const FILE_INFO_3 file{++fileId, permissions, 0, name.data(), who.data()};
    AddFileOpenEvent(LocalWatch(), file, TakePollTime());
    DeliverActivity(LocalWatch());
}

void HistoryTest::Tripped(const std::wstring& user, const char* detail)
{
    AddTripwireEvent(LocalWatch(), user.c_str(), detail, TakePollTime());
    DeliverActivity(LocalWatch());
}

void HistoryTest::Published(EventKind kind, const char* server, const std::wstring& computer,
                            const std::wstring& user, const std::wstring& path, const char* rule)
{
    const PollTime time = TakePollTime();
    const EventRecord record{kind, time.at, time.utc, server, computer, user, path, 0, rule, "a line"};
    PublishEvent(record);
}

std::vector<HistoryRow> HistoryTest::Find(const HistoryQuery& query, uint32_t* generation)
{
    const uint32_t started = StartHistorySearch(query);
    if (generation)
        *generation = started;
    EXPECT_TRUE(PollUntil([started] {
        const HistorySearchStatus status = ReadHistorySearch();
        return status.generation == started && status.finished;
    }));
    const HistorySearchStatus status = ReadHistorySearch();
    EXPECT_FALSE(status.failed);
    std::vector<HistoryRow> rows(status.found);
    for (uint32_t k = 0; k < status.found; ++k)
        EXPECT_TRUE(PollUntil([&] { return GetHistoryRow(started, k, &rows[k]); })) << "row " << k;
    return rows;
}

int64_t HistoryTest::CountIn(const std::string& sql) const
{
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(DatabasePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

std::vector<std::string> HistoryTest::Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string Utf8(const std::wstring& text)
{
    std::array<char, 4096> utf8{};
    Utf8FromWide(utf8, text);
    return utf8.data();
}

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}
