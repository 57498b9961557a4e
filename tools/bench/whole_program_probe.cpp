// The whole-program benchmark's eyes inside Wine (tools/bench/whole_program.py).
//
//   whole_program_probe watch <stop-file> [<period-ms>]
//       Finds quorvel.exe's main window and sends it WM_NULL every period (20 ms)
//       until the stop file exists or the window goes; prints the longest round
//       trip (one still unanswered at the stop counts with its wait so far), and
//       once a second the process's times and working set as the platform reports
//       them (to compare with what Linux says). Each answer slower than 50 ms is a
//       line of its own, stamped with the Unix time it was sent, so that the
//       driver can pick those of any stretch of the run.
//   whole_program_probe exit
//       Posts File > Exit to the main window and waits for the process to end.
//   whole_program_probe logpage <stop-file> [<period-ms>]
//       Brings the main window's Log page up and reads its text control every
//       period (5 ms) until the stop file exists; prints each new line with the Unix
//       time it was first seen.
//   whole_program_probe pipeconnect <count>
//       Opens the service's pipe <count> times, closing each at once, as fast as it
//       is let (a busy pipe is waited for).
//   whole_program_probe pipegarbage <seconds>
//       Connects to the service's pipe and writes random bytes until the service
//       drops it, then again, for <seconds>.
//   whole_program_probe history <user> <path-part> <days-back>
//       Works the History page as a person does and times each step from the click
//       or the Enter to its first rows: chooses History in the navigation bar (the
//       page's first search: the newest events); types <user> and <path-part> into
//       its boxes and presses Enter; then sets both date pickers to the day
//       <days-back> days before today, leaves only Writes checked, empties the path
//       box and presses Enter again.
//   whole_program_probe histstatus <stop-file>
//       Reads the History page's status text (the page sets it once a second, shown
//       or not) every 50 ms until the stop file exists or the window goes; prints it
//       with the Unix time whenever it changed.
//   whole_program_probe monitor <rows> <stop-file>
//       Reads the Monitoring page's files list's row count and the status line of
//       the window beside the service every 50 ms until the stop file exists or the
//       window goes; prints the count whenever it changed (at most once a second,
//       and at once when it reaches <rows>) and the status text whenever it changed,
//       each with the Unix time.
//
// Every line it prints is "<kind> key=value ...", flushed at once.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/product.h"
#include "resources/resource.h"
#include "windows/history_page.h"

namespace {

constexpr char kProgramImage[] = "quorvel.exe";
constexpr char kDialogClass[] = "#32770";
constexpr DWORD kDefaultPeriodMs = 20;
constexpr DWORD kFindTimeoutMs = 60000;
constexpr DWORD kAnswerTimeoutMs = 600000;  // longer than any run: a wait still going is counted at the stop
constexpr DWORD kExitTimeoutMs = 15000;
constexpr double kSlowAnswerMs = 50;
constexpr long long kMostSlowLines = 100000;
constexpr ULONGLONG kUnixEpochInFileTime = 116444736000000000ULL;
constexpr ULONGLONG kSamplePeriodMs = 1000;
constexpr DWORD kLogPollMs = 5;
constexpr int kLogPageCommand = IDM_TRAY_LOGS;
constexpr int kLogEditId = IDC_LOG_EDIT;
constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\Quorvel";
constexpr DWORD kPipeWaitMs = 2000;
constexpr DWORD kGarbageWriteMs = 1000;  // a write the service neither takes nor refuses
constexpr DWORD kGarbageChunk = 4096;
constexpr long long kProgressEvery = 1000;
constexpr int kHistoryNavItem = 4;  // the navigation bar's fifth item (kNavItems, windows/main_window.cpp)
constexpr DWORD kHistoryStepTimeoutMs = 60000;
constexpr DWORD kHistoryPollMs = 2;  // each poll is two or three messages the GUI thread answers
constexpr DWORD kFocusTimeoutMs = 5000;
constexpr DWORD kReplyTimeoutMs = 5000;  // one message to the program
constexpr int kFirstRowsWanted = 100;    // a page's first screenful and then some, as bench_history counts
constexpr int kRowColumnsShown = 6;      // the row printed: Time ... Path (kColumns, windows/history_page.cpp)
constexpr int kTextRoom = 512;
constexpr DWORD kStatusPollMs = 50;
constexpr char kFoundMarker[] = "(probe: waiting)";  // written into the found-count text before a step

struct Target {
    HWND window = nullptr;
    DWORD processId = 0;
};

bool EndsWithImageName(std::string_view path)
{
    const std::string_view name(kProgramImage);
    if (path.size() < name.size())
        return false;
    const std::string_view tail = path.substr(path.size() - name.size());
    return _strnicmp(tail.data(), name.data(), name.size()) == 0 &&
           (path.size() == name.size() || path[path.size() - name.size() - 1] == '\\');
}

bool IsProgramProcess(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    std::array<char, MAX_PATH> path{};
    DWORD size = static_cast<DWORD>(path.size());
    const bool named = QueryFullProcessImageNameA(process, 0, path.data(), &size) != FALSE;
    CloseHandle(process);
    return named && EndsWithImageName(std::string_view(path.data(), size));
}

// The main window is the owner-less dialog with the product's title; hidden or not.
BOOL CALLBACK MatchMainWindow(HWND window, LPARAM parameter)
{
    std::array<char, 64> title{}, kind{};
    GetWindowTextA(window, title.data(), static_cast<int>(title.size()));
    GetClassNameA(window, kind.data(), static_cast<int>(kind.size()));
    if (strcmp(title.data(), kProductTitle) != 0 || strcmp(kind.data(), kDialogClass) != 0 ||
        GetWindow(window, GW_OWNER))
        return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (!IsProgramProcess(processId))
        return TRUE;
    auto* target = reinterpret_cast<Target*>(parameter);
    target->window = window;
    target->processId = processId;
    return FALSE;
}

Target WaitForMainWindow(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    Target target;
    while (!target.window && GetTickCount64() < deadline) {
        EnumWindows(MatchMainWindow, reinterpret_cast<LPARAM>(&target));
        if (!target.window)
            Sleep(10);
    }
    return target;
}

LONGLONG Now()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double MillisecondsBetween(LONGLONG start, LONGLONG end)
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return static_cast<double>(end - start) * 1000.0 / static_cast<double>(frequency);
}

long long UnixMillisecondsNow()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{};
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    return static_cast<long long>((value.QuadPart - kUnixEpochInFileTime) / 10000);
}

long long FileTimeMilliseconds(const FILETIME& time)
{
    ULARGE_INTEGER value{};
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<long long>(value.QuadPart / 10000);
}

// What the platform says of the process: its CPU times and working set (-1: refused).
void PrintPlatformSample(HANDLE process, double atMs)
{
    FILETIME created{}, ended{}, kernel{}, user{};
    long long userMs = -1, kernelMs = -1, workingSet = -1;
    if (GetProcessTimes(process, &created, &ended, &kernel, &user)) {
        userMs = FileTimeMilliseconds(user);
        kernelMs = FileTimeMilliseconds(kernel);
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, &memory, sizeof(memory)))
        workingSet = static_cast<long long>(memory.WorkingSetSize);
    std::printf("platform at_ms=%.0f user_ms=%lld kernel_ms=%lld working_set=%lld\n", atMs, userMs, kernelMs,
                workingSet);
    std::fflush(stdout);
}

bool FileExists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The sender's state, shared with the thread that watches for the stop file: a
// message still unanswered at the stop counts with the time it has waited so far.
struct Pinger {
    Target target;
    DWORD periodMs = kDefaultPeriodMs;
    LONGLONG begin = 0;
    long long beginUnixMs = 0;
    volatile LONGLONG sentAt = 0;  // 0: nothing in flight
    volatile LONG stop = 0;
    volatile LONG windowGone = 0;
    double longest = 0, longestAt = 0;
    long long answers = 0, slow = 0, unanswered = 0;
    CRITICAL_SECTION lock;
};

void RecordRoundTrip(Pinger* pinger, LONGLONG sent, LONGLONG answered)
{
    const double roundTrip = MillisecondsBetween(sent, answered);
    ++pinger->answers;
    if (roundTrip > kSlowAnswerMs && ++pinger->slow <= kMostSlowLines) {
        const double sentMs = MillisecondsBetween(pinger->begin, sent);
        std::printf("slow sent_unix_ms=%.0f ms=%.1f\n", static_cast<double>(pinger->beginUnixMs) + sentMs, roundTrip);
        std::fflush(stdout);
    }
    if (roundTrip > pinger->longest) {
        pinger->longest = roundTrip;
        pinger->longestAt = MillisecondsBetween(pinger->begin, sent);
    }
}

DWORD WINAPI PingLoop(void* parameter)
{
    auto* pinger = static_cast<Pinger*>(parameter);
    while (!pinger->stop) {
        const LONGLONG sent = Now();
        InterlockedExchange64(&pinger->sentAt, sent);
        DWORD_PTR result = 0;
        const bool ok = SendMessageTimeoutA(pinger->target.window, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs,
                                            &result) != 0;
        const LONGLONG answered = Now();
        EnterCriticalSection(&pinger->lock);
        InterlockedExchange64(&pinger->sentAt, 0);
        if (!ok && !IsWindow(pinger->target.window)) {
            InterlockedExchange(&pinger->windowGone, 1);
            LeaveCriticalSection(&pinger->lock);
            break;
        }
        if (!ok)
            ++pinger->unanswered;
        RecordRoundTrip(pinger, sent, answered);
        LeaveCriticalSection(&pinger->lock);
        Sleep(pinger->periodMs);
    }
    return 0;
}

int Watch(const char* stopFile, DWORD periodMs)
{
    static Pinger pinger;  // the sender may still wait inside SendMessageTimeout when this returns
    InitializeCriticalSection(&pinger.lock);
    pinger.periodMs = periodMs;
    pinger.begin = Now();
    pinger.beginUnixMs = UnixMillisecondsNow();
    pinger.target = WaitForMainWindow(kFindTimeoutMs);
    if (!pinger.target.window) {
        std::printf("error reason=\"no main window within %lu ms\"\n", kFindTimeoutMs);
        return 1;
    }
    std::printf("window pid=%lu found_ms=%.0f\n", pinger.target.processId, MillisecondsBetween(pinger.begin, Now()));
    std::fflush(stdout);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pinger.target.processId);
    HANDLE sender = CreateThread(nullptr, 0, PingLoop, &pinger, 0, nullptr);

    ULONGLONG nextSample = 0;
    while (!FileExists(stopFile) && !pinger.windowGone) {
        if (process && GetTickCount64() >= nextSample) {
            PrintPlatformSample(process, MillisecondsBetween(pinger.begin, Now()));
            nextSample = GetTickCount64() + kSamplePeriodMs;
        }
        Sleep(kDefaultPeriodMs);
    }
    InterlockedExchange(&pinger.stop, 1);
    EnterCriticalSection(&pinger.lock);
    const LONGLONG inFlight = pinger.sentAt;
    if (inFlight)
        RecordRoundTrip(&pinger, inFlight, Now());
    std::printf("gui longest_ms=%.1f at_ms=%.0f answers=%lld over_50ms=%lld unanswered=%lld waiting_at_stop=%d "
                "window_gone=%ld\n",
                pinger.longest, pinger.longestAt, pinger.answers, pinger.slow, pinger.unanswered, inFlight ? 1 : 0,
                pinger.windowGone);
    std::fflush(stdout);
    LeaveCriticalSection(&pinger.lock);
    if (!inFlight && sender)
        WaitForSingleObject(sender, kExitTimeoutMs);
    if (process)
        CloseHandle(process);
    // A sender still waiting for an answer is left to the process's end.
    ExitProcess(0);
}

int Exit()
{
    const Target target = WaitForMainWindow(kExitTimeoutMs);
    if (!target.window) {
        std::printf("exit ended=0 reason=\"no main window\"\n");
        return 1;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, target.processId);
    PostMessageA(target.window, WM_COMMAND, IDM_EXIT, 0);
    const bool ended = process && WaitForSingleObject(process, kExitTimeoutMs) == WAIT_OBJECT_0;
    DWORD code = STILL_ACTIVE;
    if (process) {
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
    }
    std::printf("exit ended=%d code=%lu\n", ended ? 1 : 0, code);
    std::fflush(stdout);
    return ended ? 0 : 1;
}

// ---- the Log page ----------------------------------------------------------------

struct FoundControl {
    HWND window = nullptr;
    int id = 0;
    const char* kind = nullptr;  // a class name; nullptr: any
};

BOOL CALLBACK MatchControlById(HWND window, LPARAM parameter)
{
    auto* found = reinterpret_cast<FoundControl*>(parameter);
    if (GetDlgCtrlID(window) != found->id)
        return TRUE;
    if (found->kind) {
        std::array<char, 32> kind{};
        GetClassNameA(window, kind.data(), static_cast<int>(kind.size()));
        if (_stricmp(kind.data(), found->kind) != 0)
            return TRUE;
    }
    found->window = window;
    return FALSE;
}

// A child of `top` by its id, and of a class when `kind` names one.
HWND FindChild(HWND top, int id, const char* kind)
{
    FoundControl found;
    found.id = id;
    found.kind = kind;
    EnumChildWindows(top, MatchControlById, reinterpret_cast<LPARAM>(&found));
    return found.window;
}

HWND FindEdit(HWND top, int id)
{
    return FindChild(top, id, "Edit");
}

// The text's length, or -1 when the window did not answer within a second.
long long TextLength(HWND edit)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 1000, &length))
        return -1;
    return static_cast<long long>(length);
}

// Prints the whole lines of text[from, length); returns where the unfinished one begins.
std::size_t PrintNewLines(const char* text, std::size_t from, std::size_t length, long long seenUnixMs)
{
    std::size_t lineStart = from;
    for (std::size_t at = from; at < length; ++at) {
        if (text[at] != '\n')
            continue;
        std::size_t end = at;
        if (end > lineStart && text[end - 1] == '\r')
            --end;
        std::printf("logline unix_ms=%lld text=%.*s\n", seenUnixMs, static_cast<int>(end - lineStart),
                    text + lineStart);
        lineStart = at + 1;
    }
    std::fflush(stdout);
    return lineStart;
}

int WatchLogPage(const char* stopFile, DWORD periodMs)
{
    const Target target = WaitForMainWindow(kFindTimeoutMs);
    if (!target.window) {
        std::printf("error reason=\"no main window within %lu ms\"\n", kFindTimeoutMs);
        return 1;
    }
    PostMessageA(target.window, WM_COMMAND, kLogPageCommand, 0);
    HWND edit = nullptr;
    const ULONGLONG deadline = GetTickCount64() + kFindTimeoutMs;
    while (!(edit && IsWindowVisible(edit)) && GetTickCount64() < deadline) {
        edit = FindEdit(target.window, kLogEditId);
        Sleep(10);
    }
    if (!edit) {
        std::printf("error reason=\"no Log page text control\"\n");
        return 1;
    }
    std::printf("logpage found_unix_ms=%lld visible=%d\n", UnixMillisecondsNow(), IsWindowVisible(edit) ? 1 : 0);
    std::fflush(stdout);
    // The text only grows at its end; a line is printed once it is whole.
    std::vector<char> text;
    std::size_t printedTo = 0;
    long long polls = 0, slowest = 0;
    while (!FileExists(stopFile)) {
        const long long length = TextLength(edit);
        ++polls;
        if (length < 0 && !IsWindow(edit))
            break;
        if (length >= 0 && static_cast<std::size_t>(length) != printedTo) {
            const long long seen = UnixMillisecondsNow();
            text.assign(static_cast<std::size_t>(length) + 1, '\0');
            DWORD_PTR copied = 0;
            SendMessageTimeoutA(edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL,
                                1000, &copied);
            const std::size_t got = std::min<std::size_t>(copied, static_cast<std::size_t>(length));
            if (got < printedTo) {
                // Cleared, or lines dropped at its start: read on from its end.
                std::printf("reset unix_ms=%lld length=%zu was=%zu\n", seen, got, printedTo);
                printedTo = got;
            } else {
                printedTo = PrintNewLines(text.data(), printedTo, got, seen);
            }
            slowest = std::max(slowest, UnixMillisecondsNow() - seen);
        }
        Sleep(periodMs);
    }
    std::printf("logpage polls=%lld slowest_read_ms=%lld\n", polls, slowest);
    std::fflush(stdout);
    return 0;
}

// ---- the service's pipe ----------------------------------------------------------

// Opens the pipe, waiting while every instance is taken; nullptr when it never came.
HANDLE OpenServicePipe(DWORD flags, long long* busy)
{
    const ULONGLONG deadline = GetTickCount64() + kPipeWaitMs;
    for (;;) {
        HANDLE pipe = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        const DWORD error = GetLastError();
        if (GetTickCount64() >= deadline)
            return nullptr;
        if (error == ERROR_PIPE_BUSY) {
            ++*busy;
            WaitNamedPipeW(kPipeName, 100);
        } else {
            Sleep(10);
        }
    }
}

int PipeConnect(long long count)
{
    const long long begin = UnixMillisecondsNow();
    std::printf("flood kind=connect start_unix_ms=%lld\n", begin);
    std::fflush(stdout);
    long long opened = 0, busy = 0, failed = 0;
    for (long long k = 0; k < count; ++k) {
        HANDLE pipe = OpenServicePipe(0, &busy);
        if (pipe) {
            ++opened;
            CloseHandle(pipe);
        } else {
            ++failed;
        }
        if ((k + 1) % kProgressEvery == 0) {
            std::printf("progress connects=%lld unix_ms=%lld\n", k + 1, UnixMillisecondsNow());
            std::fflush(stdout);
        }
    }
    std::printf("flood kind=connect end_unix_ms=%lld opened=%lld busy=%lld failed=%lld\n", UnixMillisecondsNow(),
                opened, busy, failed);
    std::fflush(stdout);
    return failed ? 1 : 0;
}

// The next of a fixed pseudo-random byte sequence: the same garbage every run.
uint8_t NextGarbage(uint32_t* state)
{
    *state = *state * 1664525u + 1013904223u;
    return static_cast<uint8_t>(*state >> 24);
}

int PipeGarbage(DWORD seconds)
{
    const long long begin = UnixMillisecondsNow();
    std::printf("flood kind=garbage start_unix_ms=%lld\n", begin);
    std::fflush(stdout);
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
    long long connections = 0, busy = 0, failed = 0, dropped = 0, stuck = 0, bytes = 0;
    uint32_t state = 12345;
    std::array<uint8_t, kGarbageChunk> chunk{};
    OVERLAPPED overlap{};
    overlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (GetTickCount64() < deadline) {
        HANDLE pipe = OpenServicePipe(FILE_FLAG_OVERLAPPED, &busy);
        if (!pipe) {
            ++failed;
            continue;
        }
        ++connections;
        for (bool open = true; open && GetTickCount64() < deadline;) {
            for (auto& byte : chunk)
                byte = NextGarbage(&state);
            ResetEvent(overlap.hEvent);
            DWORD written = 0;
            if (WriteFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &written, &overlap)) {
                bytes += written;
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING) {
                ++dropped;
                open = false;
            } else if (WaitForSingleObject(overlap.hEvent, kGarbageWriteMs) != WAIT_OBJECT_0) {
                CancelIo(pipe);
                GetOverlappedResult(pipe, &overlap, &written, TRUE);
                ++stuck;
                open = false;
            } else if (GetOverlappedResult(pipe, &overlap, &written, FALSE)) {
                bytes += written;
            } else {
                ++dropped;
                open = false;
            }
        }
        CloseHandle(pipe);
    }
    CloseHandle(overlap.hEvent);
    std::printf("flood kind=garbage end_unix_ms=%lld connections=%lld busy=%lld failed=%lld dropped=%lld "
                "stuck=%lld bytes=%lld\n",
                UnixMillisecondsNow(), connections, busy, failed, dropped, stuck, bytes);
    std::fflush(stdout);
    return 0;
}

// ---- the History page ------------------------------------------------------------

// Memory in the program for the list messages that carry a pointer (the platform
// copies none of theirs between processes): an item, and room for its text.
struct Remote {
    HANDLE process = nullptr;
    char* base = nullptr;
};

struct RemoteBlock {
    LVITEMA item;
    SYSTEMTIME time;
    std::array<char, kTextRoom> text;
};

bool OpenRemote(DWORD processId, Remote* remote)
{
    remote->process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                                  FALSE, processId);
    if (!remote->process)
        return false;
    remote->base = static_cast<char*>(
        VirtualAllocEx(remote->process, nullptr, sizeof(RemoteBlock), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    return remote->base != nullptr;
}

void CloseRemote(Remote* remote)
{
    if (remote->base)
        VirtualFreeEx(remote->process, remote->base, 0, MEM_RELEASE);
    if (remote->process)
        CloseHandle(remote->process);
}

template <typename T>
bool WriteRemote(const Remote& remote, std::size_t offset, const T& value)
{
    SIZE_T written = 0;
    return WriteProcessMemory(remote.process, remote.base + offset, &value, sizeof(value), &written) &&
           written == sizeof(value);
}

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* answer = nullptr)
{
    DWORD_PTR result = 0;
    const bool answered =
        SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kReplyTimeoutMs, &result) != 0;
    if (answer)
        *answer = static_cast<LRESULT>(result);
    return answered;
}

// A cell of the list as the list itself gives it (LVM_GETITEMTEXTA, which asks the
// page for the row); empty when the row is not read yet or the list did not answer.
bool ReadCell(const Remote& remote, HWND list, int index, int column, std::array<char, kTextRoom>& text)
{
    text[0] = '\0';
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = remote.base + offsetof(RemoteBlock, text);
    item.cchTextMax = kTextRoom;
    const char empty = '\0';
    LRESULT length = 0;
    if (!WriteRemote(remote, offsetof(RemoteBlock, item), item) ||
        !WriteRemote(remote, offsetof(RemoteBlock, text), empty) ||
        !Send(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(index),
              reinterpret_cast<LPARAM>(remote.base + offsetof(RemoteBlock, item)), &length))
        return false;
    SIZE_T read = 0;
    if (!ReadProcessMemory(remote.process, remote.base + offsetof(RemoteBlock, text), text.data(), text.size(), &read))
        return false;
    text.back() = '\0';
    return text[0] != '\0';
}

// The navigation bar's item chosen as a click chooses it: its state set in the bar,
// whose LVN_ITEMCHANGED the main window answers by showing the page.
bool ChooseNavItem(const Remote& remote, HWND bar, int index)
{
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    return WriteRemote(remote, offsetof(RemoteBlock, item), item) &&
           Send(bar, LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                reinterpret_cast<LPARAM>(remote.base + offsetof(RemoteBlock, item)));
}

bool SetPickerDay(const Remote& remote, HWND picker, const SYSTEMTIME& day)
{
    LRESULT taken = 0;
    return WriteRemote(remote, offsetof(RemoteBlock, time), day) &&
           Send(picker, DTM_SETSYSTEMTIME, GDT_VALID,
                reinterpret_cast<LPARAM>(remote.base + offsetof(RemoteBlock, time)), &taken) &&
           taken != 0;
}

// A control of the main window's pages by its id (the ids are the product's, one each).
HWND FindControl(HWND top, int id)
{
    return FindChild(top, id, nullptr);
}

template <std::size_t N>
void ReadText(HWND window, std::array<char, N>& text)
{
    text[0] = '\0';
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL,
                             kReplyTimeoutMs, &copied))
        text[0] = '\0';
    text.back() = '\0';
}

struct HistoryControls {
    HWND bar, list, found, status, user, path, from, to;
    std::array<HWND, 6> kinds;  // Connections, Reads, Writes, Trips, Blocks, Actions
};
constexpr std::size_t kWritesBox = 2;

bool FindHistoryControls(HWND top, HistoryControls* page)
{
    page->bar = FindControl(top, IDC_NAV_BAR);
    page->list = FindControl(top, IDC_HISTORY_LIST);
    page->found = FindControl(top, IDC_HISTORY_FOUND);
    page->status = FindControl(top, IDC_HISTORY_STATUS);
    page->user = FindControl(top, IDC_HISTORY_USER);
    page->path = FindControl(top, IDC_HISTORY_PATH);
    page->from = FindControl(top, IDC_HISTORY_FROM);
    page->to = FindControl(top, IDC_HISTORY_TO);
    const std::array<int, 6> kindIds = {IDC_HISTORY_CONNECTIONS, IDC_HISTORY_READS,  IDC_HISTORY_WRITES,
                                        IDC_HISTORY_TRIPS,       IDC_HISTORY_BLOCKS, IDC_HISTORY_ACTIONS};
    bool all = page->bar && page->list && page->found && page->status && page->user && page->path && page->from &&
               page->to;
    for (std::size_t k = 0; k < kindIds.size(); ++k) {
        page->kinds[k] = FindControl(top, kindIds[k]);
        all = all && page->kinds[k];
    }
    return all;
}

// A click into a box, as the mouse gives it: the box takes the focus itself.
bool ClickInto(HWND box)
{
    PostMessageA(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageA(box, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    const DWORD thread = GetWindowThreadProcessId(box, nullptr);
    const ULONGLONG deadline = GetTickCount64() + kFocusTimeoutMs;
    while (GetTickCount64() < deadline) {
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        if (GetGUIThreadInfo(thread, &info) && info.hwndFocus == box)
            return true;
        Sleep(5);
    }
    return false;
}

// Enter in the focused box: the main window's dialog loop turns it into IDOK.
void PressEnter(HWND box)
{
    PostMessageA(box, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(box, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

void PrintQuoted(const char* name, const char* text)
{
    std::printf(" %s=\"", name);
    for (const char* at = text; *at; ++at)
        std::putchar(*at == '"' ? '\'' : *at);
    std::putchar('"');
}

// What one step saw: when the search began (its found-count text replaced the
// marker), when its first rows could be read, when its count was final.
struct StepTimes {
    double actedMs = -1;  // the action's own message answered (the click's, for the open)
    double startedMs = -1, firstRowsMs = -1, finalMs = -1;
    long long items = 0;
    std::array<char, kTextRoom> found{};
    std::array<std::array<char, kTextRoom>, kRowColumnsShown> row{};
};

// Polls the page from `begin` until the search's count is final and its first rows
// read back (at most kHistoryStepTimeoutMs). First rows: the list holds 100 items, or
// all there are once the count is final, and its first row's cells come back from the
// list (the list draws the same cells). The found-count text is the page's own
// ("Searching... n found so far" until final).
StepTimes TimeHistoryStep(const Remote& remote, const HistoryControls& page, LONGLONG begin)
{
    StepTimes times;
    const std::string_view searching(kHistorySearchingText);
    const ULONGLONG deadline = GetTickCount64() + kHistoryStepTimeoutMs;
    while (GetTickCount64() < deadline && (times.firstRowsMs < 0 || times.finalMs < 0)) {
        ReadText(page.found, times.found);
        const std::string_view found(times.found.data());
        const double at = MillisecondsBetween(begin, Now());
        if (found == kFoundMarker || found.empty()) {
            Sleep(kHistoryPollMs);
            continue;
        }
        if (times.startedMs < 0)
            times.startedMs = at;
        const bool final = found.substr(0, searching.size()) != searching;
        LRESULT count = 0;
        Send(page.list, LVM_GETITEMCOUNT, 0, 0, &count);
        times.items = static_cast<long long>(count);
        if (final && times.finalMs < 0)
            times.finalMs = at;
        // Every row has a time; its other cells may be empty.
        if (times.firstRowsMs < 0 && (count >= kFirstRowsWanted || final) &&
            (count == 0 || ReadCell(remote, page.list, 0, 0, times.row[0]))) {
            times.firstRowsMs = at;
            for (int column = 1; column < kRowColumnsShown && count > 0; ++column)
                ReadCell(remote, page.list, 0, column, times.row[static_cast<std::size_t>(column)]);
        }
        Sleep(kHistoryPollMs);
    }
    return times;
}

void PrintStep(const char* name, const StepTimes& times)
{
    const bool timedOut = times.firstRowsMs < 0 || times.finalMs < 0;
    std::printf("histstep name=%s first_rows_ms=%.1f final_ms=%.1f started_ms=%.1f acted_ms=%.1f items=%lld "
                "timed_out=%d",
                name, times.firstRowsMs, times.finalMs, times.startedMs, times.actedMs, times.items, timedOut ? 1 : 0);
    PrintQuoted("found", times.found.data());
    std::printf(" row=\"");
    for (std::size_t column = 0; column < times.row.size(); ++column) {
        if (column > 0)
            std::putchar('|');
        for (const char* at = times.row[column].data(); *at; ++at)
            std::putchar(*at == '"' ? '\'' : *at);
    }
    std::printf("\"\n");
    std::fflush(stdout);
}

// The found-count text marked, then the step's own action, then the wait.
template <typename Act>
bool RunHistoryStep(const Remote& remote, const HistoryControls& page, const char* name, Act act)
{
    Send(page.found, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(kFoundMarker));
    const LONGLONG begin = Now();
    if (!act()) {
        std::printf("histstep name=%s error=\"the action was not taken\"\n", name);
        std::fflush(stdout);
        return false;
    }
    const double actedMs = MillisecondsBetween(begin, Now());
    StepTimes times = TimeHistoryStep(remote, page, begin);
    times.actedMs = actedMs;
    PrintStep(name, times);
    return times.firstRowsMs >= 0 && times.finalMs >= 0;
}

void PrintPageState(const char* when, const HistoryControls& page)
{
    std::array<char, kTextRoom> status{}, found{};
    ReadText(page.status, status);
    ReadText(page.found, found);
    std::printf("histpage when=%s unix_ms=%lld", when, UnixMillisecondsNow());
    PrintQuoted("status", status.data());
    PrintQuoted("found", found.data());
    std::printf("\n");
    std::fflush(stdout);
}

// Midnight of the day `daysBack` days before today, local time.
SYSTEMTIME DayBefore(int daysBack)
{
    SYSTEMTIME today{};
    GetLocalTime(&today);
    today.wHour = today.wMinute = today.wSecond = today.wMilliseconds = 0;
    FILETIME file{};
    SystemTimeToFileTime(&today, &file);
    ULARGE_INTEGER value{};
    value.LowPart = file.dwLowDateTime;
    value.HighPart = file.dwHighDateTime;
    value.QuadPart -= static_cast<ULONGLONG>(daysBack) * 86400ULL * 10000000ULL;
    file.dwLowDateTime = value.LowPart;
    file.dwHighDateTime = value.HighPart;
    SYSTEMTIME day{};
    FileTimeToSystemTime(&file, &day);
    return day;
}

int WorkHistoryPage(const char* user, const char* pathPart, int daysBack)
{
    const Target target = WaitForMainWindow(kFindTimeoutMs);
    if (!target.window) {
        std::printf("error reason=\"no main window within %lu ms\"\n", kFindTimeoutMs);
        return 1;
    }
    HistoryControls page{};
    const ULONGLONG deadline = GetTickCount64() + kFindTimeoutMs;
    while (!FindHistoryControls(target.window, &page) && GetTickCount64() < deadline)
        Sleep(10);  // the pages are made after the window has its title
    if (!FindHistoryControls(target.window, &page)) {
        std::printf("error reason=\"the History page's controls were not found\"\n");
        return 1;
    }
    Remote remote;
    if (!OpenRemote(target.processId, &remote)) {
        std::printf("error reason=\"no memory in the program (error %lu)\"\n", GetLastError());
        CloseRemote(&remote);
        return 1;
    }
    PrintPageState("before", page);
    bool ok = RunHistoryStep(remote, page, "open", [&] { return ChooseNavItem(remote, page.bar, kHistoryNavItem); });
    // Typed into the boxes: set as a whole, as a paste does; the page reads them at Enter.
    ok = ok && ClickInto(page.user);
    if (ok) {
        Send(page.user, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(user));
        Send(page.path, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(pathPart));
        ok = RunHistoryStep(remote, page, "user-path", [&] {
            PressEnter(page.user);
            return true;
        });
    } else {
        std::printf("histstep name=user-path error=\"the user box did not take the focus\"\n");
    }
    if (ok) {
        SYSTEMTIME from = DayBefore(daysBack);
        SYSTEMTIME to = from;
        to.wHour = 23;
        to.wMinute = to.wSecond = 59;
        const bool picked = SetPickerDay(remote, page.from, from) && SetPickerDay(remote, page.to, to);
        for (std::size_t k = 0; k < page.kinds.size(); ++k)
            Send(page.kinds[k], BM_SETCHECK, k == kWritesBox ? BST_CHECKED : BST_UNCHECKED, 0);
        Send(page.path, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
        std::printf("histday from=%04u-%02u-%02u picked=%d\n", from.wYear, from.wMonth, from.wDay, picked ? 1 : 0);
        ok = picked && RunHistoryStep(remote, page, "day-writes", [&] {
            PressEnter(page.user);
            return true;
        });
    }
    PrintPageState("after", page);
    CloseRemote(&remote);
    return ok ? 0 : 1;
}

int WatchHistoryStatus(const char* stopFile)
{
    // The window has its title before its pages are made: the control is waited for too.
    const ULONGLONG deadline = GetTickCount64() + kFindTimeoutMs;
    HWND status = nullptr;
    while (!status && GetTickCount64() < deadline) {
        const Target target = WaitForMainWindow(kFindTimeoutMs);
        status = target.window ? FindControl(target.window, IDC_HISTORY_STATUS) : nullptr;
        if (!status)
            Sleep(10);
    }
    if (!status) {
        std::printf("error reason=\"no History page status within %lu ms\"\n", kFindTimeoutMs);
        return 1;
    }
    std::array<char, kTextRoom> shown{}, text{};
    while (!FileExists(stopFile) && IsWindow(status)) {
        ReadText(status, text);
        if (std::strcmp(text.data(), shown.data()) != 0) {
            shown = text;
            std::printf("histstatus unix_ms=%lld", UnixMillisecondsNow());
            PrintQuoted("text", shown.data());
            std::printf("\n");
            std::fflush(stdout);
        }
        Sleep(kStatusPollMs);
    }
    return 0;
}

int WatchMonitoring(long long rowsWanted, const char* stopFile)
{
    const ULONGLONG deadline = GetTickCount64() + kFindTimeoutMs;
    HWND files = nullptr, status = nullptr;
    while (!(files && status) && GetTickCount64() < deadline) {
        const Target target = WaitForMainWindow(kFindTimeoutMs);
        files = target.window ? FindChild(target.window, IDC_FILES_LIST, WC_LISTVIEWA) : nullptr;
        status = target.window ? FindControl(target.window, IDC_SERVICE_STATUS) : nullptr;
        if (!(files && status))
            Sleep(10);
    }
    if (!(files && status)) {
        std::printf("error reason=\"no files list and status line within %lu ms\"\n", kFindTimeoutMs);
        return 1;
    }
    std::printf("monitor found_unix_ms=%lld\n", UnixMillisecondsNow());
    std::array<char, kTextRoom> shown{}, text{};
    long long printed = -1;
    ULONGLONG printedAt = 0;
    while (!FileExists(stopFile) && IsWindow(files)) {
        DWORD_PTR count = 0;
        if (SendMessageTimeoutA(files, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, kReplyTimeoutMs, &count) &&
            static_cast<long long>(count) != printed &&
            (static_cast<long long>(count) == rowsWanted || GetTickCount64() - printedAt >= 1000)) {
            printed = static_cast<long long>(count);
            printedAt = GetTickCount64();
            std::printf("rows unix_ms=%lld count=%lld\n", UnixMillisecondsNow(), printed);
        }
        ReadText(status, text);
        if (std::strcmp(text.data(), shown.data()) != 0) {
            shown = text;
            std::printf("status unix_ms=%lld", UnixMillisecondsNow());
            PrintQuoted("text", shown.data());
            std::printf("\n");
        }
        std::fflush(stdout);
        Sleep(kStatusPollMs);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "watch") == 0) {
        const DWORD period = argc >= 4 ? static_cast<DWORD>(strtoul(argv[3], nullptr, 10)) : kDefaultPeriodMs;
        return Watch(argv[2], period);
    }
    if (argc >= 2 && strcmp(argv[1], "exit") == 0)
        return Exit();
    if (argc >= 3 && strcmp(argv[1], "logpage") == 0) {
        const DWORD period = argc >= 4 ? static_cast<DWORD>(strtoul(argv[3], nullptr, 10)) : kLogPollMs;
        return WatchLogPage(argv[2], period);
    }
    if (argc >= 3 && strcmp(argv[1], "pipeconnect") == 0)
        return PipeConnect(strtoll(argv[2], nullptr, 10));
    if (argc >= 3 && strcmp(argv[1], "pipegarbage") == 0)
        return PipeGarbage(static_cast<DWORD>(strtoul(argv[2], nullptr, 10)));
    if (argc >= 5 && strcmp(argv[1], "history") == 0)
        return WorkHistoryPage(argv[2], argv[3], atoi(argv[4]));
    if (argc >= 3 && strcmp(argv[1], "histstatus") == 0)
        return WatchHistoryStatus(argv[2]);
    if (argc >= 4 && strcmp(argv[1], "monitor") == 0)
        return WatchMonitoring(strtoll(argv[2], nullptr, 10), argv[3]);
    std::fprintf(stderr, "usage: whole_program_probe watch <stop-file> [<period-ms>] | exit | "
                         "logpage <stop-file> [<period-ms>] | pipeconnect <count> | pipegarbage <seconds> | "
                         "history <user> <path-part> <days-back> | histstatus <stop-file>\n");
    return 2;
}
