#include "service/service_probe.h"

#include <aclapi.h>
#include <sddl.h>

#include <shlobj.h>

#include <array>

#include "app/service_control.h"
#include "e2e/program_runner.h"
#include "support/linux_program.h"

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
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvel");
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

bool LetEveryoneChange(const std::string& path)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &security,
                                                              nullptr))
        return false;
    PACL access = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorDacl(security, &present, &access, &defaulted);
    const DWORD result = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION, nullptr, nullptr, access, nullptr);
    LocalFree(security);
    return result == ERROR_SUCCESS;
}

namespace {

bool RunAndWait(const std::string& exe, std::string commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0;
}

}  // namespace

bool MakeFolderLink(const std::string& link, const std::string& target)
{
    using UnixName = char*(CDECL*)(const WCHAR*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) {
        std::array<char, MAX_PATH> system{};
        GetSystemDirectoryA(system.data(), static_cast<UINT>(system.size()));
        return RunAndWait(std::string(system.data()) + "\\cmd.exe", "cmd /c mklink /J \"" + link + "\" \"" + target + "\"");
    }
    // Wine makes no reparse point of its own, and starts a Unix program as it starts any.
    const auto unix = [&](const std::string& path) {
        std::array<WCHAR, MAX_PATH> wide{};
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
        char* name = unixName(wide.data());
        std::string text = name ? name : "";
        HeapFree(GetProcessHeap(), 0, name);
        return text;
    };
    // Wine gives no exit code of a Unix program: the link itself is looked for.
    StartLinuxProgram("Z:\\bin\\ln", "ln -s \"" + unix(target) + "\" \"" + unix(link) + "\"");
    return WaitUntil([&] {
        const DWORD attributes = GetFileAttributesA(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }, 10000);
}
