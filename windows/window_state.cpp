#include "windows/window_state.h"

WindowState windowState;
