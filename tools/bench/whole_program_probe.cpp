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
//
// Every line it prints is "<kind> key=value ...", flushed at once.
#include <windows.h>
#include <psapi.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "watch") == 0) {
        const DWORD period = argc >= 4 ? static_cast<DWORD>(strtoul(argv[3], nullptr, 10)) : kDefaultPeriodMs;
        return Watch(argv[2], period);
    }
    if (argc >= 2 && strcmp(argv[1], "exit") == 0)
        return Exit();
    std::fprintf(stderr, "usage: whole_program_probe watch <stop-file> [<period-ms>] | exit\n");
    return 2;
}
