#include "e2e/program_runner.h"

#include <shlobj.h>

#include <array>

#include "core/startup.h"
#include "resources/resource.h"

namespace {

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindProgramWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    std::array<char, 64> title{};
    GetWindowTextA(window, title.data(), static_cast<int>(title.size()));
    if (owner == search->processId && std::string(title.data()) == kProductTitle) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

void DeleteFolder(const std::string& folder)
{
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name != "." && name != "..")
                DeleteFileA((folder + "\\" + name).c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

std::string ProgramFolder()
{
    std::array<char, MAX_PATH> path{};
    GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::string text = path.data();
    return text.substr(0, text.find_last_of('\\') + 1);
}

std::string DocumentsFolder()
{
    std::array<char, MAX_PATH> path{};
    SHGetSpecialFolderPathA(nullptr, path.data(), CSIDL_PERSONAL, FALSE);
    return path.data();
}

std::string TodaysLogPath(const char* extension)
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return DocumentsFolder() + "\\quorvel_logs\\" + std::to_string(now.wDay) + "." + std::to_string(now.wMonth) +
           "." + std::to_string(now.wYear) + "." + extension;
}

bool StartProgram(const std::string& arguments, RunningProgram* program)
{
    const std::string exe = ProgramFolder() + "quorvel.exe";
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    return CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          ProgramFolder().c_str(), &startup, &program->process) != FALSE;
}

HWND WaitForMainWindow(const RunningProgram& program, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        WindowSearch search{program.process.dwProcessId, nullptr};
        EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return nullptr;
}

DWORD WaitForExit(const RunningProgram& program, DWORD timeoutMs)
{
    WaitForSingleObject(program.process.hProcess, timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(program.process.hProcess, &code);
    return code;
}

DWORD ExitProgramThroughMenu(RunningProgram* program)
{
    HWND window = program->mainWindow ? program->mainWindow : WaitForMainWindow(*program, 10000);
    if (window)
        PostMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    const DWORD code = WaitForExit(*program, 15000);
    if (code == STILL_ACTIVE)
        KillProgram(program);
    return code;
}

void KillProgram(RunningProgram* program)
{
    if (program->process.hProcess) {
        TerminateProcess(program->process.hProcess, 99);
        WaitForSingleObject(program->process.hProcess, 5000);
        CloseHandle(program->process.hProcess);
        CloseHandle(program->process.hThread);
    }
    program->process = {};
}

void ForgetEarlierRuns()
{
    const std::string documents = DocumentsFolder();
    DeleteFileA((documents + "\\quorvel.ini").c_str());
    DeleteFolder(documents + "\\quorvel_logs");
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, kRunValueName);
        RegCloseKey(key);
    }
}
