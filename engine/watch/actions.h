// What the program does when someone asks it to: close a session or a file, remove a
// share, put a computer on a list or take it off, release a tripped computer. Done
// here for the window of this process and for the service's windows alike, and each
// told to the event sinks as what the program did.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "engine/watch/server_watch.h"
#include "rules/computer_list.h"

// `by`: the account of the service's window that asked, recorded with the action (the
// history, forwarding) and said on the Log page; nullptr for the program's own window.

// A server's deletions go to its worker; this computer's are made at once.
void CloseSessionAction(ServerId server, const wchar_t* client, const wchar_t* user, const wchar_t* by = nullptr);
void CloseFileAction(ServerId server, DWORD fileId, const wchar_t* by = nullptr);
void RemoveShareAction(ServerId server, const wchar_t* name, const wchar_t* by = nullptr);
// `list`: Blacklist or Whitelist. `name` as given, without backslashes; false when
// the list refused it (full, or no computer's name).
bool ListComputerAction(BlockMode list, const wchar_t* name, int32_t ticks, const wchar_t* by = nullptr);
// `name` in normal form, as the Black list page shows it.
void UnlistComputerAction(BlockMode list, const char* name, const wchar_t* by = nullptr);
void ReleaseTrippedAction(std::size_t slot, const wchar_t* by = nullptr);
// A change of the settings asked through the service's pipe, said on the Log page with
// who asked: "the tripwires", "the servers watched", ...
void SayChangedBy(const char* what, const wchar_t* by);
