#pragma once
// Starting a Linux program from a test under Wine (a collector, a receiver, rm, ln).
#include <string>

// Starts `program` (a Windows path to a Linux executable, Z:\bin\sh say) with
// `commandLine`; true when Wine started it. Nothing waits for it: Wine gives no
// handle of a Linux process, so a caller waits for what the program does.
bool StartLinuxProgram(const char* program, std::string commandLine);
