// The service as the service manager knows it: its names, and its install and
// uninstall, each telling what it did line by line.
#pragma once

#include "app/service_files.h"

constexpr char kServiceName[] = "Quorvel";
constexpr char kServiceDisplayName[] = "Quorvel share guard";

// Registers this executable as the service (automatic start, as LocalSystem, restarted
// when it fails), carries the installing user's settings over once, and starts it.
// Returns 0, or the platform's error code of what failed: ERROR_ACCESS_DENIED for a
// user who is not an administrator, ERROR_SERVICE_EXISTS when it is installed already.
int InstallService(SayLine say);
// Stops the service and removes it; its settings file and logs stay. Returns 0, or
// the platform's error code: ERROR_SERVICE_DOES_NOT_EXIST when it is not installed.
int UninstallService(SayLine say);
