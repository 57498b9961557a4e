// Times the block tick with a full 256-entry blacklist against 1,000 sessions.
#include <windows.h>

#include <cstdio>
#include <string>

#include "rules/block_rules.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/blocking.h"
#include "core/server_api.h"
#include "support/fake_server.h"

namespace {

double MicrosecondsPerTick(int ticks)
{
    LARGE_INTEGER frequency{}, start{}, end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < ticks; ++i)
        RunBlockRound();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart) / ticks;
}

// The same enumeration alone, to tell the server's share of the cost from the tick's.
double MicrosecondsPerEnumeration(int calls)
{
    LARGE_INTEGER frequency{}, start{}, end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i) {
        Enumeration<SESSION_INFO_0> sessions;
        EnumerateSessions0(&sessions);
    }
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart) / calls;
}

}  // namespace

int main()
{
    constexpr int kTicks = 2000;
    FakeServer& server = InstallFakeServer();
    server.applyDeletions = false;  // the blocked sessions stay, so every tick does the same work
    for (int i = 0; i < 1000; ++i)
        server.sessions.push_back({L"CLIENT-" + std::to_wstring(i), L"user"});
    for (int i = 0; i < 256; ++i)
        AddComputer(engineState.rules.blacklist, ("BLOCKED-" + std::to_string(i)).c_str(), i % 2 ? kPermanent : 1'000'000);

    const double enumeration = MicrosecondsPerEnumeration(kTicks);
    const double noneMatch = MicrosecondsPerTick(kTicks);
    server.calls.clear();

    // The last ten entries name connected computers: ten deletions a tick.
    for (int i = 0; i < 10; ++i)
        server.sessions[static_cast<std::size_t>(i * 97)].client = L"blocked-" + std::to_wstring(246 + i);
    const double tenMatch = MicrosecondsPerTick(kTicks);

    std::printf("block tick, 256-entry blacklist, 1000 sessions, %d ticks each\n", kTicks);
    std::printf("  enumeration alone (fake server)  %8.1f us\n", enumeration);
    std::printf("  no session blocked               %8.1f us per tick\n", noneMatch);
    std::printf("  ten sessions blocked             %8.1f us per tick\n", tenMatch);
    std::printf("  the tick's period                %8.1f us\n", 100000.0);
    return 0;
}
