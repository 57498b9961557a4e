// The Monitoring page's refreshes done the plain way: a search of the whole list for
// every entry, and a stale scan that starts again after every deletion. Slow, but
// plainly right: the program's faster refresh is held to give the same lists.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

void ReferenceReconcileSessions(HWND list, std::span<const SESSION_INFO_1> sessions, uint32_t generation);
void ReferenceReconcileOpenFiles(HWND list, std::span<const FILE_INFO_3> files, uint32_t generation);
