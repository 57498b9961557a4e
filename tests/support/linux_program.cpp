#include "support/linux_program.h"

#include <windows.h>

bool StartLinuxProgram(const char* program, std::string commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // For a Linux program Wine returns TRUE with no process handle and stack bytes
    // where the thread's handle and the ids go: closing that "handle" closed one of
    // this process's own (once, the socket layer's event of the test's thread). So
    // nothing it returns is touched.
    return CreateProcessA(program, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process) != FALSE;
}
