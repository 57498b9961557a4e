// Times the 200 ms open-file scan against large tables: the enumeration alone, and
// the whole tick with the memory of the last scan's ids that notices a server whose
// ids started again.
#include <windows.h>

#include <cstdio>
#include <string>

#include "engine/watch/engine_state.h"
#include "engine/watch/detection.h"
#include "engine/watch/poll.h"
#include "core/server_api.h"
#include "support/fake_server.h"

namespace {

template <typename Work>
double MicrosecondsPerCall(int calls, Work work)
{
    LARGE_INTEGER frequency{}, start{}, end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i)
        work();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart) / calls;
}

void FileTick()
{
    engineState.pollTickCount = 0;  // never the once-a-second tick: the file scan alone
    PollRound round;
    BeginPollRound(round);
    FinishPollRound(round);
}

}  // namespace

int main()
{
    std::printf("open-file scan (fake server), microseconds per 200 ms tick\n");
    std::printf("  %8s %14s %14s %14s\n", "files", "enumeration", "tick", "tick, unsorted");
    for (const int files : {1000, 10000, 50000}) {
        FakeServer& server = InstallFakeServer();
        for (int i = 0; i < files; ++i)
            server.files.push_back({static_cast<DWORD>(1000 + i), PERM_FILE_READ, 0,
                                    L"D:\\Shares\\Projects\\folder\\file-" + std::to_wstring(i) + L".docx", L"user"});
        StartPoll();
        FileTick();  // reports them all once
        const int calls = files >= 50000 ? 40 : 200;
        const double enumeration = MicrosecondsPerCall(calls, [] {
            Enumeration<FILE_INFO_3> records;
            EnumerateOpenFiles(&records);
        });
        const double tick = MicrosecondsPerCall(calls, FileTick);
        // A server that hands its table out of id order makes the scan sort it.
        std::swap(server.files.front(), server.files.back());
        FileTick();
        const double unsorted = MicrosecondsPerCall(calls, FileTick);
        std::printf("  %8d %14.1f %14.1f %14.1f\n", files, enumeration, tick, unsorted);
    }
    std::printf("  the tick's period %22.1f\n", 200000.0);
    return 0;
}
