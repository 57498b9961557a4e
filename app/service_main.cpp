// quorvelsvc.exe: the engine as a Windows service, watching this computer's shares
// whether or not anyone is logged on, with no window at all. "install" and
// "uninstall" register and remove it; the service manager starts it without arguments.
//
// Its threads, what each owns, and how work crosses between them:
// - the process's first thread: the service manager's dispatcher, which calls
//   OnServiceControl; a stop or shutdown reports STOP_PENDING and signals the host.
// - the service's thread (RunService, started by the dispatcher): the engine's state,
//   which it alone writes, and the host's loop (engine/rounds/engine_host.h) until stopped.
// - a worker per file server watched besides this computer (engine/watch/server_workers.h):
//   its replies reach the service's thread through the host's queues and event.
// - the pipe's thread (engine/link/pipe_server.h): the windows' connections; what they say
//   reaches the service's thread through the pipe's inbound queue and event, what the
//   service's thread sends waits in each window's backlog.
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>

#include "app/service_control.h"
#include "app/service_files.h"
#include "core/clock.h"
#include "core/event_log.h"
#include "core/product.h"
#include "core/server_api.h"
#include "core/settings.h"
#include "core/system_library.h"
#include "engine/watch/day_logs.h"
#include "engine/watch/detection.h"
#include "engine/rounds/engine_host.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarding_control.h"
#include "engine/history/history_store.h"
#include "engine/watch/log_text.h"
#include "engine/watch/news.h"
#include "engine/watch/notices.h"
#include "engine/watch/poll.h"
#include "engine/watch/run_records.h"
#include "engine/watch/server_list.h"
#include "engine/watch/server_workers.h"
#include "engine/rounds/service_publisher.h"
#include "engine/watch/share_denies.h"
#include "engine/watch/trips.h"
#include "rules/block_rules.h"

namespace {

constexpr char kUsage[] =
    "Quorvel's service: watches this computer's shares whether or not anyone is logged on.\n"
    "\n"
    "  quorvelsvc.exe install     installs the service, carries your lists and rules over to it and starts it\n"
    "  quorvelsvc.exe uninstall   stops the service and removes it; its settings and logs are kept\n"
    "\n"
    "Both need administrator rights. The service manager starts the service itself.";

// How long the service manager is told a start or a stop may take.
constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStopWaitHintMs = 30000;

SERVICE_STATUS_HANDLE statusHandle;
std::atomic<DWORD> checkPoint{0};

void SayOnConsole(const char* line)
{
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The state the service manager shows; only a running service takes stop and shutdown.
void ReportState(DWORD state, DWORD exitCode, DWORD waitHintMs)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHintMs;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++checkPoint : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
        StopEngineHost();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The windows that show the service hear of each step through its pipe: the news and
// the Log page's new text at once, the lists and the shown tables once a second; what
// they ask is done on inbound work. While the pipe's name is taken by another process
// the service protects all the same, and tries the pipe again after its steps.
void AfterServiceStep(EngineStep)
{
    AfterForwardingStep();  // its lines go out with the step's own
    PublishAfterStep();
}

constexpr EngineHostHook ServiceHook()
{
    return {AfterServiceStep, PublishReading, nullptr, TakeWindowMessages};
}

// The program's start-up of its engine, in its order, without a window: the settings
// and logs in ProgramData, the rules, the day's logs, the server, forwarding, the poll, the host,
// then the servers watched besides this computer, whose replies the host takes.
DWORD StartServiceEngine()
{
    if (!AllocateRunRecords(engineState.run))
        return ERROR_NOT_ENOUGH_MEMORY;
    const PathText folder = ServiceFilesFolder();
    if (folder[0] == '\0')
        return ERROR_PATH_NOT_FOUND;
    // What the folder's check finds goes to the Log page (the windows get it when they
    // connect) and, in events of its own, to the Application log.
    FolderFindings findings{};
    if (!UseServiceFolder(folder.data(), ServiceReserveFolder().data(), PutLogLine, &findings))
        return GetLastError() ? GetLastError() : ERROR_ACCESS_DENIED;
    SetServiceRefusal(findings.first.data());
    LoadBlockRules(engineState.rules);
    ReadMainSettings(&engineState.settings);
    if (engineState.settings.savelogs == 1)  // a hand-edited 2 is not "on", as in the program
        OpenDayLogs(engineState.local.logs, LocalTimeNow());
    // Its windows search this file and set its keepdays through the pipe.
    SetHistoryKeepDays(ReadHistoryKeepDays());
    if (engineState.settings.savelogs == 1 && ReadHistoryEnabled())  // as in the program
        OpenHistory(engineState.logFolder.data(), ReadHistoryKeepDays());
    LoadServerLibrary();
    ResolveServerEnumerations();
    BeginForwarding();
    StartShareDeniesBeside(SettingsFilePath());
    StartPoll();
    StartServicePipe({kPipeName, kProductTitle, 0});
    EngineHostHook hook = ServiceHook();
    hook.inboundEvent = PipeInboundEvent(ServicePipe());
    if (!StartEngineHost(hook))
        return GetLastError();
    ServerList list{};
    LoadServerList(list);
    WatchServers(list);
    DenyTrippedUsersAgain();
    return NO_ERROR;
}

// Pending events delivered and every log's backlog written, then the lists saved, as
// the program does at its exit.
void FinishServiceEngine()
{
    StopShareDenies();
    NoteDeniedShares();  // what the denies did last goes to the history and the collector too
    FinishDelivery();
    EndForwarding();  // after the last delivery, whose events it takes to the spool
    CloseHistory();
    SaveComputerLists(engineState.rules);
    StopServicePipe();
    CloseEngineHost();
    StopServerWorkers();
}

void WINAPI RunService(DWORD, LPSTR*)
{
    statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, OnServiceControl, nullptr);
    if (!statusHandle)
        return;
    ReportState(SERVICE_START_PENDING, NO_ERROR, kStartWaitHintMs);
    const DWORD started = StartServiceEngine();
    if (started != NO_ERROR) {
        std::array<char, 32> error{};
        FormatText(error, "error %lu", started);
        ReportProductEvent(QUORVEL_EVENT_START_FAILED, {kServiceDisplayName, error.data()});
        ReportState(SERVICE_STOPPED, started, 0);
        return;
    }
    ReportState(SERVICE_RUNNING, NO_ERROR, 0);
    ReportProductEvent(QUORVEL_EVENT_STARTED, {kServiceDisplayName});
    RunEngineHost();
    ReportState(SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
    FinishServiceEngine();
    ReportProductEvent(QUORVEL_EVENT_STOPPED, {kServiceDisplayName});
    ReportState(SERVICE_STOPPED, NO_ERROR, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    KeepLibrariesToTheSystemFolder();
    if (argc == 2 && lstrcmpiA(argv[1], "install") == 0)
        return InstallService(SayOnConsole);
    if (argc == 2 && lstrcmpiA(argv[1], "uninstall") == 0)
        return UninstallService(SayOnConsole);
    if (argc == 1) {
        std::array<SERVICE_TABLE_ENTRYA, 2> table = {{{const_cast<char*>(kServiceName), RunService}, {nullptr, nullptr}}};
        if (StartServiceCtrlDispatcherA(table.data()))
            return 0;
        if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            return static_cast<int>(GetLastError());
    }
    // Started from a command prompt without a word it knows.
    SayOnConsole(kUsage);
    return ERROR_INVALID_COMMAND_LINE;
}
