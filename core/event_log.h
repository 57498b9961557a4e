// The Windows Application log, where an administrator looks (Event Viewer) and what
// their event forwarding or SIEM agent collects: the service, and the program when it
// watches alone, write their start and stop, what they refused, trips, servers going
// silent, forwarding failing and the history set aside, under the source "Quorvel"
// with the message table both exes carry (resources/quorvel_events.mc).
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "quorvel_events.h"

constexpr char kEventSourceName[] = "Quorvel";
constexpr std::size_t kEventStrings = 4;
constexpr std::size_t kEventStringCapacity = 1024;

// One event as it is written: its id (the severity in its top bits gives its type)
// and its strings, each cut to fit.
struct ProductEvent {
    DWORD id;
    WORD type;  // EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE
    int32_t count;
    std::array<std::array<char, kEventStringCapacity>, kEventStrings> strings;
};

// Writes the event from any thread; strings past the fourth are dropped, and a
// failure to write is not the caller's (the log may be full or off).
void ReportProductEvent(DWORD id, std::initializer_list<const char*> strings);

// Where events go, for tests; nullptr puts the Application log back.
using EventWriter = void (*)(const ProductEvent& event);
void InstallEventWriter(EventWriter writer);

// The source's registration, by install and uninstall: its message table is in
// `messageFile` (an exe of the product); a source already there (the installer's,
// naming the program) is kept. The system's error, or 0.
DWORD RegisterProductEventSource(const char* messageFile);
// Removes the source; with `onlyNaming`, only when its message file is that one.
DWORD RemoveProductEventSource(const char* onlyNaming);
