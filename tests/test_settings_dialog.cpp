#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "windows/exit_program.h"
#include "resources/resource.h"
#include "support/dialog_driver.h"
#include "support/dialog_template.h"
#include "engine/history/history_store.h"
#include "windows/start_options.h"
#include "support/test_support.h"
#include "windows/settings_dialog.h"

namespace {

class SettingsDialogTest : public MainWindowTest {
protected:
    void TearDown() override
    {
        if (dialog)
            DestroyWindow(dialog);
        MainWindowTest::TearDown();
    }
    void Open()
    {
        dialog = CreateDialogParamA(windowState.instance, MAKEINTRESOURCEA(IDD_SETTINGS), window, SettingsDialogProc, 0);
        ASSERT_NE(dialog, nullptr);
    }
    void Press(int id) { SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    void Click(int box)
    {
        CheckDlgButton(dialog, box, IsChecked(box) ? BST_UNCHECKED : BST_CHECKED);
        Press(box);
    }
    bool IsChecked(int box) const { return IsDlgButtonChecked(dialog, box) == BST_CHECKED; }
    bool IsEnabled(int control) const { return IsWindowEnabled(GetDlgItem(dialog, control)) != FALSE; }
    int HotKeyShown() const { return static_cast<int>(SendDlgItemMessageA(dialog, IDC_HOTKEY, HKM_GETHOTKEY, 0, 0)); }
    std::string Stored(const char* key) const
    {
        std::array<char, 64> text{};
        ReadSettingText(kMainSection, key, "<none>", text);
        return text.data();
    }
    // Whether another window can still take this combination.
    static bool HotKeyIsFree(UINT modifiers, UINT key)
    {
        HWND other = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        const bool free = RegisterHotKey(other, 7, modifiers, key) != FALSE;
        UnregisterHotKey(other, 7);
        DestroyWindow(other);
        return free;
    }
    std::string RunValue() const
    {
        std::array<char, 1024> value{};
        DWORD size = static_cast<DWORD>(value.size());
        if (RegGetValueA(HKEY_CURRENT_USER, kRunKey, kRunValueName, RRF_RT_REG_SZ, nullptr, value.data(), &size) !=
            ERROR_SUCCESS)
            return "<none>";
        return value.data();
    }

    HWND dialog = nullptr;
};

}  // namespace

TEST_F(SettingsDialogTest, ShowsExactlyWhatIsStored)
{
    WriteWholeFile(SettingsFilePath(),
                   "[main]\r\nhotkey=1613\r\ndisplaysess=0\r\ndisplayfiles=1\r\nsavesess=0\r\nsavefiles=1\r\n"
                   "enabletraynotify=0\r\nenablenotifywindow=1\r\nsavelogs=0\r\nloadprogramonstartup=0\r\n"
                   "savecsvlogs=1\r\nsoundalertevents=2\r\nsoundalert=1\r\n");
    Open();
    EXPECT_EQ(HotKeyShown(), 1613) << "Control+Alt+M, modifiers included";
    EXPECT_FALSE(IsChecked(IDC_DISPLAY_SESSIONS));
    EXPECT_TRUE(IsChecked(IDC_DISPLAY_FILES));
    EXPECT_FALSE(IsChecked(IDC_LOG_SESSIONS));
    EXPECT_TRUE(IsChecked(IDC_LOG_FILES));
    EXPECT_FALSE(IsChecked(IDC_ENABLE_TRAY_NOTIFY));
    EXPECT_TRUE(IsChecked(IDC_ENABLE_NOTIFY_WINDOW));
    EXPECT_FALSE(IsChecked(IDC_ENABLE_LOGS));
    EXPECT_FALSE(IsChecked(IDC_LOAD_ON_STARTUP));
    EXPECT_TRUE(IsChecked(IDC_ENABLE_CSV_LOGS));
    EXPECT_TRUE(IsChecked(IDC_ENABLE_SOUND));
    EXPECT_TRUE(IsChecked(IDC_SOUND_HIDDEN_SHARES));
    EXPECT_FALSE(IsChecked(IDC_SOUND_ALL_SHARES));
    EXPECT_TRUE(IsEnabled(IDC_SOUND_ALL_SHARES));
}

TEST_F(SettingsDialogTest, OkWithoutChangesStoresTheSameValuesAndTheSameHotKey)
{
    WriteWholeFile(SettingsFilePath(), "[main]\r\nhotkey=1613\r\nsoundalert=1\r\nsoundalertevents=1\r\n");
    Open();
    Press(IDOK);
    EXPECT_EQ(Stored("hotkey"), "1613");
    EXPECT_FALSE(HotKeyIsFree(MOD_CONTROL | MOD_ALT, 'M')) << "registered again";
    for (const char* key : {"displaysess", "displayfiles", "savesess", "savefiles", "enablenotifywindow",
                            "enabletraynotify", "savelogs", "loadprogramonstartup", "soundalert"})
        EXPECT_EQ(Stored(key), "1") << key;
    EXPECT_EQ(Stored("savecsvlogs"), "0");
    EXPECT_EQ(Stored("soundalertevents"), "1");
    EXPECT_EQ(engineState.settings.soundalertevents, 1);
    EXPECT_EQ(Stored("blockmode"), "<none>") << "the block mode is not this dialog's";
    EXPECT_EQ(Stored("autorefresh"), "<none>");
}

TEST_F(SettingsDialogTest, TheSoundBoxEnablesTheRadiosAndGuardsTheStoredFilter)
{
    WriteWholeFile(SettingsFilePath(), "[main]\r\nsoundalert=0\r\nsoundalertevents=2\r\n");
    Open();
    EXPECT_FALSE(IsEnabled(IDC_SOUND_HIDDEN_SHARES));
    EXPECT_TRUE(IsChecked(IDC_SOUND_HIDDEN_SHARES)) << "disabled, the stored choice still shows";
    Click(IDC_ENABLE_SOUND);
    EXPECT_TRUE(IsEnabled(IDC_SOUND_HIDDEN_SHARES));
    Click(IDC_ENABLE_SOUND);
    EXPECT_FALSE(IsEnabled(IDC_SOUND_ALL_SHARES));
    engineState.settings.soundalertevents = 2;
    Press(IDOK);
    EXPECT_EQ(Stored("soundalert"), "0");
    EXPECT_EQ(Stored("soundalertevents"), "2") << "left as it was";
    EXPECT_EQ(engineState.settings.soundalert, 0);
}

TEST_F(SettingsDialogTest, AnUnknownStoredFilterShowsNoRadioAndIsWrittenBackUnchanged)
{
    WriteWholeFile(SettingsFilePath(), "[main]\r\nsoundalert=1\r\nsoundalertevents=3\r\n");
    engineState.settings.soundalertevents = 3;
    Open();
    for (int radio : {IDC_SOUND_ALL_SHARES, IDC_SOUND_DRIVE_SHARES, IDC_SOUND_HIDDEN_SHARES})
        EXPECT_FALSE(IsChecked(radio));
    Press(IDOK);
    EXPECT_EQ(Stored("soundalertevents"), "3");
    EXPECT_EQ(engineState.settings.soundalertevents, 3);
}

TEST_F(SettingsDialogTest, OkAppliesTheBoxesAtOnce)
{
    Open();
    Click(IDC_DISPLAY_FILES);
    Click(IDC_ENABLE_CSV_LOGS);
    Click(IDC_ENABLE_SOUND);
    CheckDlgButton(dialog, IDC_SOUND_DRIVE_SHARES, BST_CHECKED);
    Press(IDOK);
    EXPECT_EQ(engineState.settings.displayfiles, 0);
    EXPECT_EQ(engineState.settings.savecsvlogs, 1);
    EXPECT_EQ(engineState.settings.soundalert, 1);
    EXPECT_EQ(engineState.settings.soundalertevents, 1);
    EXPECT_EQ(Stored("displayfiles"), "0");
    EXPECT_EQ(Stored("soundalertevents"), "1");
}

// The history's days: shown as stored, a bad value (text, negative, past a hundred
// years, empty, a fraction) refused with the program's message and nothing applied, a good one
// stored and in force at once.
TEST_F(SettingsDialogTest, KeepDaysIsShownRefusedWhenNotANumberInRangeAndStoredWhenGood)
{
    WriteSettingText(kHistorySection, kKeepDaysKey, "90");
    const auto run = [&](const char* typed, std::string* message) {
        DialogDriver driver([=] {
            HWND shown = WaitForDialog("Settings", 5000);
            if (!shown)
                return;
            std::array<char, 16> typedBox{};
            GetDlgItemTextA(shown, IDC_HISTORY_KEEP_DAYS, typedBox.data(), static_cast<int>(typedBox.size()));
            *message = std::string("shown ") + typedBox.data();
            CheckDlgButton(shown, IDC_DISPLAY_FILES, BST_UNCHECKED);
            SetDlgItemTextA(shown, IDC_HISTORY_KEEP_DAYS, typed);
            PressButton(shown, IDOK);
            if (HWND box = WaitForMessageBoxOf(shown)) {
                *message += ", " + MessageBoxText(box);
                PressButton(box, IDOK);
                WaitUntilGone(box);
                PressButton(shown, IDCANCEL);
            }
            WaitUntilGone(shown);
        });
        DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_SETTINGS), window, SettingsDialogProc, 0);
    };
    for (const char* bad : {"abc", "-1", "36501", "", "1.5", "x5"}) {
        std::string message;
        run(bad, &message);
        EXPECT_EQ(message, "shown 90, Please enter valid number") << bad;
        EXPECT_EQ(engineState.settings.displayfiles, 1) << bad << ": a refused dialog changes nothing";
    }
    EXPECT_EQ(ReadHistoryKeepDays(), 90);
    std::string message;
    run("0", &message);
    EXPECT_EQ(message, "shown 90");
    EXPECT_EQ(ReadHistoryKeepDays(), 0) << "0 keeps everything";
    EXPECT_EQ(HistoryKeepDays(), 0) << "in force at once";
    EXPECT_EQ(engineState.settings.displayfiles, 0);
}

TEST_F(SettingsDialogTest, AClearedHotKeyIsUnregisteredAndStoredAsZero)
{
    WriteWholeFile(SettingsFilePath(), "[main]\r\nhotkey=1613\r\n");
    ApplyHotKey(1613);
    ASSERT_FALSE(HotKeyIsFree(MOD_CONTROL | MOD_ALT, 'M'));
    Open();
    SendDlgItemMessageA(dialog, IDC_HOTKEY, HKM_SETHOTKEY, 0, 0);
    Press(IDOK);
    EXPECT_EQ(Stored("hotkey"), "0");
    EXPECT_TRUE(HotKeyIsFree(MOD_CONTROL | MOD_ALT, 'M'));
}

TEST_F(SettingsDialogTest, CancelLeavesTheOldHotKeyAndEverythingElse)
{
    WriteWholeFile(SettingsFilePath(), "[main]\r\nhotkey=1613\r\n");
    ApplyHotKey(1613);
    Open();
    SendDlgItemMessageA(dialog, IDC_HOTKEY, HKM_SETHOTKEY, (HOTKEYF_CONTROL << 8) | 'Q', 0);
    Click(IDC_DISPLAY_SESSIONS);
    Press(IDCANCEL);
    EXPECT_FALSE(HotKeyIsFree(MOD_CONTROL | MOD_ALT, 'M')) << "the old hot key still works";
    EXPECT_TRUE(HotKeyIsFree(MOD_CONTROL, 'Q'));
    EXPECT_EQ(Stored("hotkey"), "1613");
    EXPECT_EQ(Stored("displaysess"), "<none>");
    EXPECT_EQ(engineState.settings.displaysess, 1);
}

TEST_F(SettingsDialogTest, UncheckingLoadOnStartupDeletesTheRunValueAtOnce)
{
    SetRunAtStartup(1);
    ASSERT_NE(RunValue(), "<none>");
    Open();
    Click(IDC_LOAD_ON_STARTUP);
    Press(IDOK);
    EXPECT_EQ(RunValue(), "<none>");
    EXPECT_EQ(Stored("loadprogramonstartup"), "0");
}

TEST(DialogTemplates, SoundRadiosHaveNoTabStopAndTheAboutIconItsSize)
{
    // The dialog's own controls in their order, then the buttons added to it: Tab takes them last.
    std::vector<DWORD> order;
    for (const TemplateItem& item : ReadDialogTemplate(IDD_SETTINGS))
        order.push_back(item.id & 0xFFFF);  // a control without an id is -1
    const std::vector<DWORD> expected = {
        IDOK, IDCANCEL, IDC_ENABLE_NOTIFY_WINDOW, IDC_ENABLE_TRAY_NOTIFY, 0xFFFF, IDC_DISPLAY_SESSIONS,
        IDC_DISPLAY_FILES, 0xFFFF, IDC_ENABLE_LOGS, IDC_LOG_SESSIONS, IDC_LOG_FILES, 0xFFFF, IDC_HOTKEY, 0xFFFF,
        IDC_LOAD_ON_STARTUP, 0xFFFF, IDC_ENABLE_SOUND, IDC_SOUND_ALL_SHARES, IDC_SOUND_DRIVE_SHARES,
        IDC_SOUND_HIDDEN_SHARES, IDC_ENABLE_CSV_LOGS, IDM_TRIPWIRES, IDM_SERVERS, IDM_FORWARDING, 0xFFFF, 0xFFFF,
        IDC_HISTORY_KEEP_DAYS};
    EXPECT_EQ(order, expected);

    int radios = 0;
    for (const TemplateItem& item : ReadDialogTemplate(IDD_SETTINGS))
        if (item.id >= IDC_SOUND_ALL_SHARES && item.id <= IDC_SOUND_HIDDEN_SHARES) {
            ++radios;
            EXPECT_EQ(item.style & WS_TABSTOP, 0u) << item.id;
            EXPECT_EQ(item.style & 0xF, static_cast<DWORD>(BS_AUTORADIOBUTTON)) << item.id;
        }
    EXPECT_EQ(radios, 3);

    bool icon = false;
    for (const TemplateItem& item : ReadDialogTemplate(IDD_ABOUT))
        if ((item.style & SS_TYPEMASK) == SS_ICON) {
            icon = true;
            EXPECT_EQ(item.x, 5);
            EXPECT_EQ(item.y, 5);
            EXPECT_EQ(item.cx, 20);
            EXPECT_EQ(item.cy, 20);
        }
    EXPECT_TRUE(icon);
}
