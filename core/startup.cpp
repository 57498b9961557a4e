#include "core/startup.h"

#include <shlobj.h>

#include <array>
#include <string_view>

#include "blocking/computer_list.h"
#include "blocking/tripwires.h"
#include "core/app_state.h"
#include "core/settings.h"
#include "core/text.h"
#include "monitor/activity_poller.h"
#include "monitor/event_log.h"
#include "monitor/remote_servers.h"
#include "monitor/server_api.h"
#include "notify/notify_window.h"
#include "notify/sound_alert.h"
#include "notify/tray_icon.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

constexpr UINT kPollPeriod = 200;
constexpr UINT kBlinkPeriod = 1000;
constexpr uint32_t kFirstOpenFilesGeneration = 0x0FFFFFFF;

void RecordPageOrigin(HWND window)
{
    RECT marker{};
    GetWindowRect(GetDlgItem(window, IDC_PAGE_ORIGIN), &marker);
    appState.pageOrigin = {marker.left, marker.top};
    ScreenToClient(window, &appState.pageOrigin);
}

}  // namespace

char CommandCharOf(const char* arguments)
{
    if (!arguments)
        return 0;
    while (*arguments == ' ' || *arguments == '\t')
        ++arguments;
    return *arguments;
}

int RunProgram(HINSTANCE instance, const char* arguments)
{
    AllocateRunCsvBuffer();
    CreateMutexA(nullptr, FALSE, kMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    appState.accessCheckArmed = 1;
    appState.commandChar = CommandCharOf(arguments);
    InitCommonControls();
    appState.instance = instance;
    appState.notifyLifetime = 4;
    LoadServerLibrary();
    BuildHelpPath();
    appState.blacklist = {};
    appState.blacklistInUse = 0;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(101), nullptr, MainWindowProc, 0);
    ExitProgram();
}

namespace {

// The steps of the main window's creation, each named for what it starts.

void StartSoundAlert(HWND window)
{
    // The hot key and the tray icon below belong to the main window, so it is known from the start.
    appState.mainWindow = window;
    CreateSoundAlertEvent();
    StartSoundAlertWorker();
    appState.notifyShown = 0;
    appState.mainWindowShown = 0;
}

void TitleAndFolders(HWND window)
{
    SetWindowTextA(window, kProductTitle);
    ResolveFolders();
}

void ListsAndSettings(HWND)
{
    LoadComputerLists();
    LoadTripwireRules(appState.tripwireRules);
    LoadTrippedComputers();
    ReadMainSettings(&appState.settings);
    SetRunAtStartup(ReadSetting(kLoadOnStartupKey));
    appState.blockMode = ReadSetting(kBlockModeKey);
}

void TrayIconAndHotKey(HWND)
{
    appState.normalIcon = LoadIconA(appState.instance, MAKEINTRESOURCEA(IDI_NORMAL));
    appState.alertIcon = LoadIconA(appState.instance, MAKEINTRESOURCEA(IDI_ALERT));
    AddTrayIcon();
    ApplyHotKey(ReadHotKeySetting());
}

void NotifyWindow(HWND)
{
    APPBARDATA taskbar{};
    taskbar.cbSize = sizeof(taskbar);
    SHAppBarMessage(ABM_GETTASKBARPOS, &taskbar);
    appState.taskbarRect = taskbar.rc;
    if (HANDLE thread = StartNotifyWindowThread(&appState.notifyThreadId))
        CloseHandle(thread);
}

void MenusAndLogs(HWND window)
{
    appState.autoRefresh = 0;
    appState.openFilesGeneration = kFirstOpenFilesGeneration;
    LoadContextMenus();
    if (appState.settings.savelogs == 1) {  // a hand-edited 2 is not "on" here
        OpenTextLog();
        OpenCsvLog();
    }
    appState.highestReportedFileId = 0;
    appState.mainWindow = window;
    appState.pollTickCount = 0;
}

void NavigationAndServer(HWND window)
{
    RecordPageOrigin(window);
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appState.normalIcon));
    BuildNavigationBar(window);
    ResolveServerEnumerations();
    ReserveSnapshot(appState.sessionsSnapshot);
    ReserveSnapshot(appState.filesSnapshot);
}

void Timers(HWND)
{
    StartActivityPoller();
    appState.pollTimer = SetTimer(nullptr, 0, kPollPeriod, OnPollTick);
    appState.blockTimer = SetTimer(nullptr, 0, kBlockTickMs, OnBlockTick);
    appState.unseenActivity = 0;
    appState.blinkPhase = 0;
    appState.blinkTimer = SetTimer(nullptr, 0, kBlinkPeriod, OnBlinkTick);
}

void PagesAndFirstRefresh(HWND window)
{
    CreatePages(window);
    ShowPage(MonitoringPage);
}

void WatchedServers(HWND)
{
    ServerList list{};
    LoadServerList(list);
    WatchServers(list);
}

void SizeAndStartHidden(HWND window)
{
    SetWindowPos(window, nullptr, 0, 0, kMainWindowWidth, kMainWindowHeight, SWP_NOMOVE | SWP_NOZORDER);
    if (appState.commandChar == 'h')
        SetTimer(window, kStartHiddenTimer, 10, nullptr);
}

constexpr std::array<StartUpStep, 11> kStartUpSequence = {{
    {"sound alert worker", StartSoundAlert},
    {"title and folders", TitleAndFolders},
    {"computer lists and settings", ListsAndSettings},
    {"tray icon and hot key", TrayIconAndHotKey},
    {"notify window", NotifyWindow},
    {"context menus and the day's logs", MenusAndLogs},
    {"navigation bar and server", NavigationAndServer},
    {"timers", Timers},
    {"pages and the first refresh", PagesAndFirstRefresh},
    {"servers watched besides this computer", WatchedServers},
    {"size and start-hidden", SizeAndStartHidden},
}};

}  // namespace

std::span<const StartUpStep> StartUpSequence()
{
    return kStartUpSequence;
}

void RunMainWindowStartUp(HWND window)
{
    for (const StartUpStep& step : kStartUpSequence)
        step.run(window);
}

bool FormatRunCommand(std::span<char> text)
{
    std::array<char, kModulePathCapacity> path{};
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return false;  // a cut path would start some other program at logon
    // Quoted, so that a path with blanks in it names this program and nothing else.
    FormatText(text, "\"%s\" h", path.data());
    return true;
}

void SetRunAtStartup(int enable)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (enable) {
        std::array<char, kModulePathCapacity + 8> command{};
        if (FormatRunCommand(command))
            RegSetValueExA(key, kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.data()),
                           static_cast<DWORD>(strlen(command.data()) + 1));
    } else {
        RegDeleteValueA(key, kRunValueName);
    }
    RegCloseKey(key);
}

bool DecodeHotKey(int value, UINT* modifiers, UINT* virtualKey)
{
    const UINT flags = (static_cast<UINT>(value) >> 8) & 0xFF;
    *virtualKey = static_cast<UINT>(value) & 0xFF;
    *modifiers = 0;
    if (flags & HOTKEYF_ALT)
        *modifiers |= MOD_ALT;
    if (flags & HOTKEYF_CONTROL)
        *modifiers |= MOD_CONTROL;
    if (flags & HOTKEYF_EXT)
        *modifiers |= MOD_WIN;
    if (flags & HOTKEYF_SHIFT)
        *modifiers |= MOD_SHIFT;
    return *virtualKey != 0;
}

void ApplyHotKey(int value)
{
    UnregisterHotKey(appState.mainWindow, kHotKeyId);
    UINT modifiers = 0, virtualKey = 0;
    if (value != 0 && DecodeHotKey(value, &modifiers, &virtualKey))
        RegisterHotKey(appState.mainWindow, kHotKeyId, modifiers, virtualKey);
}

void PrepareExit()
{
    RemoveTrayIcon();
    SaveComputerLists();
    FinishDelivery();
}

void ExitProgram()
{
    PrepareExit();
    ExitProcess(0);
}
