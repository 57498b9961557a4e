#include "windows/explore.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <array>

#include "core/text.h"

namespace {

constexpr std::size_t kShellPathUnits = 32768;
constexpr std::size_t kComputerNameUnits = 256;

bool IsControlUnit(wchar_t c)
{
    return c < 0x20 || c == 0x7F;
}

// Characters no computer name holds, and that would make "\\NAME" a path to something else.
bool IsNameBreaker(wchar_t c)
{
    return IsControlUnit(c) || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos;
}

bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// COM for the shell's calls on this thread, for as long as the call lasts.
struct ShellApartment {
    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellApartment() = default;
    ~ShellApartment()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
    ShellApartment(const ShellApartment&) = delete;
    ShellApartment& operator=(const ShellApartment&) = delete;
};

// The folder selected with its item: the shell's own call, which opens nothing itself.
bool SelectInFolder(const wchar_t* path)
{
    PIDLIST_ABSOLUTE item = nullptr;
    SFGAOF attributes = 0;
    if (FAILED(SHParseDisplayName(path, nullptr, &item, 0, &attributes)) || !item)
        return false;
    const bool shown = SUCCEEDED(SHOpenFolderAndSelectItems(item, 0, nullptr, 0));
    CoTaskMemFree(item);
    return shown;
}

bool IsFolder(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool IsExplorableComputer(std::wstring_view name)
{
    if (name.empty() || name.size() >= kComputerNameUnits || name.front() == L'.')
        return false;
    for (const wchar_t c : name)
        if (IsNameBreaker(c))
            return false;
    return true;
}

bool IsExplorablePath(std::wstring_view path)
{
    if (path.size() < 4 || path.size() >= kShellPathUnits)
        return false;
    for (const wchar_t c : path)
        if (IsControlUnit(c) || std::wstring_view(L"\"*?<>|").find(c) != std::wstring_view::npos)
            return false;
    const std::wstring_view rest = path.substr(2);
    if (IsDriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\')
        return rest.find(L':') == std::wstring_view::npos;  // no stream after the drive
    // "\\SERVER\SHARE\file": not "\\?\" or "\\.\", which name devices and raw paths.
    if (path[0] != L'\\' || path[1] != L'\\' || rest.find(L':') != std::wstring_view::npos)
        return false;
    const std::size_t serverEnd = rest.find(L'\\');
    if (serverEnd == std::wstring_view::npos || !IsExplorableComputer(rest.substr(0, serverEnd)))
        return false;
    const std::size_t shareEnd = rest.find(L'\\', serverEnd + 1);
    return shareEnd != std::wstring_view::npos && shareEnd > serverEnd + 1 && shareEnd + 1 < rest.size();
}

void OpenComputerInShell(std::wstring_view name)
{
    if (!IsExplorableComputer(name))
        return;
    std::array<wchar_t, kComputerNameUnits + 2> target{};
    CopyWideText(target, L"\\\\");
    CopyWideText(std::span(target).subspan(2), name);
    ShellApartment apartment;
    ShellExecuteW(nullptr, L"open", target.data(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool ShowFileInItsFolder(std::wstring_view path)
{
    if (!IsExplorablePath(path))
        return false;
    static std::array<wchar_t, kShellPathUnits> file;
    CopyWideText(file, path);
    ShellApartment apartment;
    if (SelectInFolder(file.data()))
        return true;
    // The file is gone (closed and deleted since): its folder, checked to be one, opened
    // by the verb that only folders have.
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring_view::npos)
        return false;
    file[slash == 2 ? 3 : slash] = L'\0';  // "C:\" keeps its backslash
    if (!IsFolder(file.data()))
        return false;
    return reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"explore", file.data(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}
