#include "support/reference_lists.h"

#include <array>
#include <vector>

#include "core/text.h"
#include "windows/monitoring_lists.h"
#include "windows/list_view.h"

namespace {

constexpr int kSessionColumns = 6;
constexpr int kFileColumns = 5;

// A record's cell as a row made from it shows it: the rows' own formatters, so that
// the reference differs from the program only in how it reconciles the list.
void FormatSessionRecordCell(const SESSION_INFO_1& session, int column, std::span<char> text)
{
    std::array<char, kCellCapacity> computer{};
    AnsiFromWide(computer, session.sesi1_cname);
    UpperCaseAscii(computer);
    ReplaceControlCharacters(computer);
    const SessionRow row{computer.data(), session.sesi1_cname, session.sesi1_username, session.sesi1_num_opens,
                         session.sesi1_time, session.sesi1_idle_time, session.sesi1_user_flags, 0};
    FormatSessionCell(row, column, text);
}

void FormatFileRecordCell(const FILE_INFO_3& file, uint32_t stamp, int column, std::span<char> text)
{
    const FileRow row{file.fi3_pathname, file.fi3_username, file.fi3_id, file.fi3_permissions, file.fi3_num_locks,
                      stamp};
    FormatFileCell(row, column, text);
}

void SetSessionCells(HWND list, int row, const SESSION_INFO_1& session)
{
    std::array<char, kCellCapacity> text{};
    for (int column = 1; column < kSessionColumns; ++column) {
        FormatSessionRecordCell(session, column, text);
        SetCell(list, row, column, text.data());
    }
}

void SetFileCells(HWND list, int row, const FILE_INFO_3& file, uint32_t generation)
{
    std::array<char, kCellCapacity> text{};
    for (int column = 1; column < kFileColumns; ++column) {
        FormatFileRecordCell(file, generation, column, text);
        SetCell(list, row, column, text.data());
    }
}

}  // namespace

void ReferenceReconcileSessions(HWND list, std::span<const SESSION_INFO_1> sessions, uint32_t generation)
{
    std::vector<bool> handled(sessions.size());
    std::array<char, kCellCapacity> computer{};
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (WideOrEmpty(sessions[i].sesi1_username)[0] == L'\0')
            continue;
        FormatSessionRecordCell(sessions[i], 0, computer);
        const int row = FindRowByText(list, computer.data());
        if (row >= 0) {
            SetRowData(list, row, static_cast<LPARAM>(generation));
            SetSessionCells(list, row, sessions[i]);
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
        FormatSessionRecordCell(sessions[i], 0, computer);
        const int row = InsertRow(list, computer.data(), static_cast<LPARAM>(generation));
        SetSessionCells(list, row, sessions[i]);
    }
}

void ReferenceReconcileOpenFiles(HWND list, std::span<const FILE_INFO_3> files, uint32_t generation)
{
    std::vector<bool> handled(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const int row = FindRowByData(list, static_cast<LPARAM>(files[i].fi3_id));
        if (row >= 0) {
            SetFileCells(list, row, files[i], generation);
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
    std::array<char, kCellCapacity> path{};
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (handled[i])
            continue;
        FormatFileRecordCell(files[i], generation, 0, path);
        const int row = InsertRow(list, path.data(), static_cast<LPARAM>(files[i].fi3_id));
        SetFileCells(list, row, files[i], generation);
    }
}

namespace {

struct HostedSnapshots {
    SessionSnapshot* sessions;
    FileSnapshot* files;
};

LRESULT CALLBACK SnapshotHostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NOTIFY && IsDispInfoRequest(reinterpret_cast<NMHDR*>(lParam))) {
        const auto* hosted = reinterpret_cast<const HostedSnapshots*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (hosted && hosted->sessions)
            AnswerSessionsDispInfo(*hosted->sessions, reinterpret_cast<NMHDR*>(lParam));
        else if (hosted && hosted->files)
            AnswerOpenFilesDispInfo(*hosted->files, reinterpret_cast<NMHDR*>(lParam));
        return 0;
    }
    if (message == WM_NCDESTROY)
        delete reinterpret_cast<HostedSnapshots*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

HWND MakeSnapshotList(int columns, SessionSnapshot* sessions, FileSnapshot* files)
{
    static const ATOM hostClass = [] {
        WNDCLASSA host{};
        host.lpfnWndProc = SnapshotHostProc;
        host.lpszClassName = "QuorvelSnapshotHost";
        return RegisterClassA(&host);
    }();
    HWND host = CreateWindowExA(0, MAKEINTATOM(hostClass), "", WS_OVERLAPPEDWINDOW, 0, 0, 820, 620, nullptr, nullptr,
                                nullptr, nullptr);
    SetWindowLongPtrA(host, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new HostedSnapshots{sessions, files}));
    HWND list = CreateWindowExA(0, WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_OWNERDATA,
                                0, 0, 800, 600, host, nullptr, nullptr, nullptr);
    for (int column = 0; column < columns; ++column)
        AddColumn(list, column, "c", 50);
    return list;
}

void DestroySnapshotList(HWND list)
{
    DestroyWindow(GetParent(list));
}
