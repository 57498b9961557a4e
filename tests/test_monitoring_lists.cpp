// The Monitoring page's fast refresh against the plain one, on real list views.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "windows/monitoring_lists.h"
#include "support/reference_lists.h"
#include "windows/list_view.h"

namespace {

HWND MakeList(int columns)
{
    HWND list = CreateWindowExA(0, WC_LISTVIEWA, "", LVS_REPORT | LVS_SHOWSELALWAYS, 0, 0, 600, 400, nullptr,
                                nullptr, nullptr, nullptr);
    for (int column = 0; column < columns; ++column)
        AddColumn(list, column, "c", 50);
    return list;
}

struct File {
    DWORD id;
    std::wstring path, user;
    DWORD permissions, locks;
};

struct Session {
    std::wstring client, user;
    DWORD opens, seconds, idle, flags;
};

std::vector<FILE_INFO_3> Records(std::vector<File>& files)
{
    std::vector<FILE_INFO_3> records;
    for (File& f : files)
        records.push_back({f.id, f.permissions, f.locks, f.path.data(), f.user.data()});
    return records;
}

std::vector<SESSION_INFO_1> Records(std::vector<Session>& sessions)
{
    std::vector<SESSION_INFO_1> records;
    for (Session& s : sessions)
        records.push_back({s.client.data(), s.user.data(), s.opens, s.seconds, s.idle, s.flags});
    return records;
}

// Every row's texts, key and selection, as the user and the program see them.
template <typename Key>
std::vector<std::string> Snapshot(HWND list, int columns, Key key)
{
    std::vector<std::string> rows;
    for (int row = 0; row < RowCount(list); ++row) {
        std::string text = std::to_string(key(row)) + (IsRowSelected(list, row) ? " *" : " -");
        for (int column = 0; column < columns; ++column) {
            std::array<char, kCellCapacity> cell{};
            ReadCell(list, row, column, cell);
            text += "|" + std::string(cell.data());
        }
        rows.push_back(text);
    }
    return rows;
}

void SelectRandomRows(HWND a, HWND b, std::mt19937& random)
{
    for (int row = 0; row < RowCount(a); ++row) {
        if (random() % 4 != 0)
            continue;
        LVITEMA item{};
        item.stateMask = LVIS_SELECTED;
        item.state = (random() % 2) ? LVIS_SELECTED : 0;
        SendMessageA(a, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
        SendMessageA(b, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
}

class RefreshEquivalence : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (fast)
            DestroySnapshotList(fast);
        if (plain)
            DestroyWindow(plain);
        fast = plain = nullptr;
    }
    HWND fast = nullptr;
    HWND plain = nullptr;
    static inline FileSnapshot fileRows{};
    static inline SessionSnapshot sessionRows{};
};

// What the first row of the owner-data list shows, as the list asks for it.
class MonitoringCells : public RefreshEquivalence {
protected:
    std::string Cell(int column) const
    {
        std::array<char, kCellCapacity> text{};
        ReadCell(fast, 0, column, text);
        return text.data();
    }
};

}  // namespace

TEST_F(RefreshEquivalence, OpenFilesGiveTheSameListAsThePlainRefresh)
{
    std::mt19937 random(20261208);
    for (int sequence = 0; sequence < 60; ++sequence) {
        ClearSnapshot(fileRows);
        fast = MakeSnapshotList(5, nullptr, &fileRows);
        plain = MakeList(5);
        std::vector<File> files;
        DWORD nextId = 1 + random() % 3;
        uint32_t generation = (sequence % 3 == 0) ? 0x7FFFFFF0u : 0x0FFFFFFFu;  // also across the sign bit
        for (int step = 0; step < 25; ++step) {
            // Opens, closes, reopens under new ids, changed users, repeated ids.
            const int opens = static_cast<int>(random() % 6);
            for (int i = 0; i < opens; ++i)
                files.push_back({nextId++, L"C:\\f" + std::to_wstring(random() % 20), L"u" + std::to_wstring(random() % 3),
                                 static_cast<DWORD>(random() % 8), static_cast<DWORD>(random() % 3)});
            for (std::size_t i = 0; i < files.size(); ++i) {
                const unsigned roll = random() % 20;
                if (roll == 0)
                    files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
                else if (roll == 1)
                    files[i].id = nextId++;
                else if (roll == 2)
                    files[i].user = L"other";
                else if (roll == 3 && i > 0)
                    files[i].id = files[i - 1].id;
                else if (roll == 4)
                    files[i].locks = static_cast<DWORD>(random() % 5);
            }
            if (random() % 10 == 0)
                std::shuffle(files.begin(), files.end(), random);
            if (random() % 15 == 0)
                files.clear();
            auto records = Records(files);
            ++generation;
            RefreshOpenFilesList(fast, fileRows, records, generation);
            ReferenceReconcileOpenFiles(plain, records, generation);
            ASSERT_EQ(Snapshot(fast, 5, [](int row) { return Rows(fileRows)[static_cast<std::size_t>(row)].id; }),
                      Snapshot(plain, 5, [this](int row) { return RowData(plain, row); }))
                << "sequence " << sequence << " step " << step;
            SelectRandomRows(fast, plain, random);
        }
        TearDown();
    }
}

TEST_F(RefreshEquivalence, SessionsGiveTheSameListAsThePlainRefresh)
{
    std::mt19937 random(7);
    for (int sequence = 0; sequence < 60; ++sequence) {
        ClearSnapshot(sessionRows);
        fast = MakeSnapshotList(6, &sessionRows, nullptr);
        plain = MakeList(6);
        std::vector<Session> sessions;
        uint32_t generation = 0;
        const std::array<std::wstring, 6> computers = {L"pc1", L"PC1", L"PC2", L"laptop", L"10.0.0.5", L"\x00e9t\x00e9"};
        for (int step = 0; step < 25; ++step) {
            const int connects = static_cast<int>(random() % 4);
            for (int i = 0; i < connects; ++i)
                sessions.push_back({computers[random() % computers.size()], random() % 5 ? L"user" + std::to_wstring(random() % 3) : L"",
                                    static_cast<DWORD>(random() % 4), static_cast<DWORD>(step), 0, static_cast<DWORD>(random() % 2)});
            for (std::size_t i = 0; i < sessions.size(); ++i) {
                const unsigned roll = random() % 8;
                if (roll == 0)
                    sessions.erase(sessions.begin() + static_cast<std::ptrdiff_t>(i));
                else if (roll == 1)
                    sessions[i].user = L"changed";
                else
                    sessions[i].seconds += 1;
            }
            auto records = Records(sessions);
            ++generation;
            RefreshSessionsList(fast, sessionRows, records, generation);
            ReferenceReconcileSessions(plain, records, generation);
            ASSERT_EQ(Snapshot(fast, 6, [](int row) { return Rows(sessionRows)[static_cast<std::size_t>(row)].stamp; }),
                      Snapshot(plain, 6, [this](int row) { return RowData(plain, row); }))
                << "sequence " << sequence << " step " << step;
            SelectRandomRows(fast, plain, random);
        }
        TearDown();
    }
}

TEST_F(MonitoringCells, LongTextsAreCutToACellAndNumbersAreSigned)
{
    std::wstring path(300, L'p');
    std::wstring user(70000, L'u');
    const FILE_INFO_3 file{0xFFFFFFFF, 0, 0xFFFFFFFF, path.data(), user.data()};
    ClearSnapshot(fileRows);
    fast = MakeSnapshotList(5, nullptr, &fileRows);
    RefreshOpenFilesList(fast, fileRows, {&file, 1}, 0x80000000u);
    ASSERT_EQ(RowCount(fast), 1);
    EXPECT_EQ(Cell(0).size(), 255u);
    EXPECT_EQ(Cell(1).size(), 255u);
    EXPECT_EQ(Cell(2), "-1");
    EXPECT_EQ(Cell(3), "");
    EXPECT_EQ(Cell(4), "-2147483648");
    TearDown();

    std::wstring client = L"pc-\x00e9-one";
    const SESSION_INFO_1 session{client.data(), user.data(), 0x80000000u, 3725, 360000, SESS_GUEST};
    ClearSnapshot(sessionRows);
    fast = MakeSnapshotList(6, &sessionRows, nullptr);
    RefreshSessionsList(fast, sessionRows, {&session, 1}, 1);
    ASSERT_EQ(RowCount(fast), 1);
    EXPECT_EQ(Cell(0), "PC-\xe9-ONE");
    EXPECT_EQ(Cell(1).size(), 255u);
    EXPECT_EQ(Cell(2), "-2147483648");
    EXPECT_EQ(Cell(3), "01:02:05");
    EXPECT_EQ(Cell(4), "100:00:00");
    EXPECT_EQ(Cell(5), "Yes");
}
