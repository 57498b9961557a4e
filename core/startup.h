// The program's entry, its start-up order, the Run value, the hot key and the exit.
#pragma once

#include <windows.h>

#include <span>

#include "core/app_state.h"
#include "core/product.h"

constexpr char kMutexName[] = "quorvel";
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunValueName[] = "Quorvel";
constexpr int kMainWindowWidth = 720;
constexpr int kMainWindowHeight = 480;
constexpr UINT_PTR kStartHiddenTimer = 1;
constexpr int kHotKeyId = 0;

// The process entry: returns 0 at once when another copy runs; otherwise the
// process ends inside the exit paths and this never returns.
int RunProgram(HINSTANCE instance, const char* arguments);

// The first character of the arguments, blanks before it skipped; 0 for none.
char CommandCharOf(const char* arguments);

// The main window's creation: starts every other part of the program in order.
void RunMainWindowStartUp(HWND window);
// The same steps, one by one, as RunMainWindowStartUp takes them.
struct StartUpStep {
    const char* what;
    void (*run)(HWND window);
};
std::span<const StartUpStep> StartUpSequence();

// Writes (non-zero) or deletes (zero) the Run value; failures are ignored.
void SetRunAtStartup(int enable);
// The Run value's text: the executable's path in quotes, then " h".
bool FormatRunCommand(std::span<char> text);

// From the hot key control's value: modifiers for RegisterHotKey and the key.
// False when the value names no key.
bool DecodeHotKey(int value, UINT* modifiers, UINT* virtualKey);
// Re-registers hot key 0 of the main window; a refused registration is ignored.
void ApplyHotKey(int value);

// What every way the program ends does before the process ends (File > Exit, the
// tray's Exit, access denied, the end of the Windows session): the tray icon goes,
// the computer lists and the block mode are saved, and every event found so far
// reaches the logs, the backlog of a log that could not take it included.
void PrepareExit();
// The orderly exit: ends the process with exit code 0.
[[noreturn]] void ExitProgram();
