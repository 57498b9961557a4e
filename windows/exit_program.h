// The one way the program ends, whatever asks for it: File > Exit, the tray's Exit,
// access denied, or Windows ending the session.
#pragma once

// What is done before the process ends: the tray icon goes, the computer lists and
// the block mode are saved, and every event found so far reaches the logs, the
// backlog of a log that could not take it included.
void PrepareExit();
// The orderly exit: ends the process with exit code 0.
[[noreturn]] void ExitProgram();
