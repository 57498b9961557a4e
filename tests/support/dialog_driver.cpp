#include "support/dialog_driver.h"

#include <array>

HWND WaitForDialog(const char* title, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        HWND found = FindWindowA("#32770", title);
        if (found && IsWindowVisible(found))
            return found;
        Sleep(10);
    } while (GetTickCount64() < deadline);
    return nullptr;
}

namespace {

struct OwnedSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedBox(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<OwnedSearch*>(parameter);
    std::array<char, 16> kind{};
    GetClassNameA(window, kind.data(), static_cast<int>(kind.size()));
    if (GetWindow(window, GW_OWNER) == search->owner && std::string(kind.data()) == "#32770" &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND WaitForMessageBoxOf(HWND dialog, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        OwnedSearch search{dialog, nullptr};
        EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        if (!IsWindow(dialog))
            return nullptr;
        Sleep(5);
    } while (GetTickCount64() < deadline);
    return nullptr;
}

bool WaitUntilGone(HWND window, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(window)) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(5);
    }
    return true;
}

std::string MessageBoxText(HWND box)
{
    std::array<char, 1024> text{};
    GetDlgItemTextA(box, 0xFFFF, text.data(), static_cast<int>(text.size()));
    return text.data();
}

void PressButton(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}
