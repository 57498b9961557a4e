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

// The control takes all the room the page's text may have.
constexpr int kLogPageLimit = static_cast<int>(kLogPageRoom);
constexpr WPARAM kTextEnd = 0x7FFFFFFF;  // the control puts a position past its text at its end
constexpr char kTextFilter[] = "Log files\0*.log*\0";
constexpr char kCsvFilter[] = "CSV files\0*.csv*\0";

void InitLogPage(HWND page)
{
    PlacePageAtOrigin(page);
    appState.logPageEdit = GetDlgItem(page, IDC_LOG_EDIT);
    SendMessageA(appState.logPageEdit, EM_SETLIMITTEXT, kLogPageLimit, 0);
}

// The control counts positions in characters: one a byte in a single-byte code page,
// one a UTF-16 unit otherwise.
WPARAM ControlPosition(std::string_view text)
{
    CPINFO info{};
    if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1)
        return text.size();
    return static_cast<WPARAM>(
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0));
}

// Drops whole lines from the top: about a quarter of the page at a time.
void DropOldestLines(HWND edit, LogPageText& page)
{
    const std::string_view text(page.text.data(), page.length);
    std::size_t cut = text.find('\n', kLogPageCapacity / 4);
    cut = cut == std::string_view::npos ? text.size() : cut + 1;
    if (!page.controlBehind) {
        SendMessageA(edit, EM_SETSEL, 0, static_cast<LPARAM>(ControlPosition(text.substr(0, cut))));
        SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
    }
    memmove(page.text.data(), page.text.data() + cut, page.length - cut);
    page.length -= cut;
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

void AppendToLogPage(std::string_view text)
{
    HWND edit = appState.logPageEdit;
    LogPageText& page = appState.logPage;
    if (!edit || text.empty())
        return;
    if (text.size() > kLogPageCapacity)
        text = text.substr(text.size() - kLogPageCapacity);  // never: a batch is smaller
    while (page.length > 0 && page.length + text.size() > kLogPageCapacity)
        DropOldestLines(edit, page);
    memcpy(page.text.data() + page.length, text.data(), text.size());
    page.length += text.size();
    page.text[page.length] = '\0';
    if (page.controlBehind || !IsWindowVisible(edit)) {
        page.controlBehind = 1;
        return;
    }
    // Always at the very end, whatever the user selected.
    SendMessageA(edit, EM_SETSEL, kTextEnd, static_cast<LPARAM>(kTextEnd));
    SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(page.text.data() + page.length - text.size()));
}

void SyncLogPage()
{
    HWND edit = appState.logPageEdit;
    LogPageText& page = appState.logPage;
    if (!edit || !page.controlBehind)
        return;
    SetWindowTextA(edit, page.text.data());
    SendMessageA(edit, EM_SETSEL, kTextEnd, static_cast<LPARAM>(kTextEnd));
    SendMessageA(edit, EM_SCROLLCARET, 0, 0);
    page.controlBehind = 0;
}

void ClearLog()
{
    SetWindowTextA(appState.logPageEdit, "");
    appState.logPage.length = 0;
    appState.logPage.controlBehind = 0;
    appState.logPage.text[0] = '\0';
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
    } else {
        // The whole page, however long it has grown.
        WriteText(file, std::string_view(appState.logPage.text.data(), appState.logPage.length));
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
