// What the program calls itself, and where its files are.
#pragma once

#include "core/app_state.h"

// The window title, the tray tip, the notify window's first line.
constexpr char kProductTitle[] = "Quorvel 1.2";
// Every message box's caption.
constexpr char kMessageCaption[] = "Quorvel";
// The executable's path is read into this much room; a longer one is not used.
constexpr std::size_t kModulePathCapacity = 300;

// The documents folder (or, when the shell cannot say, the program's own folder)
// gives the settings file and the log folder.
void ResolveFolders();
// The executable's folder, ending with a backslash.
PathText ProgramFolderPath();
void BuildHelpPath();
