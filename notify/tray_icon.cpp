#include "notify/tray_icon.h"

#include <shellapi.h>

#include "core/app_state.h"
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
    change.hWnd = appState.mainWindow;
    change.uID = 0;
    change.uFlags = NIF_ICON;
    change.hIcon = icon;
    Shell_NotifyIconA(NIM_MODIFY, &change);
    appState.trayIcon.hIcon = icon;  // the icon showing now
}

}  // namespace

void AddTrayIcon()
{
    NOTIFYICONDATAA& icon = appState.trayIcon;
    icon = {};
    icon.cbSize = kTrayRecordSize;
    icon.hWnd = appState.mainWindow;
    icon.uID = 0;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = WM_TRAY_NOTIFY;
    icon.hIcon = appState.normalIcon;
    CopyText(icon.szTip, kProductTitle);
    Shell_NotifyIconA(NIM_ADD, &icon);
    appState.trayIconAdded = 1;
}

void RemoveTrayIcon()
{
    Shell_NotifyIconA(NIM_DELETE, &appState.trayIcon);
    appState.trayIconAdded = 0;
}

void CALLBACK OnBlinkTick(HWND, UINT, UINT_PTR, DWORD)
{
    const bool blink = GetForegroundWindow() != appState.mainWindow && appState.settings.enabletraynotify &&
                       appState.unseenActivity == 1;
    if (blink) {
        appState.blinkPhase = !appState.blinkPhase;
        SetTrayIcon(appState.blinkPhase ? appState.alertIcon : appState.normalIcon);
    } else if (appState.blinkPhase) {
        appState.blinkPhase = 0;
        SetTrayIcon(appState.normalIcon);
    }
}
