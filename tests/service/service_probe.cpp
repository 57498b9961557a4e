#include "service/service_probe.h"

#include <shlobj.h>

#include <array>

#include "app/service_control.h"
#include "e2e/program_runner.h"

namespace {

bool WaitUntil(const auto& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(20);
    }
    return true;
}

}  // namespace

InstalledService QueryInstalledService()
{
    InstalledService found;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                : nullptr;
    if (service) {
        found.found = true;
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        if (QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                static_cast<DWORD>(buffer.size()), &needed)) {
            const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer.data());
            found.serviceType = config->dwServiceType;
            found.startType = config->dwStartType;
            found.command = config->lpBinaryPathName ? config->lpBinaryPathName : "";
            found.account = config->lpServiceStartName ? config->lpServiceStartName : "";
            found.displayName = config->lpDisplayName ? config->lpDisplayName : "";
        }
        if (QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                                 static_cast<DWORD>(buffer.size()), &needed)) {
            const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer.data());
            found.resetSeconds = failure->dwResetPeriod;
            for (DWORD k = 0; k < failure->cActions; ++k)
                found.failureActions.push_back({failure->lpsaActions[k].Type, failure->lpsaActions[k].Delay});
        }
        SERVICE_STATUS_PROCESS status{};
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                 &needed)) {
            found.state = status.dwCurrentState;
            found.processId = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return found;
}

void RemoveServiceByHand()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                                : nullptr;
    if (service) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        WaitUntil([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; },
                  60000);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    WaitUntil([] { return !QueryInstalledService().found; }, 10000);
}

namespace {

SC_HANDLE OpenInstalledService(DWORD access)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, kServiceName, access) : nullptr;
    if (manager)
        CloseServiceHandle(manager);
    return service;
}

}  // namespace

bool StartInstalledService()
{
    SC_HANDLE service = OpenInstalledService(SERVICE_START);
    if (!service)
        return false;
    // Just after a stop, Wine's service manager can refuse a start while the old process
    // is still ending: asked again for a while, as an administrator would.
    bool started = false;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!(started = StartServiceA(service, 0, nullptr) != FALSE) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING &&
           GetTickCount64() < deadline)
        Sleep(200);
    CloseServiceHandle(service);
    return WaitUntil([] { return QueryInstalledService().state == SERVICE_RUNNING; }, 30000);
}

bool StopInstalledService()
{
    SC_HANDLE service = OpenInstalledService(SERVICE_STOP);
    SERVICE_STATUS status{};
    const bool asked = service && ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (service)
        CloseServiceHandle(service);
    return asked && WaitUntil([] { return QueryInstalledService().state == SERVICE_STOPPED; }, 60000);
}

std::string ServiceFilesPath()
{
    std::array<char, MAX_PATH> path{};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path.data());
    return std::string(path.data()) + "\\Quorvel";
}

void ForgetServiceFiles()
{
    DeleteFolder(ServiceFilesPath());
}
