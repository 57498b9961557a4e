// The program's start-up: it puts the layers together (docs/layers.md).
//
// The threads the program starts, what each owns, and how work crosses between them:
// - the main window's thread (the process's first): the main window, its pages and
//   every dialog and message box; the engine's state, which it alone writes; and the
//   thread timers its message loops dispatch: the 200 ms poll, the 100 ms block round,
//   the 1 s tray blink and, while a burst is delivered, the 10 ms delivery timer.
// - a worker per file server watched besides this computer (engine/watch/server_workers.h):
//   every call to its server. It hands each enumeration over in a reply slot and posts
//   WM_SERVER_REPLY; the main window's thread takes it, frees the slot, and puts
//   deletions in the worker's request ring (core/handoff.h).
// - the notify window's thread (windows/notify_window.h): the notify window, as a
//   modal dialog for the life of the process. The main window's thread hands it lines
//   in a slot with WM_NOTIFY_LINES; a click on its list comes back as
//   WM_NOTIFY_WINDOW_CLICKED.
// - the sound alert's worker (windows/sound_alert.h): plays warning.wav, woken by one
//   manual-reset event.
// - the update check (windows/update_check.h): one request at start-up, then it ends;
//   its offer is its own message box.
// - the history's writer (engine/history/history_store.h): the database file, the reading of
//   the daily logs and the daily prune. The main window's thread only copies each
//   event into the history's queue (engine/history/history_queue.h) as delivery publishes it.
// - the history's search thread (engine/history/history_search.h): searches, their rows and
//   the files made from them, on a connection of its own; it posts WM_HISTORY_NOTICE
//   to the History page, which asks for rows by index.
// Values read across threads are std::atomic fields of the two state records.
#pragma once

#include <windows.h>

#include <span>

constexpr char kMutexName[] = "quorvel";

// The process entry: returns 0 at once when another copy runs; otherwise the
// process ends inside the exit path and this never returns.
int RunProgram(HINSTANCE instance, const char* arguments);

// The first character of the arguments, blanks before it skipped; 0 for none.
char CommandCharOf(const char* arguments);

// The main window's creation: starts every other part of the program in order. The
// main window is created with it as its start-up (windows/main_window.h).
void RunMainWindowStartUp(HWND window);
// The same steps, one by one, as RunMainWindowStartUp takes them.
struct StartUpStep {
    const char* what;
    void (*run)(HWND window);
};
std::span<const StartUpStep> StartUpSequence();

// The settings file and the log folder in the user's documents folder (or beside the
// program when the shell cannot say), the log folder made when missing.
void ResolveFolders();
