// The Tripwires dialog, reached from the Settings dialog of the real main window.
#include <windows.h>

#include <string>
#include <vector>

#include "engine/watch/engine_state.h"
#include "resources/resource.h"
#include "rules/tripwires.h"
#include "support/dialog_driver.h"
#include "support/test_support.h"
#include "windows/settings_dialog.h"
#include "windows/tripwires_dialog.h"
#include "windows/window_state.h"

namespace {

class TripwiresDialogTest : public MainWindowTest {};

}  // namespace

TEST_F(TripwiresDialogTest, ReachedFromSettingsItEditsTheRulesAndRefusesBadNumbers)
{
    bool shown = false;
    bool* denyShown = &shown;
    const auto run = [&](const char* files, std::string* message) {
        DialogDriver driver([=] {
            HWND settings = WaitForDialog("Settings", 5000);
            if (!settings)
                return;
            PostMessageA(settings, WM_COMMAND, IDM_TRIPWIRES, 0);
            HWND dialog = WaitForDialog("Tripwires", 5000);
            if (!dialog) {
                PressButton(settings, IDCANCEL);
                return;
            }
            CheckDlgButton(dialog, IDC_TRIP_ENABLED, BST_CHECKED);
            SetDlgItemTextA(dialog, IDC_BAIT_EDIT, "*\\salaries*.xlsx");
            SendMessageA(dialog, WM_COMMAND, IDC_BAIT_ADD, 0);
            SetDlgItemTextA(dialog, IDC_BURST_FILES, files);
            SetDlgItemTextA(dialog, IDC_TRIP_MINUTES, "0");
            *denyShown = IsDlgButtonChecked(dialog, IDC_TRIP_DENY_SHARES) == BST_CHECKED;
            CheckDlgButton(dialog, IDC_TRIP_DENY_SHARES, BST_UNCHECKED);
            SetDlgItemTextA(dialog, IDC_TRIP_NEVER_DENIED, "backup, CORP\\svc_sql, bad\x01one");
            PressButton(dialog, IDOK);
            if (HWND box = WaitForMessageBoxOf(dialog)) {
                *message = MessageBoxText(box);
                PressButton(box, IDOK);
                WaitUntilGone(box);
                PressButton(dialog, IDCANCEL);
            }
            WaitUntilGone(dialog);
            PressButton(settings, IDCANCEL);
        });
        DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_SETTINGS), window, SettingsDialogProc, 0);
    };
    engineState.rules.tripwires.denyShares = 1;  // as a settings file without the key gives it
    std::string message;
    run("2000", &message);
    EXPECT_TRUE(shown) << "the deny at the shares is shown on";
    EXPECT_EQ(engineState.rules.tripwires.denyShares, 1) << "a refused dialog changes nothing";
    EXPECT_EQ(message, "Please enter valid number") << "past 1,000";
    EXPECT_EQ(engineState.rules.tripwires.enabled, 0) << "a refused dialog changes nothing";
    message.clear();
    run("35", &message);
    EXPECT_EQ(message, "");
    EXPECT_EQ(engineState.rules.tripwires.enabled, 1);
    EXPECT_EQ(engineState.rules.tripwires.burstFiles, 35);
    EXPECT_EQ(engineState.rules.tripwires.blockMinutes, 0);
    ASSERT_EQ(engineState.rules.tripwires.baitCount, 1);
    TripwireRules stored{};
    LoadTripwireRules(stored);
    EXPECT_EQ(stored.burstFiles, 35);
    EXPECT_EQ(std::wstring(stored.baits[0].data()), L"*\\salaries*.xlsx");
    EXPECT_EQ(stored.denyShares, 0);
    ASSERT_EQ(stored.neverDeniedCount, 2) << "a name with a control character is left out";
    EXPECT_EQ(std::wstring(stored.neverDenied[1].data()), L"CORP\\svc_sql");
}

// Each number box refuses what is not a number in its range, with the message, and
// the dialog stays open with nothing changed; a typo never turns a rule off.
TEST_F(TripwiresDialogTest, EveryNumberBoxRefusesWhatIsNotANumberInItsRange)
{
    struct Box {
        int control;
        const char* good;
        std::vector<std::string> bad;
    };
    const std::vector<Box> boxes = {
        {IDC_BURST_FILES, "20", {"x5", "", "-1", "1e3", "1001", "2.5", "99999999999"}},
        {IDC_BURST_SECONDS, "10", {"x5", "", "-1", "1e3", "0", "3601"}},
        {IDC_TRIP_MINUTES, "60", {"x5", "", "-1", "1e3", "3579140"}},
    };
    const TripwireRules before = engineState.rules.tripwires;
    std::vector<std::string> refused;
    std::vector<std::string> missed;
    DialogDriver driver([&] {
        HWND dialog = WaitForDialog("Tripwires", 5000);
        if (!dialog)
            return;
        for (const Box& box : boxes) {
            for (const std::string& bad : box.bad) {
                SetDlgItemTextA(dialog, box.control, bad.c_str());
                PressButton(dialog, IDOK);
                HWND message = WaitForMessageBoxOf(dialog);
                if (!message) {
                    missed.push_back(std::to_string(box.control) + " '" + bad + "'");
                    return;  // the dialog took it and ended
                }
                refused.push_back(MessageBoxText(message));
                PressButton(message, IDOK);
                WaitUntilGone(message);
            }
            SetDlgItemTextA(dialog, box.control, box.good);
        }
        PressButton(dialog, IDCANCEL);
    });
    DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_TRIPWIRES), window, TripwiresDialogProc, 0);
    EXPECT_EQ(missed, std::vector<std::string>{}) << "taken as numbers";
    EXPECT_EQ(refused, std::vector<std::string>(18, "Please enter valid number"));
    EXPECT_EQ(engineState.rules.tripwires.burstFiles, before.burstFiles);
    EXPECT_EQ(engineState.rules.tripwires.burstSeconds, before.burstSeconds);
    EXPECT_EQ(engineState.rules.tripwires.blockMinutes, before.blockMinutes);
}
