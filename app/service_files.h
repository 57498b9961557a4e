// The service's own files: its settings file and logs in %ProgramData%\Quorvel (it has
// no documents folder), and the lists and rules a user's copy of the program carries
// over to it once, when it is installed.
#pragma once

#include <array>
#include <cstdint>

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

// "\\Quorvel" in one of the shell's folders (CSIDL_...), without a backslash at its end;
// empty when the shell cannot say.
PathText QuorvelFolderIn(int shellFolder);
// %ProgramData%\Quorvel.
PathText ServiceFilesFolder();
// What making the service's folder its own found, beyond what it said line by line.
struct FolderFindings {
    int32_t setAside;       // files, folders and links set aside
    bool settingsSetAside;  // the settings file among them
    bool folderTakenOver;   // the folder itself was not the service's
    bool inReserve;         // a link in it: the service keeps its files in the reserve
    std::array<char, kFormatCapacity> first;  // the first finding in words; empty: none
};

// The service's folder is used only when it is the service's: owned by SYSTEM or the
// Administrators, changed by no one else, with no link in it. The settings file there
// decides who is cut off from this server, and the logs are a record of who did what;
// any standard user may make the folder first, and own what they put in it.

// A link (junction, symbolic link, mount point) in or under the folder is never
// followed, moved or removed: each of those can act on what it leads to.

// Install: makes `folder` the service's (made when missing). The folder gets the
// Administrators as owner and a protected list for SYSTEM and the Administrators, every
// file and folder inside the same owner and that list; files someone else made or may
// change are set aside as "NAME.untrusted-TIME" and said. False, having changed
// nothing, when a link is in it (each said), or when it cannot be made or taken.
bool TakeOverServiceFolder(const char* folder, SayLine say, FolderFindings* findings);
// The service's start: the same check of what it reads from the folder (the settings
// file, the log folders), whatever fails set aside, and a folder that is not the
// service's taken over whole. While a link is in it, the service keeps its settings
// and logs in `reserve` instead. A settings file set aside is replaced by the last good
// copy, which each trusted start keeps in the reserve, or the defaults hold; each said.
// Then the settings file and the logs are the engine's, and no link under the folder
// in use is followed (core/file_trust.h). False when no folder can be used.
bool UseServiceFolder(const char* folder, const char* reserve, SayLine say, FolderFindings* findings);
// The service's reserve: its account's own application data folder, "\Quorvel" in it
// (for SYSTEM, in the system's own profile); empty when the shell cannot say.
PathText ServiceReserveFolder();

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
