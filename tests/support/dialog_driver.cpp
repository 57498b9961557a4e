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
