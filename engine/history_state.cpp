#include "engine/history_state.h"

HistoryState historyState;
