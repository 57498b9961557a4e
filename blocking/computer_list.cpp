#include "blocking/computer_list.h"

#include "core/app_state.h"

ComputerList& ActiveComputerList()
{
    return appState.blockMode ? appState.whitelist : appState.blacklist;
}
