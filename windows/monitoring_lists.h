// The Monitoring page's two list views: owner-data views that draw the snapshots
// (engine/watch/list_snapshots.h) and keep only the selection. A refresh deletes the rows
// whose record went only where a selection or the focus could move, gives the new
// count, and draws again only the cells on screen that changed.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <lm.h>

#include <cstdint>
#include <span>

#include "engine/watch/list_snapshots.h"

// Brings the snapshot and its list view in line with the records, stamping `generation`.
void RefreshSessionsList(HWND list, SessionSnapshot& snapshot, std::span<const SESSION_INFO_1> records,
                         uint32_t generation);
void RefreshOpenFilesList(HWND list, FileSnapshot& snapshot, std::span<const FILE_INFO_3> records,
                          uint32_t generation);

// Answers an owner-data list's request for a cell's text (A or W notification).
void AnswerSessionsDispInfo(const SessionSnapshot& snapshot, NMHDR* header);
void AnswerOpenFilesDispInfo(const FileSnapshot& snapshot, NMHDR* header);
bool IsDispInfoRequest(const NMHDR* header);
