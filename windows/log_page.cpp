#include "windows/log_page.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "core/clock.h"
#include "core/text.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_lines.h"
#include "windows/history_page.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/log_text.h"
#include "engine/watch/run_records.h"
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

constexpr UINT_PTR kTripMenuSubclass = 1;
constexpr int kTripLineMost = 4096;  // a line's first part: the time, the word and the user

// The control's line under a point in its client area, or the caret's line for the keyboard's menu.
int LineAt(HWND edit, LPARAM screenPoint)
{
    if (screenPoint == -1)
        return static_cast<int>(SendMessageA(edit, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0));
    POINT point{GET_X_LPARAM(screenPoint), GET_Y_LPARAM(screenPoint)};
    ScreenToClient(edit, &point);
    RECT format{};
    SendMessageA(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
    TEXTMETRICA metrics{};
    HDC dc = GetDC(edit);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(edit, WM_GETFONT, 0, 0)));
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(edit, dc);
    if (metrics.tmHeight <= 0 || point.y < format.top)
        return -1;
    const auto first = static_cast<int>(SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    return first + (point.y - format.top) / metrics.tmHeight;
}

// A Tripwire line's own menu; any other line keeps the control's.
LRESULT CALLBACK LogEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    if (message == WM_CONTEXTMENU) {
        static TripAsked trip;
        if (ReadTripOfLogLine(LineAt(edit, lParam), &trip)) {
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (lParam == -1)
                GetCursorPos(&at);
            const auto command = static_cast<UINT>(
                TrackPopupMenu(windowState.tripMenu, TPM_RETURNCMD, at.x, at.y, 0, edit, nullptr));
            RunTripCommand(command, trip);
            return 0;
        }
    }
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(edit, LogEditProc, kTripMenuSubclass);
    return DefSubclassProc(edit, message, wParam, lParam);
}

void InitLogPage(HWND page)
{
    PlacePageAtOrigin(page);
    windowState.logPageEdit = GetDlgItem(page, IDC_LOG_EDIT);
    SendMessageA(windowState.logPageEdit, EM_SETLIMITTEXT, kLogPageLimit, 0);
    SetWindowSubclass(windowState.logPageEdit, LogEditProc, kTripMenuSubclass, 0);
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

bool ReadTripLine(std::string_view line, const SYSTEMTIME& now, TripAsked* trip)
{
    // A watched server's line: "[h:m:s] [\\NAME] Tripwire ...", its tag taken out.
    std::array<char, kTripLineMost> untagged{};
    trip->server[0] = '\0';
    const std::size_t afterTime = line.find("] [\\\\");
    if (afterTime != std::string_view::npos && line.substr(0, 1) == "[") {
        const std::size_t tagEnd = line.find("] ", afterTime + 2);
        if (tagEnd == std::string_view::npos)
            return false;
        CopyText(trip->server, line.substr(afterTime + 3, tagEnd - afterTime - 3));
        CopyText(untagged, line.substr(0, afterTime + 1));
        AppendText(untagged, line.substr(tagEnd + 1));
        line = untagged.data();
    }
    LogLine parsed{};
    if (!ParseLogLine(line, &parsed) || parsed.kind != EventKind::Tripwire || parsed.user.empty())
        return false;
    std::array<char, kBlockUserUnits> user{};
    CopyText(user, parsed.user);
    WideFromAnsi(trip->user, user.data());
    SYSTEMTIME midnight = now;
    midnight.wHour = midnight.wMinute = midnight.wSecond = midnight.wMilliseconds = 0;
    int64_t day = 0;
    int64_t current = 0;
    if (!HistorySecondsOf(midnight, &day) || !HistorySecondsOf(now, &current))
        return false;
    int64_t at = day + parsed.secondOfDay;
    if (at > current)
        at -= 86400;  // the line came before midnight
    trip->local = SystemTimeOfHistorySeconds(at);
    return true;
}

bool ReadTripOfLogLine(int index, TripAsked* trip)
{
    HWND edit = windowState.logPageEdit;
    const auto lines = static_cast<int>(SendMessageA(edit, EM_GETLINECOUNT, 0, 0));
    if (!edit || index < 0 || index >= lines)
        return false;
    std::array<char, kTripLineMost> text{};
    *reinterpret_cast<WORD*>(text.data()) = static_cast<WORD>(text.size() - 1);
    const auto length = static_cast<std::size_t>(
        SendMessageA(edit, EM_GETLINE, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data())));
    return ReadTripLine(std::string_view(text.data(), std::min(length, text.size() - 1)), LocalTimeNow(), trip);
}

void RunTripCommand(UINT command, const TripAsked& trip)
{
    if (command == IDM_SHOW_USER_WRITES)
        ShowUserWritesAfterTrip(trip);
    else if (command == IDM_EXPORT_RESTORE_LIST)
        ExportRestoreListAfterTrip(trip);
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
