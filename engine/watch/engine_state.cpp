#include "engine/watch/engine_state.h"

EngineState engineState;
