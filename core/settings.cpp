#include "core/settings.h"

#include <algorithm>
#include <array>

#include "core/paths.h"
#include "core/text.h"

namespace {

// Room for a number's text in the settings file; a longer text is no number.
constexpr std::size_t kNumberTextCapacity = 64;
constexpr char kCountKey[] = "count";

PathText settingsFile;

}  // namespace

void UseSettingsFile(const char* path)
{
    CopyText(settingsFile, path ? path : "");
}

const char* SettingsFilePath()
{
    return settingsFile.data();
}

int32_t ReadSettingInt(const char* section, const char* key, int32_t defaultValue)
{
    // A hand-edited value that is not a number gives the default, as a missing key does.
    std::array<char, kNumberTextCapacity> text{};
    ReadSettingText(section, key, "", text);
    int32_t value = 0;
    return ReadNumber(text.data(), INT32_MIN, INT32_MAX, &value) ? value : defaultValue;
}

void ReadSettingText(const char* section, const char* key, const char* defaultValue, std::span<char> dest)
{
    if (dest.empty())
        return;
    GetPrivateProfileStringA(section, key, defaultValue, dest.data(), static_cast<DWORD>(dest.size()),
                             settingsFile.data());
    dest[dest.size() - 1] = '\0';
}

void WriteSettingInt(const char* section, const char* key, int32_t value)
{
    std::array<char, 16> text{};
    FormatText(text, "%d", value);
    WriteSettingText(section, key, text.data());
}

void WriteSettingText(const char* section, const char* key, const char* value)
{
    WritePrivateProfileStringA(section, key, value, settingsFile.data());
}

void DeleteSetting(const char* section, const char* key)
{
    WritePrivateProfileStringA(section, key, nullptr, settingsFile.data());
}

std::array<char, 32> NumberedKey(const char* prefix, int32_t k)
{
    std::array<char, 32> key{};
    FormatText(key, "%s%d", prefix, k);
    return key;
}

int32_t ReadKeyCount(const char* section, int32_t most)
{
    return std::clamp(ReadSettingInt(section, kCountKey, 0), 0, most);
}

void WriteKeyCount(const char* section, const char* prefix, int32_t first, int32_t count, int32_t most)
{
    WriteSettingInt(section, kCountKey, count);
    for (int32_t k = first + count; k < first + most; ++k)
        DeleteSetting(section, NumberedKey(prefix, k).data());
}

int32_t ReadSetting(const SettingKey& setting)
{
    // [main] is read as the profile functions read it: "abc" is 0, "7abc" is 7, and
    // only an absent key (or an empty value) gives the default.
    return static_cast<int32_t>(GetPrivateProfileIntA(kMainSection, setting.key, setting.defaultValue,
                                                      settingsFile.data()));
}

void WriteSetting(const SettingKey& setting, int32_t value)
{
    WriteSettingInt(kMainSection, setting.key, value);
}

void ReadMainSettings(Settings* settings)
{
    for (const SettingKey* setting : kSettingKeys)
        settings->*setting->field = ReadSetting(*setting);
}

int32_t ReadHotKeySetting()
{
    std::array<char, kNumberTextCapacity> text{};
    ReadSettingText(kMainSection, kHotKeyKey, kHotKeyDefault, text);
    int32_t value = 0;
    return ReadNumber(text.data(), 0, 0xFFFF, &value) ? value : 0;  // the hot key control's 16 bits
}
