// The ground every test of the windows stands on: the engine's fixture, with a fresh
// windows' record; and the real main window, made with the program's whole start-up.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/engine_fixture.h"

class QuorvelTest : public EngineTest {
protected:
    void SetUp() override;
    void TearDown() override;
    void Restart();
};

// Resets the windows' record as the process start leaves it.
void ResetWindowState();
// Stops every thread timer the program started.
void StopProgramTimers();
// How many thread timers none of the fixtures knows have fired so far.
int StrayTimersMet();

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
    // Enter on `list`, then the menu's `exploreCommand` sent to `page`: each must show the
    // folder window titled `folderTitle` (closed again) and never write `marker`, as a share
    // user's batch file that ran would. The shell answers in a process of its own.
    void ExpectExploreShowsTheFolderAndRunsNothing(HWND list, HWND page, UINT exploreCommand, const char* folderTitle,
                                                   const std::string& marker);
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
