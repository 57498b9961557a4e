// What the engine does when a tripwire trips: the user's sessions looked up on the
// server that saw the open (this computer asks its server; another server's last
// reading is used), their computers deleted at once on that server and kept off on
// every watched server; a trip until released by hand is saved at once.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstddef>

#include "engine/watch/server_watch.h"
#include "rules/tripwires.h"

// One new file of `watch`: true when it trips a rule, with the report to log right
// after its line. `burst` is false for files found before the scan could tell.
bool CheckTripwires(const ServerWatch& watch, const FILE_INFO_3& file, bool burst, TripReport* report);

// Releases a tripped computer by its slot; a permanent one leaves [tripped] too. The
// account's last tripped computer released, its shares are put back.
void ReleaseTrippedComputer(std::size_t slot);

// With [tripwires] denyshares: the user denied at the shares of every watched server,
// for `minutes` (0: until released by hand); never one of the accounts the tripwires never deny.
void DenyTrippedUser(const wchar_t* user, int32_t minutes);
// At the start, once the servers are watched: the users of the trips that lasted (those
// until released by hand) are denied again where they are not yet: a deny asked just
// before the last stop, or shares made meanwhile.
void DenyTrippedUsersAgain();
// Whether a tripped row holds `user`.
bool IsTrippedAnywhere(const wchar_t* user);
// The user cut off nowhere any more: its shares put back.
void ReleaseUserIfFree(const wchar_t* user);
// Once a second: each tripped row's count of shares denying its user, and what the
// denies' thread said, on the Log page.
void NoteDeniedShares();
