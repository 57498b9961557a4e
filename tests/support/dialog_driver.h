// Drives the program's modal dialogs and message boxes from a second thread, as a
// user at the machine would: the test thread stays inside the dialog's own loop.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

// A top-level dialog with this title, waited for up to `timeoutMs`; nullptr if none.
HWND WaitForDialog(const char* title, DWORD timeoutMs);
// The message box `dialog` opens, waited for until it shows; nullptr once `dialog`
// has ended instead (or after `timeoutMs`, for a test gone wrong).
HWND WaitForMessageBoxOf(HWND dialog, DWORD timeoutMs = 10000);
// Waits until `window` no longer exists; false after `timeoutMs`.
bool WaitUntilGone(HWND window, DWORD timeoutMs = 10000);
// The text of a message box.
std::string MessageBoxText(HWND box);
// Presses a dialog's button (IDOK, IDCANCEL, ...), as a click does.
void PressButton(HWND dialog, int id);

// Runs `drive` on its own thread for the lifetime of this object.
class DialogDriver {
public:
    explicit DialogDriver(std::function<void()> drive) : thread_(std::move(drive)) {}
    ~DialogDriver() { thread_.join(); }
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

private:
    std::thread thread_;
};
