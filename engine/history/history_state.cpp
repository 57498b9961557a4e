#include "engine/history/history_state.h"

HistoryState historyState;
