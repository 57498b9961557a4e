#include <windows.h>

#include "app/startup.h"
#include "core/system_library.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR arguments, int)
{
    KeepLibrariesToTheSystemFolder();
    return RunProgram(instance, arguments);
}
