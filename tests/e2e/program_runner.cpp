#include "e2e/program_runner.h"

#include <commctrl.h>
#include <shlobj.h>

#include <array>
#include <fstream>
#include <sstream>

#include "core/product.h"
#include "windows/start_options.h"
#include "resources/resource.h"
#include "support/linux_program.h"

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

}  // namespace

// The folder and everything in it: a watched server's logs sit in a folder of their
// own, and the next run's history would read them in.
// A link itself, never what it leads to. Under Wine both calls act on what a Unix link
// leads to (RemoveDirectory removes an empty folder there): Unix's own rm removes it.
void RemoveLink(const std::string& path)
{
    using UnixName = char*(CDECL*)(const WCHAR*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) {
        if (!RemoveDirectoryA(path.c_str()))
            DeleteFileA(path.c_str());
        return;
    }
    std::array<WCHAR, MAX_PATH> wide{};
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    char* name = unixName(wide.data());
    if (!name)
        return;
    std::string commandLine = std::string("rm -f \"") + name + "\"";
    HeapFree(GetProcessHeap(), 0, name);
    if (!StartLinuxProgram("Z:\\bin\\rm", commandLine))
        return;
    for (int wait = 0; wait < 500 && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; ++wait)
        Sleep(10);
}

void DeleteFolder(const std::string& folder)
{
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveLink(path);
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteFolder(path);
            } else {
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

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

std::vector<HWND> ProgramDialogs(const RunningProgram& program, const char* title)
{
    struct Search {
        DWORD processId;
        const char* title;
        std::vector<HWND> found;
    } search{program.process.dwProcessId, title, {}};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            std::array<char, 128> text{}, kind{};
            GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
            GetClassNameA(window, kind.data(), static_cast<int>(kind.size()));
            if (owner == s->processId && IsWindowVisible(window) && std::string(text.data()) == s->title &&
                std::string(kind.data()) == "#32770")
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindProgramControl(HWND mainWindow, int id)
{
    struct Search {
        int id;
        HWND found;
    } search{id, nullptr};
    EnumChildWindows(
        mainWindow,
        [](HWND child, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            if (GetDlgCtrlID(child) == s->id) {
                s->found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

namespace {

// Memory in the program's process, for list view messages that carry pointers.
struct RemoteBlock {
    RemoteBlock(HANDLE owner, std::size_t size)
        : process(owner), address(VirtualAllocEx(owner, nullptr, size, MEM_COMMIT, PAGE_READWRITE))
    {
    }
    ~RemoteBlock() { VirtualFreeEx(process, address, 0, MEM_RELEASE); }
    HANDLE process;
    void* address;
};

}  // namespace

std::vector<std::string> RemoteListColumn(const RunningProgram& program, HWND list, int column)
{
    std::vector<std::string> texts;
    RemoteBlock block(program.process.hProcess, sizeof(LVITEMA) + 512);
    char* remoteText = static_cast<char*>(block.address) + sizeof(LVITEMA);
    const int rows = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < rows; ++row) {
        LVITEMA item{};
        item.iSubItem = column;
        item.pszText = remoteText;
        item.cchTextMax = 512;
        WriteProcessMemory(program.process.hProcess, block.address, &item, sizeof(item), nullptr);
        SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.address));
        std::array<char, 512> text{};
        ReadProcessMemory(program.process.hProcess, remoteText, text.data(), text.size(), nullptr);
        text.back() = '\0';
        texts.push_back(text.data());
    }
    return texts;
}

void SelectRemoteRow(const RunningProgram& program, HWND list, int row)
{
    RemoteBlock block(program.process.hProcess, sizeof(LVITEMA));
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED;
    item.state = 0;
    WriteProcessMemory(program.process.hProcess, block.address, &item, sizeof(item), nullptr);
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(block.address));
    item.state = LVIS_SELECTED;
    WriteProcessMemory(program.process.hProcess, block.address, &item, sizeof(item), nullptr);
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.address));
}

DWORD WaitForExit(const RunningProgram& program, DWORD timeoutMs)
{
    WaitForSingleObject(program.process.hProcess, timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(program.process.hProcess, &code);
    return code;
}

DWORD ExitProgramThroughMenu(RunningProgram* program, WPARAM command)
{
    HWND window = program->mainWindow ? program->mainWindow : WaitForMainWindow(*program, 10000);
    if (window)
        PostMessageA(window, WM_COMMAND, command, 0);
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

std::string RunValue()
{
    std::array<char, 1024> value{};
    DWORD size = static_cast<DWORD>(value.size());
    if (RegGetValueA(HKEY_CURRENT_USER, kRunKey, kRunValueName, RRF_RT_REG_SZ, nullptr, value.data(), &size) !=
        ERROR_SUCCESS)
        return "<none>";
    return value.data();
}

void ForgetEarlierRuns()
{
    const std::string documents = DocumentsFolder();
    DeleteFileA((documents + "\\quorvel.ini").c_str());
    // An earlier test's trips leave their denies in force, as they would for a user.
    DeleteFileA((documents + "\\quorvel-denies.txt").c_str());
    DeleteFolder(documents + "\\quorvel_logs");
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, kRunValueName);
        RegCloseKey(key);
    }
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string MakeScratchFolder(const std::string& name)
{
    std::array<char, MAX_PATH> temp{};
    GetTempPathA(static_cast<DWORD>(temp.size()), temp.data());
    const std::string parent = std::string(temp.data()) + "quorvel-program-tests";
    CreateDirectoryA(parent.c_str(), nullptr);
    const std::string folder = parent + "\\" + name;
    DeleteFolder(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder + "\\";
}

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool PutSimulatedServerInSystemFolder(const std::string& simDll)
{
    // Never on Windows itself: there the system folder's netapi32 is the real server's.
    if (!UnderWine())
        return false;
    std::array<char, MAX_PATH> system{};
    GetSystemDirectoryA(system.data(), static_cast<UINT>(system.size()));
    const std::string target = std::string(system.data()) + "\\netapi32.dll";
    const std::string wanted = ReadFile(simDll);
    return !wanted.empty() && (ReadFile(target) == wanted || CopyFileA(simDll.c_str(), target.c_str(), FALSE));
}

void UseSimulatedServer(const std::string& scenarioPath, const std::string& journalPath)
{
    PutSimulatedServerInSystemFolder(ProgramFolder() + "netapi32.dll");
    // The program inherits these; an empty value means no scenario, or no journal.
    SetEnvironmentVariableA("QUORVEL_SIM_SCENARIO", scenarioPath.c_str());
    SetEnvironmentVariableA("QUORVEL_SIM_JOURNAL", journalPath.c_str());
}

std::string JournalLine::Field(const std::string& key) const
{
    const std::string wanted = " " + key + "=";
    const std::size_t at = text.find(wanted);
    if (at == std::string::npos)
        return {};
    std::size_t start = at + wanted.size();
    if (start < text.size() && text[start] == '"') {
        const std::size_t end = text.find('"', start + 1);
        return text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    }
    const std::size_t end = text.find(' ', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// "yyyy-mm-dd hh:mm:ss.mmm t=<ms> <kind> <what> key=value..."
std::vector<JournalLine> ReadJournal(const std::string& path)
{
    std::vector<JournalLine> journal;
    for (const std::string& text : Lines(ReadFile(path))) {
        std::istringstream words(text);
        std::string date, clock, t;
        JournalLine line;
        words >> date >> clock >> t >> line.kind >> line.what;
        if (t.rfind("t=", 0) != 0)
            continue;
        line.t = std::stoll(t.substr(2));
        line.clock = clock;
        line.text = text;
        journal.push_back(line);
    }
    return journal;
}
