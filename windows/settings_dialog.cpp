#include "windows/settings_dialog.h"

#include <commctrl.h>

#include <array>

#include "engine/watch/engine_state.h"
#include "engine/history/history_store.h"
#include "windows/monitoring_page.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "windows/start_options.h"
#include "core/text.h"
#include "resources/resource.h"
#include "windows/engine_link.h"
#include "windows/forwarding_dialog.h"
#include "windows/servers_dialog.h"
#include "windows/tripwires_dialog.h"

namespace {

struct SettingBox {
    int control;
    const SettingKey* setting;
};

// The order in which OK copies the boxes into memory.
constexpr std::array<SettingBox, 9> kCopyOrder = {{
    {IDC_ENABLE_NOTIFY_WINDOW, &kEnableNotifyWindowKey},
    {IDC_ENABLE_TRAY_NOTIFY, &kEnableTrayNotifyKey},
    {IDC_DISPLAY_SESSIONS, &kDisplaySessKey},
    {IDC_DISPLAY_FILES, &kDisplayFilesKey},
    {IDC_LOG_SESSIONS, &kSaveSessKey},
    {IDC_LOG_FILES, &kSaveFilesKey},
    {IDC_ENABLE_LOGS, &kSaveLogsKey},
    {IDC_ENABLE_CSV_LOGS, &kSaveCsvLogsKey},
    {IDC_ENABLE_SOUND, &kSoundAlertKey},
}};

// The order in which OK writes the boxes to the settings file.
constexpr std::array<SettingBox, 10> kWriteOrder = {{
    {IDC_ENABLE_SOUND, &kSoundAlertKey},
    {IDC_DISPLAY_SESSIONS, &kDisplaySessKey},
    {IDC_DISPLAY_FILES, &kDisplayFilesKey},
    {IDC_LOG_SESSIONS, &kSaveSessKey},
    {IDC_LOG_FILES, &kSaveFilesKey},
    {IDC_ENABLE_NOTIFY_WINDOW, &kEnableNotifyWindowKey},
    {IDC_ENABLE_TRAY_NOTIFY, &kEnableTrayNotifyKey},
    {IDC_ENABLE_LOGS, &kSaveLogsKey},
    {IDC_ENABLE_CSV_LOGS, &kSaveCsvLogsKey},
    {IDC_LOAD_ON_STARTUP, &kLoadOnStartupKey},
}};

constexpr std::size_t kKeepDaysTextCapacity = 16;  // at most 15 characters are read

constexpr std::array<int, 3> kSoundRadios = {IDC_SOUND_ALL_SHARES, IDC_SOUND_DRIVE_SHARES, IDC_SOUND_HIDDEN_SHARES};

// The log gates: while the protection service watches, they are its settings, not the user's.
bool IsServicesGate(const SettingKey* setting)
{
    return LogGatesAreTheServices() && (setting == &kSaveSessKey || setting == &kSaveFilesKey ||
                                        setting == &kSaveLogsKey || setting == &kSaveCsvLogsKey);
}

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
        if (box.control == IDC_ENABLE_SOUND)
            continue;
        const int32_t value = IsServicesGate(box.setting) ? engineState.settings.*box.setting->field
                                                          : ReadSetting(*box.setting);
        CheckDlgButton(dialog, box.control, value ? BST_CHECKED : BST_UNCHECKED);
    }
    const int32_t events = ReadSetting(kSoundAlertEventsKey);
    if (events >= 0 && events < static_cast<int32_t>(kSoundRadios.size()))
        CheckDlgButton(dialog, kSoundRadios[static_cast<std::size_t>(events)], BST_CHECKED);
    CheckDlgButton(dialog, IDC_ENABLE_SOUND, ReadSetting(kSoundAlertKey) ? BST_CHECKED : BST_UNCHECKED);
    EnableSoundRadios(dialog);
    SendDlgItemMessageA(dialog, IDC_HISTORY_KEEP_DAYS, EM_LIMITTEXT, kKeepDaysTextCapacity - 1, 0);
    // The service's own, as its pipe told it, while it watches.
    const int32_t keepDays = LogGatesAreTheServices() ? HistoryKeepDays() : ReadHistoryKeepDays();
    SetDlgItemInt(dialog, IDC_HISTORY_KEEP_DAYS, static_cast<UINT>(keepDays), FALSE);
}

// The days typed, read like every number the program takes; refused with its message.
bool ReadKeepDays(HWND dialog, int32_t* keepDays)
{
    std::array<char, kKeepDaysTextCapacity> text{};
    GetDlgItemTextA(dialog, IDC_HISTORY_KEEP_DAYS, text.data(), static_cast<int>(text.size()));
    if (ReadNumber(text.data(), 0, kKeepDaysMost, keepDays))
        return true;
    MessageBoxA(dialog, kInvalidNumberMessage, kMessageCaption, MB_OK);
    SetFocus(GetDlgItem(dialog, IDC_HISTORY_KEEP_DAYS));
    return false;
}

void ApplySettings(HWND dialog, int32_t keepDays)
{
    const auto hotKeyValue = static_cast<int>(SendDlgItemMessageA(dialog, IDC_HOTKEY, HKM_GETHOTKEY, 0, 0) & 0xFFFF);
    std::array<char, 16> hotKey{};
    FormatText(hotKey, "%d", hotKeyValue);
    ApplyHotKey(hotKeyValue);
    WriteSettingText(kMainSection, kHotKeyKey, hotKey.data());

    for (const SettingBox& box : kCopyOrder)
        engineState.settings.*box.setting->field = IsChecked(dialog, box.control) ? 1 : 0;
    // The sound filter is kept only while the sound alert is on, so it survives being turned off.
    if (IsChecked(dialog, IDC_ENABLE_SOUND)) {
        for (std::size_t i = 0; i < kSoundRadios.size(); ++i)
            if (IsChecked(dialog, kSoundRadios[i]))
                engineState.settings.soundalertevents = static_cast<int32_t>(i);
        WriteSetting(kSoundAlertEventsKey, engineState.settings.soundalertevents);
    }
    for (const SettingBox& box : kWriteOrder)
        if (!IsServicesGate(box.setting))
            WriteSettingText(kMainSection, box.setting->key, IsChecked(dialog, box.control) ? "1" : "0");
    if (LogGatesAreTheServices())
        ChangeLogGates(engineState.settings, keepDays);
    else
        SaveHistoryKeepDays(keepDays);
    SetRunAtStartup(IsChecked(dialog, IDC_LOAD_ON_STARTUP) ? 1 : 0);
}

void OnSettingsCommand(HWND dialog, WORD command)
{
    switch (command) {
    case IDOK: {
        int32_t keepDays = 0;
        if (!ReadKeepDays(dialog, &keepDays))
            break;  // nothing applied: the dialog stays open on the box
        ApplySettings(dialog, keepDays);
        EndDialog(dialog, IDOK);
        break;
    }
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    case IDC_ENABLE_SOUND: EnableSoundRadios(dialog); break;
    case IDM_TRIPWIRES:
        DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_TRIPWIRES), dialog, TripwiresDialogProc, 0);
        break;
    case IDM_SERVERS:
        DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_SERVERS), dialog, ServersDialogProc, 0);
        break;
    case IDM_FORWARDING: OpenForwardingDialog(dialog); break;
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
