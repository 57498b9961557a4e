// What Explore hands the shell. The names and paths come from the server's tables,
// which any computer or share user fills: a computer is opened only as "\\NAME", and a
// file is never opened, only shown selected in its folder, so that a file a share user
// left (a batch, a shortcut, an HTML application) never runs with this program's rights.
#pragma once

#include <string_view>

// A computer's name that can stand after "\\" and name nothing but that computer.
bool IsExplorableComputer(std::wstring_view name);
// A file's path as the shell may be shown it: "X:\..." or "\\SERVER\SHARE\...", with
// no control character, quote, wildcard, device prefix or stream.
bool IsExplorablePath(std::wstring_view path);

// Opens "\\NAME" in the shell; nothing for a name that fails IsExplorableComputer.
void OpenComputerInShell(std::wstring_view name);
// Opens the file's folder with the file selected; when the file is gone, the folder
// alone. Nothing for a path that fails IsExplorablePath. False when nothing opened.
bool ShowFileInItsFolder(std::wstring_view path);
