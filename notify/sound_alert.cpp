#include "notify/sound_alert.h"

#include "core/app_state.h"

void CreateSoundAlertEvent()
{
    appState.soundAlertEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void SignalSoundAlert()
{
    if (appState.soundAlertEvent)
        SetEvent(appState.soundAlertEvent);
}
