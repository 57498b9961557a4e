#include "support/test_support.h"

#include "engine/history/history_store.h"

#include <shlobj.h>

#include <atomic>
#include <array>

#include "app/startup.h"
#include "core/text.h"
#include "resources/resource.h"
#include "support/dialog_driver.h"
#include "windows/engine_rounds.h"
#include "windows/main_window.h"
#include "windows/tray_icon.h"
#include "windows/window_state.h"

namespace {

// Every thread timer the program starts (start-up, and the poll's delivery). The
// fixtures stop them all, and a thread timer that is none of them fails the test
// whose message pump meets it, so a timer added later cannot outlive its test unseen.
constexpr UINT_PTR WindowState::*kProgramThreadTimers[] = {&WindowState::pollTimer, &WindowState::blockTimer,
                                                         &WindowState::blinkTimer, &WindowState::deliveryTimer};

std::atomic<int> strayTimersMet{0};

bool IsProgramThreadTimer(UINT_PTR id)
{
    for (UINT_PTR WindowState::*timer : kProgramThreadTimers)
        if (id != 0 && windowState.*timer == id)
            return true;
    return false;
}

}  // namespace

void StopProgramTimers()
{
    for (UINT_PTR WindowState::*timer : kProgramThreadTimers) {
        if (windowState.*timer)
            KillTimer(nullptr, windowState.*timer);
        windowState.*timer = 0;
    }
}

int StrayTimersMet()
{
    return strayTimersMet;
}

void ResetWindowState()
{
    // The sound event stays open: a worker thread of an earlier test may still wait on it.
    ZeroMemory(&windowState, sizeof(windowState));  // too large for a temporary on the stack
    windowState.instance = GetModuleHandleA(nullptr);
    windowState.accessCheckArmed = 1;
    windowState.notifyLifetime = 4;
}

void QuorvelTest::SetUp()
{
    EngineTest::SetUp();
    ResetWindowState();
}

void QuorvelTest::Restart()
{
    StopProgramTimers();  // the earlier run's went with it
    EngineTest::Restart();
    ResetWindowState();
}

void QuorvelTest::TearDown()
{
    StopProgramTimers();
    ResetWindowState();
    EngineTest::TearDown();
}

void RunPollTicks(int count)
{
    for (int i = 0; i < count; ++i) {
        TheFakeClock().AdvanceMilliseconds(200);
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
    window = CreateDialogParamA(windowState.instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, Procedure(),
                                reinterpret_cast<LPARAM>(RunMainWindowStartUp));
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
    if (windowState.trayIconAdded)
        RemoveTrayIcon();
    UnregisterHotKey(window, 0);
    // The notify window's thread ends with its modal loop.
    if (windowState.notifyThreadId) {
        if (HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, windowState.notifyThreadId)) {
            PostThreadMessageA(windowState.notifyThreadId, WM_QUIT, 0, 0);
            WaitForSingleObject(thread, 5000);
            CloseHandle(thread);
        }
    }
    if (window)
        DestroyWindow(window);
    CloseHistory();  // the start-up opened it on the test's folder
    WriteDocumentsSetting(documentsBefore);
    QuorvelTest::TearDown();
}

void MainWindowTest::ExpectExploreShowsTheFolderAndRunsNothing(HWND list, HWND page, UINT exploreCommand,
                                                              const char* folderTitle, const std::string& marker)
{
    for (const bool enter : {true, false}) {
        const char* how = enter ? "Enter" : "the menu's Explore";
        if (enter) {
            SetFocus(list);
            SendMessageA(window, WM_COMMAND, IDOK, 0);
        } else {
            SendMessageA(page, WM_COMMAND, exploreCommand, 0);
        }
        HWND shown = nullptr;
        for (const ULONGLONG deadline = GetTickCount64() + 20000;
             GetTickCount64() < deadline && !shown && !FileExists(marker); PumpMessages(20))
            shown = FindWindowA("ExplorerWClass", folderTitle);
        EXPECT_FALSE(FileExists(marker)) << how << " ran the share user's batch file";
        ASSERT_NE(shown, nullptr) << how << ": the file's folder did not open";
        PostMessageA(shown, WM_CLOSE, 0, 0);
        ASSERT_TRUE(WaitUntilGone(shown));
    }
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
