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
//
// Every line it prints is "<kind> key=value ...", flushed at once.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/product.h"
#include "resources/resource.h"

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
};

BOOL CALLBACK MatchEditById(HWND window, LPARAM parameter)
{
    auto* found = reinterpret_cast<FoundControl*>(parameter);
    std::array<char, 32> kind{};
    GetClassNameA(window, kind.data(), static_cast<int>(kind.size()));
    if (GetDlgCtrlID(window) != found->id || _stricmp(kind.data(), "Edit") != 0)
        return TRUE;
    found->window = window;
    return FALSE;
}

HWND FindEdit(HWND top, int id)
{
    FoundControl found;
    found.id = id;
    EnumChildWindows(top, MatchEditById, reinterpret_cast<LPARAM>(&found));
    return found.window;
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
    std::fprintf(stderr, "usage: whole_program_probe watch <stop-file> [<period-ms>] | exit | "
                         "logpage <stop-file> [<period-ms>] | pipeconnect <count> | pipegarbage <seconds>\n");
    return 2;
}
