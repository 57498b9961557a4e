// The ground every engine test stands on: a fresh engine state with the default
// settings, a private folder for the settings file and logs, the fake server and a
// clock the test drives. It needs no window: the engine-only test program uses it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/fake_server.h"

// A local time that moves only when the test says so. Its elapsed time starts far
// above any real tick count (2^40 ms, some 35 years of uptime), so that a product
// file reading the platform's clock directly fails the tests on every machine;
// QUORVEL_FAKE_CLOCK_START_MS sets another start.
struct FakeClock {
    SYSTEMTIME now{};
    std::atomic<ULONGLONG> milliseconds{0};  // the servers' workers read it too

    void Reset();
    void Set(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second);
    void AdvanceMilliseconds(ULONGLONG amount);
};
ULONGLONG FakeClockStart();
FakeClock& TheFakeClock();

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A new start of the program: a fresh record, the same files.
    void Restart();

    // The private folder of this test, ending with a backslash.
    std::string folder;
    FakeServer* server = nullptr;
    FakeClock* clock = nullptr;
};

// Resets the engine's record as the process start leaves it, keeping the run's CSV buffer.
void ResetEngineState();
void ApplyDefaultSettings();
// The engine's folders in `folder` (ending with a backslash): the settings file and the logs.
void UseTestFolder(const std::string& folder);

// Runs the engine's poll rounds `count` times, the clock moving 200 ms before each.
void RunEngineRounds(int count);

// What a test of bad input, faults or load tried and what held: the rows of the
// table in docs/reliability.md, read from the test results.
void RecordTrial(const char* area, const char* tried, const char* held);

// What the engine wrote to the event log during the test, in order.
struct RecordedEvent {
    DWORD id;
    WORD type;
    std::vector<std::string> strings;
};
std::vector<RecordedEvent> RecordedEvents();

std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
std::string RunCsvText();
// A new, empty folder for the running test, ending with a backslash.
std::string MakeTestFolder();
