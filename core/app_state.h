// The one process-wide record. Zero-filled at process start and never freed; the
// GUI thread is its only writer except where a field's comment says otherwise.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "blocking/computer_list.h"
#include "blocking/tripwires.h"
#include "core/paths.h"
#include "core/settings.h"
#include "monitor/event_log.h"
#include "monitor/activity_delivery.h"
#include "monitor/activity_poller.h"
#include "monitor/log_page.h"
#include "monitor/monitoring_lists.h"
#include "monitor/remote_servers.h"
#include "monitor/session_memory.h"
#include "monitor/shares_page.h"
#include "notify/notify_window.h"


// The CSV records of this run: 2 MiB less 2 bytes, terminator included.
constexpr std::size_t kRunCsvBufferSize = 2097150;

struct AppState {
    Settings settings;
    int32_t blockMode;  // a BlockMode; any non-zero value enforces the whitelist
    ComputerList blacklist;
    ComputerList whitelist;
    int32_t blacklistInUse;  // in-use slots of the blacklist, always
    ULONGLONG lastEnforcement;    // when the list in force was last enforced
    ULONGLONG blockTicksCounted;  // the block ticks counted down reach this moment
    TripwireRules tripwireRules;
    BurstCounter burstCounter;
    TrippedList tripped;

    PathText settingsPath;
    PathText logFolder;  // ends with a backslash
    PathText helpPath;
    char commandChar;
    HINSTANCE instance;

    HWND mainWindow;
    std::array<HWND, 4> pages;
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

    // The three thread timers, kept so that a test can stop them; the program never does.
    UINT_PTR pollTimer;
    UINT_PTR blockTimer;
    UINT_PTR blinkTimer;

    char* RunCsvBuffer;        // kRunCsvBufferSize bytes, one terminated text
    std::size_t runCsvLength;  // length of that text, so appends need no scan

    // The file servers watched besides this computer, by place; allocated when first used.
    std::array<RemoteServer*, kMaxRemoteServers> remote;
    // The server the Monitoring and Shares pages show: 0 this computer, n the watched server in place n - 1.
    int32_t shownServer;
    int32_t shownSharesServer;

    HWND sessionsList;  // the Monitoring page's two lists and what they show
    HWND filesList;
    SessionSnapshot sessionsSnapshot;
    FileSnapshot filesSnapshot;
    HWND sharesList;
    ShareNames shareNames;
    HWND blackListView;
    HWND trippedView;
    uint32_t blackListGeneration;
    int32_t addTargetsWhitelist;

    int32_t accessCheckArmed;
    int32_t autoRefresh;
    uint32_t sessionsGeneration;
    uint32_t openFilesGeneration;

    ActivityBatch activityBatch;
    PendingFileEvents pendingFileEvents;
    UINT_PTR deliveryTimer;
    uint32_t highestReportedFileId;
    int32_t pollTickCount;
    SessionScanMemory sessionMemory;
    FileScanMemory fileMemory;

    DayLogs logs;  // this computer's daily logs, in logFolder
    HWND logPageEdit;
    LogPageText logPage;

    NOTIFYICONDATAA trayIcon;
    HICON normalIcon;
    HICON alertIcon;
    int32_t trayIconAdded;
    std::atomic<int32_t> unseenActivity;  // also cleared by the notify window's thread
    int32_t blinkPhase;
    HANDLE soundAlertEvent;
    DWORD notifyThreadId;
    std::atomic<HWND> notifyWindow;  // written by the notify window's thread as it starts
    HWND notifyList;
    int32_t notifyLifetime;
    std::atomic<int32_t> notifyShown;    // the notify window's thread writes them
    std::atomic<int32_t> notifySeconds;
    NotifyHandoff notifyHandoff;
    RECT taskbarRect;
};

extern AppState appState;
