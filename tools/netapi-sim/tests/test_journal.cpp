// The journal file: appended, shared, one whole line per write, a fixed stamp format.

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "journal.h"
#include "server.h"
#include "text.h"

namespace {

std::wstring temp_file(const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring p = std::wstring(dir) + name + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(p.c_str());
    return p;
}

std::string slurp(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    std::string s;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) s.append(buf, got);
    CloseHandle(h);
    return s;
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < s.size()) {
        const size_t nl = s.find("\r\n", pos);
        if (nl == std::string::npos) {
            out.push_back(s.substr(pos) + "<no CRLF>");
            break;
        }
        out.push_back(s.substr(pos, nl - pos));
        pos = nl + 2;
    }
    return out;
}

const std::regex kStamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} t=\d+ (load|error|warn|event|call|unload) .*)");

}  // namespace

TEST(Journal, AppendsSharedWholeLines) {
    const std::wstring path = temp_file(L"nsim-journal-a-");
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD w = 0;
        WriteFile(h, "earlier\r\n", 9, &w, nullptr);
        CloseHandle(h);
    }
    nsim::SimOptions o;
    o.manual_clock = true;
    o.journal_path = path;
    nsim::Sim* a = nsim::sim_create(o);
    nsim::Sim* b = nsim::sim_create(o);  // a second writer, as another process would be
    nsim::sim_load_text(a, "0 connect PC1 u\n", L"a.scenario");
    nsim::sim_load_text(b, "0 connect PC2 u\n", L"b.scenario");
    // Readable while both have it open for writing.
    EXPECT_FALSE(slurp(path).empty());
    for (int i = 0; i < 50; ++i) {
        nsim::sim_set_time(a, i);
        nsim::sim_set_time(b, i);
        LPBYTE buf = nullptr;
        DWORD read = 0, total = 0;
        nsim::sim_session_enum(a, nullptr, nullptr, nullptr, 0, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
        nsim::sim_buffer_free(a, buf);
        nsim::sim_share_enum(b, nullptr, 502, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
        nsim::sim_buffer_free(b, buf);
    }
    nsim::sim_destroy(a);
    nsim::sim_destroy(b);
    const auto lines = lines_of(slurp(path));
    ASSERT_GT(lines.size(), 200u);
    EXPECT_EQ(lines[0], "earlier") << "opening appends, it does not truncate";
    size_t sessions = 0, shares = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], kStamp)) << lines[i];
        sessions += lines[i].find("call NetSessionEnum") != std::string::npos;
        shares += lines[i].find("call NetShareEnum") != std::string::npos;
    }
    EXPECT_EQ(sessions, 50u);
    EXPECT_EQ(shares, 50u);
    DeleteFileW(path.c_str());
}

TEST(Journal, StampFormat) {
    SYSTEMTIME t{};
    t.wYear = 2025;
    t.wMonth = 1;
    t.wDay = 4;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 7;
    t.wMilliseconds = 42;
    EXPECT_EQ(nsim::journal_stamp(t, 123456), "2025-01-04 09:05:07.042 t=123456");
}

TEST(Journal, LongLinesAreCutOnACharacterBoundary) {
    nsim::Journal j;
    j.capture = true;
    SYSTEMTIME t{};
    std::string body = "event note text=\"";
    for (int i = 0; i < 10000; ++i) body += "\xE2\x82\xAC";  // 3-byte characters
    nsim::journal_write(j, t, 0, body);
    ASSERT_EQ(j.captured.size(), 1u);
    const std::string& line = j.captured[0];
    EXPECT_LE(line.size(), nsim::kMaxJournalLine);
    ASSERT_GE(line.size(), 6u);
    EXPECT_EQ(line.substr(line.size() - 6), " <cut>");
    std::wstring w;
    EXPECT_TRUE(nsim::utf8_to_wide(line, w)) << "still valid UTF-8";
}

TEST(Journal, QuotingKeepsOneLinePerEntry) {
    EXPECT_EQ(nsim::quote(L"PC17"), "\"PC17\"");
    EXPECT_EQ(nsim::quote(L""), "\"\"");
    EXPECT_EQ(nsim::quote(L"say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(nsim::quote(L"a\r\nb\tc"), "\"a<0D><0A>b<09>c\"");
    EXPECT_EQ(nsim::quote(L"D:\\Shares"), "\"D:\\Shares\"") << "backslashes are literal";
    EXPECT_EQ(nsim::quote(L"\u20AC"), "\"\xE2\x82\xAC\"");
    const wchar_t lone[] = {static_cast<wchar_t>(0xD800), L'x', 0};
    EXPECT_EQ(nsim::quote(lone), "\"\xEF\xBF\xBDx\"") << "a lone surrogate becomes U+FFFD";
}

TEST(Journal, CallerStringsWithLineBreaksStayOnOneLine) {
    nsim::SimOptions o;
    o.manual_clock = true;
    o.journal_to_memory = true;
    nsim::Sim* s = nsim::sim_create(o);
    std::wstring evil = L"\\\\PC1\r\ncall NetFileClose forged";
    nsim::sim_session_del(s, nullptr, evil.data(), nullptr);
    const auto lines = nsim::sim_journal_lines(s);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("client=\"\\\\PC1<0D><0A>call NetFileClose forged\""), std::string::npos) << lines[0];
    nsim::sim_destroy(s);
}

TEST(Journal, MissingScenarioFileMeansAnEmptyServer) {
    nsim::SimOptions o;
    o.manual_clock = true;
    o.journal_to_memory = true;
    nsim::Sim* s = nsim::sim_create(o);
    nsim::sim_load_file(s, L"Z:\\no\\such\\dir\\x.scenario");
    const auto lines = nsim::sim_journal_lines(s);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("load no-scenario path=\"Z:\\no\\such\\dir\\x.scenario\""), std::string::npos);
    LPBYTE buf = nullptr;
    DWORD read = 1, total = 1;
    EXPECT_EQ(nsim::sim_share_enum(s, nullptr, 502, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr),
              static_cast<DWORD>(NERR_Success));
    EXPECT_EQ(read, 0u);
    nsim::sim_destroy(s);
}

TEST(Journal, ScenarioFileIsRead) {
    const std::wstring path = temp_file(L"nsim-scenario-");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const char text[] = "\xEF\xBB\xBF# from a file\r\n0 connect PC1 u\r\n1 nonsense\r\n";
    DWORD w = 0;
    WriteFile(h, text, sizeof text - 1, &w, nullptr);
    CloseHandle(h);
    nsim::SimOptions o;
    o.manual_clock = true;
    o.journal_to_memory = true;
    nsim::Sim* s = nsim::sim_create(o);
    nsim::sim_load_file(s, path);
    const auto diags = nsim::sim_diagnostics(s);
    ASSERT_EQ(diags.size(), 1u);
    EXPECT_EQ(diags[0].line, 3u);
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    EXPECT_EQ(nsim::sim_session_enum(s, nullptr, nullptr, nullptr, 0, &buf, MAX_PREFERRED_LENGTH, &read, &total,
                                     nullptr),
              static_cast<DWORD>(NERR_Success));
    EXPECT_EQ(read, 1u);
    nsim::sim_buffer_free(s, buf);
    nsim::sim_destroy(s);
    DeleteFileW(path.c_str());
}
