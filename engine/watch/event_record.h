// One thing the engine saw or did, as the places beyond the daily logs take it (the
// history, the organisation's collector, an alarm's receiver). Delivery publishes
// each event the logs record; blocking, trips and the windows' commands publish what
// the program did. A sink copies what it keeps: the record's texts live only for the
// call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

enum class EventKind : int32_t {
    Connection = 0,      // a new session
    FileOpen = 1,        // a newly opened file, with its open mode
    Tripwire = 2,        // a trip: rule is the rule, path the file
    SessionCutOff = 3,   // a session deleted by the list in force or a trip: rule says which
    SessionClosed = 4,   // closed from the window
    FileClosed = 5,      // closed from the window
    ShareRemoved = 6,    // removed from the window
    ComputerListed = 7,  // added to a list: rule names the list and the time
    ComputerUnlisted = 8,
    TripReleased = 9,
    ServerSilent = 10,   // a watched server stopped answering
    SharesDenied = 11,   // a tripped user denied at a server's shares: text says at how many
    SharesRestored = 12, // their permissions put back
};
constexpr int32_t kEventKinds = 13;

struct EventRecord {
    EventKind kind;
    SYSTEMTIME local;  // as the logs show it: the poll that found it
    SYSTEMTIME utc;
    std::string_view server;  // empty: this computer; else "\\NAME"
    std::wstring_view computer;
    std::wstring_view user;
    std::wstring_view path;  // a file, or a share's name
    DWORD permissions;       // of a file open
    std::string_view rule;   // why: a trip's rule, the list in force, ...
    std::string_view text;   // the line as the Log page shows it, or the action in words
    // Who asked for an action: "DOMAIN\name" of the account a window of the service
    // runs as; empty for what the program did by itself or its own window asked.
    std::wstring_view by{};
};

// Up to four sinks, each called on the engine's thread for every record, in order;
// a sink added again (the same function and context) is there once.
using EventSink = void (*)(const EventRecord& record, void* context);
bool AddEventSink(EventSink sink, void* context);
void RemoveEventSinks();
void PublishEvent(const EventRecord& record);
