// The one process-wide record. Zero-filled at process start and never freed; the
// GUI thread is its only writer except where a field's comment says otherwise.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <array>
#include <cstdint>

#include "blocking/computer_list.h"
#include "core/settings.h"

constexpr std::size_t kPathCapacity = 520;
using PathText = std::array<char, kPathCapacity>;

// The CSV records of this run: 2 MiB less 2 bytes, terminator included.
constexpr std::size_t kRunCsvBufferSize = 2097150;

// Memory of the previous once-a-second session scan: one key per (client, user).
constexpr std::size_t kSessionMemoryCapacity = 16384;


struct SessionScanMemory {
    ULONGLONG previousScanStart;  // milliseconds, taken before the previous enumeration (or start-up)
    std::size_t count;
    std::array<uint64_t, kSessionMemoryCapacity> keys;  // sorted
    std::array<uint64_t, kSessionMemoryCapacity> scratch;
};

struct AppState {
    Settings settings;
    int32_t blockMode;  // a BlockMode; any non-zero value enforces the whitelist
    ComputerList blacklist;
    ComputerList whitelist;
    int32_t blacklistInUse;  // in-use slots of the blacklist, always

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
    volatile LONG mainWindowShown;  // read by the notify window's thread

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

    HWND sessionsList;  // the Monitoring page's two lists
    HWND filesList;
    HWND sharesList;
    HWND blackListView;
    uint32_t blackListGeneration;
    int32_t addTargetsWhitelist;

    int32_t accessCheckArmed;
    int32_t autoRefresh;
    uint32_t sessionsGeneration;
    uint32_t openFilesGeneration;

    uint32_t highestReportedFileId;
    int32_t pollTickCount;
    SessionScanMemory sessionMemory;

    HANDLE textLogFile;
    HANDLE csvLogFile;
    SYSTEMTIME textLogDay;
    SYSTEMTIME csvLogDay;
    HWND logPageEdit;

    NOTIFYICONDATAA trayIcon;
    HICON normalIcon;
    HICON alertIcon;
    int32_t trayIconAdded;
    volatile LONG unseenActivity;  // also cleared by the notify window's thread
    int32_t blinkPhase;
    HANDLE soundAlertEvent;
    DWORD notifyThreadId;
    HWND notifyWindow;
    HWND notifyList;
    int32_t notifyLifetime;
    volatile LONG notifyShown;
    volatile LONG notifySeconds;
    RECT taskbarRect;
};

extern AppState appState;
