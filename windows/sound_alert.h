// The warning sound, played by a worker thread at most once per ten-second pause.
#pragma once

#include <windows.h>

constexpr DWORD kSoundAlertPause = 10000;
constexpr char kWarningSound[] = "warning.wav";

// How the worker plays and pauses; tests put their own in place.
struct SoundAlertActions {
    void (*play)();
    void (*pause)();
};

// Creates the manual-reset event the worker waits on.
void CreateSoundAlertEvent();
// Starts the worker thread; it runs for the life of the process.
void StartSoundAlertWorker();
// Wakes the worker; signals that arrive while it plays or pauses merge into one.
void SignalSoundAlert();

// One round of the worker: wait for the event, reset it, play, pause. Because the
// event is reset before playing, a burst of signals gives one sound now and at
// most one more after the pause. False when there is no event to wait for.
bool RunSoundAlertRound(const SoundAlertActions& actions);
DWORD WINAPI SoundAlertWorker(LPVOID);

// Plays warning.wav from the program's folder, or the name as the platform resolves it.
void PlayWarningSound();
