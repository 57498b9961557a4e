#include "windows/exit_program.h"

#include <windows.h>

#include "engine/detection.h"
#include "engine/engine_state.h"
#include "rules/block_rules.h"
#include "windows/tray_icon.h"

void PrepareExit()
{
    RemoveTrayIcon();
    SaveComputerLists(engineState.rules);
    FinishDelivery();
}

void ExitProgram()
{
    PrepareExit();
    ExitProcess(0);
}
