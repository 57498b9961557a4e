#include "monitor/monitoring_lists.h"

#include <array>
#include <unordered_map>
#include <vector>

#include "core/text.h"
#include "core/time_text.h"
#include "monitor/activity_poller.h"
#include "ui/list_view.h"

namespace {

constexpr int kUserColumn = 1;
constexpr int kStampColumn = 4;

bool HasUser(const SESSION_INFO_1& session)
{
    return WideOrEmpty(session.sesi1_username)[0] != L'\0';
}

// Scratch of the open-files refresh, kept between refreshes so that a steady
// list allocates nothing.
struct OpenFilesScratch {
    std::unordered_map<DWORD, int> firstRowOfId;
    std::vector<char> rowUpdated;
    std::vector<char> entryHandled;
};

OpenFilesScratch& Scratch()
{
    static OpenFilesScratch scratch;
    return scratch;
}

}  // namespace

void SetSessionCells(HWND list, int row, const SessionCells& cells)
{
    SetCell(list, row, 1, cells.user);
    SetCell(list, row, 2, cells.files);
    SetCell(list, row, 3, cells.connected);
    SetCell(list, row, 4, cells.idle);
    SetCell(list, row, 5, cells.guest);
}

void SetFileCells(HWND list, int row, const FileCells& cells, const char* stamp)
{
    SetCell(list, row, kUserColumn, cells.user);
    SetCell(list, row, 2, cells.locks);
    SetCell(list, row, 3, cells.mode);
    SetCell(list, row, kStampColumn, stamp);
}

void FormatSessionCells(const SESSION_INFO_1& session, SessionCells* cells)
{
    AnsiFromWide(cells->computer, session.sesi1_cname);
    UpperCaseAscii(cells->computer);
    AnsiFromWide(cells->user, session.sesi1_username);
    FormatText(cells->files, "%d", static_cast<int>(session.sesi1_num_opens));
    FormatDuration(session.sesi1_time, cells->connected);
    FormatDuration(session.sesi1_idle_time, cells->idle);
    cells->guest = (session.sesi1_user_flags & SESS_GUEST) ? "Yes" : "No";
}

void FormatFileCells(const FILE_INFO_3& file, FileCells* cells)
{
    AnsiFromWide(cells->path, file.fi3_pathname);
    AnsiFromWide(cells->user, file.fi3_username);
    FormatText(cells->locks, "%d", static_cast<int>(file.fi3_num_locks));
    FormatOpenMode(file.fi3_permissions, cells->mode);
}

void ReconcileSessions(HWND list, std::span<const SESSION_INFO_1> sessions, uint32_t generation)
{
    // A server has few sessions: the list's own search is quick enough here.
    RedrawPause pause(list);
    std::vector<char> handled(sessions.size(), 0);
    SessionCells cells{};
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (!HasUser(sessions[i]))
            continue;
        FormatSessionCells(sessions[i], &cells);
        const int row = FindRowByText(list, cells.computer);
        if (row < 0)
            continue;
        SetRowData(list, row, static_cast<LPARAM>(generation));
        SetSessionCells(list, row, cells);
        handled[i] = 1;
    }
    const auto previous = static_cast<LPARAM>(static_cast<uint32_t>(generation - 1));
    for (int row = FindRowByData(list, previous); row >= 0; row = FindRowByData(list, previous))
        DeleteRow(list, row);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (handled[i] || !HasUser(sessions[i]))
            continue;
        FormatSessionCells(sessions[i], &cells);
        const int row = InsertRow(list, cells.computer, static_cast<LPARAM>(generation));
        SetSessionCells(list, row, cells);
    }
}

void ReconcileOpenFiles(HWND list, std::span<const FILE_INFO_3> files, uint32_t generation)
{
    RedrawPause pause(list);
    OpenFilesScratch& scratch = Scratch();
    const int rows = RowCount(list);
    scratch.firstRowOfId.clear();
    scratch.firstRowOfId.reserve(static_cast<std::size_t>(rows) + files.size());
    for (int row = 0; row < rows; ++row)
        scratch.firstRowOfId.try_emplace(static_cast<DWORD>(RowData(list, row)), row);
    scratch.rowUpdated.assign(static_cast<std::size_t>(rows), 0);
    scratch.entryHandled.assign(files.size(), 0);

    std::array<char, 16> stamp{};
    FormatText(stamp, "%d", static_cast<int>(generation));
    FileCells cells{};
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto found = scratch.firstRowOfId.find(files[i].fi3_id);
        if (found == scratch.firstRowOfId.end())
            continue;
        FormatFileCells(files[i], &cells);
        SetFileCells(list, found->second, cells, stamp.data());
        scratch.rowUpdated[static_cast<std::size_t>(found->second)] = 1;
        scratch.entryHandled[i] = 1;
    }

    // Every row whose stamp is below this refresh's goes; from the end, so that no
    // deletion moves a row still to be looked at.
    for (int row = rows - 1; row >= 0; --row) {
        if (scratch.rowUpdated[static_cast<std::size_t>(row)])
            continue;
        std::array<char, kCellCapacity> text{};
        ReadCell(list, row, kStampColumn, text);
        if (static_cast<uint32_t>(ParseLeadingInt(text.data())) < generation)
            DeleteRow(list, row);
    }

    for (std::size_t i = 0; i < files.size(); ++i) {
        if (scratch.entryHandled[i])
            continue;
        FormatFileCells(files[i], &cells);
        const int row = InsertRow(list, cells.path, static_cast<LPARAM>(files[i].fi3_id));
        SetFileCells(list, row, cells, stamp.data());
    }
}
