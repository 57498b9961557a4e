#include "windows/start_options.h"

#include <commctrl.h>

#include <array>
#include <cstring>

#include "core/product.h"
#include "core/text.h"
#include "windows/window_state.h"

bool FormatRunCommand(std::span<char> text)
{
    std::array<char, kModulePathCapacity> path{};
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return false;  // a cut path would start some other program at logon
    // Quoted, so that a path with blanks in it names this program and nothing else.
    FormatText(text, "\"%s\" h", path.data());
    return true;
}

void SetRunAtStartup(int enable)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    if (enable) {
        std::array<char, kModulePathCapacity + 8> command{};
        if (FormatRunCommand(command))
            RegSetValueExA(key, kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.data()),
                           static_cast<DWORD>(strlen(command.data()) + 1));
    } else {
        RegDeleteValueA(key, kRunValueName);
    }
    RegCloseKey(key);
}

bool DecodeHotKey(int value, UINT* modifiers, UINT* virtualKey)
{
    const UINT flags = (static_cast<UINT>(value) >> 8) & 0xFF;
    *virtualKey = static_cast<UINT>(value) & 0xFF;
    *modifiers = 0;
    if (flags & HOTKEYF_ALT)
        *modifiers |= MOD_ALT;
    if (flags & HOTKEYF_CONTROL)
        *modifiers |= MOD_CONTROL;
    if (flags & HOTKEYF_EXT)
        *modifiers |= MOD_WIN;
    if (flags & HOTKEYF_SHIFT)
        *modifiers |= MOD_SHIFT;
    return *virtualKey != 0;
}

void ApplyHotKey(int value)
{
    UnregisterHotKey(windowState.mainWindow, kHotKeyId);
    UINT modifiers = 0, virtualKey = 0;
    if (value != 0 && DecodeHotKey(value, &modifiers, &virtualKey))
        RegisterHotKey(windowState.mainWindow, kHotKeyId, modifiers, virtualKey);
}

