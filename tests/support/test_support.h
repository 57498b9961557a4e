// The ground every test stands on: a fresh AppState with the default settings, a
// private folder for the settings file and logs, the fake server and a clock the
// test drives.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

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

class QuorvelTest : public ::testing::Test {
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

// Resets the record as the process start leaves it, keeping the run's CSV buffer.
void ResetAppState();
// Stops every thread timer the program started; the fixtures' tear-down does.
void StopProgramTimers();
// Thread timers none of the program's that a fixture's message pump met, and failed.
int StrayTimersMet();
void ApplyDefaultSettings();

// What a test of bad input, faults or load tried and what held: the rows of the
// table in docs/reliability.md, read from the test results.
void RecordTrial(const char* area, const char* tried, const char* held);

std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
std::string RunCsvText();

// Runs the poll timer procedure `count` times, the clock moving 200 ms before each.
void RunPollTicks(int count);

// The real main window, created from its resources with the whole start-up, its
// documents folder pointed at the test's own folder.
class MainWindowTest : public QuorvelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs before the window is made, with the documents folder already the test's.
    virtual void BeforeStart() {}
    // The window's procedure: the program's own, whose creation runs the whole start-up.
    virtual DLGPROC Procedure() const;

    // Lets the window's messages run for a moment.
    static void PumpMessages(DWORD milliseconds = 50);
    static bool IsShown(HWND window) { return IsWindowVisible(window) != FALSE; }
    // A control's rectangle in the main window's client coordinates.
    RECT ClientRectOf(HWND control) const;
    // A page control's rectangle in the page's client coordinates.
    static RECT RectInPage(HWND page, int control);

    static std::string ReadDocumentsSetting();
    static void WriteDocumentsSetting(const std::string& path);

    HWND window = nullptr;
    std::string documentsBefore;
};
