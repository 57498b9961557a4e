// What the user's settings start with Windows: the Run value, and the global hot key
// that toggles the main window.
#pragma once

#include <windows.h>

#include <span>

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunValueName[] = "Quorvel";
constexpr int kHotKeyId = 0;

// Writes (non-zero) or deletes (zero) the Run value; failures are ignored.
void SetRunAtStartup(int enable);
// The Run value's text: the executable's path in quotes, then " h".
bool FormatRunCommand(std::span<char> text);

// From the hot key control's value: modifiers for RegisterHotKey and the key.
// False when the value names no key.
bool DecodeHotKey(int value, UINT* modifiers, UINT* virtualKey);
// Re-registers hot key 0 of the main window; a refused registration is ignored.
void ApplyHotKey(int value);
