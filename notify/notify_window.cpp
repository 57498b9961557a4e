#include "notify/notify_window.h"

#include <windows.h>
#include <commctrl.h>

#include "core/app_state.h"

namespace {

constexpr int kMaxNotifyLines = 25;

}  // namespace

void AddNotifyLine(const char* text)
{
    if (appState.mainWindowShown)
        return;
    HWND window = appState.notifyWindow;
    HWND list = appState.notifyList;
    if (!appState.settings.enablenotifywindow) {
        InterlockedExchange(&appState.notifyShown, 0);
        if (window)
            ShowWindow(window, SW_HIDE);
        return;
    }
    if (!list)
        return;
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = 0;
    item.pszText = const_cast<char*>(text);
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    while (SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) > kMaxNotifyLines)
        SendMessageA(list, LVM_DELETEITEM, kMaxNotifyLines, 0);
    InterlockedExchange(&appState.notifyShown, 1);
    InterlockedExchange(&appState.notifySeconds, 0);
    if (window)
        ShowWindow(window, SW_SHOW);
}
