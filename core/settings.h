// The [main] section of the settings file, read and written only through the
// platform's profile functions so that a missing file or key yields its default.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>

struct Settings {
    int32_t displaysess;
    int32_t displayfiles;
    int32_t soundalert;
    int32_t soundalertevents;
    int32_t savesess;
    int32_t savefiles;
    int32_t enablenotifywindow;
    int32_t enabletraynotify;
    int32_t savelogs;
    int32_t savecsvlogs;
};

constexpr char kMainSection[] = "main";

// A key of [main] with its default: the one place either is written.
struct SettingKey {
    const char* key;
    int32_t defaultValue;
    int32_t Settings::*field;  // nullptr: not kept in Settings
};

inline constexpr SettingKey kDisplaySessKey{"displaysess", 1, &Settings::displaysess};
inline constexpr SettingKey kDisplayFilesKey{"displayfiles", 1, &Settings::displayfiles};
inline constexpr SettingKey kSoundAlertKey{"soundalert", 0, &Settings::soundalert};
inline constexpr SettingKey kSoundAlertEventsKey{"soundalertevents", 0, &Settings::soundalertevents};
inline constexpr SettingKey kSaveSessKey{"savesess", 1, &Settings::savesess};
inline constexpr SettingKey kSaveFilesKey{"savefiles", 1, &Settings::savefiles};
inline constexpr SettingKey kEnableNotifyWindowKey{"enablenotifywindow", 1, &Settings::enablenotifywindow};
inline constexpr SettingKey kEnableTrayNotifyKey{"enabletraynotify", 1, &Settings::enabletraynotify};
inline constexpr SettingKey kSaveLogsKey{"savelogs", 1, &Settings::savelogs};
inline constexpr SettingKey kSaveCsvLogsKey{"savecsvlogs", 0, &Settings::savecsvlogs};
inline constexpr SettingKey kLoadOnStartupKey{"loadprogramonstartup", 1, nullptr};
inline constexpr SettingKey kBlockModeKey{"blockmode", 0, nullptr};
inline constexpr SettingKey kAutoRefreshKey{"autorefresh", 1, nullptr};
// Read as text: the hot key control's value in decimal.
constexpr char kHotKeyKey[] = "hotkey";
constexpr char kHotKeyDefault[] = "0";

// The ten kept in Settings, in the order start-up reads them.
inline constexpr std::array<const SettingKey*, 10> kSettingKeys = {
    &kDisplaySessKey, &kDisplayFilesKey,      &kSoundAlertKey,       &kSoundAlertEventsKey, &kSaveSessKey,
    &kSaveFilesKey,   &kEnableNotifyWindowKey, &kEnableTrayNotifyKey, &kSaveLogsKey,         &kSaveCsvLogsKey,
};

// The settings file every read and write goes to: quorvel.ini in the user's documents
// folder, set once at start-up (a test points it at its own folder).
void UseSettingsFile(const char* path);
const char* SettingsFilePath();

// A [main] key as GetPrivateProfileIntA reads it; the other sections' numbers, and the
// dialogs', are read by the strict rule of ReadNumber (ReadSettingInt).
int32_t ReadSetting(const SettingKey& setting);
void WriteSetting(const SettingKey& setting, int32_t value);

int32_t ReadSettingInt(const char* section, const char* key, int32_t defaultValue);
void ReadSettingText(const char* section, const char* key, const char* defaultValue, std::span<char> dest);
void WriteSettingInt(const char* section, const char* key, int32_t value);
void WriteSettingText(const char* section, const char* key, const char* value);
// Removes a key; a section left empty stays.
void DeleteSetting(const char* section, const char* key);

// Sections of numbered keys ("comp0", "bait1", ...) beside a `count`.
// The key of number `k`: `prefix` followed by `k` in decimal.
std::array<char, 32> NumberedKey(const char* prefix, int32_t k);
// The number of keys `count` names, within [0, most]: a hand-edited count of millions
// would hold up the start, and a negative one reads nothing.
int32_t ReadKeyCount(const char* section, int32_t most);
// Writes `count`, then removes the numbered keys from `first + count` up to
// `first + most - 1` that an earlier, longer list left.
void WriteKeyCount(const char* section, const char* prefix, int32_t first, int32_t count, int32_t most);

// Reads the ten settings of [main] into `settings`, in start-up order.
void ReadMainSettings(Settings* settings);
// The hot key value as start-up and the Settings dialog read it.
int32_t ReadHotKeySetting();
