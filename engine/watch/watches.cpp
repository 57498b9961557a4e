#include "engine/watch/watches.h"

#include "engine/watch/engine_state.h"

ServerWatch LocalWatch()
{
    return {kThisComputer, nullptr, nullptr, &engineState.local};
}

RemoteServer* WatchedServer(ServerId server)
{
    if (server < 1 || server > kMaxRemoteServers)
        return nullptr;
    RemoteServer* remote = engineState.remote[static_cast<std::size_t>(server - 1)];
    return remote && remote->watched ? remote : nullptr;
}

ServerWatch WatchOf(RemoteServer& server)
{
    return {server.id, server.unc.data(), server.tag.data(), &server.memory};
}

bool WatchOf(ServerId server, ServerWatch* watch)
{
    if (server == kThisComputer) {
        *watch = LocalWatch();
        return true;
    }
    RemoteServer* remote = WatchedServer(server);
    if (!remote)
        return false;
    *watch = WatchOf(*remote);
    return true;
}
