// Every server the engine watches: this computer, and the file servers on the
// network watched besides it, each by its ServerId.
#pragma once

#include "engine/watch/remote_server.h"
#include "engine/watch/server_watch.h"

ServerWatch LocalWatch();
// A watched server other than this computer (1 to 16): nullptr for a place not in use.
RemoteServer* WatchedServer(ServerId server);
// Any watched server, this computer included; false for a place not in use.
bool WatchOf(ServerId server, ServerWatch* watch);
ServerWatch WatchOf(RemoteServer& server);

// This computer, then each server on the network being watched, in place order.
template <typename Visit>
void ForEachWatch(Visit visit)
{
    visit(LocalWatch());
    for (ServerId server = 1; server <= kMaxRemoteServers; ++server) {
        if (RemoteServer* remote = WatchedServer(server))
            visit(WatchOf(*remote));
    }
}
