// Once per start, asks the product's web server for the newest update number and
// offers the web site when it is newer than this build's.
#pragma once

#include <windows.h>

constexpr int kUpdateNumber = 4;
constexpr char kUpdateOffer[] = "New version of Quorvel is available. \nDo you want to download new version?";

// Starts the check on a thread of its own, which ends when the check is done.
void StartUpdateCheck();
DWORD WINAPI CheckForUpdate(LPVOID);

// One request to `address`, one read of at most 4,095 bytes; the number the answer
// begins with, or 0 for no answer or no number.
int ReadNewestUpdate(const char* address);
// The whole check against `address`: the request, then the offer when it is newer.
void CheckForUpdateAt(const char* address);
// Whether an answer of `newest` is an update worth offering.
bool IsNewerUpdate(int newest);
// The request's address on the product's web server.
const char* UpdateAddress();
const char* WebSiteAddress();
