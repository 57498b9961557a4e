// Whatever a server, a settings file or a hand at the keyboard gives the program:
// random records and files, built from the texts that break programs, fed to the
// real windows. Nothing may overflow, and every line written stays one line.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "rules/block_rules.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "engine/watch/detection.h"
#include "engine/watch/poll.h"
#include "engine/watch/day_logs.h"
#include "windows/monitoring_page.h"
#include "windows/shares_page.h"
#include "windows/engine_rounds.h"
#include "windows/log_page.h"
#include "engine/watch/log_text.h"
#include "support/test_support.h"
#include "windows/list_view.h"
#include "windows/main_window.h"

namespace {

constexpr std::array<std::size_t, 7> kLengths = {0, 1, 255, 256, 1023, 1024, 70000};

// Pieces a hostile name is made of: plain letters, line breaks and other control
// characters, CSV and path punctuation, text the ANSI code page has no room for,
// halves of surrogate pairs and the last code points.
const std::array<std::wstring, 12> kPieces = {
    L"abc",    L"\r\n",    L"\n",          L"\t\x01\x1b\x7f", L"\"", L",",
    L"\\\\?\\", L"\x4e2d\x6587", L"\xd83d\xde00", L"\xd800",   L"\xffff\xfffe", L" "};

struct HostileText {
    explicit HostileText(unsigned seed) : random(seed) {}

    std::wstring Next()
    {
        const std::size_t length = kLengths[Pick(kLengths.size())];
        std::wstring text;
        while (text.size() < length)
            text += kPieces[Pick(kPieces.size())];
        text.resize(length);
        return text;
    }
    std::size_t Pick(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(random); }
    DWORD Extreme()
    {
        constexpr std::array<DWORD, 6> values = {0, 1, 2, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};
        return values[Pick(values.size())];
    }

    std::mt19937 random;
};

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    if (at != text.size())
        lines.push_back(text.substr(at));  // an unended last line is a fault the checks see
    return lines;
}

void ExpectOneLineEach(const std::vector<std::string>& lines, const char* what)
{
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << what << ": a line break inside a line";
        EXPECT_LE(line.size(), 1023u) << what;
    }
}

std::string WindowText(HWND window)
{
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    text.resize(text.size() - 1);
    return text;
}

void ExpectCellsBounded(HWND list, int columns, const char* what)
{
    for (int row = 0; row < RowCount(list); ++row) {
        for (int column = 0; column < columns; ++column) {
            std::array<char, 4096> cell{};
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = cell.data();
            item.cchTextMax = static_cast<int>(cell.size());
            SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
            const std::string text = cell.data();
            EXPECT_LE(text.size(), 1023u) << what;
            EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x20 && c != '\0';
            })) << what << " row " << row << " column " << column;
        }
    }
}

class HostileInputTest : public MainWindowTest {
protected:
    std::string LogPath(const char* extension) const
    {
        return std::string(engineState.logFolder.data()) + "\\7.3.2026." + extension;
    }
};

}  // namespace

TEST_F(HostileInputTest, ThePollerWritesOneWholeLinePerEventWhateverTheServerSends)
{
    RecordTrial("bad input", "sessions and open files named with 0 to 70,000 characters of line breaks, control "
                             "characters, quotes, commas, unpaired surrogates and text outside the ANSI code page; "
                             "lock counts and ids at the ends of their range",
                "every event is one line in the text log, the CSV log and the Log page; one record per file open; "
                "no line over 1,023 characters; every buffer released");
    engineState.settings.savecsvlogs = 1;
    engineState.settings.savelogs = 1;
    engineState.settings.savesess = 1;
    engineState.settings.savefiles = 1;
    HostileText hostile(20261208);
    DWORD nextId = 0xFFFFFF00;
    std::size_t filesAdded = 0;
    for (int round = 0; round < 12; ++round) {
        server->sessions.clear();
        for (int k = 0; k < 6; ++k)
            server->sessions.push_back({hostile.Next(), hostile.Next(), hostile.Extreme(), 0, hostile.Extreme(),
                                        static_cast<DWORD>(hostile.Pick(4))});
        for (int k = 0; k < 8 && nextId < 0xFFFFFFFF; ++k, ++filesAdded)
            server->files.push_back({++nextId, hostile.Extreme(), hostile.Extreme(), hostile.Next(), hostile.Next()});
        RunPollTicks(5);
        if (round % 3 == 2)
            server->files.erase(server->files.begin(), server->files.begin() + 4);
    }
    EXPECT_EQ(server->buffersOut, 0);

    const std::vector<std::string> text = SplitCrLf(ReadWholeFile(LogPath("log")));
    ExpectOneLineEach(text, "text log");
    std::vector<std::string> csv = SplitCrLf(ReadWholeFile(LogPath("csv")));
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(csv.front(), "#File generated by Quorvel 1.2");
    csv.erase(csv.begin());
    ExpectOneLineEach(csv, "CSV log");
    std::size_t connections = 0, opens = 0;
    for (const std::string& record : csv) {
        // The time and the kind come before anything the server named.
        const std::size_t timeEnd = record.find("\", \"");
        ASSERT_TRUE(record.size() > 2 && record[0] == '"' && timeEnd != std::string::npos) << record.substr(0, 40);
        const std::string time = record.substr(1, timeEnd - 1);
        ASSERT_EQ(time.find_first_not_of("0123456789:"), std::string::npos) << record.substr(0, 40);
        const std::string connect = "\", \"CONNECT\", ";
        (record.compare(timeEnd, connect.size(), connect) == 0 ? connections : opens)++;
    }
    EXPECT_EQ(opens, filesAdded) << "one record per file open, none twice";
    EXPECT_GT(connections, 0u);
    EXPECT_EQ(text.size(), csv.size()) << "a text line per record";
    SyncLogPage();
    EXPECT_EQ(SplitCrLf(WindowText(windowState.logPageEdit)).size(), text.size()) << "the Log page holds the same lines";
    EXPECT_EQ(SplitCrLf(RunCsvText()), csv) << "the run's records are the day's";
}

TEST_F(HostileInputTest, TheMonitoringListsAndTheirExportStayBoundedWithHostileRecords)
{
    RecordTrial("bad input", "the Monitoring page's lists refreshed 20 times from hostile sessions and files, "
                             "then exported",
                "one row per open file; cells cut at 255 characters, control characters shown as '?'; "
                "each exported row one line");
    HostileText hostile(77);
    DWORD nextId = 1;
    for (int round = 0; round < 20; ++round) {
        if (server->sessions.size() > 6)
            server->sessions.erase(server->sessions.begin(), server->sessions.begin() + 3);
        if (server->files.size() > 10)
            server->files.erase(server->files.begin() + static_cast<std::ptrdiff_t>(hostile.Pick(10)));
        for (int k = 0; k < 2; ++k)
            server->sessions.push_back({hostile.Next(), hostile.Next(), hostile.Extreme(), hostile.Extreme(),
                                        hostile.Extreme(), hostile.Extreme()});
        for (int k = 0; k < 3; ++k)
            server->files.push_back({nextId++, hostile.Extreme(), hostile.Extreme(), hostile.Next(), hostile.Next()});
        RefreshOpenFiles();
        RefreshSessions();
        ASSERT_EQ(RowCount(windowState.filesList), static_cast<int>(server->files.size()));
    }
    ExpectCellsBounded(windowState.filesList, 4, "open files");
    ExpectCellsBounded(windowState.sessionsList, 6, "sessions");
    EXPECT_EQ(server->buffersOut, 0);

    const std::string path = folder + "hostile-export.txt";
    ASSERT_TRUE(WriteMonitoringLists(path.c_str()));
    const std::string exported = ReadWholeFile(path);
    ASSERT_GE(exported.size(), 2u);
    EXPECT_EQ(exported.substr(exported.size() - 2), "\r\n");
    const std::vector<std::string> lines = SplitCrLf(exported);
    ExpectOneLineEach(lines, "export");
    EXPECT_EQ(lines.size(), 5u + static_cast<std::size_t>(RowCount(windowState.sessionsList)) +
                                static_cast<std::size_t>(RowCount(windowState.filesList)));
}

TEST_F(HostileInputTest, TheSharesPageListsHostileSharesBounded)
{
    RecordTrial("bad input", "shares with hostile names, paths and remarks, every type bit and use count",
                "one row per share, cells bounded, no control character shown");
    HostileText hostile(5);
    for (int k = 0; k < 25; ++k)
        server->shares.push_back({hostile.Next(), hostile.Extreme(), hostile.Next(), hostile.Extreme(), hostile.Next()});
    ShowPage(SharesPageIndex);
    RefreshShares();
    EXPECT_EQ(RowCount(windowState.sharesList), 25);
    ExpectCellsBounded(windowState.sharesList, 5, "shares");
    EXPECT_EQ(server->buffersOut, 0);
}

TEST_F(HostileInputTest, BlockingHostileClientsDeletesOnlyWhatTheListNames)
{
    RecordTrial("bad input", "a blacklist and a whitelist enforced on sessions with hostile client names; "
                             "every deletion refused by the server for a while",
                "only the named computer is cut off, on every tick until the server lets it go; the whitelist "
                "spares the named computer and leaves clients too long for a name alone");
    HostileText hostile(9);
    AddComputer(engineState.rules.blacklist, "PC-BAD", kPermanent);
    for (int k = 0; k < 30; ++k)
        server->sessions.push_back({hostile.Next(), hostile.Next()});
    server->sessions.push_back({L"pc-bad", L"eve"});
    server->deletionStatus = ERROR_ACCESS_DENIED;
    for (int k = 0; k < 3; ++k)
        OnBlockTick();
    EXPECT_EQ(server->CallsStartingWith(L"NetSessionDel").size(), 3u) << "tried again on every tick";
    server->deletionStatus = NERR_Success;
    OnBlockTick();
    OnBlockTick();
    const auto deletions = server->CallsStartingWith(L"NetSessionDel");
    ASSERT_EQ(deletions.size(), 4u) << "gone after the first deletion that went through";
    for (const std::wstring& deletion : deletions)
        EXPECT_EQ(deletion, L"NetSessionDel \\\\PC-BAD <null>");

    server->calls.clear();
    engineState.rules.blockMode = Whitelist;
    AddComputer(engineState.rules.whitelist, "PC-GOOD", kPermanent);
    server->sessions.push_back({L"PC-GOOD", L"ann"});
    OnBlockTick();
    for (const std::wstring& deletion : server->CallsStartingWith(L"NetSessionDel"))
        EXPECT_EQ(deletion.find(L"PC-GOOD"), std::wstring::npos);
    for (const FakeSession& session : server->sessions)
        EXPECT_TRUE(session.client == L"PC-GOOD" || session.client.size() + 3 > 258) << "left: " << session.client.size();
    EXPECT_EQ(server->buffersOut, 0);
}

namespace {

// A settings file as a careless hand or a broken disk leaves it.
std::string RandomSettingsFile(std::mt19937& random)
{
    const auto pick = [&random](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    constexpr std::array<const char*, 7> sections = {"main", "blacklist", "whitelist", "Blacklist", "", "main]", "x"};
    constexpr std::array<const char*, 16> keys = {
        "count", "comp0", "comp1", "comp2", "comp255", "comp-1", "blockmode", "hotkey", "savelogs", "savecsvlogs",
        "soundalertevents", "enablenotifywindow", "loadprogramonstartup", "COUNT", " comp3 ", "comp01"};
    const std::array<std::string, 14> values = {
        "",  "0",   "1",   "-1", "2147483648", "99999999999999999999", "abc", "3x",
        std::string(70000, 'n'), "pc-" + std::to_string(pick(1000)), "\"quoted\"", "caf\xe9", " spaced ", "\x01\x02"};
    std::string file;
    const std::size_t lines = pick(60);
    for (std::size_t line = 0; line < lines; ++line) {
        switch (pick(8)) {
        case 0: file += std::string("[") + sections[pick(sections.size())] + "]"; break;
        case 1: file += std::string(pick(3000), static_cast<char>('!' + pick(90))); break;
        case 2: file += "=" + values[pick(values.size())]; break;
        default: file += std::string(keys[pick(keys.size())]) + "=" + values[pick(values.size())]; break;
        }
        file += pick(10) == 0 ? "\n" : (pick(10) == 0 ? "\r" : "\r\n");
    }
    return file;
}

class RandomSettingsTest : public QuorvelTest {
protected:
    static std::vector<std::wstring> Names(const ComputerList& list)
    {
        std::vector<std::wstring> names;
        for (const BlockEntry& entry : list) {
            if (entry.inUse)
                names.push_back(entry.name.data());
        }
        return names;
    }
};

}  // namespace

TEST_F(RandomSettingsTest, LoadingAnyFileThenSavingAndLoadingGivesTheSameLists)
{
    RecordTrial("bad input", "200 random settings files: every key and section, garbage lines, huge and "
                             "negative counts, 70,000-character values, bare CR and LF",
                "loading never fails; lists stay within their slots; a save then a load gives back the same "
                "lists and block mode");
    std::mt19937 random(424242);
    for (int round = 0; round < 200; ++round) {
        WriteWholeFile(SettingsFilePath(), RandomSettingsFile(random));
        Restart();
        ReadMainSettings(&engineState.settings);
        engineState.rules.blockMode = ReadSettingInt(kMainSection, "blockmode", 0);
        LoadComputerLists(engineState.rules);
        int inUse = 0;
        for (const BlockEntry& entry : engineState.rules.blacklist)
            inUse += entry.inUse ? 1 : 0;
        ASSERT_EQ(engineState.rules.blacklist.inUse, inUse) << "round " << round;
        const auto blacklist = Names(engineState.rules.blacklist);
        const auto whitelist = Names(engineState.rules.whitelist);
        const int32_t mode = engineState.rules.blockMode;
        SaveComputerLists(engineState.rules);

        Restart();
        engineState.rules.blockMode = ReadSettingInt(kMainSection, "blockmode", 0);
        LoadComputerLists(engineState.rules);
        ASSERT_EQ(Names(engineState.rules.blacklist), blacklist) << "round " << round;
        ASSERT_EQ(Names(engineState.rules.whitelist), whitelist) << "round " << round;
        ASSERT_EQ(engineState.rules.blockMode, mode) << "round " << round;
    }
}
