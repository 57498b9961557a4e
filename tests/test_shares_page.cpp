#include <windows.h>
#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "windows/shares_page.h"
#include "resources/resource.h"
#include "support/test_support.h"
#include "windows/list_view.h"
#include "windows/main_window.h"

namespace {

class SharesPageTest : public MainWindowTest {
protected:
    HWND List() const { return windowState.sharesList; }
    HWND Page() const { return windowState.pages[SharesPageIndex]; }
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int row = 0; row < RowCount(List()); ++row) {
            std::string text;
            for (int column = 0; column < 5; ++column) {
                std::array<char, kCellCapacity> cell{};
                ReadCell(List(), row, column, cell);
                text += (column ? "|" : "") + std::string(cell.data());
            }
            rows.push_back(text);
        }
        return rows;
    }
};

std::string TypeWords(DWORD type)
{
    std::array<char, 64> text{};
    FormatShareType(type, text);
    return text.data();
}

}  // namespace

TEST(ShareTypes, WordsFollowTheWholeTypeValue)
{
    EXPECT_EQ(TypeWords(STYPE_DISKTREE), "Drive ");
    EXPECT_EQ(TypeWords(STYPE_PRINTQ), "Printer ");
    EXPECT_EQ(TypeWords(STYPE_DEVICE), "Device ");
    EXPECT_EQ(TypeWords(STYPE_IPC), "IPC ");
    EXPECT_EQ(TypeWords(STYPE_DISKTREE | STYPE_SPECIAL), "Special ");
    EXPECT_EQ(TypeWords(STYPE_IPC | STYPE_SPECIAL), "Special ");
    EXPECT_EQ(TypeWords(STYPE_TEMPORARY), "");
    EXPECT_EQ(TypeWords(STYPE_PRINTQ | STYPE_TEMPORARY), "");
    EXPECT_EQ(TypeWords(0xFFFFFFFF), "Special ");
}

TEST_F(SharesPageTest, ShowingThePageListsTheSharesSortedByName)
{
    server->shares = {
        {L"Projects", STYPE_DISKTREE, L"Project files", 3, L"D:\\Shares\\Projects"},
        {L"C$", STYPE_DISKTREE | STYPE_SPECIAL, L"Default share", 1, L"C:\\"},
        {L"IPC$", STYPE_IPC | STYPE_SPECIAL, L"Remote IPC", 0, L""},
        {L"Laser", STYPE_PRINTQ, L"1st floor", 0, L""},
        {L"Scratch", STYPE_TEMPORARY, L"", 0, L"D:\\tmp"},
    };
    ShowPage(SharesPageIndex);
    EXPECT_EQ(Rows(), (std::vector<std::string>{
                          "C$|C:\\|Special |1|Default share",
                          "IPC$||Special |0|Remote IPC",
                          "Laser||Printer |0|1st floor",
                          "Projects|D:\\Shares\\Projects|Drive |3|Project files",
                          "Scratch|D:\\tmp||0|",
                      }));
}

TEST_F(SharesPageTest, RemovingDeletesEachSelectedShareInRowOrderThenRefreshesOnce)
{
    // Out of order: the list sorts them, and each row still removes its own share.
    for (const wchar_t* name : {L"D", L"B", L"A", L"C"})
        server->shares.push_back({name, STYPE_DISKTREE, L"", 0, L"D:\\x"});
    ShowPage(SharesPageIndex);
    for (int row : {0, 2, 3}) {
        LVITEMA item{};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        SendMessageA(List(), LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
    server->calls.clear();
    SendMessageA(Page(), WM_COMMAND, IDM_REMOVE, 0);
    EXPECT_EQ(server->calls, (std::vector<std::wstring>{L"NetShareDel A", L"NetShareDel C", L"NetShareDel D",
                                                         L"NetShareEnum 502"}));
    EXPECT_EQ(Rows(), std::vector<std::string>{"B|D:\\x|Drive |0|"});
    server->calls.clear();
    SendMessageA(Page(), WM_COMMAND, IDM_REMOVE, 0);
    EXPECT_EQ(server->calls, std::vector<std::wstring>{L"NetShareEnum 502"}) << "nothing selected: only a refresh";
}

TEST_F(SharesPageTest, RefreshTwiceGivesTheSameListAndClearsTheSelection)
{
    server->shares = {{L"Docs", STYPE_DISKTREE, L"", 0, L"D:\\Docs"}};
    ShowPage(SharesPageIndex);
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    SendMessageA(List(), LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&item));
    SendMessageA(Page(), WM_COMMAND, IDM_REFRESH, 0);
    const auto first = Rows();
    SendMessageA(Page(), WM_COMMAND, IDM_REFRESH, 0);
    EXPECT_EQ(Rows(), first);
    EXPECT_FALSE(IsRowSelected(List(), 0));
    server->shareStatus = ERROR_ACCESS_DENIED;
    SendMessageA(Page(), WM_COMMAND, IDM_REFRESH, 0);
    EXPECT_EQ(RowCount(List()), 0) << "a failed enumeration leaves the list empty";
}

TEST_F(SharesPageTest, LongNamesAreCutToACell)
{
    server->shares = {{std::wstring(300, L'n'), STYPE_DISKTREE, std::wstring(70000, L'r'), 0, std::wstring(400, L'p')}};
    ShowPage(SharesPageIndex);
    const std::string row = Rows().at(0);
    EXPECT_EQ(row.size(), 255u * 3 + std::string("|Drive |0|").size() + 1);
}

TEST_F(SharesPageTest, TheLayoutPutsRefreshAtTheRightEdgeAndRemoveBeforeIt)
{
    ShowPage(SharesPageIndex);
    SetWindowPos(window, nullptr, 0, 0, 950, 640, SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    GetClientRect(Page(), &client);
    const auto rect = [&](int id) { return RectInPage(Page(), id); };
    EXPECT_EQ(rect(IDM_REFRESH).right, client.right);
    EXPECT_EQ(rect(IDM_REMOVE).right, rect(IDM_REFRESH).left - 5);
    EXPECT_EQ(rect(IDC_SHARES_LIST).bottom, client.bottom);
}
