#include "monitor/log_page.h"

#include <shellapi.h>

#include <array>
#include <cstring>
#include <string_view>

#include "core/app_state.h"
#include "core/text.h"
#include "monitor/event_log.h"
#include "monitor/list_export.h"
#include "resources/resource.h"
#include "ui/layout.h"
#include "ui/list_view.h"
#include "ui/main_window.h"

namespace {

// Room beyond the capacity for the line being appended, so the control never refuses it.
constexpr int kLogPageLimit = kLogPageCapacity + 2 * static_cast<int>(kFormatCapacity);
constexpr char kTextFilter[] = "Log files\0*.log*\0";
constexpr char kCsvFilter[] = "CSV files\0*.csv*\0";

void InitLogPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.logPageEdit = GetDlgItem(page, IDC_LOG_EDIT);
    SendMessageA(appState.logPageEdit, EM_SETLIMITTEXT, kLogPageLimit, 0);
}

// Drops whole lines from the top: about a quarter of the page at a time.
void DropOldestLines(HWND edit)
{
    const LRESULT line = SendMessageA(edit, EM_LINEFROMCHAR, kLogPageCapacity / 4, 0);
    const LRESULT cut = SendMessageA(edit, EM_LINEINDEX, static_cast<WPARAM>(line + 1), 0);
    SendMessageA(edit, EM_SETSEL, 0, cut > 0 ? cut : kLogPageCapacity / 4);
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
}

void OpenLogFolder()
{
    ShellExecuteA(nullptr, "open", appState.logFolder.data(), nullptr, nullptr, SW_SHOWNORMAL);
}

void OnLogCommand(HWND page, WORD command)
{
    switch (command) {
    case IDC_CLEAR_LOG: ClearLog(); break;
    case IDC_EXPORT_LOG: ShowContextMenu(appState.exportMenu, page); break;
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

void AppendToLogPage(const char* text)
{
    HWND edit = appState.logPageEdit;
    if (!edit)
        return;
    const int length = static_cast<int>(strnlen(text, kFormatCapacity));
    if (GetWindowTextLengthA(edit) + length > kLogPageCapacity)
        DropOldestLines(edit);
    // Always at the very end, whatever the user selected.
    const int end = GetWindowTextLengthA(edit);
    SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void ClearLog()
{
    SetWindowTextA(appState.logPageEdit, "");
    ClearRunCsvBuffer();
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
    if (kind == ExportKind::Csv) {
        if (appState.RunCsvBuffer)
            WriteText(file, std::string_view(appState.RunCsvBuffer, appState.runCsvLength));
    } else if (HWND edit = appState.logPageEdit) {
        // The whole page, however long it has grown.
        const int length = GetWindowTextLengthA(edit);
        if (char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(length) + 1))) {
            const int read = GetWindowTextA(edit, text, length + 1);
            WriteText(file, std::string_view(text, static_cast<std::size_t>(read > 0 ? read : 0)));
            HeapFree(GetProcessHeap(), 0, text);
        }
    }
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
