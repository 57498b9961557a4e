// A library planted beside an exe under a system library's name: when anything loads
// it, it leaves "marker-loaded.txt" beside itself and nothing else.
#include <windows.h>

#include <array>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    std::array<char, MAX_PATH + 32> path{};
    DWORD length = GetModuleFileNameA(module, path.data(), MAX_PATH);
    while (length > 0 && path[length - 1] != '\\')
        --length;
    lstrcpyA(path.data() + length, "marker-loaded.txt");
    const HANDLE file = CreateFileA(path.data(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}

// The functions a program imports from the library it stands in for, so that a loader
// resolving an import table takes it whole; each refuses.
#define MARKER_EXPORT extern "C" __declspec(dllexport) DWORD WINAPI
MARKER_EXPORT NetSessionEnum() { return ERROR_NOT_SUPPORTED; }
MARKER_EXPORT NetFileEnum() { return ERROR_NOT_SUPPORTED; }
MARKER_EXPORT NetShareEnum() { return ERROR_NOT_SUPPORTED; }
MARKER_EXPORT NetSessionDel() { return ERROR_NOT_SUPPORTED; }
MARKER_EXPORT NetFileClose() { return ERROR_NOT_SUPPORTED; }
MARKER_EXPORT NetShareDel() { return ERROR_NOT_SUPPORTED; }
MARKER_EXPORT NetApiBufferFree() { return ERROR_NOT_SUPPORTED; }
