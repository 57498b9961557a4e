#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <array>
#include <string>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "windows/notify_window.h"
#include "support/handoff_stress.h"
#include "support/test_support.h"
#include "windows/main_window.h"

namespace {

class NotifyWindowTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        for (int i = 0; i < 200 && !windowState.notifyList; ++i)
            PumpMessages(10);
        ASSERT_NE(windowState.notifyWindow, nullptr);
        ShowWindow(window, SW_HIDE);
        SendMessageA(List(), LVM_DELETEALLITEMS, 0, 0);
    }
    HWND Notify() const { return windowState.notifyWindow; }
    HWND List() const { return windowState.notifyList; }
    int Lines() const { return static_cast<int>(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0)); }
    std::string Line(int index) const
    {
        std::array<char, 256> text{};
        LVITEMA item{};
        item.pszText = text.data();
        item.cchTextMax = static_cast<int>(text.size());
        SendMessageA(List(), LVM_GETITEMTEXTA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
        return text.data();
    }
    int RowHeight() const
    {
        RECT row{};
        row.left = LVIR_BOUNDS;
        SendMessageA(List(), LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
        return row.bottom - row.top;
    }
    RECT Frame() const
    {
        RECT rect{};
        GetWindowRect(Notify(), &rect);
        return rect;
    }
    bool AtAnchor() const
    {
        const RECT frame = Frame();
        return frame.right == windowState.taskbarRect.right && frame.bottom == windowState.taskbarRect.top;
    }
    bool Parked() const { return Frame().left == kParkedPosition.x && Frame().top == kParkedPosition.y; }
    void Add(int count, int first = 1)
    {
        for (int i = first; i < first + count; ++i)
            AddNotifyLine(("line " + std::to_string(i)).c_str());
    }
    void SendListNotify(UINT code)
    {
        NMHDR header{List(), 1000, code};
        SendMessageA(Notify(), WM_NOTIFY, 1000, reinterpret_cast<LPARAM>(&header));
    }
    void RunOutLifetime()
    {
        while (windowState.notifySeconds < windowState.notifyLifetime)
            SendMessageA(Notify(), WM_TIMER, 1, 0);
    }
};

}  // namespace

TEST_F(NotifyWindowTest, GrowsARowPerLineNewestFirstAtTheTaskbarsCorner)
{
    Add(3);
    EXPECT_EQ(Lines(), 3);
    EXPECT_EQ(Line(0), "line 3");
    EXPECT_EQ(Line(2), "line 1");
    EXPECT_EQ(windowState.notifyShown, 1);
    EXPECT_TRUE(IsWindowVisible(Notify()));
    EXPECT_EQ(Frame().bottom - Frame().top, 5 * RowHeight());
    EXPECT_TRUE(AtAnchor());
    EXPECT_EQ(GetWindowLongA(Notify(), GWL_EXSTYLE) & WS_EX_TOPMOST, WS_EX_TOPMOST);
    RECT list{};
    GetWindowRect(List(), &list);
    EXPECT_EQ(list.bottom - list.top, Frame().bottom - Frame().top) << "the list fills the window";
}

TEST_F(NotifyWindowTest, The26thLinePushesTheOldestOut)
{
    Add(26);
    EXPECT_EQ(Lines(), 25);
    EXPECT_EQ(Line(0), "line 26");
    EXPECT_EQ(Line(24), "line 2");
    EXPECT_EQ(Frame().bottom - Frame().top, 27 * RowHeight());
}

TEST_F(NotifyWindowTest, LinesAreHeldBackWhileTheMainWindowIsShown)
{
    ShowWindow(window, SW_SHOW);
    Add(2);
    EXPECT_EQ(Lines(), 0);
    ShowWindow(window, SW_HIDE);
    Add(1, 3);
    EXPECT_EQ(Lines(), 1);
    EXPECT_EQ(Line(0), "line 3") << "what arrived while shown never shows later";
}

TEST_F(NotifyWindowTest, TheLifetimeParksAndEmptiesIt)
{
    Add(2);
    RunOutLifetime();
    EXPECT_EQ(Lines(), 0);
    EXPECT_TRUE(Parked());
    EXPECT_EQ(windowState.notifyShown, 0);
    Add(1);
    EXPECT_EQ(windowState.notifySeconds, 0) << "a line starts the lifetime again";
    EXPECT_TRUE(AtAnchor());
}

TEST_F(NotifyWindowTest, ARightClickDismissesItButTheLinesStay)
{
    windowState.unseenActivity = 1;
    Add(3);
    SendListNotify(NM_RCLICK);
    EXPECT_TRUE(Parked());
    EXPECT_EQ(windowState.notifyShown, 0);
    EXPECT_EQ(windowState.unseenActivity, 0);
    EXPECT_EQ(Lines(), 3);
    Add(1, 4);
    EXPECT_TRUE(AtAnchor());
    EXPECT_EQ(Lines(), 4) << "the earlier lines come back with the new one";
}

TEST_F(NotifyWindowTest, AFullWindowThatWasDismissedComesBackAtTheNextLine)
{
    Add(25);
    SendListNotify(NM_RCLICK);
    ASSERT_TRUE(Parked());
    Add(1, 26);  // 25 lines before and after: the size does not change
    EXPECT_TRUE(AtAnchor());
    EXPECT_EQ(Lines(), 25);
}

TEST_F(NotifyWindowTest, TurnedOffItHidesInstead)
{
    Add(1);
    engineState.settings.enablenotifywindow = 0;
    Add(1, 2);
    EXPECT_FALSE(IsWindowVisible(Notify()));
    EXPECT_EQ(windowState.notifyShown, 0);
    EXPECT_EQ(Lines(), 1);
}

TEST_F(NotifyWindowTest, AClickOpensTheMonitoringPageOnTheMainWindowsThread)
{
    ShowPage(LogPageIndex);
    windowState.unseenActivity = 1;
    Add(1);
    SendListNotify(NM_CLICK);
    EXPECT_TRUE(Parked());
    EXPECT_EQ(windowState.currentPage, windowState.pages[LogPageIndex]) << "nothing happens on the notify window's thread";
    PumpMessages(100);
    EXPECT_TRUE(IsShown(window));
    EXPECT_EQ(windowState.currentPage, windowState.pages[MonitoringPage]);
    EXPECT_EQ(windowState.unseenActivity, 0);
}

TEST(NotifyAnchor, TheBottomRightCornerTouchesTheTaskbarsTopRight)
{
    const POINT at = NotifyAnchor(RECT{0, 770, 1280, 800}, SIZE{400, 120});
    EXPECT_EQ(at.x, 880);
    EXPECT_EQ(at.y, 650);
    const POINT top = NotifyAnchor(RECT{0, 0, 1280, 30}, SIZE{400, 120});
    EXPECT_LT(top.y, 0) << "a taskbar at the top puts it above the screen";
}

TEST(NotifyHandoff, TheNotifyWindowsLinesArriveOnceEachAndWhole)
{
    static HandoffSlots<kNotifySlots> slots;
    static std::array<NotifyLines, kNotifySlots> lines;
    uint32_t torn = 0;
    const auto seen = handoff_stress::PassThroughSlots(
        slots, lines, 250'000,
        [](NotifyLines& batch, uint32_t number) {
            batch.added = 0;
            std::array<char, 16> text{};
            FormatText(text, "%u", number);
            AddToNotifyLines(batch, text.data());
            AddToNotifyLines(batch, text.data());
        },
        [](const NotifyLines& batch) -> int64_t {
            if (batch.added != 2 || strcmp(batch.ring[0].data(), batch.ring[1].data()) != 0)
                return -1;
            return ParseLeadingInt(batch.ring[0].data());
        },
        &torn);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(handoff_stress::CountNot(seen, 1), 0u) << "line batches lost or seen twice";
}
