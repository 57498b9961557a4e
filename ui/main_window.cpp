#include "ui/main_window.h"

#include "core/app_state.h"
#include "core/startup.h"
#include "resources/resource.h"

namespace {

// Hiding can be undone by the platform's own show right after creation, so repeat it.
void OnStartHiddenTimer(HWND window)
{
    for (int attempt = 0; attempt < 100 && IsWindowVisible(window); ++attempt)
        ShowWindow(window, SW_HIDE);
    KillTimer(window, kStartHiddenTimer);
}

void OnMainCommand(HWND, WPARAM command)
{
    switch (command) {
    case IDM_EXIT: ExitProgram();
    }
}

}  // namespace

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: RunMainWindowStartUp(window); break;
    case WM_SHOWWINDOW: InterlockedExchange(&appState.mainWindowShown, wParam ? 1 : 0); break;
    case WM_TIMER: OnStartHiddenTimer(window); break;
    case WM_CLOSE: ShowWindow(window, SW_HIDE); break;
    case WM_COMMAND: OnMainCommand(window, wParam); break;
    }
    return 0;
}
