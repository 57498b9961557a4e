#include "app/startup.h"

#include <commctrl.h>
#include <shellapi.h>

#include <array>

#include "core/event_log.h"
#include "core/clock.h"
#include "core/product.h"
#include "core/server_api.h"
#include "core/settings.h"
#include "core/text.h"
#include "app/service_files.h"
#include "engine/watch/day_logs.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarding_control.h"
#include "engine/history/history_store.h"
#include "engine/watch/run_records.h"
#include "engine/watch/server_list.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/share_denies.h"
#include "engine/watch/trips.h"
#include "resources/resource.h"
#include "rules/block_rules.h"
#include "windows/engine_rounds.h"
#include "windows/exit_program.h"
#include "windows/main_window.h"
#include "windows/notify_window.h"
#include "windows/server_choice.h"
#include "windows/service_client.h"
#include "windows/sound_alert.h"
#include "windows/start_options.h"
#include "windows/tray_icon.h"
#include "windows/window_state.h"

namespace {

constexpr uint32_t kFirstOpenFilesGeneration = 0x0FFFFFFF;
constexpr int32_t kNotifyLifetimeSeconds = 4;

void RecordPageOrigin(HWND window)
{
    RECT marker{};
    GetWindowRect(GetDlgItem(window, IDC_PAGE_ORIGIN), &marker);
    windowState.pageOrigin = {marker.left, marker.top};
    ScreenToClient(window, &windowState.pageOrigin);
}

void BuildHelpPath()
{
    FormatText(windowState.helpPath, "%shelp.chm", ProgramFolderPath().data());
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
    AllocateRunRecords(engineState.run);
    CreateMutexA(nullptr, FALSE, kMutexName);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    windowState.accessCheckArmed = 1;
    windowState.commandChar = CommandCharOf(arguments);
    InitCommonControls();
    windowState.instance = instance;
    windowState.notifyLifetime = kNotifyLifetimeSeconds;
    LoadServerLibrary();
    BuildHelpPath();
    engineState.rules.blacklist = {};
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainWindowProc,
                    reinterpret_cast<LPARAM>(RunMainWindowStartUp));
    ExitProgram();
}

void ResolveFolders()
{
    const PathText folder = UserFilesFolder();
    PathText settingsFile{};
    FormatText(settingsFile, "%s\\quorvel.ini", folder.data());
    UseSettingsFile(settingsFile.data());
    FormatText(engineState.logFolder, "%s\\quorvel_logs\\", folder.data());
    CreateDirectoryA(engineState.logFolder.data(), nullptr);
    engineState.local.logs.folder = &engineState.logFolder;
}

namespace {

// The steps of the main window's creation, each named for what it starts.

void StartSoundAlert(HWND window)
{
    // The hot key and the tray icon below belong to the main window, so it is known from the start.
    windowState.mainWindow = window;
    CreateSoundAlertEvent();
    StartSoundAlertWorker();
    windowState.notifyShown = 0;
    windowState.mainWindowShown = 0;
}

void TitleAndFolders(HWND window)
{
    SetWindowTextA(window, kProductTitle);
    ResolveFolders();
}

// With the protection service running, this window shows the service's watch and
// watches nothing itself; without it, it watches as it always has.
void EngineOrService(HWND)
{
    windowState.serviceMode = ProtectionServiceRunning() ? 1 : 0;
}

void ListsAndSettings(HWND)
{
    if (!windowState.serviceMode)  // else the service's, when it tells them
        LoadBlockRules(engineState.rules);
    ReadMainSettings(&engineState.settings);
    SetRunAtStartup(ReadSetting(kLoadOnStartupKey));
}

void TrayIconAndHotKey(HWND)
{
    windowState.normalIcon = LoadIconA(windowState.instance, MAKEINTRESOURCEA(IDI_NORMAL));
    windowState.alertIcon = LoadIconA(windowState.instance, MAKEINTRESOURCEA(IDI_ALERT));
    AddTrayIcon();
    ApplyHotKey(ReadHotKeySetting());
}

void NotifyWindow(HWND)
{
    APPBARDATA taskbar{};
    taskbar.cbSize = sizeof(taskbar);
    SHAppBarMessage(ABM_GETTASKBARPOS, &taskbar);
    windowState.taskbarRect = taskbar.rc;
    if (HANDLE thread = StartNotifyWindowThread(&windowState.notifyThreadId))
        CloseHandle(thread);
}

void MenusAndLogs(HWND window)
{
    windowState.autoRefresh = 0;
    windowState.openFilesGeneration = kFirstOpenFilesGeneration;
    LoadContextMenus();
    if (engineState.settings.savelogs == 1 && !windowState.serviceMode)  // a hand-edited 2 is not "on" here
        OpenDayLogs(engineState.local.logs, LocalTimeNow());
    windowState.mainWindow = window;
}

// After the day's logs: the history takes back from today's log what it misses. It is
// a memory of what the logs record: with the log files off, nothing is recorded there
// either. The protection service keeps its own; this window only searches the
// service's file.
void History(HWND)
{
    if (windowState.serviceMode) {
        PathText logs{};
        FormatText(logs, "%s\\quorvel_logs\\", ServiceFilesFolder().data());
        OpenHistoryForSearch(logs.data());
        return;
    }
    if (engineState.settings.savelogs == 1 && ReadHistoryEnabled())
        OpenHistory(engineState.logFolder.data(), ReadHistoryKeepDays());
}

void NavigationAndServer(HWND window)
{
    RecordPageOrigin(window);
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(windowState.normalIcon));
    BuildNavigationBar(window);
    if (!windowState.serviceMode)
        ResolveServerEnumerations();
    ReserveSnapshot(windowState.sessionsSnapshot);
    ReserveSnapshot(windowState.filesSnapshot);
}

// Events leave the machine from the engine that finds them: the service's, when it watches.
void Forwarding(HWND)
{
    if (windowState.serviceMode)
        return;
    BeginForwarding();
    StartShareDeniesBeside(SettingsFilePath());
    // Watching alone, the program says so where the service would.
    ReportProductEvent(QUORVEL_EVENT_STARTED, {kProductTitle});
}

void Timers(HWND)
{
    if (windowState.serviceMode)
        StartServiceTimers();
    else
        StartRoundTimers();
}

void PagesAndFirstRefresh(HWND window)
{
    CreatePages(window);
    ShowPage(MonitoringPage);
}

void WatchedServers(HWND)
{
    if (windowState.serviceMode) {
        ShowServiceStatus();
        UpdateServerChoices();  // the service's servers come with its first lists
        StartServiceClient();
        return;
    }
    engineState.replyNotice = PostServerReply;
    ServerList list{};
    LoadServerList(list);
    WatchServers(list);
    DenyTrippedUsersAgain();
    UpdateServerChoices();
}

void SizeAndStartHidden(HWND window)
{
    SetWindowPos(window, nullptr, 0, 0, kMainWindowWidth, kMainWindowHeight, SWP_NOMOVE | SWP_NOZORDER);
    if (windowState.commandChar == 'h')
        SetTimer(window, kStartHiddenTimer, 10, nullptr);
}

constexpr std::array<StartUpStep, 14> kStartUpSequence = {{
    {"sound alert worker", StartSoundAlert},
    {"title and folders", TitleAndFolders},
    {"this process's watch or the protection service's", EngineOrService},
    {"computer lists and settings", ListsAndSettings},
    {"tray icon and hot key", TrayIconAndHotKey},
    {"notify window", NotifyWindow},
    {"context menus and the day's logs", MenusAndLogs},
    {"the history", History},
    {"navigation bar and server", NavigationAndServer},
    {"forwarding to the collector and the webhook", Forwarding},
    {"timers", Timers},
    {"pages and the first refresh", PagesAndFirstRefresh},
    {"servers watched besides this computer, or the service's pipe", WatchedServers},
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
