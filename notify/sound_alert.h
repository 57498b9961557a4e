// The warning sound, played by a worker thread at most once per ten-second pause.
#pragma once

// Creates the manual-reset event the worker waits on.
void CreateSoundAlertEvent();
// Wakes the worker; signals that arrive while it plays or pauses merge into one.
void SignalSoundAlert();
