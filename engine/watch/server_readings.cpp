#include "core/event_log.h"
#include "engine/watch/server_readings.h"

#include <array>

#include "core/server_api.h"
#include "core/text.h"
#include "engine/watch/activity_batch.h"
#include "engine/watch/blocking.h"
#include "engine/watch/delivery.h"
#include "engine/watch/detection.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/event_record.h"
#include "engine/watch/log_text.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"

namespace {

// A server that stops answering: a Log page line and one ServerSilent event (an alarm)
// each time it turns silent, and a line when it answers again. Access denied is an
// answer: the server is there.
void FollowServerAnswers(RemoteServer& server, const ServerReading& reading)
{
    const bool silent = !Answered(reading) && reading.status != ERROR_ACCESS_DENIED;
    if (silent == (server.silent != 0))
        return;
    server.silent = silent ? 1 : 0;
    const PollTime time = TakePollTime();
    std::array<char, kFormatCapacity> line{};
    if (silent)
        FormatText(line, "[%s] [%s] The server does not answer (error %u)\r\n", time.text.data(), server.tag.data(),
                   static_cast<unsigned>(reading.status));
    else
        FormatText(line, "[%s] [%s] The server answers again\r\n", time.text.data(), server.tag.data());
    AppendLogText(engineState.logText, line.data());
    const std::string_view whole(line.data());
    const std::string_view text = whole.substr(0, whole.size() - 2);  // the line without its end
    const char* name = server.tag.data() + 2;  // after its two backslashes
    if (silent) {
        const EventRecord record{EventKind::ServerSilent, time.at, time.utc, server.tag.data(), {}, {}, {}, 0, {}, text};
        PublishEvent(record);
        std::array<char, 32> error{};
        FormatText(error, "error %u", static_cast<unsigned>(reading.status));
        ReportProductEvent(QUORVEL_EVENT_SERVER_SILENT, {name, error.data()});
    } else {
        ReportProductEvent(QUORVEL_EVENT_SERVER_BACK, {name});
    }
}

}  // namespace

bool OpenServerReply(ServerId server, uintptr_t word, ServerReading* reading)
{
    const std::size_t slot = SlotOfWord(word);
    if (server < 1 || server > kMaxRemoteServers || slot >= kRepliesPerServer)
        return false;
    RemoteServer* remote = engineState.remote[static_cast<std::size_t>(server - 1)];
    if (!remote || !IsPosted(remote->replySlots, slot))
        return false;
    ServerReply& reply = remote->replies[slot];
    *reading = {server, static_cast<ReplyKind>(reply.kind), reply.status, reply.scanStart, reply.scanEnd,
                reply.buffer, reply.count, remote, slot};
    if (remote->watched && GenerationOfWord(word) == remote->generation)
        return true;
    CloseServerReply(*reading);  // a server no longer watched
    return false;
}

void TakeServerSessions(ServerReading& reading)
{
    RemoteServer& server = *reading.remote;
    FollowServerAnswers(server, reading);
    if (!Answered(reading))
        return;
    const std::span<const SESSION_INFO_1> sessions = RecordsOf<const SESSION_INFO_1>(reading);
    EnforceOnServer(reading.server, sessions);
    const ServerWatch watch = WatchOf(server);
    ScanSessionsOf(watch, reading.status, sessions, reading.scanStart, reading.scanEnd, TakePollTime());
    DeliverActivity(watch);
    ReleaseServerBuffer(server.latestSessions);
    server.latestSessions = static_cast<SESSION_INFO_1*>(reading.buffer);
    server.latestSessionCount = reading.count;
    reading.buffer = nullptr;  // kept
}

void TakeServerFiles(ServerReading& reading)
{
    RemoteServer& server = *reading.remote;
    const ServerWatch watch = WatchOf(server);
    ReleaseServerBuffer(server.latestFiles);
    server.latestFiles = nullptr;
    server.latestFileCount = 0;
    // The scan moves the new files to the front: kept for the list only when it took none.
    if (!IsDelivering(watch) &&
        ScanOpenFilesOf(watch, reading.status, RecordsOf<FILE_INFO_3>(reading), TakePollTime())) {
        reading.buffer = nullptr;  // the pending delivery holds it
    } else if (Answered(reading)) {
        server.latestFiles = static_cast<FILE_INFO_3*>(reading.buffer);
        server.latestFileCount = reading.count;
        reading.buffer = nullptr;
    }
    ContinueDelivery();
}

void CloseServerReply(ServerReading& reading)
{
    ServerReply& reply = reading.remote->replies[reading.slot];
    ReleaseServerBuffer(reading.buffer);
    reply.buffer = nullptr;
    FreeSlot(reading.remote->replySlots, reading.slot);
}
