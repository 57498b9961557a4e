#include "windows/sound_alert.h"

#include <mmsystem.h>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/product.h"
#include "core/system_library.h"
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
    windowState.soundAlertEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void StartSoundAlertWorker()
{
    HANDLE thread = CreateThread(nullptr, 0, SoundAlertWorker, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
}

void SignalSoundAlert()
{
    if (windowState.soundAlertEvent)
        SetEvent(windowState.soundAlertEvent);
}

bool RunSoundAlertRound(const SoundAlertActions& actions)
{
    if (WaitForSingleObject(windowState.soundAlertEvent, INFINITE) != WAIT_OBJECT_0)
        return false;
    ResetEvent(windowState.soundAlertEvent);
    actions.play();
    actions.pause();
    return true;
}

DWORD WINAPI SoundAlertWorker(LPVOID)
{
    while (RunSoundAlertRound(kPlatformActions)) {
    }
    return 0;
}

void PlayWarningSound()
{
    // The system folder's winmm (core/system_library.h says why), bound once.
    static const auto play = SystemFunction<decltype(&sndPlaySoundA)>(LoadSystemLibrary(L"winmm.dll"), "sndPlaySoundA");
    if (!play)
        return;
    // Beside the program first: started at logon, the current folder is not ours.
    PathText path{};
    FormatText(path, "%s%s", ProgramFolderPath().data(), kWarningSound);
    if (!play(path.data(), SND_SYNC | SND_NODEFAULT))
        play(kWarningSound, SND_SYNC);
}
