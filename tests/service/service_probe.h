// The Quorvel service as the service manager and ProgramData hold it, read and cleared
// from outside, for the service's tests and the installer's.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct InstalledService {
    bool found = false;
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD state = 0;
    DWORD processId = 0;
    std::string command;
    std::string account;
    std::string displayName;
    DWORD resetSeconds = 0;
    std::vector<std::pair<int, DWORD>> failureActions;  // kind, delay
};
InstalledService QueryInstalledService();

// Asks the service manager to start or stop the service and waits until it says so.
bool StartInstalledService();
bool StopInstalledService();

// Stops and deletes the service by hand, so that a broken uninstall cannot leave the
// next test a service, and waits until it is gone.
void RemoveServiceByHand();

// %ProgramData%\Quorvel, where the service keeps its settings and logs.
std::string ServiceFilesPath();
// Removes that folder and everything in it.
void ForgetServiceFiles();

// Lets everyone change a file or folder, as one a standard user made would let its
// maker: under Wine, whose lists are the Unix permissions, the mark it leaves is that
// everyone may write. False when it cannot be set.
bool LetEveryoneChange(const std::string& path);
// A link at `link` that leads to the folder `target`: under Wine a Unix symbolic link
// (which Wine shows as a reparse point), on Windows a junction.
bool MakeFolderLink(const std::string& link, const std::string& target);
