// The service's own files: its settings file and logs in %ProgramData%\Quorvel (it has
// no documents folder), and the lists and rules a user's copy of the program carries
// over to it once, when it is installed.
#pragma once

#include <array>

#include "core/paths.h"
#include "core/text.h"

// What the service tells whoever installs or runs it, one line at a time.
using SayLine = void (*)(const char* line);

// A line formatted as FormatText formats it, then said.
template <typename... Values>
void SayFormatted(SayLine say, const char* format, Values... values)
{
    std::array<char, kFormatCapacity> line{};
    FormatText(line, format, values...);
    say(line.data());
}

// %ProgramData%\Quorvel, without a backslash at its end; empty when the shell cannot say.
PathText ServiceFilesFolder();
// Makes the folder when missing, readable and writable by the service and
// administrators alone (the settings file decides who is cut off, and the logs are a
// record of who did what). With `restrictExisting`, a folder already there is
// restricted too. False when it cannot be made or restricted.
bool PrepareServiceFolder(const char* folder, bool restrictExisting);
// The service's start-up: its settings file and log folder in `folder`, as the
// program's start-up sets them in the documents folder. False when the folders cannot
// be made.
bool UseServiceFolder(const char* folder);

// What an install carries over from the installing user's settings file, once: the
// lists, the tripwires, the tripped computers, the servers watched, and of [main] the
// block mode and the log gates.
enum CarryOverResult : int {
    CarriedOver = 0,
    NoUserSettings = 1,      // the user has no settings file: nothing to carry
    ServiceSettingsKept = 2,  // the service has its own already: nothing carried
    CarryOverFailed = 3,     // a part could not be read whole or written: said which
};
// Each part carried over, or not and why, goes to `say`.
CarryOverResult CarryOverUserSettings(const char* userFile, const char* serviceFile, SayLine say);
