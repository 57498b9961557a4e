#include "notify/sound_alert.h"

#include <mmsystem.h>

#include "core/app_state.h"
#include "core/startup.h"
#include "core/text.h"

namespace {

void PauseAfterSound()
{
    Sleep(kSoundAlertPause);
}

constexpr SoundAlertActions kPlatformActions = {PlayWarningSound, PauseAfterSound};

}  // namespace

void CreateSoundAlertEvent()
{
    appState.soundAlertEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void StartSoundAlertWorker()
{
    HANDLE thread = CreateThread(nullptr, 0, SoundAlertWorker, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
}

void SignalSoundAlert()
{
    if (appState.soundAlertEvent)
        SetEvent(appState.soundAlertEvent);
}

void RunSoundAlertRound(const SoundAlertActions& actions)
{
    WaitForSingleObject(appState.soundAlertEvent, INFINITE);
    ResetEvent(appState.soundAlertEvent);
    actions.play();
    actions.pause();
}

DWORD WINAPI SoundAlertWorker(LPVOID)
{
    for (;;)
        RunSoundAlertRound(kPlatformActions);
}

void PlayWarningSound()
{
    // Beside the program first: started at logon, the current folder is not ours.
    PathText path{};
    FormatText(path, "%s%s", ProgramFolderPath().data(), kWarningSound);
    if (!sndPlaySoundA(path.data(), SND_SYNC | SND_NODEFAULT))
        sndPlaySoundA(kWarningSound, SND_SYNC);
}
