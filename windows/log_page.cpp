#include "windows/log_page.h"

#include <shellapi.h>

#include <array>
#include <cstring>
#include <string_view>

#include "core/text.h"
#include "engine/engine_state.h"
#include "engine/log_text.h"
#include "engine/run_records.h"
#include "resources/resource.h"
#include "windows/layout.h"
#include "windows/list_export.h"
#include "windows/list_view.h"
#include "windows/window_state.h"

namespace {

// The control takes all the room the page's text may have.
constexpr int kLogPageLimit = static_cast<int>(kLogTextRoom);
constexpr WPARAM kTextEnd = 0x7FFFFFFF;  // the control puts a position past its text at its end
constexpr char kTextFilter[] = "Log files\0*.log*\0";
constexpr char kCsvFilter[] = "CSV files\0*.csv*\0";

void InitLogPage(HWND page)
{
    PlacePageAtOrigin(page);
    windowState.logPageEdit = GetDlgItem(page, IDC_LOG_EDIT);
    SendMessageA(windowState.logPageEdit, EM_SETLIMITTEXT, kLogPageLimit, 0);
}

void OpenLogFolder()
{
    ShellExecuteA(nullptr, "open", engineState.logFolder.data(), nullptr, nullptr, SW_SHOWNORMAL);
}

void OnLogCommand(HWND page, WORD command)
{
    switch (command) {
    case IDC_CLEAR_LOG: ClearLog(); break;
    case IDC_EXPORT_LOG: ShowContextMenu(windowState.exportMenu, page); break;
    case IDM_EXPORT_TEXT: ExportLog(ExportKind::Text); break;
    case IDM_EXPORT_CSV: ExportLog(ExportKind::Csv); break;
    case IDC_OPEN_FOLDER: OpenLogFolder(); break;
    }
}

void LayoutLogPage(HWND page)
{
    LayoutLock lock(page);
    StretchToEdges(page, IDC_LOG_EDIT, true);
    AnchorRowToRight(page, {IDC_OPEN_FOLDER, IDC_EXPORT_LOG, IDC_CLEAR_LOG});
}

}  // namespace

void SyncLogPageView()
{
    HWND edit = windowState.logPageEdit;
    LogText& log = engineState.logText;
    const bool changed = log.emptied || log.droppedPositions > 0 || log.newFrom < log.length;
    if (!edit || !changed)
        return;
    if (windowState.logViewBehind || log.emptied || !IsWindowVisible(edit)) {
        windowState.logViewBehind = 1;
        if (IsWindowVisible(edit))
            SyncLogPage();
        else
            MarkLogTextShown(log);  // the whole text goes in when the page comes into sight
        return;
    }
    if (log.droppedPositions > 0) {
        SendMessageA(edit, EM_SETSEL, 0, static_cast<LPARAM>(log.droppedPositions));
        SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
    }
    // Always at the very end, whatever the user selected.
    SendMessageA(edit, EM_SETSEL, kTextEnd, static_cast<LPARAM>(kTextEnd));
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(log.text.data() + log.newFrom));
    MarkLogTextShown(log);
}

void SyncLogPage()
{
    HWND edit = windowState.logPageEdit;
    if (!edit || !windowState.logViewBehind)
        return;
    SetWindowTextA(edit, engineState.logText.text.data());
    SendMessageA(edit, EM_SETSEL, kTextEnd, static_cast<LPARAM>(kTextEnd));
    SendMessageA(edit, EM_SCROLLCARET, 0, 0);
    MarkLogTextShown(engineState.logText);
    windowState.logViewBehind = 0;
}

void ClearLog()
{
    SetWindowTextA(windowState.logPageEdit, "");
    ClearLogText(engineState.logText);
    MarkLogTextShown(engineState.logText);
    windowState.logViewBehind = 0;
    ClearRunRecords(engineState.run);
}

void ExportLog(ExportKind kind)
{
    std::array<char, kExportNameCapacity + 4> name{};
    if (!AskExportFileName(kind == ExportKind::Text ? kTextFilter : kCsvFilter, "Save", name))
        return;
    AddExportExtension(name, kind == ExportKind::Text ? ".log" : ".csv");
    WriteLogExport(kind, name.data());
}

bool WriteLogExport(ExportKind kind, const char* path)
{
    HANDLE file = CreateExportFile(path);
    if (!file)
        return false;
    if (kind == ExportKind::Csv)
        WriteText(file, RunRecordsText(engineState.run));
    else
        WriteText(file, WholeLogText(engineState.logText));  // the whole page, however long it has grown
    CloseHandle(file);
    return true;
}

INT_PTR CALLBACK LogPageProc(HWND page, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitLogPage(page); break;
    case WM_COMMAND: OnLogCommand(page, LOWORD(wParam)); break;
    case WM_SIZE: LayoutLogPage(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
