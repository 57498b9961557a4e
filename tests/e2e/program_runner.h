// Starts the real quorvel.exe beside the test program and watches it from outside.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct RunningProgram {
    PROCESS_INFORMATION process{};
    HWND mainWindow = nullptr;
};

std::string ProgramFolder();
std::string DocumentsFolder();
std::string TodaysLogPath(const char* extension);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// A new, empty folder for one test's scenario and journal, ending with a backslash.
std::string MakeScratchFolder(const std::string& name);

bool UnderWine();
// The program and the service take netapi32 from the system folder only: under Wine
// the simulated server is put there (the prefix's own; never on Windows). False when
// it is not there.
bool PutSimulatedServerInSystemFolder(const std::string& simDll);
// The simulated server the program will find (the one built beside this test program,
// put in the system folder): the scenario it plays (empty text: an empty server) and
// the journal it keeps (empty: none).
void UseSimulatedServer(const std::string& scenarioPath, const std::string& journalPath);

// Starts quorvel.exe with `arguments`; false if it could not be started.
bool StartProgram(const std::string& arguments, RunningProgram* program);
// Waits for the program's main window to exist.
HWND WaitForMainWindow(const RunningProgram& program, DWORD timeoutMs);
// The program's visible top-level dialogs with this title (message boxes among them).
std::vector<HWND> ProgramDialogs(const RunningProgram& program, const char* title);
// A control of the program's windows by its id, searched among all the main window's children.
HWND FindProgramControl(HWND mainWindow, int id);
// The texts of one column of another process's list view.
std::vector<std::string> RemoteListColumn(const RunningProgram& program, HWND list, int column);
// Selects one row of another process's list view (and only that one).
void SelectRemoteRow(const RunningProgram& program, HWND list, int row);
// Waits for the process to end; returns its exit code, or STILL_ACTIVE on time-out.
DWORD WaitForExit(const RunningProgram& program, DWORD timeoutMs);
// Asks the program to exit through a menu command and waits; kills it if it does not.
DWORD ExitProgramThroughMenu(RunningProgram* program, WPARAM command = 40010);
void KillProgram(RunningProgram* program);

// The program's Run value, or "<none>".
std::string RunValue();

// Removes the settings file, the logs and the Run value a previous run left.
void ForgetEarlierRuns();
// Removes a folder and everything in it; a link in it goes, never what it leads to.
void DeleteFolder(const std::string& folder);
void RemoveLink(const std::string& path);

// One line of the simulated server's journal.
struct JournalLine {
    long long t = -1;       // milliseconds since the scenario started
    std::string clock;      // hh:mm:ss.mmm, local time
    std::string kind;       // call, event, ...
    std::string what;       // NetFileEnum, open, ...
    std::string text;       // the whole line
    std::string Field(const std::string& key) const;  // value of key=..., quotes removed
};
std::vector<JournalLine> ReadJournal(const std::string& path);

// The lines of a text, without their CR LF ends.
std::vector<std::string> Lines(const std::string& text);
