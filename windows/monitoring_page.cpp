#include "windows/monitoring_page.h"

#include <commctrl.h>

#include <array>
#include <climits>
#include <cwchar>
#include <cwctype>

#include "rules/block_rules.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "windows/engine_link.h"
#include "windows/exit_program.h"
#include "windows/explore.h"
#include "core/text.h"
#include "windows/list_export.h"
#include "windows/monitoring_lists.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "core/server_api.h"
#include "windows/server_choice.h"
#include "resources/resource.h"
#include "windows/layout.h"
#include "windows/list_view.h"

namespace {

struct Column {
    const char* title;
    int width;
};

constexpr std::array<Column, 6> kSessionColumns = {{
    {"Computer", 150}, {"User", 80}, {"#Files", 70}, {"Connected time", 120}, {"Idle time", 120}, {"Guest", 50},
}};
constexpr std::array<Column, 5> kFileColumns = {{
    {"File", 350}, {"User", 70}, {"#Locks", 60}, {"Open Mode", 80}, {"Id", 0},
}};

constexpr std::size_t kMinutesTextCapacity = 16;  // at most 15 characters are read
constexpr int kTemporaryBlocks[][2] = {
    {IDM_BLOCK_1_MIN, 1}, {IDM_BLOCK_2_MIN, 2},   {IDM_BLOCK_4_MIN, 4},
    {IDM_BLOCK_8_MIN, 8}, {IDM_BLOCK_16_MIN, 16}, {IDM_BLOCK_32_MIN, 32},
};

constexpr char kExportFilter[] = "Text files\0*.txt*\0";

bool MonitoringPageIsCurrent()
{
    return windowState.currentPage && windowState.currentPage == windowState.pages[MonitoringPage];
}

template <std::size_t N>
void AddColumns(HWND list, const std::array<Column, N>& columns)
{
    for (std::size_t i = 0; i < columns.size(); ++i)
        AddColumn(list, static_cast<int>(i), columns[i].title, columns[i].width);
}

// The access check is disarmed before the message opens: refreshes that run under
// the message box must not show it again.
[[noreturn]] void ExitForAccessDenied()
{
    windowState.accessCheckArmed = 0;
    MessageBoxA(windowState.mainWindow, kAccessDeniedMessage, kMessageCaption, MB_OK);
    ExitProgram();
}

void RefreshBoth()
{
    RefreshOpenFiles();
    RefreshSessions();
}

void RefreshBothSessionsFirst()
{
    RefreshSessions();
    RefreshOpenFiles();
}

void BlockForMoreMinutes(HWND page)
{
    if (const int32_t ticks = AskBlockTicks(page))
        BlockSelectedComputers(ticks);
}

void OnAutoRefreshClicked(HWND page)
{
    windowState.autoRefresh = SendDlgItemMessageA(page, IDC_AUTO_REFRESH, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    WriteSetting(kAutoRefreshKey, windowState.autoRefresh);
}

void InitMonitoringPage(HWND page)
{
    PlacePageAtOrigin(page);
    windowState.sessionsList = GetDlgItem(page, IDC_SESSIONS_LIST);
    windowState.filesList = GetDlgItem(page, IDC_FILES_LIST);
    windowState.autoRefresh = ReadSetting(kAutoRefreshKey);
    CheckDlgButton(page, IDC_AUTO_REFRESH, windowState.autoRefresh ? BST_CHECKED : BST_UNCHECKED);
    SetFullRowSelect(windowState.sessionsList);
    SetFullRowSelect(windowState.filesList);
    AddColumns(windowState.sessionsList, kSessionColumns);
    AddColumns(windowState.filesList, kFileColumns);
}

void OnMonitoringCommand(HWND page, WORD command, WORD code)
{
    if (command == IDC_SERVER_SELECT) {
        if (code == CBN_SELCHANGE)
            ShowServerOnMonitoringPage(ChosenServer(page));
        return;
    }
    for (const auto& [id, minutes] : kTemporaryBlocks) {
        if (command == id) {
            BlockSelectedComputers(minutes * kTicksPerMinute);
            return;
        }
    }
    switch (command) {
    case IDC_REFRESH:
    case IDM_REFRESH: RefreshBoth(); break;
    case IDC_EXPORT_LIST: ExportMonitoringLists(); break;
    case IDC_AUTO_REFRESH: OnAutoRefreshClicked(page); break;
    case IDM_CLOSE_SESSION: CloseSelectedSessions(); break;
    case IDM_EXPLORE_SESSION: ExploreSelectedSessions(); break;
    case IDM_CLOSE_FILE: CloseSelectedFiles(); break;
    case IDM_EXPLORE_FILE: ExploreSelectedFiles(); break;
    case IDM_BLOCK: BlockSelectedComputers(kPermanent); break;
    case IDM_BLOCK_MORE: BlockForMoreMinutes(page); break;
    }
}

void OnSessionsKey(WORD key)
{
    switch (key) {
    case VK_DELETE: CloseSelectedSessions(); break;
    case 'B': BlockSelectedComputers(kPermanent); break;
    case VK_F5: RefreshBothSessionsFirst(); break;
    }
}

void OnFilesKey(WORD key)
{
    switch (key) {
    case VK_DELETE: CloseSelectedFiles(); break;
    case VK_F5: RefreshBothSessionsFirst(); break;
    }
}

void OnMonitoringNotify(HWND page, NMHDR* header)
{
    if (IsDispInfoRequest(header)) {
        if (header->hwndFrom == windowState.sessionsList)
            AnswerSessionsDispInfo(windowState.sessionsSnapshot, header);
        else if (header->hwndFrom == windowState.filesList)
            AnswerOpenFilesDispInfo(windowState.filesSnapshot, header);
        return;
    }
    if (header->idFrom == IDC_SESSIONS_LIST) {
        switch (header->code) {
        case NM_RETURN: ExploreSelectedSessions(); break;
        case LVN_KEYDOWN: OnSessionsKey(reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey); break;
        case NM_RCLICK: ShowContextMenu(windowState.sessionsMenu, page); break;
        }
    } else if (header->idFrom == IDC_FILES_LIST) {
        switch (header->code) {
        case LVN_KEYDOWN: OnFilesKey(reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey); break;
        case NM_RCLICK: ShowContextMenu(windowState.filesMenu, page); break;
        }
    }
}

void LayoutMonitoringPage(HWND page)
{
    LayoutLock lock(page);
    StretchToEdges(page, IDC_SESSIONS_LIST, false);
    StretchToEdges(page, IDC_FILES_LIST, true);
    AnchorRowToRight(page, {IDC_REFRESH, IDC_EXPORT_LIST, IDC_AUTO_REFRESH});
}

void WriteLine(HANDLE file, const char* format, auto... cells)
{
    // Formatted without its line end, so that a line cut at the formatter's limit still ends.
    std::array<char, kFormatCapacity> line{};
    FormatText(line, format, cells...);
    WriteText(file, line.data());
    WriteText(file, "\r\n");
}

using Cell = std::array<char, kCellCapacity>;

// Two backslashes and the client as the server gave it; false for a name no computer has.
bool FormatClientPath(const SessionRow& row, std::span<wchar_t> path)
{
    const std::size_t length = wcslen(WideOrEmpty(row.client));
    if (length + 3 > path.size())
        return false;
    CopyWideText(path, L"\\\\");
    CopyWideText(path.subspan(2), WideOrEmpty(row.client));
    return true;
}

void OnBlockDialogOk(HWND dialog)
{
    std::array<char, kMinutesTextCapacity> text{};
    GetDlgItemTextA(dialog, IDC_MINUTES_EDIT, text.data(), static_cast<int>(text.size()));
    int32_t minutes = 0;
    if (!ParseBlockMinutes(text.data(), &minutes)) {
        MessageBoxA(dialog, kInvalidNumberMessage, kMessageCaption, MB_OK);
        SetFocus(GetDlgItem(dialog, IDC_MINUTES_EDIT));
        return;
    }
    EndDialog(dialog, minutes);
}

void OnBlockDialogCommand(HWND dialog, WORD command)
{
    switch (command) {
    case IDOK: OnBlockDialogOk(dialog); break;
    case IDCANCEL: EndDialog(dialog, 0); break;
    }
}

}  // namespace

bool FormatRemotePath(const wchar_t* server, const wchar_t* path, std::span<wchar_t> remote)
{
    const std::wstring_view local(WideOrEmpty(path));
    if (local.size() < 3 || local[1] != L':' || local[2] != L'\\' || !iswalpha(local[0]))
        return false;
    const std::size_t needed = wcslen(server) + 1 + 2 + local.size() - 2 + 1;
    if (needed > remote.size())
        return false;
    std::size_t at = CopyWideText(remote, server);
    const wchar_t share[] = {L'\\', local[0], L'$', L'\0'};
    at += CopyWideText(remote.subspan(at), share);
    CopyWideText(remote.subspan(at), local.substr(2));
    return true;
}

void RefreshSessions()
{
    if (!MonitoringPageIsCurrent())
        return;
    TableReading<SESSION_INFO_1> sessions;
    if (ReadSessions(windowState.shownServer, &sessions))
        RefreshSessionsWith(sessions.status, sessions.records);
}

void ShowServerOnMonitoringPage(ServerId shown)
{
    ShownServer remote{};
    windowState.shownServer = FindShownServer(shown, &remote) ? shown : kThisComputer;
    WatchServerShown();
    FillServerChoice(windowState.pages[MonitoringPage], windowState.shownServer);
    // Another server's rows are other records: the lists start again from its own.
    ClearSnapshot(windowState.sessionsSnapshot);
    ClearSnapshot(windowState.filesSnapshot);
    SendMessageA(windowState.sessionsList, LVM_SETITEMCOUNT, 0, 0);
    SendMessageA(windowState.filesList, LVM_SETITEMCOUNT, 0, 0);
    RefreshSessions();
    RefreshOpenFiles();
}

void RefreshSessionsWith(NET_API_STATUS status, std::span<const SESSION_INFO_1> sessions)
{
    if (!MonitoringPageIsCurrent())
        return;
    if (status == ERROR_ACCESS_DENIED && windowState.accessCheckArmed)
        ExitForAccessDenied();
    RefreshSessionsList(windowState.sessionsList, windowState.sessionsSnapshot, sessions, ++windowState.sessionsGeneration);
}

void RefreshOpenFiles()
{
    if (!MonitoringPageIsCurrent())
        return;
    TableReading<FILE_INFO_3> files;
    if (ReadFiles(windowState.shownServer, &files))
        RefreshOpenFilesWith(files.records);
}

void RefreshOpenFilesWith(std::span<const FILE_INFO_3> files)
{
    if (!MonitoringPageIsCurrent())
        return;
    RefreshOpenFilesList(windowState.filesList, windowState.filesSnapshot, files, ++windowState.openFilesGeneration);
}

// Another server's deletions go to its worker; the lists follow its next answers.
void CloseSelectedSessions()
{
    const ServerId server = windowState.shownServer;
    const std::span<const SessionRow> rows = Rows(windowState.sessionsSnapshot);
    for (int row = NextSelectedRow(windowState.sessionsList, -1); row >= 0 && static_cast<std::size_t>(row) < rows.size();
         row = NextSelectedRow(windowState.sessionsList, row)) {
        std::array<wchar_t, kClientNameUnits> client{};
        const wchar_t* user = WideOrEmpty(rows[static_cast<std::size_t>(row)].user);
        if (!FormatClientPath(rows[static_cast<std::size_t>(row)], client))
            continue;
        CloseSessionOn(server, client.data(), user);
    }
    if (server == kThisComputer)
        RefreshBoth();
}

void CloseSelectedFiles()
{
    const ServerId server = windowState.shownServer;
    const std::span<const FileRow> rows = Rows(windowState.filesSnapshot);
    for (int row = NextSelectedRow(windowState.filesList, -1); row >= 0 && static_cast<std::size_t>(row) < rows.size();
         row = NextSelectedRow(windowState.filesList, row)) {
        CloseFileOn(server, rows[static_cast<std::size_t>(row)].id);
    }
    if (server == kThisComputer)
        RefreshBoth();
}

void ExploreComputer(const wchar_t* client)
{
    std::wstring_view name(WideOrEmpty(client));
    while (!name.empty() && name.front() == L'\\')
        name.remove_prefix(1);
    OpenComputerInShell(name);
}

void ExploreFileOn(const wchar_t* serverUnc, const wchar_t* path)
{
    path = WideOrEmpty(path);
    static std::array<wchar_t, kRemotePathUnits> remotePath;
    // Another server's path is its own drive's: reached here through the drive's hidden share.
    if (serverUnc && *serverUnc && FormatRemotePath(serverUnc, path, remotePath))
        path = remotePath.data();
    ShowFileInItsFolder(path);
}

int32_t AskBlockTicks(HWND owner)
{
    const INT_PTR minutes = DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_BLOCK), owner, BlockDialogProc, 0);
    return minutes > 0 ? static_cast<int32_t>(minutes) * kTicksPerMinute : 0;
}

void ExploreSelectedSessions()
{
    const std::span<const SessionRow> rows = Rows(windowState.sessionsSnapshot);
    for (int row = NextSelectedRow(windowState.sessionsList, -1); row >= 0 && static_cast<std::size_t>(row) < rows.size();
         row = NextSelectedRow(windowState.sessionsList, row))
        ExploreComputer(rows[static_cast<std::size_t>(row)].client);
}

void ExploreSelectedFiles()
{
    ShownServer server{};
    const bool remote = FindShownServer(windowState.shownServer, &server);
    const std::span<const FileRow> rows = Rows(windowState.filesSnapshot);
    for (int row = NextSelectedRow(windowState.filesList, -1); row >= 0 && static_cast<std::size_t>(row) < rows.size();
         row = NextSelectedRow(windowState.filesList, row))
        ExploreFileOn(remote ? server.unc : nullptr, rows[static_cast<std::size_t>(row)].path);
}

void BlockSelectedComputers(int32_t ticks)
{
    const std::span<const SessionRow> rows = Rows(windowState.sessionsSnapshot);
    for (int row = NextSelectedRow(windowState.sessionsList, -1); row >= 0 && static_cast<std::size_t>(row) < rows.size();
         row = NextSelectedRow(windowState.sessionsList, row))
        AddComputerTo(Blacklist, rows[static_cast<std::size_t>(row)].client, ticks);
}

bool ParseBlockMinutes(const char* text, int32_t* minutes)
{
    return ReadNumber(text ? text : "", 1, INT32_MAX / kTicksPerMinute, minutes);
}

void ExportMonitoringLists()
{
    std::array<char, kExportNameCapacity + 4> name{};
    if (!AskExportFileName(kExportFilter, "Export", name))
        return;
    AddExportExtension(name, ".txt");
    WriteMonitoringLists(name.data());
}

bool WriteMonitoringLists(const char* path)
{
    HANDLE file = CreateExportFile(path);
    if (!file)
        return false;
    const std::span<const SessionRow> sessions = Rows(windowState.sessionsSnapshot);
    const std::span<const FileRow> files = Rows(windowState.filesSnapshot);
    WriteLine(file, "Sessions[%d]:%sFormat: Computer\t[User][#Files]-[Connection time][Idle time]-[Guest]",
              static_cast<int>(sessions.size()), "\r\n");
    for (const SessionRow& row : sessions) {
        std::array<Cell, 6> cells{};
        for (std::size_t column = 0; column < cells.size(); ++column)
            FormatSessionCell(row, static_cast<int>(column), cells[column]);
        WriteLine(file, "%s\t\t[%s][#%s]-[%s][%s]-[%s]", cells[0].data(), cells[1].data(), cells[2].data(),
                  cells[3].data(), cells[4].data(), cells[5].data());
    }
    WriteLine(file, "\r\nOpened files[%d]:%sFormat:\tFile\t[User][#Locks][Open mode]", static_cast<int>(files.size()),
              "\r\n");
    for (const FileRow& row : files) {
        std::array<Cell, 4> cells{};
        for (std::size_t column = 0; column < cells.size(); ++column)
            FormatFileCell(row, static_cast<int>(column), cells[column]);
        WriteLine(file, "%s\t\t[%s][#%s][%s]", cells[0].data(), cells[1].data(), cells[2].data(), cells[3].data());
    }
    CloseHandle(file);
    return true;
}

INT_PTR CALLBACK MonitoringPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: InitMonitoringPage(page); break;
    case WM_COMMAND: OnMonitoringCommand(page, LOWORD(wParam), HIWORD(wParam)); break;
    case WM_NOTIFY: OnMonitoringNotify(page, reinterpret_cast<NMHDR*>(lParam)); break;
    case WM_SIZE: LayoutMonitoringPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}

INT_PTR CALLBACK BlockDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: SetFocus(GetDlgItem(dialog, IDC_MINUTES_EDIT)); return FALSE;
    case WM_COMMAND: OnBlockDialogCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE: EndDialog(dialog, 0); break;
    }
    return 0;
}
