#include "support/test_support.h"

#include <shlobj.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/app_state.h"
#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "monitor/activity_poller.h"
#include "monitor/event_log.h"
#include "notify/tray_icon.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

FakeClock fakeClock;

void FakeLocalTime(SYSTEMTIME* now)
{
    *now = fakeClock.now;
}

ULONGLONG FakeMilliseconds()
{
    return fakeClock.milliseconds;
}

constexpr ClockSource kFakeClockSource = {FakeLocalTime, FakeMilliseconds};

// Every thread timer the program starts (start-up, and the poll's delivery). The
// fixtures stop them all, and a thread timer that is none of them fails the test
// whose message pump meets it, so a timer added later cannot outlive its test unseen.
constexpr UINT_PTR AppState::*kProgramThreadTimers[] = {&AppState::pollTimer, &AppState::blockTimer,
                                                         &AppState::blinkTimer, &AppState::deliveryTimer};

std::atomic<int> strayTimersMet{0};

bool IsProgramThreadTimer(UINT_PTR id)
{
    for (UINT_PTR AppState::*timer : kProgramThreadTimers)
        if (id != 0 && appState.*timer == id)
            return true;
    return false;
}

void DeleteTree(const std::string& folder)
{
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

// A new, empty folder for each test, whatever an earlier run left.
std::string MakeTestFolder()
{
    static std::atomic<int> serial{0};
    std::array<char, MAX_PATH> temp{};
    GetTempPathA(static_cast<DWORD>(temp.size()), temp.data());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string folder = std::string(temp.data()) + "quorvel-tests\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++) + "-" +
              (info ? info->name() : "test");
    for (char& c : folder)
        if (c == '/')
            c = '_';
    DeleteTree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder + "\\";
}

}  // namespace

ULONGLONG FakeClockStart()
{
    std::array<char, 32> text{};
    const DWORD length =
        GetEnvironmentVariableA("QUORVEL_FAKE_CLOCK_START_MS", text.data(), static_cast<DWORD>(text.size()));
    if (length > 0 && length < text.size())
        return std::strtoull(text.data(), nullptr, 10);
    return 1ull << 40;
}

void FakeClock::Reset()
{
    now = {};
    milliseconds = FakeClockStart();
}

void FakeClock::Set(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    now = {};
    now.wYear = year;
    now.wMonth = month;
    now.wDay = day;
    now.wHour = hour;
    now.wMinute = minute;
    now.wSecond = second;
    FILETIME asFile{};
    SystemTimeToFileTime(&now, &asFile);
    FileTimeToSystemTime(&asFile, &now);  // fills the day of the week
}

void FakeClock::AdvanceMilliseconds(ULONGLONG amount)
{
    milliseconds += amount;
    FILETIME asFile{};
    SystemTimeToFileTime(&now, &asFile);
    ULARGE_INTEGER value{};
    value.LowPart = asFile.dwLowDateTime;
    value.HighPart = asFile.dwHighDateTime;
    value.QuadPart += amount * 10'000;
    asFile.dwLowDateTime = value.LowPart;
    asFile.dwHighDateTime = value.HighPart;
    FileTimeToSystemTime(&asFile, &now);
}

void RecordTrial(const char* area, const char* tried, const char* held)
{
    ::testing::Test::RecordProperty("area", area);
    ::testing::Test::RecordProperty("tried", tried);
    ::testing::Test::RecordProperty("held", held);
}

FakeClock& TheFakeClock()
{
    return fakeClock;
}

void StopProgramTimers()
{
    for (UINT_PTR AppState::*timer : kProgramThreadTimers) {
        if (appState.*timer)
            KillTimer(nullptr, appState.*timer);
        appState.*timer = 0;
    }
}

int StrayTimersMet()
{
    return strayTimersMet;
}

void ResetAppState()
{
    char* buffer = appState.RunCsvBuffer;
    for (HANDLE file : {appState.logs.textFile, appState.logs.csvFile})
        if (file)
            CloseHandle(file);
    // The sound event stays open: a worker thread of an earlier test may still wait on it.
    ZeroMemory(&appState, sizeof(appState));  // too large for a temporary on the stack
    appState.RunCsvBuffer = buffer;
    if (!appState.RunCsvBuffer)
        AllocateRunCsvBuffer();
    ClearRunCsvBuffer();
    appState.instance = GetModuleHandleA(nullptr);
    appState.accessCheckArmed = 1;
    appState.notifyLifetime = 4;
}

void ApplyDefaultSettings()
{
    for (const SettingKey* setting : kSettingKeys)
        appState.settings.*setting->field = setting->defaultValue;
}

void QuorvelTest::SetUp()
{
    ResetAppState();
    ApplyDefaultSettings();
    folder = MakeTestFolder();
    FormatText(appState.settingsPath, "%squorvel.ini", folder.c_str());
    FormatText(appState.logFolder, "%squorvel_logs\\", folder.c_str());
    CreateDirectoryA(appState.logFolder.data(), nullptr);
    server = &InstallFakeServer();
    fakeClock.Reset();
    fakeClock.Set(2026, 3, 7, 9, 5, 7);
    InstallClock(&kFakeClockSource);
    clock = &fakeClock;
    StartActivityPoller();
}

void QuorvelTest::Restart()
{
    const PathText settingsPath = appState.settingsPath;
    const PathText logFolder = appState.logFolder;
    StopProgramTimers();  // the earlier run's went with it
    ResetAppState();
    ApplyDefaultSettings();
    appState.settingsPath = settingsPath;
    appState.logFolder = logFolder;
    StartActivityPoller();
}

void QuorvelTest::TearDown()
{
    EXPECT_EQ(TheFakeServer().buffersOut, 0) << "every enumeration buffer is released";
    StopProgramTimers();
    ResetAppState();
    InstallClock(nullptr);
    UninstallFakeServer();
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string RunCsvText()
{
    return appState.RunCsvBuffer ? std::string(appState.RunCsvBuffer) : std::string();
}

void RunPollTicks(int count)
{
    for (int i = 0; i < count; ++i) {
        fakeClock.AdvanceMilliseconds(200);
        OnPollTick();
    }
}

namespace {

constexpr char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

}  // namespace

// Where the shell finds the user's documents folder: the main window's start-up
// asks the shell, so the test points the shell at its own folder.
std::string MainWindowTest::ReadDocumentsSetting()
{
    std::array<char, MAX_PATH> value{};
    DWORD size = static_cast<DWORD>(value.size());
    if (RegGetValueA(HKEY_CURRENT_USER, kUserShellFolders, "Personal", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                     RRF_NOEXPAND, nullptr, value.data(), &size) != ERROR_SUCCESS)
        return {};
    return value.data();
}

void MainWindowTest::WriteDocumentsSetting(const std::string& path)
{
    if (path.empty())
        return;
    RegSetKeyValueA(HKEY_CURRENT_USER, kUserShellFolders, "Personal", REG_EXPAND_SZ, path.c_str(),
                    static_cast<DWORD>(path.size() + 1));
}

void MainWindowTest::SetUp()
{
    QuorvelTest::SetUp();
    documentsBefore = ReadDocumentsSetting();
    WriteDocumentsSetting(folder.substr(0, folder.size() - 1));
    BeforeStart();
    window = CreateDialogParamA(appState.instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, Procedure(), 0);
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_SHOW);  // what the modal dialog does once its creation is over
    PumpMessages();
}

DLGPROC MainWindowTest::Procedure() const
{
    return MainWindowProc;
}

void MainWindowTest::TearDown()
{
    StopProgramTimers();
    if (appState.trayIconAdded)
        RemoveTrayIcon();
    UnregisterHotKey(window, 0);
    // The notify window's thread ends with its modal loop.
    if (appState.notifyThreadId) {
        if (HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, appState.notifyThreadId)) {
            PostThreadMessageA(appState.notifyThreadId, WM_QUIT, 0, 0);
            WaitForSingleObject(thread, 5000);
            CloseHandle(thread);
        }
    }
    if (window)
        DestroyWindow(window);
    WriteDocumentsSetting(documentsBefore);
    QuorvelTest::TearDown();
}

void MainWindowTest::PumpMessages(DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    do {
        MSG message{};
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_TIMER && !message.hwnd && !IsProgramThreadTimer(message.wParam)) {
                // Not run: its procedure would work on a record that is not its own.
                ADD_FAILURE() << "a thread timer the fixtures do not stop fired (id " << message.wParam << ")";
                KillTimer(nullptr, message.wParam);
                ++strayTimersMet;
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(5);
    } while (GetTickCount64() < end);
}

RECT MainWindowTest::ClientRectOf(HWND control) const
{
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

RECT MainWindowTest::RectInPage(HWND page, int control)
{
    RECT rect{};
    GetWindowRect(GetDlgItem(page, control), &rect);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}
