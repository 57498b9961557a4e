#include "support/reference_lists.h"

#include <array>
#include <vector>

#include "core/text.h"
#include "monitor/monitoring_lists.h"
#include "ui/list_view.h"

void ReferenceReconcileSessions(HWND list, std::span<const SESSION_INFO_1> sessions, uint32_t generation)
{
    std::vector<bool> handled(sessions.size());
    SessionCells cells{};
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (WideOrEmpty(sessions[i].sesi1_username)[0] == L'\0')
            continue;
        FormatSessionCells(sessions[i], &cells);
        const int row = FindRowByText(list, cells.computer);
        if (row >= 0) {
            SetRowData(list, row, static_cast<LPARAM>(generation));
            SetSessionCells(list, row, cells);
            handled[i] = true;
        }
    }
    for (;;) {
        const int row = FindRowByData(list, static_cast<LPARAM>(static_cast<uint32_t>(generation - 1)));
        if (row < 0)
            break;
        DeleteRow(list, row);
    }
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (handled[i] || WideOrEmpty(sessions[i].sesi1_username)[0] == L'\0')
            continue;
        FormatSessionCells(sessions[i], &cells);
        const int row = InsertRow(list, cells.computer, static_cast<LPARAM>(generation));
        SetSessionCells(list, row, cells);
    }
}

void ReferenceReconcileOpenFiles(HWND list, std::span<const FILE_INFO_3> files, uint32_t generation)
{
    std::array<char, 16> stamp{};
    FormatText(stamp, "%d", static_cast<int>(generation));
    std::vector<bool> handled(files.size());
    FileCells cells{};
    for (std::size_t i = 0; i < files.size(); ++i) {
        const int row = FindRowByData(list, static_cast<LPARAM>(files[i].fi3_id));
        if (row >= 0) {
            FormatFileCells(files[i], &cells);
            SetFileCells(list, row, cells, stamp.data());
            handled[i] = true;
        }
    }
    for (int row = 0; row < RowCount(list);) {
        std::array<char, kCellCapacity> text{};
        ReadCell(list, row, 4, text);
        if (static_cast<uint32_t>(ParseLeadingInt(text.data())) < generation) {
            DeleteRow(list, row);
            row = 0;
        } else {
            ++row;
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (handled[i])
            continue;
        FormatFileCells(files[i], &cells);
        const int row = InsertRow(list, cells.path, static_cast<LPARAM>(files[i].fi3_id));
        SetFileCells(list, row, cells, stamp.data());
    }
}
