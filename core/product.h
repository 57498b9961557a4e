// What the program calls itself, and where its files are.
#pragma once

#include <cstddef>

#include "core/paths.h"

// The window title, the tray tip, the notify window's first line.
constexpr char kProductTitle[] = "Quorvel 1.2";
// Every message box's caption.
constexpr char kMessageCaption[] = "Quorvel";
// The executable's path is read into this much room; a longer one is not used.
constexpr std::size_t kModulePathCapacity = 300;

// The executable's folder, ending with a backslash.
PathText ProgramFolderPath();
// The folder of the user's settings file and logs: the documents folder, or, when the
// shell cannot say, the program's own folder. Without a backslash at its end.
PathText UserFilesFolder();
