// Bringing the Monitoring page's two lists in line with an enumeration. Rows that
// survive keep their place and selection; the view is never cleared and refilled.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <span>

// The list's row texts of one session or one open file, cut to a cell's room.
struct SessionCells {
    char computer[256];  // the key: the client name, ASCII letters upper-cased
    char user[256];
    char files[16];
    char connected[32];
    char idle[32];
    const char* guest;
};
void FormatSessionCells(const SESSION_INFO_1& session, SessionCells* cells);

struct FileCells {
    char path[256];
    char user[256];
    char locks[16];
    char mode[32];
};
void FormatFileCells(const FILE_INFO_3& file, FileCells* cells);

// Writes a row's cells after its first; the open-files row gets its stamp too.
void SetSessionCells(HWND list, int row, const SessionCells& cells);
void SetFileCells(HWND list, int row, const FileCells& cells, const char* stamp);

// The sessions list, keyed by computer name and stamped `generation` in the item
// data. Sessions with an empty user name are never listed.
void ReconcileSessions(HWND list, std::span<const SESSION_INFO_1> sessions, uint32_t generation);

// The open-files list, keyed by file id in the item data and stamped `generation`
// in its hidden fifth column. Each row is found through an index of the list made
// once per refresh, and the rows that went are deleted in one pass, so the cost
// grows with the number of rows instead of with its square.
void ReconcileOpenFiles(HWND list, std::span<const FILE_INFO_3> files, uint32_t generation);
