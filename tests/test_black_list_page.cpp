#include <windows.h>
#include <commctrl.h>

#include <array>
#include <string>
#include <vector>

#include "windows/black_list_page.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "resources/resource.h"
#include "support/dialog_driver.h"
#include "windows/engine_rounds.h"
#include "support/test_support.h"
#include "windows/list_view.h"
#include "windows/main_window.h"

namespace {

class BlackListPageTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        ShowPage(BlackListPageIndex);
    }
    HWND View() const { return windowState.blackListView; }
    HWND Page() const { return windowState.pages[BlackListPageIndex]; }
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int row = 0; row < RowCount(View()); ++row) {
            std::array<char, kCellCapacity> name{}, time{};
            ReadCell(View(), row, 0, name);
            ReadCell(View(), row, 1, time);
            rows.push_back(std::string(name.data()) + " " + time.data());
        }
        return rows;
    }
    void Refresh() { RefreshBlackListView(ActiveComputerList(engineState.rules)); }
    void Select(int row)
    {
        LVITEMA item{};
        item.stateMask = LVIS_SELECTED;
        item.state = LVIS_SELECTED;
        SendMessageA(View(), LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
    // Opens the add dialog as the Add button does, types `name` and presses OK.
    std::string AddThroughDialog(const char* name, std::string* title)
    {
        std::string message;
        DialogDriver driver([&] {
            HWND dialog = nullptr;
            for (const char* caption : {"Add computer into blacklist", "Add computer into whitelist"})
                if (!dialog)
                    dialog = WaitForDialog(caption, 1500);
            if (!dialog)
                return;
            std::array<char, 64> text{};
            GetWindowTextA(dialog, text.data(), static_cast<int>(text.size()));
            *title = text.data();
            // Typed, as a user would: the box's own limit applies.
            SendDlgItemMessageA(dialog, IDC_NAME_EDIT, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(name));
            PressButton(dialog, IDOK);
            if (HWND box = WaitForMessageBoxOf(dialog)) {
                message = MessageBoxText(box);
                PressButton(box, IDOK);
                WaitUntilGone(box);
                PressButton(dialog, IDCANCEL);
            }
        });
        SendMessageA(Page(), WM_COMMAND, IDM_ADD, 0);
        return message;
    }
};

}  // namespace

TEST_F(BlackListPageTest, ShowsEachEntryWithItsTimeRemaining)
{
    AddComputer(engineState.rules.blacklist, "pc1", kPermanent);
    AddComputer(engineState.rules.blacklist, "pc2", 600);
    AddComputer(engineState.rules.blacklist, "pc3", 599);
    AddComputer(engineState.rules.blacklist, "pc4", 9);
    Refresh();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"\\\\PC1 ~", "\\\\PC2 00:01:00", "\\\\PC3 00:00:59", "\\\\PC4 00:00:00"}));
    EXPECT_EQ(RowData(View(), 0), static_cast<LPARAM>(windowState.blackListGeneration));
}

TEST_F(BlackListPageTest, RowsOfRemovedOrExpiredComputersGoAtTheNextRefreshAndOthersKeepTheirPlace)
{
    AddComputer(engineState.rules.blacklist, "a", kPermanent);
    AddComputer(engineState.rules.blacklist, "b", 1);
    AddComputer(engineState.rules.blacklist, "c", kPermanent);
    Refresh();
    Select(2);
    server->sessions.push_back({L"nobody", L"u"});
    OnBlockTick();  // b expires
    RemoveComputer(engineState.rules.blacklist, "\\\\A");
    AddComputer(engineState.rules.blacklist, "d", kPermanent);  // takes a's free slot
    Refresh();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"\\\\C ~", "\\\\D ~"}));
    EXPECT_TRUE(IsRowSelected(View(), 0)) << "c kept its selection";
}

TEST_F(BlackListPageTest, DuplicatesShowAsTwoRowsThenOneWithTheHigherSlotsTime)
{
    AddComputer(engineState.rules.blacklist, "pc1", 1200);
    AddComputer(engineState.rules.blacklist, "PC1", 6000);
    Refresh();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"\\\\PC1 00:02:00", "\\\\PC1 00:10:00"}));
    Refresh();
    EXPECT_EQ(Rows(), std::vector<std::string>{"\\\\PC1 00:10:00"});
}

TEST_F(BlackListPageTest, NothingChangesWhileThePageIsHidden)
{
    AddComputer(engineState.rules.blacklist, "pc1", kPermanent);
    ShowPage(LogPageIndex);
    const uint32_t generation = windowState.blackListGeneration;
    Refresh();
    EXPECT_EQ(windowState.blackListGeneration, generation);
    EXPECT_EQ(RowCount(View()), 0);
    ShowPage(BlackListPageIndex);
    EXPECT_EQ(Rows(), std::vector<std::string>{"\\\\PC1 ~"});
}

TEST_F(BlackListPageTest, TheRadiosSwitchTheModeAndTheViewFollowsTheActiveList)
{
    AddComputer(engineState.rules.blacklist, "bad", kPermanent);
    AddComputer(engineState.rules.whitelist, "good", kPermanent);
    Refresh();
    EXPECT_EQ(Rows(), std::vector<std::string>{"\\\\BAD ~"});
    CheckDlgButton(Page(), IDC_MODE_BLACKLIST, BST_UNCHECKED);
    CheckDlgButton(Page(), IDC_MODE_WHITELIST, BST_CHECKED);
    SendMessageA(Page(), WM_COMMAND, IDC_MODE_WHITELIST, 0);
    EXPECT_EQ(engineState.rules.blockMode, Whitelist);
    Refresh();
    EXPECT_EQ(Rows(), std::vector<std::string>{"\\\\GOOD ~"});
    SendMessageA(Page(), WM_COMMAND, IDC_MODE_BLACKLIST, 0);
    EXPECT_EQ(engineState.rules.blockMode, Blacklist);
}

TEST_F(BlackListPageTest, DeleteRemovesTheSelectedComputersFromTheActiveList)
{
    for (const char* name : {"a", "b", "c", "d"})
        AddComputer(engineState.rules.blacklist, name, kPermanent);
    Refresh();
    for (int row : {0, 1, 3})
        Select(row);
    NMLVKEYDOWN down{};
    down.hdr.hwndFrom = View();
    down.hdr.idFrom = IDC_BLACKLIST_LIST;
    down.hdr.code = LVN_KEYDOWN;
    down.wVKey = VK_DELETE;
    SendMessageA(Page(), WM_NOTIFY, IDC_BLACKLIST_LIST, reinterpret_cast<LPARAM>(&down));
    EXPECT_EQ(engineState.rules.blacklist.inUse, 1);
    EXPECT_EQ(RowCount(View()), 4) << "the rows go at the next refresh";
    Refresh();
    EXPECT_EQ(Rows(), std::vector<std::string>{"\\\\C ~"});
}

TEST_F(BlackListPageTest, TheAddDialogNamesItsListAndAddsInNormalForm)
{
    std::string title;
    EXPECT_EQ(AddThroughDialog("pc1", &title), "");
    EXPECT_EQ(title, "Add computer into blacklist");
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[0].name.data()), L"\\\\PC1");
    Refresh();
    EXPECT_EQ(Rows(), std::vector<std::string>{"\\\\PC1 ~"});

    engineState.rules.blockMode = Whitelist;
    ShowPage(BlackListPageIndex);
    EXPECT_EQ(AddThroughDialog("laptop", &title), "");
    EXPECT_EQ(title, "Add computer into whitelist");
    EXPECT_EQ(std::wstring(engineState.rules.whitelist[0].name.data()), L"\\\\LAPTOP");
}

TEST_F(BlackListPageTest, AnEmptyNameIsRefusedWithAMessage)
{
    std::string title;
    EXPECT_EQ(AddThroughDialog("", &title), "Please enter valid computer name");
    EXPECT_EQ(engineState.rules.blacklist.inUse, 0);
}

TEST_F(BlackListPageTest, TheAddDialogTakesNoLongerNameThanAnEntryHolds)
{
    std::string title;
    EXPECT_EQ(AddThroughDialog(std::string(200, 'x').c_str(), &title), "");
    ASSERT_EQ(engineState.rules.blacklist.inUse, 1) << "the typed name is held to what fits, so it is added";
    EXPECT_EQ(std::wstring(engineState.rules.blacklist[0].name.data()), L"\\\\" + std::wstring(63, L'X'));
}

TEST_F(BlackListPageTest, TheLayoutKeepsRemoveAtTheRightEdgeAndAddBesideIt)
{
    SetWindowPos(window, nullptr, 0, 0, 950, 640, SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    GetClientRect(Page(), &client);
    const auto rect = [&](int id) { return RectInPage(Page(), id); };
    EXPECT_EQ(rect(IDM_REMOVE).right, client.right);
    EXPECT_EQ(rect(IDM_ADD).right, rect(IDM_REMOVE).left - 5);
    EXPECT_EQ(rect(IDC_BLACKLIST_LIST).right, client.right);
    // The tripped computers' list keeps its height at the bottom, the list takes the rest.
    EXPECT_EQ(rect(IDC_TRIPPED_LIST).bottom, client.bottom);
    EXPECT_EQ(rect(IDC_TRIPPED_LIST).right, client.right);
    EXPECT_LT(rect(IDC_BLACKLIST_LIST).bottom, rect(IDC_TRIPPED_LABEL).top);
    EXPECT_LT(rect(IDC_TRIPPED_LABEL).bottom, rect(IDC_TRIPPED_LIST).top);
    EXPECT_EQ(rect(IDC_RELEASE).right, client.right);
    EXPECT_GT(rect(IDC_BLACKLIST_LIST).bottom - rect(IDC_BLACKLIST_LIST).top, client.bottom / 2);
}

// A tripped row says on how many shares its user is denied, in the list's own column.
TEST_F(BlackListPageTest, ATrippedRowSaysOnHowManySharesItsUserIsDenied)
{
    AddComputerWide(engineState.rules.tripped, L"\\\\PC66", 600, L"mallory");
    AddComputerWide(engineState.rules.tripped, L"\\\\PC9", kPermanent, L"eve");
    engineState.rules.tripped[0].deniedShares = 12;
    engineState.rules.tripped[1].deniedShares = 1;
    RefreshTrippedView();
    HWND view = windowState.trippedView;
    ASSERT_EQ(RowCount(view), 2);
    std::array<char, kCellCapacity> cell{};
    ReadCell(view, FindRowByData(view, 0), 3, cell);
    EXPECT_STREQ(cell.data(), "12 shares");
    ReadCell(view, FindRowByData(view, 1), 3, cell);
    EXPECT_STREQ(cell.data(), "1 share");
    engineState.rules.tripped[0].deniedShares = 0;  // put back
    RefreshTrippedView();
    ReadCell(view, FindRowByData(view, 0), 3, cell);
    EXPECT_STREQ(cell.data(), "");
}
