// The file servers on the network to watch besides this computer: the [servers]
// section, count and server1 ... serverN, at most 16.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/watch/remote_server.h"

constexpr char kServersSection[] = "servers";

// A typed or stored name with or without its leading backslashes, blanks around it
// dropped; false for a name no server has (empty, too long, a control character, a
// quote, a blank or a backslash inside, or a character no folder name may hold).
bool UsableServerName(std::string_view typed, std::span<char> name);
// This computer's own names (and localhost): it is always watched, never as another server.
bool IsThisComputer(const char* name);

struct ServerList {
    int32_t count;
    std::array<std::array<char, kServerNameUnits>, kMaxRemoteServers> names;
};
void LoadServerList(ServerList& list);
void SaveServerList(const ServerList& list);
