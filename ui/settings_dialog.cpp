#include "ui/settings_dialog.h"

#include <commctrl.h>

#include <array>

#include "core/app_state.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/text.h"
#include "resources/resource.h"

namespace {

struct SettingBox {
    int control;
    const char* key;
    int32_t defaultValue;
    int32_t Settings::*field;  // nullptr: not kept in memory
};

// The order in which OK copies the boxes into memory.
constexpr std::array<SettingBox, 9> kCopyOrder = {{
    {IDC_ENABLE_NOTIFY_WINDOW, "enablenotifywindow", 1, &Settings::enablenotifywindow},
    {IDC_ENABLE_TRAY_NOTIFY, "enabletraynotify", 1, &Settings::enabletraynotify},
    {IDC_DISPLAY_SESSIONS, "displaysess", 1, &Settings::displaysess},
    {IDC_DISPLAY_FILES, "displayfiles", 1, &Settings::displayfiles},
    {IDC_LOG_SESSIONS, "savesess", 1, &Settings::savesess},
    {IDC_LOG_FILES, "savefiles", 1, &Settings::savefiles},
    {IDC_ENABLE_LOGS, "savelogs", 1, &Settings::savelogs},
    {IDC_ENABLE_CSV_LOGS, "savecsvlogs", 0, &Settings::savecsvlogs},
    {IDC_ENABLE_SOUND, "soundalert", 0, &Settings::soundalert},
}};

// The order in which OK writes the boxes to the settings file.
constexpr std::array<SettingBox, 10> kWriteOrder = {{
    {IDC_ENABLE_SOUND, "soundalert", 0, nullptr},
    {IDC_DISPLAY_SESSIONS, "displaysess", 1, nullptr},
    {IDC_DISPLAY_FILES, "displayfiles", 1, nullptr},
    {IDC_LOG_SESSIONS, "savesess", 1, nullptr},
    {IDC_LOG_FILES, "savefiles", 1, nullptr},
    {IDC_ENABLE_NOTIFY_WINDOW, "enablenotifywindow", 1, nullptr},
    {IDC_ENABLE_TRAY_NOTIFY, "enabletraynotify", 1, nullptr},
    {IDC_ENABLE_LOGS, "savelogs", 1, nullptr},
    {IDC_ENABLE_CSV_LOGS, "savecsvlogs", 0, nullptr},
    {IDC_LOAD_ON_STARTUP, "loadprogramonstartup", kDefaultLoadOnStartup, nullptr},
}};

constexpr std::array<int, 3> kSoundRadios = {IDC_SOUND_ALL_SHARES, IDC_SOUND_DRIVE_SHARES, IDC_SOUND_HIDDEN_SHARES};

bool IsChecked(HWND dialog, int control)
{
    return IsDlgButtonChecked(dialog, control) == BST_CHECKED;
}

void EnableSoundRadios(HWND dialog)
{
    const BOOL enable = IsChecked(dialog, IDC_ENABLE_SOUND) ? TRUE : FALSE;
    for (int radio : kSoundRadios)
        EnableWindow(GetDlgItem(dialog, radio), enable);
}

void InitSettingsDialog(HWND dialog)
{
    SendDlgItemMessageA(dialog, IDC_HOTKEY, HKM_SETHOTKEY, static_cast<WPARAM>(ReadHotKeySetting() & 0xFFFF), 0);
    for (const SettingBox& box : kWriteOrder) {
        if (box.control != IDC_ENABLE_SOUND)
            CheckDlgButton(dialog, box.control,
                           ReadSettingInt(kMainSection, box.key, box.defaultValue) ? BST_CHECKED : BST_UNCHECKED);
    }
    const int32_t events = ReadSettingInt(kMainSection, "soundalertevents", 0);
    if (events >= 0 && events < static_cast<int32_t>(kSoundRadios.size()))
        CheckDlgButton(dialog, kSoundRadios[static_cast<std::size_t>(events)], BST_CHECKED);
    CheckDlgButton(dialog, IDC_ENABLE_SOUND, ReadSettingInt(kMainSection, "soundalert", 0) ? BST_CHECKED : BST_UNCHECKED);
    EnableSoundRadios(dialog);
}

void ApplySettings(HWND dialog)
{
    std::array<char, 16> hotKey{};
    FormatText(hotKey, "%d", static_cast<int>(SendDlgItemMessageA(dialog, IDC_HOTKEY, HKM_GETHOTKEY, 0, 0) & 0xFFFF));
    ApplyHotKey(ParseLeadingInt(hotKey.data()));
    WriteSettingText(kMainSection, "hotkey", hotKey.data());

    for (const SettingBox& box : kCopyOrder)
        appState.settings.*box.field = IsChecked(dialog, box.control) ? 1 : 0;
    // The sound filter is kept only while the sound alert is on, so it survives being turned off.
    if (IsChecked(dialog, IDC_ENABLE_SOUND)) {
        for (std::size_t i = 0; i < kSoundRadios.size(); ++i)
            if (IsChecked(dialog, kSoundRadios[i]))
                appState.settings.soundalertevents = static_cast<int32_t>(i);
        WriteSettingInt(kMainSection, "soundalertevents", appState.settings.soundalertevents);
    }
    for (const SettingBox& box : kWriteOrder)
        WriteSettingText(kMainSection, box.key, IsChecked(dialog, box.control) ? "1" : "0");
    SetRunAtStartup(IsChecked(dialog, IDC_LOAD_ON_STARTUP) ? 1 : 0);
}

void OnSettingsCommand(HWND dialog, WORD command)
{
    switch (command) {
    case IDOK:
        ApplySettings(dialog);
        EndDialog(dialog, IDOK);
        break;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    case IDC_ENABLE_SOUND: EnableSoundRadios(dialog); break;
    }
}

}  // namespace

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitSettingsDialog(dialog); break;
    case WM_COMMAND: OnSettingsCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); break;
    }
    return 0;
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, LOWORD(wParam));
        break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); break;
    }
    return 0;
}
