// The windows' state: handles, menus, icons, timers and what each page shows. One
// record for the life of the process, zero-filled at start and never freed. The
// main window's thread writes it, but for the fields marked as the notify window's.
// The engine's state (engine/watch/engine_state.h) holds no window handle.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "core/paths.h"
#include "engine/watch/list_snapshots.h"
#include "engine/watch/server_watch.h"
#include "core/reserved_store.h"
#include "windows/notify_lines.h"

// The shares a Shares page refresh listed, row by row, with their names as the server gave them.
constexpr std::size_t kMaxShareRows = 4096;
struct ShareNames {
    std::size_t count;
    std::array<const wchar_t*, kMaxShareRows> names;
    TextArena texts;
};

enum PageIndex : int {
    MonitoringPage = 0,
    BlackListPageIndex = 1,
    SharesPageIndex = 2,
    LogPageIndex = 3,
    HistoryPageIndex = 4,
};
constexpr int kPageCount = 5;

struct WindowState {
    HINSTANCE instance;
    char commandChar;
    PathText helpPath;

    HWND mainWindow;
    std::array<HWND, kPageCount> pages;
    HWND currentPage;
    POINT pageOrigin;
    HWND navList;
    HIMAGELIST navImages;
    std::atomic<int32_t> mainWindowShown;  // read by the notify window's thread

    // Context menus, loaded once: the first popup of each menu resource.
    HMENU sessionsMenu;
    HMENU filesMenu;
    HMENU blackListMenu;
    HMENU sharesMenu;
    HMENU trayMenu;
    HMENU exportMenu;
    HMENU historyMenu;
    HMENU tripMenu;  // a trip's row on the Black list page, its line on the Log page

    // The thread timers, kept so that a test can stop them; the program never does.
    UINT_PTR pollTimer;
    UINT_PTR blockTimer;
    UINT_PTR blinkTimer;
    UINT_PTR deliveryTimer;

    // The server the Monitoring and Shares pages show.
    ServerId shownServer;
    ServerId shownSharesServer;
    std::array<ULONGLONG, kMaxRemoteServers> lastListRefresh;  // of each server's sessions list

    HWND sessionsList;  // the Monitoring page's two lists and what they show
    HWND filesList;
    SessionSnapshot sessionsSnapshot;
    FileSnapshot filesSnapshot;
    uint32_t sessionsGeneration;
    uint32_t openFilesGeneration;
    int32_t accessCheckArmed;
    int32_t autoRefresh;
    HWND sharesList;
    ShareNames shareNames;
    HWND blackListView;
    HWND trippedView;
    uint32_t blackListGeneration;
    int32_t addTargetsWhitelist;

    // The protection service watches and this window shows it (decided at start-up),
    // and whether its pipe is up now.
    int32_t serviceMode;
    std::atomic<int32_t> serviceConnected;

    HWND logPageEdit;
    int32_t logViewBehind;  // lines came while the Log page was out of sight

    NOTIFYICONDATAA trayIcon;
    HICON normalIcon;
    HICON alertIcon;
    int32_t trayIconAdded;
    std::atomic<int32_t> unseenActivity;  // also cleared by the notify window's thread
    int32_t blinkPhase;
    HANDLE soundAlertEvent;

    DWORD notifyThreadId;
    std::atomic<HWND> notifyWindow;  // written by the notify window's thread as it starts
    HWND notifyList;                 // the notify window's thread's
    int32_t notifyLifetime;
    std::atomic<int32_t> notifyShown;  // the notify window's thread writes them
    std::atomic<int32_t> notifySeconds;
    NotifyHandoff notifyHandoff;
    RECT taskbarRect;
};

extern WindowState windowState;
