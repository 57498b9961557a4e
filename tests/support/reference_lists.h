// The Monitoring page's refreshes done the plain way, on ordinary list views: a
// search of the whole list for every entry, and a stale scan that starts again after
// every deletion. Slow, but plainly right: the program's refresh is held to give the
// same lists. And an owner-data list drawn from a snapshot, as the page draws its own.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

#include "windows/monitoring_lists.h"

void ReferenceReconcileSessions(HWND list, std::span<const SESSION_INFO_1> sessions, uint32_t generation);
void ReferenceReconcileOpenFiles(HWND list, std::span<const FILE_INFO_3> files, uint32_t generation);

// An owner-data list view with `columns` columns in a window of its own, which
// answers the list's requests from one of the two snapshots.
HWND MakeSnapshotList(int columns, SessionSnapshot* sessions, FileSnapshot* files);
void DestroySnapshotList(HWND list);
