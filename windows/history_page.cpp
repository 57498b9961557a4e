#include "windows/history_page.h"

#include <commctrl.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cstring>

#include "core/clock.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/utf8.h"
#include "engine/watch/event_text.h"
#include "engine/history/history_keys.h"
#include "engine/history/history_store.h"
#include "resources/resource.h"
#include "rules/computer_list.h"
#include "windows/engine_link.h"
#include "windows/layout.h"
#include "windows/list_export.h"
#include "windows/list_view.h"
#include "windows/monitoring_page.h"
#include "windows/window_state.h"

namespace {

struct Column {
    const char* title;
    int width;
};
constexpr std::array<Column, 7> kColumns = {{
    {"Time", 120}, {"Server", 80}, {"Kind", 90}, {"Computer", 90}, {"User", 80}, {"Path or detail", 300}, {"Mode", 80},
}};
enum ColumnIndex : int { TimeColumn, ServerColumn, KindColumn, ComputerColumn, UserColumn, PathColumn, ModeColumn };

// The kind boxes in the order of HistoryKindBits.
constexpr std::array<int, 6> kKindBoxes = {IDC_HISTORY_CONNECTIONS, IDC_HISTORY_READS,  IDC_HISTORY_WRITES,
                                           IDC_HISTORY_TRIPS,       IDC_HISTORY_BLOCKS, IDC_HISTORY_ACTIONS};
constexpr std::array<int, 3> kTextBoxes = {IDC_HISTORY_COMPUTER, IDC_HISTORY_USER, IDC_HISTORY_PATH};

constexpr char kPickerFormat[] = "yyyy'-'MM'-'dd HH':'mm':'ss";
constexpr char kAllServersText[] = "All servers";
constexpr char kThisComputerText[] = "This computer";
constexpr char kCsvFilter[] = "CSV files\0*.csv*\0";
constexpr char kRestoreFilter[] = "Text files\0*.txt*\0";
constexpr LRESULT kAnyServer = -1;  // the server box's item data: -1 any, 0 this computer, 1 to 16 a watched one

constexpr UINT_PTR kStatusTimer = 1;
constexpr UINT kStatusTimerMs = 1000;
constexpr int64_t kHourSeconds = 3600;
constexpr int64_t kDaySeconds = 86400;

// A trip whose time is not known yet: the user's newest trip is looked up first.
enum class AfterTripStep : int32_t { None = 0, LookingUp };

struct AfterTrip {
    AfterTripStep step;
    uint32_t lookup;  // the generation of the lookup's search
    TripAsked asked;
    int32_t restore;  // write the restore list too
    PathText restorePath;
    uint32_t shown;   // the generation of the writes' search, whose count carries `note`
    std::array<char, 256> note;  // why the trip's own record was not used; empty when it was
};

struct HistoryPage {
    HWND page;
    HWND list;
    uint32_t generation;  // of the search the list shows
    int32_t searched;     // the first search ran
    AfterTrip afterTrip;
    std::array<char, kFormatCapacity> jobText;  // the last export's outcome
    std::array<char, kFormatCapacity> notice;   // the history's one notice of this run
    std::array<char, kFormatCapacity> statusShown;
    int32_t stopShownFor;  // the BackfillState the Stop button was last shown for; -1 none
    // The last row read for the list: a row is asked once per cell.
    HistoryRow row;
    uint32_t rowGeneration;
    int32_t rowIndex;
};

HistoryPage state;
std::atomic<HWND> noticeTarget{nullptr};

// Called on the search thread: only the word is handed on.
void PostHistoryNotice(HistoryNoticeKind kind, uint32_t generation, void*)
{
    if (HWND page = noticeTarget.load())
        PostMessageA(page, WM_HISTORY_NOTICE, static_cast<WPARAM>(kind), static_cast<LPARAM>(generation));
}

int64_t SecondsOf(const SYSTEMTIME& time)
{
    int64_t seconds = 0;
    HistorySecondsOf(time, &seconds);
    return seconds;
}

SYSTEMTIME UtcOfLocal(const SYSTEMTIME& local)
{
    SYSTEMTIME utc = UtcOfLocalTime(local);
    utc.wMilliseconds = 0;
    return utc;
}

void SetPicker(HWND page, int control, const SYSTEMTIME* local)
{
    SYSTEMTIME time = local ? *local : LocalTimeNow();
    time.wMilliseconds = 0;
    SendDlgItemMessageA(page, control, DTM_SETSYSTEMTIME, local ? GDT_VALID : GDT_NONE,
                        reinterpret_cast<LPARAM>(&time));
}

// The picker's time as UTC; a year of 0 (no bound) when its box is unchecked.
SYSTEMTIME PickerUtc(HWND page, int control, WORD endMilliseconds)
{
    SYSTEMTIME local{};
    if (SendDlgItemMessageA(page, control, DTM_GETSYSTEMTIME, 0, reinterpret_cast<LPARAM>(&local)) != GDT_VALID)
        return SYSTEMTIME{};
    local.wMilliseconds = 0;
    SYSTEMTIME utc = UtcOfLocal(local);
    utc.wMilliseconds = endMilliseconds;
    return utc;
}

template <std::size_t N>
void ReadBoxUtf8(HWND page, int control, std::array<char, N>& text)
{
    std::array<wchar_t, N> wide{};
    GetDlgItemTextW(page, control, wide.data(), static_cast<int>(wide.size()));
    Utf8FromWide(text, wide.data());
}

void FillServerBox(HWND page)
{
    HWND box = GetDlgItem(page, IDC_HISTORY_SERVER);
    const auto chosen = SendMessageA(box, CB_GETCURSEL, 0, 0);
    const LRESULT chosenData = chosen >= 0 ? SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(chosen), 0) : kAnyServer;
    SendMessageA(box, CB_RESETCONTENT, 0, 0);
    const auto add = [box](const char* text, LRESULT data) {
        const auto item = SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        SendMessageA(box, CB_SETITEMDATA, static_cast<WPARAM>(item), data);
        return item;
    };
    LRESULT select = add(kAllServersText, kAnyServer);
    const LRESULT local = add(kThisComputerText, 0);
    if (chosenData == 0)
        select = local;
    for (ServerId id = 1; id <= kMaxRemoteServers; ++id) {
        ShownServer server{};
        if (!FindShownServer(id, &server))
            continue;
        const LRESULT item = add(server.tag, id);
        if (chosenData == id)
            select = item;
    }
    SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(select), 0);
}

void ReadServerChoice(HWND page, HistoryQuery* query)
{
    HWND box = GetDlgItem(page, IDC_HISTORY_SERVER);
    const auto item = SendMessageA(box, CB_GETCURSEL, 0, 0);
    const LRESULT data = item >= 0 ? SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(item), 0) : kAnyServer;
    ShownServer server{};
    if (data == 0)
        query->serverChoice = HistoryServerChoice::ThisComputer;
    else if (data > 0 && FindShownServer(static_cast<ServerId>(data), &server)) {
        query->serverChoice = HistoryServerChoice::Named;
        CopyText(query->server, server.tag);
    } else
        query->serverChoice = HistoryServerChoice::Any;
}

void SetFoundText(const char* text)
{
    SetDlgItemTextA(state.page, IDC_HISTORY_FOUND, text);
}

// A trip's writes: what may be missing from them, after the count.
void AppendAfterTripNote(std::span<char> text)
{
    std::array<HistoryGapText, kHistoryGapsMost> gaps{};
    const char* note = state.afterTrip.note.data();
    if (!note[0] && !HistoryIsSearchOnly() && DescribeHistoryGaps(ReadHistoryStatus(), true, gaps) > 0)
        note = gaps[0].data();
    if (!note[0])
        return;
    AppendText(text, ". ");
    AppendText(text, note);
}

void ShowCount()
{
    const HistorySearchStatus status = ReadHistorySearch();
    if (status.generation != state.generation)
        return;
    ListView_SetItemCountEx(state.list, static_cast<int>(status.found), LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    InvalidateRect(state.list, nullptr, FALSE);
    std::array<char, kFormatCapacity> text{};
    if (status.failed)
        CopyText(text, kHistoryUnreadableText);
    else if (!status.finished)
        FormatText(text, "%s %u found so far", kHistorySearchingText, status.found);
    else if (status.more)
        FormatText(text, "More than %u found: the newest are shown", status.found);
    else
        FormatText(text, "%u found", status.found);
    if (state.afterTrip.shown != 0 && status.generation == state.afterTrip.shown)
        AppendAfterTripNote(text);
    SetFoundText(text.data());
}

void StartSearch(const HistoryQuery& query)
{
    state.generation = StartHistorySearch(query);
    state.searched = 1;
    state.rowGeneration = 0;
    ListView_SetItemCountEx(state.list, 0, 0);
    SetFoundText(state.generation ? kHistorySearchingText : kHistoryNotKeptText);
}

// ---- After a trip -----------------------------------------------------------------

// The trip as the history holds it, or as its caller knew it when the history does not.
struct TripFound {
    SYSTEMTIME local;
    std::array<char, sizeof(HistoryRow::user)> user;  // UTF-8
    HistoryServerChoice serverChoice;
    std::array<char, sizeof(HistoryRow::server)> server;
};

constexpr char kTripNotStoredText[] = "This trip is not in the history yet: the user is named as its log line shows";
constexpr char kNoTripStoredText[] = "No trip of this user is in the history: the last day's writes on every server are shown";

// The server box's item for the trip's server; false when no item is it (a server
// no longer watched): the box then says all servers, and the search is narrowed anyway.
bool ChooseServerInBox(HWND page, HistoryServerChoice choice, const char* server)
{
    HWND box = GetDlgItem(page, IDC_HISTORY_SERVER);
    const auto items = SendMessageA(box, CB_GETCOUNT, 0, 0);
    for (LRESULT item = 0; item < items; ++item) {
        const LRESULT data = SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(item), 0);
        ShownServer shown{};
        const bool same = (choice == HistoryServerChoice::Any && data == kAnyServer) ||
                          (choice == HistoryServerChoice::ThisComputer && data == 0) ||
                          (choice == HistoryServerChoice::Named && data > 0 &&
                           FindShownServer(static_cast<ServerId>(data), &shown) &&
                           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, shown.tag, -1, server, -1) == CSTR_EQUAL);
        if (same) {
            SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
            return true;
        }
    }
    SendMessageA(box, CB_SETCURSEL, 0, 0);
    return false;
}

void ShowWritesOf(const TripFound& trip)
{
    HWND page = state.page;
    const SYSTEMTIME from = SystemTimeOfHistorySeconds(SecondsOf(trip.local) - kHourSeconds);
    const SYSTEMTIME now = LocalTimeNow();
    SetPicker(page, IDC_HISTORY_FROM, &from);
    SetPicker(page, IDC_HISTORY_TO, &now);
    SetDlgItemTextA(page, IDC_HISTORY_COMPUTER, "");
    SetDlgItemTextA(page, IDC_HISTORY_PATH, "");
    std::array<wchar_t, kBlockUserUnits> user{};
    WideFromUtf8(user, trip.user.data());
    SetDlgItemTextW(page, IDC_HISTORY_USER, user.data());
    for (int box : kKindBoxes)
        CheckDlgButton(page, box, box == IDC_HISTORY_WRITES ? BST_CHECKED : BST_UNCHECKED);
    ChooseServerInBox(page, trip.serverChoice, trip.server.data());
    static HistoryQuery query;
    state.afterTrip.step = AfterTripStep::None;
    if (!ReadHistoryBoxes(page, &query))
        return;
    CopyText(query.user, trip.user.data());  // the history's own spelling, not the box's
    query.serverChoice = trip.serverChoice;
    CopyText(query.server, trip.server.data());
    StartSearch(query);
    state.afterTrip.shown = state.generation;
    if (!state.afterTrip.restore)
        return;
    static HistoryRestoreAsk ask;
    ask = HistoryRestoreAsk{};
    CopyText(ask.user, trip.user.data());
    ask.serverChoice = trip.serverChoice;
    CopyText(ask.server, trip.server.data());
    ask.from = UtcOfLocal(from);
    ask.to = UniversalTimeNow();
    CopyText(ask.note, state.afterTrip.note.data());
    const bool started = StartHistoryRestoreList(state.afterTrip.restorePath.data(), ask);
    CopyText(state.jobText, started ? "Writing the restore list..." : "The restore list could not be started");
    state.afterTrip.restore = 0;
}

// No trip of this user in the history: a trip an hour into the last day, so that the
// writes of the whole last day are shown and nothing is missed.
SYSTEMTIME LastDayFromNow()
{
    return SystemTimeOfHistorySeconds(SecondsOf(LocalTimeNow()) - kDaySeconds + kHourSeconds);
}

// The trip as its caller knew it: a line's time, server and name, or the last day.
TripFound TripAsCallerKnewIt(const TripAsked& asked)
{
    TripFound trip{};
    Utf8FromWide(trip.user, asked.user.data());
    if (asked.local.wYear == 0) {
        trip.local = LastDayFromNow();
        trip.serverChoice = HistoryServerChoice::Any;
        CopyText(state.afterTrip.note, kNoTripStoredText);
        return trip;
    }
    trip.local = asked.local;
    trip.serverChoice = asked.server[0] ? HistoryServerChoice::Named : HistoryServerChoice::ThisComputer;
    CopyText(trip.server, asked.server.data());
    CopyText(state.afterTrip.note, kTripNotStoredText);
    return trip;
}

TripFound TripOfRow(const HistoryRow& row)
{
    TripFound trip{};
    trip.local = row.local;
    CopyText(trip.user, row.user.data());
    trip.serverChoice = row.server[0] ? HistoryServerChoice::Named : HistoryServerChoice::ThisComputer;
    CopyText(trip.server, row.server.data());
    return trip;
}

// A stored trip is the line's when its time is the line's and its user, written
// through the code page as the line was, reads the same.
bool IsTripOfLine(const HistoryRow& row, const TripAsked& asked)
{
    std::array<char, kBlockUserUnits * 2> stored{};
    std::array<char, kBlockUserUnits * 2> shown{};
    AnsiFromUtf8(stored, row.user.data());
    AnsiFromWide(shown, asked.user.data());
    return row.local.wHour == asked.local.wHour && row.local.wMinute == asked.local.wMinute &&
           row.local.wSecond == asked.local.wSecond && row.local.wDay == asked.local.wDay &&
           std::strcmp(stored.data(), shown.data()) == 0;
}

void StartAfterTrip(const TripAsked& asked)
{
    state.searched = 1;  // the page's first search gives way to this one
    // Chosen in the navigation bar, as a click would: the main window shows the page
    // (taken off first, for a bar that still shows it chosen behind another page).
    ListView_SetItemState(windowState.navList, HistoryPageIndex, 0, LVIS_SELECTED);
    ListView_SetItemState(windowState.navList, HistoryPageIndex, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
    state.afterTrip.asked = asked;
    state.afterTrip.note[0] = '\0';
    // The trip's own record: its server, and its user as the server named it. A line
    // is found by its time and server (its name may have lost letters to the code
    // page); the tripped list's user by name, the newest trip.
    static HistoryQuery trips;
    trips = HistoryQuery{};
    trips.kinds = HistoryTrips;
    if (asked.local.wYear == 0) {
        Utf8FromWide(trips.user, asked.user.data());
    } else {
        const int64_t at = SecondsOf(UtcOfLocal(asked.local));
        trips.from = SystemTimeOfHistorySeconds(at - 1);
        trips.to = SystemTimeOfHistorySeconds(at + 1);
        trips.serverChoice = asked.server[0] ? HistoryServerChoice::Named : HistoryServerChoice::ThisComputer;
        CopyText(trips.server, asked.server.data());
    }
    state.afterTrip.lookup = StartHistorySearch(trips);
    if (!state.afterTrip.lookup) {
        // No history to look in: the boxes as the caller knew the trip, and the page says why.
        state.afterTrip.step = AfterTripStep::None;
        ShowWritesOf(TripAsCallerKnewIt(asked));
        return;
    }
    state.afterTrip.step = AfterTripStep::LookingUp;
    state.generation = 0;  // the list's search is replaced by the lookup
    ListView_SetItemCountEx(state.list, 0, 0);
    SetFoundText(kHistorySearchingText);
}

// The lookup's search has news: the trip is its first row that is the trip asked for,
// once the rows are read.
void ContinueAfterTrip(uint32_t generation)
{
    AfterTrip& after = state.afterTrip;
    if (after.step != AfterTripStep::LookingUp || generation != after.lookup)
        return;
    const HistorySearchStatus status = ReadHistorySearch();
    if (status.generation != generation || (!status.finished && !status.failed))
        return;
    static HistoryRow row;
    const bool byLine = after.asked.local.wYear != 0;
    for (uint32_t k = 0; k < status.found && k < kHistoryPageRows; ++k) {
        if (!GetHistoryRow(generation, k, &row))
            return;  // its page is asked for: the Rows notice brings it
        if (!byLine || IsTripOfLine(row, after.asked)) {
            after.step = AfterTripStep::None;
            ShowWritesOf(TripOfRow(row));
            return;
        }
    }
    after.step = AfterTripStep::None;
    ShowWritesOf(TripAsCallerKnewIt(after.asked));
}

// ---- The list ---------------------------------------------------------------------

const HistoryRow* RowAt(int index)
{
    if (state.rowGeneration == state.generation && state.rowIndex == index)
        return &state.row;
    if (index < 0 || !GetHistoryRow(state.generation, static_cast<uint32_t>(index), &state.row))
        return nullptr;
    state.rowGeneration = state.generation;
    state.rowIndex = index;
    return &state.row;
}

void FormatCell(const HistoryRow& row, int column, std::span<char> text)
{
    std::array<char, sizeof(HistoryRow::path)> utf8{};
    switch (column) {
    case TimeColumn: FormatHistoryTime(row.local, text); return;
    case ServerColumn:
        if (row.server[0] == '\0') {
            CopyText(text, kThisComputerText);
            return;
        }
        CopyText(utf8, row.server.data());
        break;
    case KindColumn: CopyText(text, HistoryKindName(row.kind)); return;
    case ComputerColumn: CopyText(utf8, row.computer.data()); break;
    case UserColumn: CopyText(utf8, row.user.data()); break;
    case PathColumn: CopyText(utf8, row.path[0] ? row.path.data() : row.detail.data()); break;
    case ModeColumn:
        CopyText(text, "");
        if (row.kind == EventKind::FileOpen)
            FormatOpenMode(row.mode, text);
        return;
    default: CopyText(text, ""); return;
    }
    AnsiFromUtf8(text, utf8.data());
    ReplaceControlCharacters(text);
}

void OnGetDisplayInfo(NMLVDISPINFOA* info)
{
    if (!(info->item.mask & LVIF_TEXT) || !info->item.pszText || info->item.cchTextMax <= 0)
        return;
    const std::span<char> text(info->item.pszText, static_cast<std::size_t>(info->item.cchTextMax));
    const HistoryRow* row = RowAt(info->item.iItem);
    if (!row) {
        CopyText(text, "");  // drawn again once its page is read
        return;
    }
    FormatCell(*row, info->item.iSubItem, text);
}

// A list that asks in UTF-16 (its parent said so): the same text, widened.
void OnGetDisplayInfoWide(NMLVDISPINFOW* info)
{
    if (!(info->item.mask & LVIF_TEXT) || !info->item.pszText || info->item.cchTextMax <= 0)
        return;
    std::array<char, kFormatCapacity> text{};
    if (const HistoryRow* row = RowAt(info->item.iItem))
        FormatCell(*row, info->item.iSubItem, text);
    WideFromAnsi(std::span<wchar_t>(info->item.pszText, static_cast<std::size_t>(info->item.cchTextMax)), text.data());
}

void OnCacheHint(const NMLVCACHEHINT* hint)
{
    if (hint->iFrom >= 0 && hint->iTo >= hint->iFrom)
        HintHistoryRows(state.generation, static_cast<uint32_t>(hint->iFrom), static_cast<uint32_t>(hint->iTo));
}

const HistoryRow* FocusedRow()
{
    const int index = NextSelectedRow(state.list, -1);
    return index >= 0 ? RowAt(index) : nullptr;
}

void ExploreRow()
{
    const HistoryRow* row = FocusedRow();
    if (!row)
        return;
    static std::array<wchar_t, sizeof(HistoryRow::path)> path;
    std::array<wchar_t, sizeof(HistoryRow::server)> server{};
    WideFromUtf8(server, row->server.data());
    if (row->path[0] != '\0') {
        WideFromUtf8(path, row->path.data());
        ExploreFileOn(server.data(), path.data());
    } else if (row->computer[0] != '\0') {
        WideFromUtf8(path, row->computer.data());
        ExploreComputer(path.data());
    }
}

void BlockRow(int32_t ticks)
{
    const HistoryRow* row = FocusedRow();
    if (!row || row->computer[0] == '\0' || ticks == 0)
        return;
    std::array<wchar_t, sizeof(HistoryRow::computer)> computer{};
    WideFromUtf8(computer, row->computer.data());
    AddComputerTo(Blacklist, computer.data(), ticks);
}

void ShowRowMenu(HWND page)
{
    const HistoryRow* row = FocusedRow();
    if (!row)
        return;
    const UINT block = row->computer[0] ? MF_ENABLED : MF_GRAYED;
    const UINT explore = row->computer[0] || row->path[0] ? MF_ENABLED : MF_GRAYED;
    EnableMenuItem(windowState.historyMenu, IDM_HISTORY_EXPLORE, MF_BYCOMMAND | explore);
    EnableMenuItem(windowState.historyMenu, IDM_HISTORY_BLOCK, MF_BYCOMMAND | block);
    EnableMenuItem(windowState.historyMenu, IDM_HISTORY_BLOCK_MORE, MF_BYCOMMAND | block);
    ShowContextMenu(windowState.historyMenu, page);
}

// ---- Export and status --------------------------------------------------------------

void ExportFound()
{
    std::array<char, kExportNameCapacity + 4> name{};
    if (!AskExportFileName(kCsvFilter, "Export to CSV", name))
        return;
    AddExportExtension(name, ".csv");
    const bool started = StartHistoryExport(state.generation, name.data());
    CopyText(state.jobText, started ? "Exporting..." : "The export could not be started");
    SetFoundText(state.jobText.data());
}

void ShowJobDone()
{
    const HistoryJobStatus job = ReadHistoryJob();
    if (job.succeeded) {
        FormatText(state.jobText, "%u lines written", job.lines);
        if (job.note[0]) {
            AppendText(state.jobText, ". ");
            AppendText(state.jobText, job.note.data());
        }
    } else
        CopyText(state.jobText, "The file could not be written");
    SetFoundText(state.jobText.data());
}

}  // namespace

void AppendBackfillText(const HistoryStatus& status, std::span<char> text)
{
    std::array<char, kFormatCapacity> part{};
    switch (status.backfill) {
    case BackfillState::Running: {
        // wsprintf takes no %llu: the 64-bit count is written apart.
        std::array<char, 24> lines{};
        std::to_chars(lines.data(), lines.data() + lines.size() - 1, status.linesRead);
        FormatText(part, "; reading the daily logs: %u of %u, %s lines", status.filesDone, status.filesTotal,
                   lines.data());
        break;
    }
    case BackfillState::Stopped:
        FormatText(part, "; reading the daily logs stopped at %u of %u", status.filesDone, status.filesTotal);
        break;
    default: return;
    }
    AppendText(text, part.data());
}

namespace {

// Only what the queue could not hold even in its reserve, and no log gives back.
constexpr char kLostEventsText[] = "; %u of the program's own actions could not be kept";

void UpdateStatus()
{
    HWND page = state.page;
    const HistoryStatus status = ShownHistoryStatus();
    std::array<char, kFormatCapacity> notice{};
    if (TakeHistoryNotice(notice))
        CopyText(state.notice, notice.data());
    std::array<char, kFormatCapacity> text{};
    CopyText(text, state.notice[0] ? state.notice.data() : HistoryHealthText(status.health));
    if (!state.notice[0])
        AppendBackfillText(status, text);
    if (status.lost > 0) {
        std::array<char, 160> lost{};
        FormatText(lost, kLostEventsText, static_cast<unsigned>(std::min<uint64_t>(status.lost, UINT32_MAX)));
        AppendText(text, lost.data());
    }
    if (std::strcmp(text.data(), state.statusShown.data()) != 0) {
        CopyText(state.statusShown, text.data());
        SetDlgItemTextA(page, IDC_HISTORY_STATUS, text.data());
    }
    // The button only while the logs are being read, and touched only when it changes.
    const auto backfill = static_cast<int32_t>(status.backfill);
    if (backfill == state.stopShownFor)
        return;
    state.stopShownFor = backfill;
    const bool stoppable = status.backfill == BackfillState::Running || status.backfill == BackfillState::Stopped;
    HWND stop = GetDlgItem(page, IDC_HISTORY_STOP);
    SetWindowTextA(stop, status.backfill == BackfillState::Stopped ? "Resume" : "Stop");
    ShowWindow(stop, stoppable ? SW_SHOWNA : SW_HIDE);
}

void OnStopClicked()
{
    if (ShownHistoryStatus().backfill == BackfillState::Stopped)
        ResumeHistoryReading();
    else
        StopHistoryReading();
    UpdateStatus();
}

// ---- The page -----------------------------------------------------------------------

void InitHistoryPage(HWND page)
{
    PlacePageAtOrigin(page);
    state = {};
    state.stopShownFor = -1;
    state.page = page;
    state.list = GetDlgItem(page, IDC_HISTORY_LIST);
    SetFullRowSelect(state.list);
    for (std::size_t i = 0; i < kColumns.size(); ++i)
        AddColumn(state.list, static_cast<int>(i), kColumns[i].title, kColumns[i].width);
    for (int control : {IDC_HISTORY_FROM, IDC_HISTORY_TO}) {
        SendDlgItemMessageA(page, control, DTM_SETFORMATA, 0, reinterpret_cast<LPARAM>(kPickerFormat));
        SetPicker(page, control, nullptr);
    }
    for (int box : kTextBoxes)
        SendDlgItemMessageA(page, box, EM_LIMITTEXT, sizeof(HistoryQuery::computer) / 3 - 1, 0);
    SendDlgItemMessageA(page, IDC_HISTORY_PATH, EM_LIMITTEXT, sizeof(HistoryQuery::pathContains) / 3 - 1, 0);
    for (int box : kKindBoxes)
        CheckDlgButton(page, box, BST_CHECKED);
    FillServerBox(page);
    noticeTarget.store(page);
    SetHistoryNotice(PostHistoryNotice, nullptr);
    SetTimer(page, kStatusTimer, kStatusTimerMs, nullptr);
    UpdateStatus();
}

void OnHistoryDestroyed(HWND page)
{
    KillTimer(page, kStatusTimer);
    if (noticeTarget.load() == page) {
        SetHistoryNotice(nullptr, nullptr);
        noticeTarget.store(nullptr);
    }
    state.page = nullptr;
    state.list = nullptr;
}

void OnHistoryNotice(WPARAM kind, LPARAM generation)
{
    const auto searched = static_cast<uint32_t>(generation);
    if (static_cast<HistoryNoticeKind>(kind) == HistoryNoticeKind::JobDone) {
        ShowJobDone();
        return;
    }
    ContinueAfterTrip(searched);
    if (searched != state.generation)
        return;
    if (static_cast<HistoryNoticeKind>(kind) == HistoryNoticeKind::Rows) {
        state.rowGeneration = 0;  // the row kept may have been an empty one
        InvalidateRect(state.list, nullptr, FALSE);
        return;
    }
    ShowCount();
}

void OnHistoryCommand(HWND page, WORD command, WORD code)
{
    switch (command) {
    case IDC_HISTORY_SEARCH: SearchHistory(); break;
    case IDC_HISTORY_EXPORT: ExportFound(); break;
    case IDC_HISTORY_STOP: OnStopClicked(); break;
    case IDC_HISTORY_SERVER:
        if (code == CBN_DROPDOWN)
            FillServerBox(page);
        break;
    case IDM_HISTORY_EXPLORE: ExploreRow(); break;
    case IDM_HISTORY_BLOCK: BlockRow(kPermanent); break;
    case IDM_HISTORY_BLOCK_MORE:
        if (FocusedRow())
            BlockRow(AskBlockTicks(page));
        break;
    }
}

void OnHistoryNotify(HWND page, NMHDR* header)
{
    if (header->idFrom != IDC_HISTORY_LIST)
        return;
    switch (header->code) {
    case LVN_GETDISPINFOA: OnGetDisplayInfo(reinterpret_cast<NMLVDISPINFOA*>(header)); break;
    case LVN_GETDISPINFOW: OnGetDisplayInfoWide(reinterpret_cast<NMLVDISPINFOW*>(header)); break;
    case LVN_ODCACHEHINT: OnCacheHint(reinterpret_cast<const NMLVCACHEHINT*>(header)); break;
    case NM_RCLICK: ShowRowMenu(page); break;
    }
}

void LayoutHistoryPage(HWND page)
{
    LayoutLock lock(page);
    StretchToEdges(page, IDC_HISTORY_LIST, true);
    AnchorRowToRight(page, {IDC_HISTORY_STOP});
}

}  // namespace

bool ReadHistoryBoxes(HWND page, HistoryQuery* query)
{
    *query = HistoryQuery{};
    for (std::size_t bit = 0; bit < kKindBoxes.size(); ++bit)
        if (IsDlgButtonChecked(page, kKindBoxes[bit]) == BST_CHECKED)
            query->kinds |= 1u << bit;
    if (query->kinds == 0)
        return false;
    query->from = PickerUtc(page, IDC_HISTORY_FROM, 0);
    query->to = PickerUtc(page, IDC_HISTORY_TO, 999);
    ReadBoxUtf8(page, IDC_HISTORY_COMPUTER, query->computer);
    ReadBoxUtf8(page, IDC_HISTORY_USER, query->user);
    ReadBoxUtf8(page, IDC_HISTORY_PATH, query->pathContains);
    ReadServerChoice(page, query);
    return true;
}

void SearchHistory()
{
    if (!state.page)
        return;
    static HistoryQuery query;
    state.afterTrip.step = AfterTripStep::None;  // what the person asks now comes first
    if (!ReadHistoryBoxes(state.page, &query)) {
        state.generation = 0;
        ListView_SetItemCountEx(state.list, 0, 0);
        SetFoundText(kHistoryNoKindText);
        return;
    }
    StartSearch(query);
}

void OnHistoryPageShown()
{
    if (!state.page)
        return;
    FillServerBox(state.page);
    UpdateStatus();
    if (!state.searched)
        SearchHistory();
}

void OnHistoryEnter(HWND focus)
{
    if (!state.page || !focus)
        return;
    if (focus == state.list)
        ExploreRow();
    else if (IsChild(state.page, focus))
        SearchHistory();
}

void ShowUserWritesAfterTrip(const TripAsked& trip)
{
    if (!state.page)
        return;
    state.afterTrip.restore = 0;
    StartAfterTrip(trip);
}

void ExportRestoreListAfterTrip(const TripAsked& trip, const char* path)
{
    if (!state.page)
        return;
    std::array<char, kExportNameCapacity + 4> name{};
    if (path)
        CopyText(name, path);
    else if (!AskExportFileName(kRestoreFilter, "Export restore list", name))
        return;
    else
        AddExportExtension(name, ".txt");
    CopyText(state.afterTrip.restorePath, name.data());
    state.afterTrip.restore = 1;
    StartAfterTrip(trip);
}

INT_PTR CALLBACK HistoryPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: InitHistoryPage(page); break;
    case WM_COMMAND: OnHistoryCommand(page, LOWORD(wParam), HIWORD(wParam)); break;
    case WM_NOTIFY: OnHistoryNotify(page, reinterpret_cast<NMHDR*>(lParam)); break;
    case WM_HISTORY_NOTICE: OnHistoryNotice(wParam, lParam); break;
    case WM_TIMER:
        if (wParam == kStatusTimer)
            UpdateStatus();
        break;
    case WM_SIZE: LayoutHistoryPage(page); break;
    case WM_DESTROY: OnHistoryDestroyed(page); break;
    case WM_CLOSE: EndDialog(page, 0); break;
    }
    return 0;
}
