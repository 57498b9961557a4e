#include "windows/exit_program.h"

#include <windows.h>

#include "core/event_log.h"
#include "core/product.h"
#include "engine/watch/detection.h"
#include "engine/watch/engine_state.h"
#include "engine/forward/forwarding_control.h"
#include "engine/history/history_store.h"
#include "engine/watch/share_denies.h"
#include "engine/watch/trips.h"
#include "rules/block_rules.h"
#include "windows/tray_icon.h"
#include "windows/window_state.h"

void PrepareExit()
{
    RemoveTrayIcon();
    if (windowState.serviceMode) {
        CloseHistory();  // the service's file, searched from here
        return;  // the service keeps watching, its lists and logs its own
    }
    SaveComputerLists(engineState.rules);
    StopShareDenies();
    NoteDeniedShares();  // what the denies did last goes to the history and the collector too
    FinishDelivery();
    EndForwarding();  // after the last delivery, whose events it takes to the spool
    CloseHistory();  // after the last delivery: what it stored goes in too
    ReportProductEvent(QUORVEL_EVENT_STOPPED, {kProductTitle});
}

void ExitProgram()
{
    PrepareExit();
    ExitProcess(0);
}
