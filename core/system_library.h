// Libraries the program and the service load by name come from the system folder
// only. The folder an exe stands in may be one a user can write (a zip extracted into
// Downloads, a folder made under C:\), and the platform looks there first for a
// library that is not one of its known DLLs (netapi32, winhttp, wininet, winmm): a
// library planted beside the exe would run with the exe's rights, SYSTEM for the
// service. So the exes import only known DLLs, and bind the rest here.
#pragma once

#include <windows.h>

// First thing in every entry point: the libraries the process loads later, and
// those the system's own libraries load for it, come from the system folder.
void KeepLibrariesToTheSystemFolder();

// The system folder's copy of `name` ("netapi32.dll"), or nullptr with the system's error.
HMODULE LoadSystemLibrary(const wchar_t* name);

// A function of a library loaded above, by name; nullptr when it has none.
template <typename Function>
Function SystemFunction(HMODULE library, const char* name)
{
    if (!library)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}
