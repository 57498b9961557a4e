#include "core/system_library.h"

#include <array>

#include "core/text.h"

namespace {

// Spelled here: the headers declare them for Windows 8 and later only, and Windows 7
// has them with its security update KB2533623.
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);

}  // namespace

void KeepLibrariesToTheSystemFolder()
{
    // The current folder out of the search, on every version.
    SetDllDirectoryW(L"");
    const auto setDefault =
        SystemFunction<SetDefaultDirectories>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefault)
        setDefault(kSearchSystem32);
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    if (HMODULE library = LoadLibraryExW(name, nullptr, kSearchSystem32))
        return library;
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return nullptr;
    // A Windows 7 without the update knows no search flags: the whole path then, whose
    // folder is also where the library's own imports are looked for first.
    std::array<wchar_t, MAX_PATH> path{};
    const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
    if (length == 0 || length >= path.size())
        return nullptr;
    const std::size_t at = CopyWideText(std::span(path).subspan(length), L"\\") + length;
    if (CopyWideText(std::span(path).subspan(at), name) + at + 1 >= path.size())
        return nullptr;
    return LoadLibraryExW(path.data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
