// The Monitoring lists' snapshots without a list view: which row each new record
// updates, which rows go, and what is appended, as the lists have always matched them.
#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/watch/list_snapshots.h"

namespace {

std::vector<std::string> Computers(const SessionSnapshot& snapshot)
{
    std::vector<std::string> rows;
    for (const SessionRow& row : Rows(snapshot))
        rows.push_back(std::string(row.computer) + "/" + std::to_string(row.opens));
    return rows;
}

std::vector<DWORD> Ids(const FileSnapshot& snapshot)
{
    std::vector<DWORD> ids;
    for (const FileRow& row : Rows(snapshot))
        ids.push_back(row.id);
    return ids;
}

ScreenChanges NoScreen()
{
    ScreenChanges changes{};
    changes.top = 0;
    changes.rows = 0;
    return changes;
}

}  // namespace

TEST(ListPlans, SessionsMatchTheirComputerWhateverItsCaseAndUserlessOnesAreNotListed)
{
    static SessionSnapshot snapshot;
    ClearSnapshot(snapshot);
    std::wstring pc1 = L"pc1", pc1Upper = L"PC1", pc2 = L"PC2", anonymous = L"PC3";
    std::wstring ann = L"ann", ben = L"ben", none = L"";
    ScreenChanges changes = NoScreen();
    std::span<const int32_t> recordOfRow;
    std::vector<SESSION_INFO_1> first = {{pc1.data(), ann.data(), 1, 0, 0, 0}, {pc2.data(), ben.data(), 2, 0, 0, 0},
                                         {anonymous.data(), none.data(), 3, 0, 0, 0}};
    ASSERT_TRUE(RefreshSessionsSnapshot(snapshot, first, 1, changes, &recordOfRow));
    EXPECT_EQ(Computers(snapshot), (std::vector<std::string>{"PC1/1", "PC2/2"})) << "no row without a user";

    // PC2 went, pc1 comes back as PC1 with a second session (the last one's values win), a new one joins.
    std::wstring pc4 = L"pc4";
    std::vector<SESSION_INFO_1> second = {{pc1Upper.data(), ann.data(), 5, 0, 0, 0},
                                          {pc4.data(), ben.data(), 7, 0, 0, 0},
                                          {pc1.data(), ben.data(), 6, 0, 0, 0}};
    ASSERT_TRUE(RefreshSessionsSnapshot(snapshot, second, 2, changes, &recordOfRow));
    EXPECT_EQ(recordOfRow.size(), 2u);
    EXPECT_EQ(recordOfRow[0], 2) << "the row of PC1 takes the last record of its computer";
    EXPECT_EQ(recordOfRow[1], kNoRow) << "PC2's row goes";
    EXPECT_EQ(Computers(snapshot), (std::vector<std::string>{"PC1/6", "PC4/7"}));
    EXPECT_EQ(Rows(snapshot)[0].stamp, 2u);
}

TEST(ListPlans, FilesMatchTheirIdAndNewOnesAreAppendedInEnumerationOrder)
{
    static FileSnapshot snapshot;
    ClearSnapshot(snapshot);
    std::wstring a = L"C:\\a", b = L"C:\\b", c = L"C:\\c", d = L"C:\\d", user = L"ann";
    ScreenChanges changes = NoScreen();
    std::span<const int32_t> recordOfRow;
    std::vector<FILE_INFO_3> first = {{10, PERM_FILE_READ, 0, a.data(), user.data()},
                                      {11, PERM_FILE_READ, 0, b.data(), user.data()}};
    ASSERT_TRUE(RefreshOpenFilesSnapshot(snapshot, first, 1, 0, changes, &recordOfRow));
    // The file of id 10 closed; 11 stays, listed after the two new ones; one reopened under a new id.
    std::vector<FILE_INFO_3> second = {{13, PERM_FILE_READ, 0, d.data(), user.data()},
                                       {11, PERM_FILE_WRITE, 1, b.data(), user.data()},
                                       {12, PERM_FILE_READ, 0, c.data(), user.data()}};
    ASSERT_TRUE(RefreshOpenFilesSnapshot(snapshot, second, 2, 0, changes, &recordOfRow));
    EXPECT_EQ(Ids(snapshot), (std::vector<DWORD>{11, 13, 12})) << "a survivor keeps its place, new rows follow";
    EXPECT_EQ(Rows(snapshot)[0].locks, 1u);
    EXPECT_EQ(std::wstring(Rows(snapshot)[0].path), L"C:\\b");
    EXPECT_EQ(recordOfRow[0], kNoRow);
    EXPECT_EQ(recordOfRow[1], 1);
}

TEST(ListPlans, OnlyTheCellsOnScreenThatChangedAreNoted)
{
    static FileSnapshot snapshot;
    ClearSnapshot(snapshot);
    std::vector<std::wstring> paths;
    for (int i = 0; i < 20; ++i)
        paths.push_back(L"C:\\f" + std::to_wstring(i));
    std::wstring user = L"ann";
    std::vector<FILE_INFO_3> records;
    for (DWORD i = 0; i < 20; ++i)
        records.push_back({i + 1, PERM_FILE_READ, 0, paths[i].data(), user.data()});
    ScreenChanges changes = NoScreen();
    std::span<const int32_t> recordOfRow;
    ASSERT_TRUE(RefreshOpenFilesSnapshot(snapshot, records, 1, 0, changes, &recordOfRow));
    records[5].fi3_num_locks = 3;  // on screen
    records[15].fi3_num_locks = 3;  // below it
    changes = NoScreen();
    changes.top = 2;
    changes.rows = 8;
    ASSERT_TRUE(RefreshOpenFilesSnapshot(snapshot, records, 2, 0, changes, &recordOfRow));
    for (int at = 0; at < changes.rows; ++at)
        EXPECT_EQ(changes.masks[static_cast<std::size_t>(at)], at == 3 ? 1u << 2 : 0u) << "row " << at + changes.top;
}
