// Starts the real quorvel.exe beside the test program and watches it from outside.
#pragma once

#include <windows.h>

#include <string>

struct RunningProgram {
    PROCESS_INFORMATION process{};
    HWND mainWindow = nullptr;
};

std::string ProgramFolder();
std::string DocumentsFolder();
std::string TodaysLogPath(const char* extension);

// Starts quorvel.exe with `arguments`; false if it could not be started.
bool StartProgram(const std::string& arguments, RunningProgram* program);
// Waits for the program's main window to exist.
HWND WaitForMainWindow(const RunningProgram& program, DWORD timeoutMs);
// Waits for the process to end; returns its exit code, or STILL_ACTIVE on time-out.
DWORD WaitForExit(const RunningProgram& program, DWORD timeoutMs);
// Asks the program to exit through its File menu and waits; kills it if it does not.
DWORD ExitProgramThroughMenu(RunningProgram* program);
void KillProgram(RunningProgram* program);

// Removes the settings file, the logs and the Run value a previous run left.
void ForgetEarlierRuns();
