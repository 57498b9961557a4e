// The release's installer, run silently as an administrator's deployment would: what
// it installs, the installed program against the simulated server, and what the
// uninstaller removes and keeps. It installs into this machine's Program Files and
// clears away any Quorvel there: run it in the tests' Wine prefix or on a test machine.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "app/startup.h"
#include "windows/start_options.h"
#include "e2e/program_runner.h"
#include "release/version_resources.h"
#include "resources/resource.h"
#include "service/service_probe.h"

namespace {

constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvel";
constexpr DWORD kInstallerTimeoutMs = 120000;

std::string SpecialFolder(int csidl)
{
    std::array<char, MAX_PATH> path{};
    SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path.data());
    return path.data();
}

std::string InstallFolder()
{
    return SpecialFolder(CSIDL_PROGRAM_FILES) + "\\Quorvel";
}

std::string StartMenuShortcut()
{
    return SpecialFolder(CSIDL_COMMON_PROGRAMS) + "\\Quorvel.lnk";
}

std::string SetupExe()
{
    return NativePath(QUORVEL_DIST_SETUP);
}

std::string Staged(const std::string& name)
{
    return NativePath(QUORVEL_DIST_STAGE) + "\\" + name;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names in a folder, sorted; empty when there is no such folder.
std::vector<std::string> FolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = entry.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// The installer writes the 64-bit view; so does this 64-bit test read it.
HKEY OpenUninstallKey()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// A value of the uninstall entry; "<none>" when it is absent.
std::string UninstallText(const char* name)
{
    std::array<char, 1024> value{};
    DWORD size = static_cast<DWORD>(value.size());
    HKEY key = OpenUninstallKey();
    const bool read =
        key && RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, value.data(), &size) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return read ? value.data() : "<none>";
}

long long UninstallNumber(const char* name)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    HKEY key = OpenUninstallKey();
    const bool read =
        key && RegGetValueA(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return read ? value : -1;
}

bool UninstallKeyExists()
{
    HKEY key = OpenUninstallKey();
    if (key)
        RegCloseKey(key);
    return key != nullptr;
}

void SetRunValue(const std::string& command)
{
    RegSetKeyValueA(HKEY_CURRENT_USER, kRunKey, kRunValueName, REG_SZ, command.c_str(),
                    static_cast<DWORD>(command.size() + 1));
}

struct Shortcut {
    bool loaded = false;
    std::string target;
    std::string workingFolder;
    std::string arguments;
};

Shortcut ReadShortcut(const std::string& path)
{
    Shortcut shortcut;
    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))))
        return shortcut;
    IPersistFile* file = nullptr;
    std::wstring widePath(path.begin(), path.end());
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(widePath.c_str(), STGM_READ))) {
        std::array<char, MAX_PATH> text{};
        shortcut.loaded = true;
        if (SUCCEEDED(link->GetPath(text.data(), static_cast<int>(text.size()), nullptr, SLGP_RAWPATH)))
            shortcut.target = text.data();
        text.fill('\0');
        if (SUCCEEDED(link->GetWorkingDirectory(text.data(), static_cast<int>(text.size()))))
            shortcut.workingFolder = text.data();
        text.fill('\0');
        if (SUCCEEDED(link->GetArguments(text.data(), static_cast<int>(text.size()))))
            shortcut.arguments = text.data();
    }
    if (file)
        file->Release();
    link->Release();
    return shortcut;
}

// Starts a command line and waits for that process; returns its exit code, or
// STILL_ACTIVE when it did not end in time (it is then ended).
// With `kept`, the process's handles are handed over instead of closed.
DWORD RunAndWait(const std::string& exe, const std::string& arguments, DWORD timeoutMs,
                 PROCESS_INFORMATION* kept = nullptr)
{
    std::string commandLine = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return static_cast<DWORD>(-1);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 98);
    if (kept) {
        *kept = process;
        return code;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// An NSIS uninstaller copies itself to the temporary folder, starts the copy and ends
// at once; the copy does the work. Its exit code is the uninstall's.
DWORD Uninstall(DWORD timeoutMs)
{
    PROCESS_INFORMATION launcher{};
    const DWORD launched = RunAndWait(InstallFolder() + "\\uninstall.exe", "/S", timeoutMs, &launcher);
    if (launched != 0) {
        CloseHandle(launcher.hThread);
        CloseHandle(launcher.hProcess);
        return launched == STILL_ACTIVE ? STILL_ACTIVE : launched;
    }
    // The launcher's handle is still open, so its id cannot yet name another process.
    // A process of an earlier run may still carry that id as its parent's, from a
    // parent long gone whose id was given out again: the copy is the one started
    // after the launcher was.
    FILETIME launcherStarted{}, unused{};
    GetProcessTimes(launcher.hProcess, &launcherStarted, &unused, &unused, &unused);
    std::vector<HANDLE> copies;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID != launcher.dwProcessId)
            continue;
        HANDLE copy = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                  entry.th32ProcessID);
        if (!copy)
            continue;
        FILETIME started{};
        if (GetProcessTimes(copy, &started, &unused, &unused, &unused) &&
            CompareFileTime(&started, &launcherStarted) >= 0)
            copies.push_back(copy);
        else
            CloseHandle(copy);
    }
    CloseHandle(snapshot);
    CloseHandle(launcher.hThread);
    CloseHandle(launcher.hProcess);
    if (copies.size() != 1) {
        for (HANDLE copy : copies)
            CloseHandle(copy);
        ADD_FAILURE() << "the uninstaller started " << copies.size() << " processes, not its one copy";
        return static_cast<DWORD>(-1);
    }
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(copies[0], timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(copies[0], &code);
    else
        TerminateProcess(copies[0], 98);
    CloseHandle(copies[0]);
    return code;
}

// The installed program, started the way its Start-menu shortcut starts it.
bool StartInstalledProgram(const Shortcut& shortcut, RunningProgram* program)
{
    std::string commandLine =
        "\"" + shortcut.target + "\"" + (shortcut.arguments.empty() ? "" : " " + shortcut.arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    return CreateProcessA(shortcut.target.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          shortcut.workingFolder.empty() ? nullptr : shortcut.workingFolder.c_str(), &startup,
                          &program->process) != FALSE;
}

bool WaitFor(const auto& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(50);
    }
    return true;
}

const std::vector<std::string> kInstalledNames = {"LICENSE.txt", "help.chm",      "quorvel.exe",
                                                  "quorvelsvc.exe", "uninstall.exe", "warning.wav"};

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Exists(SetupExe())) << SetupExe() << " is missing: build target dist";
        RemoveEarlierInstall();
        ForgetEarlierRuns();
        scratch = MakeScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        CoInitialize(nullptr);
    }
    void TearDown() override
    {
        KillProgram(&program);
        UseSimulatedServer("", "");
        RemoveEarlierInstall();
        ForgetEarlierRuns();
        CoUninitialize();
    }

    // By hand, so that a broken uninstaller cannot leave the next test a stale install.
    // The service goes first: it holds its program while it runs.
    static void RemoveEarlierInstall()
    {
        RemoveServiceByHand();
        ForgetServiceFiles();
        for (const std::string& name : FolderNames(InstallFolder()))
            DeleteFileA((InstallFolder() + "\\" + name).c_str());
        RemoveDirectoryA(InstallFolder().c_str());
        DeleteFileA(StartMenuShortcut().c_str());
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY, 0);
    }

    void Install()
    {
        ASSERT_EQ(RunAndWait(SetupExe(), "/S", kInstallerTimeoutMs), 0u) << SetupExe() << " /S";
    }

    // Installs, gives the simulated server a visitor to play and starts the program.
    void InstallAndStartProgram()
    {
        Install();
        if (!HasFatalFailure())
            PlayOneVisitor();
        if (!HasFatalFailure())
            StartProgram();
    }
    // The simulated server, in the system folder where the installed program takes
    // netapi32 from, playing one visitor.
    void PlayOneVisitor()
    {
        ASSERT_TRUE(PutSimulatedServerInSystemFolder(NativePath(QUORVEL_SIM_DLL))) << GetLastError();
        WriteFile(scratch + "visitor.scenario",
                  "0 share Projects disk C:\\Shares\\Projects\n"
                  "0 connect PC17 bob\n"
                  "0.5 open PC17 bob C:\\Shares\\Projects\\plan.docx perm=rw\n");
        journalPath = scratch + "server.journal";
        UseSimulatedServer(scratch + "visitor.scenario", journalPath);
    }

    void StartProgram()
    {
        const Shortcut shortcut = ReadShortcut(StartMenuShortcut());
        ASSERT_TRUE(shortcut.loaded);
        ASSERT_TRUE(StartInstalledProgram(shortcut, &program)) << shortcut.target;
        program.mainWindow = WaitForMainWindow(program, 30000);
        ASSERT_NE(program.mainWindow, nullptr) << "the installed program shows no main window";
        // The pages come last in start-up, after the Run value.
        ASSERT_TRUE(WaitFor(
            [&] { return (sessions = FindProgramControl(program.mainWindow, IDC_SESSIONS_LIST)) != nullptr; },
            20000));
    }

    std::string scratch;
    std::string journalPath;
    RunningProgram program;
    HWND sessions = nullptr;  // the Monitoring page's list of the running program
};

}  // namespace

TEST_F(InstallerTest, TheInstallerAsksForAdministratorRightsAndCarriesTheVersion)
{
    const std::string manifest = ReadManifest(SetupExe());
    ASSERT_FALSE(manifest.empty());
    EXPECT_EQ(XmlAttribute(manifest, "requestedExecutionLevel", "level"), "requireAdministrator");
    const VersionResource version = ReadVersionResource(SetupExe());
    ASSERT_TRUE(version.found);
    EXPECT_EQ(version.productName, "Quorvel");
    EXPECT_EQ(version.productVersion, QUORVEL_PROJECT_VERSION);
    EXPECT_EQ(version.fixedProductVersion, std::string(QUORVEL_PROJECT_VERSION) + ".0");
}

TEST_F(InstallerTest, InstallsRunsAgainstTheServerAndUninstallsKeepingTheUsersFiles)
{
    Install();
    if (HasFatalFailure())
        return;

    // The program's files and nothing else; the program is the release's.
    const std::string folder = InstallFolder();
    EXPECT_EQ(FolderNames(folder), kInstalledNames);
    for (const char* name : {"quorvel.exe", "quorvelsvc.exe", "help.chm", "warning.wav", "LICENSE.txt"})
        EXPECT_EQ(ReadFile(folder + "\\" + name), ReadFile(Staged(name))) << name;
    // The silent install keeps watching when nobody is logged on: the service runs.
    const InstalledService service = QueryInstalledService();
    ASSERT_TRUE(service.found);
    EXPECT_EQ(service.command, "\"" + folder + "\\quorvelsvc.exe\"");
    EXPECT_EQ(service.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ReadVersionResource(folder + "\\quorvel.exe").productVersion, QUORVEL_PROJECT_VERSION);

    const Shortcut shortcut = ReadShortcut(StartMenuShortcut());
    ASSERT_TRUE(shortcut.loaded) << StartMenuShortcut();
    EXPECT_EQ(shortcut.target, folder + "\\quorvel.exe");
    EXPECT_EQ(shortcut.workingFolder, folder);
    EXPECT_EQ(shortcut.arguments, "");

    EXPECT_EQ(UninstallText("DisplayName"), "Quorvel");
    EXPECT_EQ(UninstallText("DisplayVersion"), QUORVEL_PROJECT_VERSION);
    EXPECT_EQ(UninstallText("Publisher"), "The Quorvel developers");
    EXPECT_EQ(UninstallText("InstallLocation"), folder);
    EXPECT_EQ(UninstallText("DisplayIcon"), folder + "\\quorvel.exe,0");
    EXPECT_EQ(UninstallText("UninstallString"), "\"" + folder + "\\uninstall.exe\"");
    EXPECT_EQ(UninstallText("QuietUninstallString"), "\"" + folder + "\\uninstall.exe\" /S");
    EXPECT_EQ(UninstallNumber("NoModify"), 1);
    EXPECT_EQ(UninstallNumber("NoRepair"), 1);
    long long installedKb = 0;
    for (const std::string& name : kInstalledNames)
        installedKb += static_cast<long long>(ReadFile(folder + "\\" + name).size());
    installedKb /= 1024;
    EXPECT_GE(UninstallNumber("EstimatedSize"), installedKb);
    EXPECT_LE(UninstallNumber("EstimatedSize"), installedKb + 8);

    // Without the service running, the installed program from its shortcut watches the
    // simulated server itself, as an unzipped copy does.
    ASSERT_TRUE(StopInstalledService());
    PlayOneVisitor();
    if (HasFatalFailure())
        return;
    StartProgram();
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::vector<std::string> computers = RemoteListColumn(program, sessions, 0);
            return std::find(computers.begin(), computers.end(), "PC17") != computers.end();
        },
        20000))
        << "the Monitoring page never showed PC17";
    EXPECT_TRUE(WaitFor([] { return ReadFile(TodaysLogPath("log")).find("plan.docx") != std::string::npos; }, 20000))
        << "the day's log never named the opened file";
    bool enumerated = false;
    for (const JournalLine& line : ReadJournal(journalPath))
        enumerated = enumerated || (line.kind == "call" && line.what == "NetSessionEnum");
    EXPECT_TRUE(enumerated) << "the server's journal has no NetSessionEnum";
    ASSERT_EQ(ExitProgramThroughMenu(&program), 0u);

    // What the program left for its user: the Run value, the settings file, the logs.
    EXPECT_EQ(RunValue(), "\"" + folder + "\\quorvel.exe\" h");
    const std::string settings = DocumentsFolder() + "\\quorvel.ini";
    const std::string logs = DocumentsFolder() + "\\quorvel_logs";
    EXPECT_TRUE(Exists(settings)) << "the program saves its lists there on exit";
    const std::string settingsBefore = ReadFile(settings);
    const std::vector<std::string> logsBefore = FolderNames(logs);

    EXPECT_EQ(Uninstall(kInstallerTimeoutMs), 0u);

    EXPECT_FALSE(Exists(folder)) << "the install folder is left: " << ::testing::PrintToString(FolderNames(folder));
    EXPECT_FALSE(Exists(StartMenuShortcut()));
    EXPECT_FALSE(UninstallKeyExists());
    EXPECT_FALSE(QueryInstalledService().found);
    EXPECT_TRUE(Exists(ServiceFilesPath() + "\\quorvel.ini")) << "the service's settings are kept";
    EXPECT_EQ(RunValue(), "<none>");
    EXPECT_EQ(ReadFile(settings), settingsBefore) << "the settings file is the user's";
    EXPECT_FALSE(logsBefore.empty());
    EXPECT_EQ(FolderNames(logs), logsBefore) << "the logs are the user's";
}

TEST_F(InstallerTest, AnUninstallClosesTheRunningProgramAndLeavesAnotherCopysRunValue)
{
    InstallAndStartProgram();
    if (HasFatalFailure())
        return;
    // Another copy of Quorvel, unzipped elsewhere, starts at logon in this one's stead.
    const std::string otherCopy = "\"C:\\Tools\\Quorvel\\quorvel.exe\" h";
    SetRunValue(otherCopy);

    EXPECT_EQ(Uninstall(kInstallerTimeoutMs), 0u);
    EXPECT_EQ(WaitForExit(program, 0), 0u) << "the program ends through its own exit";
    EXPECT_FALSE(Exists(InstallFolder())) << "all of the program's files go: "
                                          << ::testing::PrintToString(FolderNames(InstallFolder()));
    EXPECT_FALSE(Exists(StartMenuShortcut()));
    EXPECT_FALSE(UninstallKeyExists());
    EXPECT_EQ(RunValue(), otherCopy);
}

TEST_F(InstallerTest, AnInstallOverTheRunningProgramClosesItAndReplacesIt)
{
    InstallAndStartProgram();
    if (HasFatalFailure())
        return;
    const std::string exe = InstallFolder() + "\\quorvel.exe";
    ASSERT_EQ(WaitForExit(program, 0), STILL_ACTIVE);

    Install();
    EXPECT_EQ(WaitForExit(program, 0), 0u) << "the program ends through its own exit";
    EXPECT_EQ(ReadFile(exe), ReadFile(Staged("quorvel.exe")));
    EXPECT_EQ(UninstallText("DisplayVersion"), QUORVEL_PROJECT_VERSION);
}

// A copy that does not end when asked (here: only its mutex, no window to ask): a
// silent uninstall gives up within its wait, says so by its exit code, and changes
// nothing.
TEST_F(InstallerTest, ASilentUninstallGivesUpOnAProgramThatDoesNotEnd)
{
    Install();
    if (HasFatalFailure())
        return;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
    ASSERT_NE(mutex, nullptr);
    const ULONGLONG start = GetTickCount64();
    const DWORD code = Uninstall(kInstallerTimeoutMs);
    const ULONGLONG waited = GetTickCount64() - start;
    CloseHandle(mutex);
    EXPECT_EQ(code, 2u) << "NSIS's exit code for an uninstall the script stopped";
    EXPECT_LT(waited, 60000u);
    EXPECT_EQ(FolderNames(InstallFolder()), kInstalledNames);
    EXPECT_TRUE(Exists(StartMenuShortcut()));
    EXPECT_TRUE(UninstallKeyExists());
    EXPECT_EQ(QueryInstalledService().state, static_cast<DWORD>(SERVICE_RUNNING)) << "the service is left too";

    // Once it has ended, the uninstall goes through.
    EXPECT_EQ(Uninstall(kInstallerTimeoutMs), 0u);
    EXPECT_FALSE(Exists(InstallFolder()));
    EXPECT_FALSE(UninstallKeyExists());
}

TEST_F(InstallerTest, TheServiceOptionInstallsTheServiceAnUpgradeRestartsItAndWithoutItTheServiceGoes)
{
    // The installing user's lists go over to the service, once.
    WriteFile(DocumentsFolder() + "\\quorvel.ini", "[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n");
    Install();
    if (HasFatalFailure())
        return;
    const InstalledService first = QueryInstalledService();
    ASSERT_TRUE(first.found);
    EXPECT_EQ(first.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(ReadFile(ServiceFilesPath() + "\\quorvel.ini").find("comp0=PC-BAD"), std::string::npos);

    // Over it: stopped for the copy, then started again, a new process.
    Install();
    const InstalledService upgraded = QueryInstalledService();
    ASSERT_TRUE(upgraded.found);
    EXPECT_EQ(upgraded.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(upgraded.processId, first.processId) << "the service was not stopped and started again";
    EXPECT_EQ(ReadFile(InstallFolder() + "\\quorvelsvc.exe"), ReadFile(Staged("quorvelsvc.exe")));

    // Without the option, the service an earlier install left goes, with its program.
    ASSERT_EQ(RunAndWait(SetupExe(), "/S /NOSERVICE", kInstallerTimeoutMs), 0u);
    EXPECT_FALSE(QueryInstalledService().found);
    std::vector<std::string> withoutService = kInstalledNames;
    std::erase(withoutService, "quorvelsvc.exe");
    EXPECT_EQ(FolderNames(InstallFolder()), withoutService);
    EXPECT_TRUE(Exists(ServiceFilesPath() + "\\quorvel.ini")) << "its settings are kept for a later install";

    EXPECT_EQ(Uninstall(kInstallerTimeoutMs), 0u) << "an install without the service uninstalls too";
    EXPECT_FALSE(Exists(InstallFolder()));
}
