// The [main] section of the settings file, read and written only through the
// platform's profile functions so that a missing file or key yields its default.
#pragma once

#include <windows.h>

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

struct SettingKey {
    const char* key;
    int32_t defaultValue;
    int32_t Settings::*field;
};

// The order in which start-up reads them.
constexpr SettingKey kSettingKeys[] = {
    {"displaysess", 1, &Settings::displaysess},
    {"displayfiles", 1, &Settings::displayfiles},
    {"soundalert", 0, &Settings::soundalert},
    {"soundalertevents", 0, &Settings::soundalertevents},
    {"savesess", 1, &Settings::savesess},
    {"savefiles", 1, &Settings::savefiles},
    {"enablenotifywindow", 1, &Settings::enablenotifywindow},
    {"enabletraynotify", 1, &Settings::enabletraynotify},
    {"savelogs", 1, &Settings::savelogs},
    {"savecsvlogs", 0, &Settings::savecsvlogs},
};

constexpr int32_t kDefaultLoadOnStartup = 1;
constexpr int32_t kDefaultBlockMode = 0;
constexpr int32_t kDefaultAutoRefresh = 1;

int32_t ReadSettingInt(const char* section, const char* key, int32_t defaultValue);
void ReadSettingText(const char* section, const char* key, const char* defaultValue, std::span<char> dest);
void WriteSettingInt(const char* section, const char* key, int32_t value);
void WriteSettingText(const char* section, const char* key, const char* value);

// Reads the ten settings of [main] into `settings`, in start-up order.
void ReadMainSettings(Settings* settings);
// The hot key value as start-up and the Settings dialog read it.
int32_t ReadHotKeySetting();
