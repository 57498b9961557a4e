#include "engine/forward/forwarding_control.h"

#include <array>

#include "core/text.h"
#include "engine/watch/activity_batch.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/log_text.h"
#include "engine/watch/notices.h"

namespace {

// A restart waits this long for each thread: an idle one ends at once, and the engine's
// thread never stalls for a connection attempt under way.
constexpr DWORD kRestartStopWaitMs = 100;
// The exit waits for any connection attempt or send under way.
constexpr DWORD kExitStopWaitMs = 10000;
constexpr std::size_t kNoticeCapacity = 512;

constexpr char kStartWaitsLine[] =
    "Forwarding starts with the new settings once the last connection attempt ends; events until then are not forwarded";
constexpr char kStartedLine[] = "Forwarding started with the new settings";

struct ForwardingControl {
    ForwardSettings inForce;
    bool startWaiting;  // the new settings wait for the last run's threads to end
};

ForwardingControl control;

// True once the settings in force were started.
bool StartWhenReady()
{
    if (!control.startWaiting || !ForwardingThreadsEnded())
        return false;
    control.startWaiting = false;
    StartForwarding(control.inForce, engineState.logFolder.data());
    return true;
}

}  // namespace

void BeginForwarding()
{
    ForwardSettings settings{};
    ReadForwardSettings(&settings);
    RestartForwarding(settings);
}

void RestartForwarding(const ForwardSettings& settings)
{
    AddEventSink(ForwardingEventSink, nullptr);  // once, however often forwarding starts
    control.inForce = settings;
    StopForwarding(kRestartStopWaitMs);
    control.startWaiting = true;
    if (!StartWhenReady())
        PutLogLine(kStartWaitsLine);
}

void AfterForwardingStep()
{
    if (control.startWaiting && StartWhenReady())
        PutLogLine(kStartedLine);
    std::array<char, kNoticeCapacity> notice{};
    while (TakeForwardingNotice(notice))
        PutLogLine(notice.data());
}

void EndForwarding()
{
    StopForwarding(kExitStopWaitMs);
    control.startWaiting = false;
}

const ForwardSettings& ForwardingSettingsInForce()
{
    return control.inForce;
}
