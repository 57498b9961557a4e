#include "windows/tray_icon.h"

#include <shellapi.h>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/product.h"
#include "core/text.h"
#include "resources/resource.h"

namespace {

// The record's first form, as every version of the shell reads it.
constexpr DWORD kTrayRecordSize = NOTIFYICONDATAA_V1_SIZE;

void SetTrayIcon(HICON icon)
{
    NOTIFYICONDATAA change{};
    change.cbSize = kTrayRecordSize;
    change.hWnd = windowState.mainWindow;
    change.uID = 0;
    change.uFlags = NIF_ICON;
    change.hIcon = icon;
    Shell_NotifyIconA(NIM_MODIFY, &change);
    windowState.trayIcon.hIcon = icon;  // the icon showing now
}

}  // namespace

void AddTrayIcon()
{
    NOTIFYICONDATAA& icon = windowState.trayIcon;
    icon = {};
    icon.cbSize = kTrayRecordSize;
    icon.hWnd = windowState.mainWindow;
    icon.uID = 0;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = WM_TRAY_NOTIFY;
    icon.hIcon = windowState.normalIcon;
    CopyText(icon.szTip, kProductTitle);
    Shell_NotifyIconA(NIM_ADD, &icon);
    windowState.trayIconAdded = 1;
}

void SetTrayTip(const char* tip)
{
    NOTIFYICONDATAA& icon = windowState.trayIcon;
    CopyText(icon.szTip, tip);
    if (!windowState.trayIconAdded)
        return;
    NOTIFYICONDATAA change{};
    change.cbSize = kTrayRecordSize;
    change.hWnd = windowState.mainWindow;
    change.uID = 0;
    change.uFlags = NIF_TIP;
    CopyText(change.szTip, tip);
    Shell_NotifyIconA(NIM_MODIFY, &change);
}

void RemoveTrayIcon()
{
    Shell_NotifyIconA(NIM_DELETE, &windowState.trayIcon);
    windowState.trayIconAdded = 0;
}

void CALLBACK OnBlinkTick(HWND, UINT, UINT_PTR, DWORD)
{
    const bool blink = GetForegroundWindow() != windowState.mainWindow && engineState.settings.enabletraynotify &&
                       windowState.unseenActivity == 1;
    if (blink) {
        windowState.blinkPhase = !windowState.blinkPhase;
        SetTrayIcon(windowState.blinkPhase ? windowState.alertIcon : windowState.normalIcon);
    } else if (windowState.blinkPhase) {
        windowState.blinkPhase = 0;
        SetTrayIcon(windowState.normalIcon);
    }
}
