#include "app/service_control.h"

#include <windows.h>

#include <shlobj.h>

#include <array>
#include <cstring>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/file_trust.h"
#include "core/paths.h"
#include "core/product.h"
#include "core/text.h"

namespace {

constexpr char kServiceDescription[] =
    "Watches this computer's shares whether or not anyone is logged on: logs every connection and opened "
    "file, and cuts off the computers the lists and tripwires block.";

// Restarted 5 s after a failure, and again after a second; then every 60 s. A day
// without one counts from the first again.
constexpr DWORD kRestartSoonMs = 5000;
constexpr DWORD kRestartLaterMs = 60000;
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;

// How long a start or a stop may take: a stop delivers a burst's events first.
constexpr ULONGLONG kStartWaitMs = 30000;
constexpr ULONGLONG kStopWaitMs = 60000;
constexpr DWORD kStatePollMs = 100;

constexpr char kNeedsAdministrator[] =
    "%s the Quorvel service needs administrator rights: run \"quorvelsvc.exe %s\" from a command prompt "
    "started with Run as administrator.";
constexpr char kNoServiceManager[] = "The service manager cannot be reached (error %lu).";
constexpr char kAlreadyInstalled[] =
    "The Quorvel service is installed already: nothing was changed. To install it again, run "
    "\"quorvelsvc.exe uninstall\" first.";
constexpr char kBeingRemoved[] =
    "The Quorvel service is being removed, and cannot be installed until it is gone: close the Services "
    "window and any program that shows it, then try again.";
constexpr char kNotCreated[] = "The Quorvel service could not be installed (error %lu).";
constexpr char kPathTooLong[] = "The path of quorvelsvc.exe is too long for the service manager: install it in a "
                                "shorter folder.";
constexpr char kInstalled[] = "Installed the service %s (%s): %s, started automatically, as LocalSystem.";
constexpr char kRestarts[] = "When it fails it is started again after 5 s, twice, then every 60 s.";
constexpr char kRestartsNotSet[] = "Its restarts after a failure could not be set (error %lu).";
constexpr char kNoFolder[] = "The service's folder %s could not be made or kept to the service and "
                             "administrators (error %lu): nothing was installed.";
constexpr char kWritablePlace[] =
    "The service was not installed: %s is %s, and whoever can change it would run code as SYSTEM at the "
    "service's next start. Put quorvelsvc.exe in a folder only administrators can change, such as %s, and run "
    "\"quorvelsvc.exe install\" from there.";
constexpr char kEventSource[] = "Its events go to the Application event log under the source %s.";
constexpr char kEventSourceNotSet[] = "Its event source %s could not be registered (error %lu): its events show "
                                      "in the Application log without their texts.";
constexpr char kNoProgramData[] = "The ProgramData folder cannot be found: the service has nowhere to keep its "
                                  "settings and logs.";
constexpr char kStarted[] = "Started the service: it watches this computer's shares from now on, whether or not "
                            "anyone is logged on.";
constexpr char kNotStarted[] = "The service did not start (error %lu): see the System log in the Event Viewer.";
constexpr char kStartTooSlow[] = "The service has not finished starting after %d s: see the Services window.";
constexpr char kNotInstalled[] = "The Quorvel service is not installed: nothing to remove.";
constexpr char kNotOpened[] = "The Quorvel service cannot be opened (error %lu).";
constexpr char kStopped[] = "Stopped the service.";
constexpr char kStopTooSlow[] = "The service has not stopped after %d s: it is removed once it stops.";
constexpr char kNotStoppable[] = "The service cannot be stopped (error %lu): it is removed once it stops.";
constexpr char kRemoved[] = "Removed the service %s.";
constexpr char kNotRemoved[] = "The Quorvel service could not be removed (error %lu).";
constexpr char kFilesKept[] = "Its settings file and logs are kept in %s.";

struct ServiceHandle {
    SC_HANDLE handle = nullptr;
    explicit ServiceHandle(SC_HANDLE opened) : handle(opened) {}
    ~ServiceHandle()
    {
        if (handle)
            CloseServiceHandle(handle);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
};

DWORD CurrentState(SC_HANDLE service, SERVICE_STATUS_PROCESS* status)
{
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(status), sizeof(*status),
                              &needed))
        return 0;
    return status->dwCurrentState;
}

// Waits for the service to leave `passing`; returns the state it is in when the wait
// ends, by itself or after `waitMs`.
DWORD WaitWhile(SC_HANDLE service, DWORD passing, ULONGLONG waitMs, SERVICE_STATUS_PROCESS* status)
{
    const ULONGLONG deadline = PacingMillisecondsNow() + waitMs;
    DWORD state = CurrentState(service, status);
    while (state == passing && PacingMillisecondsNow() < deadline) {
        Sleep(kStatePollMs);
        state = CurrentState(service, status);
    }
    return state;
}

DWORD WaitUntilStopped(SC_HANDLE service, ULONGLONG waitMs, SERVICE_STATUS_PROCESS* status)
{
    const ULONGLONG deadline = PacingMillisecondsNow() + waitMs;
    DWORD state = CurrentState(service, status);
    while (state != SERVICE_STOPPED && PacingMillisecondsNow() < deadline) {
        Sleep(kStatePollMs);
        state = CurrentState(service, status);
    }
    return state;
}

int SayOpenFailure(SayLine say, DWORD error, const char* doing, const char* command)
{
    if (error == ERROR_ACCESS_DENIED)
        SayFormatted(say, kNeedsAdministrator, doing, command);
    else
        SayFormatted(say, kNoServiceManager, error);
    return static_cast<int>(error);
}

bool SetRestarts(SC_HANDLE service)
{
    std::array<SC_ACTION, 3> actions = {{
        {SC_ACTION_RESTART, kRestartSoonMs},
        {SC_ACTION_RESTART, kRestartSoonMs},
        {SC_ACTION_RESTART, kRestartLaterMs},
    }};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = kFailureCountResetSeconds;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        return false;
    // A start that ends in an error counts as a failure too, not only a crash.
    SERVICE_FAILURE_ACTIONS_FLAG onError{TRUE};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onError);
    return true;
}

int StartInstalledService(SC_HANDLE service, SayLine say)
{
    if (!StartServiceA(service, 0, nullptr)) {
        const DWORD error = GetLastError();
        SayFormatted(say, kNotStarted, error);
        return static_cast<int>(error);
    }
    SERVICE_STATUS_PROCESS status{};
    const DWORD state = WaitWhile(service, SERVICE_START_PENDING, kStartWaitMs, &status);
    if (state == SERVICE_RUNNING) {
        say(kStarted);
        return 0;
    }
    if (state == SERVICE_START_PENDING) {
        SayFormatted(say, kStartTooSlow, static_cast<int>(kStartWaitMs / 1000));
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    const DWORD error = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                                : status.dwWin32ExitCode;
    SayFormatted(say, kNotStarted, error);
    return static_cast<int>(error ? error : ERROR_SERVICE_NOT_ACTIVE);
}

// The exe, its folder and every folder above: none that anyone but SYSTEM, the
// Administrators and their owner may change. 0 when none, or the code of the refusal.
int RefuseWritablePlace(const char* exe, SayLine say)
{
    PathText folder{};
    CopyText(folder, exe);
    if (char* slash = std::strrchr(folder.data(), '\\'))
        *slash = '\0';
    PathText judged{};
    CopyText(judged, exe);
    TrustVerdict verdict = JudgePath(exe, TrustScope::FileOnly);
    if (verdict.fault == TrustFault::None)
        verdict = JudgePathAndAncestors(folder.data(), TrustScope::FolderAndNewFiles, judged);
    if (verdict.fault == TrustFault::None)
        return 0;
    std::array<char, 256> why{};
    DescribeVerdict(verdict, why);
    PathText place = QuorvelFolderIn(CSIDL_PROGRAM_FILES);
    if (place[0] == '\0')
        CopyText(place, "C:\\Program Files\\Quorvel");
    SayFormatted(say, kWritablePlace, judged.data(), why.data(), place.data());
    ReportProductEvent(QUORVEL_EVENT_BINARY_FOLDER_WRITABLE, {judged.data(), why.data(), place.data()});
    return ERROR_ACCESS_DENIED;
}

// The source for the Application log, when none is registered yet: the installer's
// names the program's exe, which carries the same messages.
void RegisterOwnEventSource(const char* exe, SayLine say)
{
    const DWORD error = RegisterProductEventSource(exe);
    if (error == ERROR_SUCCESS)
        SayFormatted(say, kEventSource, kEventSourceName);
    else
        SayFormatted(say, kEventSourceNotSet, kEventSourceName, error);
}

// Only a source that names this exe: the installer's stays for the program.
void RemoveOwnEventSource()
{
    std::array<char, kPathCapacity> exe{};
    if (GetModuleFileNameA(nullptr, exe.data(), static_cast<DWORD>(exe.size())))
        RemoveProductEventSource(exe.data());
}

}  // namespace

int InstallService(SayLine say)
{
    std::array<char, kPathCapacity> exe{};
    // Quoted, so that a folder with blanks in its name is not read as arguments.
    const DWORD length = GetModuleFileNameA(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    PathText command{};
    if (length == 0 || length + 3 > command.size()) {
        say(kPathTooLong);
        return ERROR_FILENAME_EXCED_RANGE;
    }
    FormatText(command, "\"%s\"", exe.data());
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager.handle)
        return SayOpenFailure(say, GetLastError(), "Installing", "install");
    // Installed already: nothing is touched, not even the service's files.
    if (ServiceHandle existing(OpenServiceA(manager.handle, kServiceName, SERVICE_QUERY_STATUS)); existing.handle) {
        say(kAlreadyInstalled);
        return ERROR_SERVICE_EXISTS;
    }

    // The service runs as SYSTEM whatever stands where it is registered.
    if (const int refused = RefuseWritablePlace(exe.data(), say))
        return refused;

    // Its folder and the user's lists first: a failure there leaves nothing registered,
    // and the service reads the lists from its first start.
    const PathText folder = ServiceFilesFolder();
    if (folder[0] == '\0') {
        say(kNoProgramData);
        return ERROR_PATH_NOT_FOUND;
    }
    FolderFindings findings{};
    if (!TakeOverServiceFolder(folder.data(), say, &findings)) {
        const DWORD error = GetLastError();
        SayFormatted(say, kNoFolder, folder.data(), error);
        return static_cast<int>(error ? error : ERROR_ACCESS_DENIED);
    }
    PathText userFile{};
    PathText serviceFile{};
    FormatText(userFile, "%s\\quorvel.ini", UserFilesFolder().data());
    FormatText(serviceFile, "%s\\quorvel.ini", folder.data());
    int result = 0;
    if (CarryOverUserSettings(userFile.data(), serviceFile.data(), say) == CarryOverFailed)
        result = ERROR_WRITE_FAULT;

    ServiceHandle service(CreateServiceA(manager.handle, kServiceName, kServiceDisplayName,
                                         SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         command.data(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS)
            say(kAlreadyInstalled);
        else if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
            say(kBeingRemoved);
        else if (error == ERROR_ACCESS_DENIED)
            SayOpenFailure(say, error, "Installing", "install");
        else
            SayFormatted(say, kNotCreated, error);
        return static_cast<int>(error);
    }
    SayFormatted(say, kInstalled, kServiceName, kServiceDisplayName, command.data());
    RegisterOwnEventSource(exe.data(), say);
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kServiceDescription)};
    ChangeServiceConfig2A(service.handle, SERVICE_CONFIG_DESCRIPTION, &description);
    if (SetRestarts(service.handle)) {
        say(kRestarts);
    } else {
        result = static_cast<int>(GetLastError());
        SayFormatted(say, kRestartsNotSet, static_cast<DWORD>(result));
    }
    const int started = StartInstalledService(service.handle, say);
    return started != 0 ? started : result;
}

int UninstallService(SayLine say)
{
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.handle)
        return SayOpenFailure(say, GetLastError(), "Removing", "uninstall");
    ServiceHandle service(OpenServiceA(manager.handle, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service.handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            say(kNotInstalled);
        else if (error == ERROR_ACCESS_DENIED)
            SayOpenFailure(say, error, "Removing", "uninstall");
        else
            SayFormatted(say, kNotOpened, error);
        return static_cast<int>(error);
    }

    // A service still starting is let finish, so that its stop comes to a running one.
    SERVICE_STATUS_PROCESS status{};
    const DWORD state = WaitWhile(service.handle, SERVICE_START_PENDING, kStartWaitMs, &status);
    if (state != SERVICE_STOPPED) {
        SERVICE_STATUS stopping{};
        const bool asked = state == SERVICE_STOP_PENDING ||
                           ControlService(service.handle, SERVICE_CONTROL_STOP, &stopping) ||
                           GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
        if (!asked)
            SayFormatted(say, kNotStoppable, GetLastError());
        else if (WaitUntilStopped(service.handle, kStopWaitMs, &status) == SERVICE_STOPPED)
            say(kStopped);
        else
            SayFormatted(say, kStopTooSlow, static_cast<int>(kStopWaitMs / 1000));
    }
    if (!DeleteService(service.handle)) {
        const DWORD error = GetLastError();
        SayFormatted(say, kNotRemoved, error);
        return static_cast<int>(error);
    }
    SayFormatted(say, kRemoved, kServiceName);
    RemoveOwnEventSource();
    const PathText folder = ServiceFilesFolder();
    if (folder[0] != '\0')
        SayFormatted(say, kFilesKept, folder.data());
    return 0;
}
