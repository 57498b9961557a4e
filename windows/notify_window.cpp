#include "windows/notify_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>

#include "core/product.h"
#include "engine/watch/engine_state.h"
#include "resources/resource.h"
#include "windows/update_check.h"
#include "windows/window_state.h"

namespace {

constexpr UINT_PTR kLifetimeTimer = 1;

SIZE WindowSize(HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

void MoveTo(HWND window, POINT at)
{
    SetWindowPos(window, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MoveToAnchor(HWND window)
{
    MoveTo(window, NotifyAnchor(windowState.taskbarRect, WindowSize(window)));
}

void ReadTaskbar()
{
    APPBARDATA taskbar{};
    taskbar.cbSize = sizeof(taskbar);
    if (SHAppBarMessage(ABM_GETTASKBARPOS, &taskbar))
        windowState.taskbarRect = taskbar.rc;
}

void Park(HWND window)
{
    windowState.notifyShown = 0;
    MoveTo(window, kParkedPosition);
}

void InitNotifyWindow(HWND window)
{
    StartUpdateCheck();
    windowState.notifyWindow = window;
    windowState.notifyList = GetDlgItem(window, IDC_NOTIFY_LIST);
    const POINT anchor = NotifyAnchor(windowState.taskbarRect, WindowSize(window));
    SetWindowPos(window, HWND_TOPMOST, anchor.x, anchor.y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    SetTimer(window, kLifetimeTimer, 1000, nullptr);
    AddNotifyLine(kProductTitle);
    // Not shown (the main window is in front): keep the empty window out of sight.
    if (!windowState.notifyShown)
        MoveTo(window, kParkedPosition);
}

void OnNotifyWindowSize(HWND window)
{
    if (!windowState.notifyShown)
        return;
    ReadTaskbar();
    MoveToAnchor(window);
    RECT client{};
    GetClientRect(window, &client);
    SetWindowPos(windowState.notifyList, nullptr, 0, 0, client.right, client.bottom, SWP_NOMOVE | SWP_NOZORDER);
}

void OnLifetimeTick(HWND window)
{
    if (++windowState.notifySeconds != windowState.notifyLifetime)
        return;
    SendMessageA(windowState.notifyList, LVM_DELETEALLITEMS, 0, 0);
    Park(window);
}

void OnNotifyListNotify(HWND window, const NMHDR* header)
{
    if (header->code == NM_RCLICK) {
        windowState.unseenActivity = 0;
        Park(window);
    } else if (header->code == NM_CLICK) {
        // The pages belong to the main window's thread: it does the rest.
        PostMessageA(windowState.mainWindow, WM_NOTIFY_WINDOW_CLICKED, 0, 0);
        Park(window);
    }
}

void OnNotifyLinesPosted(WPARAM slot)
{
    NotifyHandoff& handoff = windowState.notifyHandoff;
    if (!IsPosted(handoff.states, slot))
        return;
    ShowNotifyLines(handoff.slots[slot]);
    FreeSlot(handoff.states, slot);
}

}  // namespace

POINT NotifyAnchor(const RECT& taskbar, SIZE window)
{
    return {taskbar.right - window.cx, taskbar.top - window.cy};
}

HANDLE StartNotifyWindowThread(DWORD* threadId)
{
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, NotifyWindowThread, nullptr, 0, &id);
    if (threadId)
        *threadId = id;
    return thread;
}

DWORD WINAPI NotifyWindowThread(LPVOID)
{
    DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_NOTIFY), nullptr, NotifyWindowProc, 0);
    return 0;
}

void ShowNotifyLines(const NotifyLines& lines)
{
    if (windowState.mainWindowShown || lines.added == 0)
        return;
    HWND window = windowState.notifyWindow;
    HWND list = windowState.notifyList;
    if (!engineState.settings.enablenotifywindow) {
        windowState.notifyShown = 0;
        if (window)
            ShowWindow(window, SW_HIDE);
        return;
    }
    if (!window || !list)
        return;
    // The lifetime starts again before the lines go in, so that a lifetime tick
    // arriving meanwhile cannot clear the new lines with the old ones.
    windowState.notifySeconds = 0;
    const uint32_t kept = std::min<uint32_t>(lines.added, static_cast<uint32_t>(lines.ring.size()));
    for (uint32_t k = lines.added - kept; k < lines.added; ++k) {
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = 0;
        item.pszText = const_cast<char*>(lines.ring[k % lines.ring.size()].data());
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    while (SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) > kMaxNotifyLines)
        SendMessageA(list, LVM_DELETEITEM, kMaxNotifyLines, 0);
    RECT row{};
    row.left = LVIR_BOUNDS;
    SendMessageA(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
    windowState.notifyShown = 1;
    ShowWindow(window, SW_SHOW);
    RECT client{};
    GetClientRect(window, &client);
    const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    const SIZE before = WindowSize(window);
    SetWindowPos(window, nullptr, 0, 0, client.right, (count + 2) * (row.bottom - row.top),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The same size brings no resize and so no move: a parked window must come back all the same.
    const SIZE after = WindowSize(window);
    if (after.cx == before.cx && after.cy == before.cy)
        MoveToAnchor(window);
}

void AddNotifyLine(const char* text)
{
    NotifyLines lines;
    lines.added = 0;
    AddToNotifyLines(lines, text);
    ShowNotifyLines(lines);
}

void PostNotifyLines(NotifyLines& lines)
{
    NotifyHandoff& handoff = windowState.notifyHandoff;
    const uint32_t kept = std::min<uint32_t>(lines.added, static_cast<uint32_t>(lines.ring.size()));
    for (uint32_t k = lines.added - kept; k < lines.added; ++k)
        AddToNotifyLines(handoff.waiting, lines.ring[k % lines.ring.size()].data());
    lines.added = 0;
    HWND window = windowState.notifyWindow;
    if (handoff.waiting.added == 0 || !window)
        return;
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        ShowNotifyLines(handoff.waiting);  // the window is this thread's own: nothing to hand over
        handoff.waiting.added = 0;
        return;
    }
    const int claimed = ClaimSlot(handoff.states);
    if (claimed < 0)
        return;  // both slots on their way: the lines go with the next hand-over
    const auto slot = static_cast<std::size_t>(claimed);
    handoff.slots[slot] = handoff.waiting;
    PublishSlot(handoff.states, slot);
    if (!PostMessageA(window, WM_NOTIFY_LINES, slot, 0)) {
        FreeSlot(handoff.states, slot);
        return;
    }
    handoff.waiting.added = 0;
}

INT_PTR CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: InitNotifyWindow(window); break;
    case WM_SIZE: OnNotifyWindowSize(window); break;
    case WM_TIMER: OnLifetimeTick(window); break;
    case WM_NOTIFY: OnNotifyListNotify(window, reinterpret_cast<const NMHDR*>(lParam)); break;
    case WM_NOTIFY_LINES: OnNotifyLinesPosted(wParam); break;
    }
    return 0;
}
