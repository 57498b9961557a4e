#include <string>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/settings.h"
#include "windows/exit_program.h"
#include "app/startup.h"
#include "windows/start_options.h"
#include "support/test_support.h"

namespace {

class SettingsTest : public QuorvelTest {
protected:
    void WriteSettingsFile(const std::string& content) { WriteWholeFile(SettingsFilePath(), content); }
};

}  // namespace

TEST_F(SettingsTest, WithNoFileEveryDefaultHolds)
{
    Settings settings{};
    ReadMainSettings(&settings);
    EXPECT_EQ(settings.displaysess, 1);
    EXPECT_EQ(settings.displayfiles, 1);
    EXPECT_EQ(settings.soundalert, 0);
    EXPECT_EQ(settings.soundalertevents, 0);
    EXPECT_EQ(settings.savesess, 1);
    EXPECT_EQ(settings.savefiles, 1);
    EXPECT_EQ(settings.enablenotifywindow, 1);
    EXPECT_EQ(settings.enabletraynotify, 1);
    EXPECT_EQ(settings.savelogs, 1);
    EXPECT_EQ(settings.savecsvlogs, 0);
    EXPECT_EQ(ReadHotKeySetting(), 0);
    EXPECT_FALSE(FileExists(SettingsFilePath())) << "reading creates no file";
}

TEST_F(SettingsTest, StoredValuesAreRead)
{
    WriteSettingsFile(
        "[main]\r\ndisplaysess=0\r\ndisplayfiles=0\r\nsoundalert=1\r\nsoundalertevents=2\r\nsavesess=0\r\n"
        "savefiles=0\r\nenablenotifywindow=0\r\nenabletraynotify=0\r\nsavelogs=0\r\nsavecsvlogs=1\r\n"
        "hotkey=1613\r\n");
    Settings settings{};
    ReadMainSettings(&settings);
    EXPECT_EQ(settings.displaysess, 0);
    EXPECT_EQ(settings.displayfiles, 0);
    EXPECT_EQ(settings.soundalert, 1);
    EXPECT_EQ(settings.soundalertevents, 2);
    EXPECT_EQ(settings.savesess, 0);
    EXPECT_EQ(settings.savefiles, 0);
    EXPECT_EQ(settings.enablenotifywindow, 0);
    EXPECT_EQ(settings.enabletraynotify, 0);
    EXPECT_EQ(settings.savelogs, 0);
    EXPECT_EQ(settings.savecsvlogs, 1);
    EXPECT_EQ(ReadHotKeySetting(), 1613);
}

// [main] is read as the profile functions read it: a value that is no number is 0, a
// number followed by anything is that number, and only an absent key gives the default.
TEST_F(SettingsTest, MainKeysAreReadAsTheProfileFunctionsReadThem)
{
    const std::string longLine(70000, '9');
    WriteSettingsFile("[main]\r\ndisplayfiles=abc\r\nsoundalert=-5\r\nsavesess=  0  \r\nsavefiles=7abc\r\n"
                      "savecsvlogs=1 on\r\nsavelogs=" +
                      longLine + "\r\nhotkey=" + longLine + "\r\n[main\r\n=\r\n\x01\x02garbage\r\n");
    Settings settings{};
    ReadMainSettings(&settings);
    EXPECT_EQ(settings.displayfiles, 0) << "abc";
    EXPECT_EQ(settings.soundalert, -5);
    EXPECT_EQ(settings.savesess, 0) << "blanks around a number";
    EXPECT_EQ(settings.savefiles, 7) << "7abc";
    EXPECT_EQ(settings.savecsvlogs, 1) << "a number and a word";
    EXPECT_NE(settings.savelogs, 1) << "70,000 digits are no flag that is on";
    EXPECT_EQ(settings.enablenotifywindow, 1) << "an absent key gives its default";
    EXPECT_EQ(ReadHotKeySetting(), 0) << "the hot key is text: 70,000 digits are none";

    // The Run value: "abc" turns it off, as the profile functions read it.
    WriteSettingsFile("[main]\r\nloadprogramonstartup=abc\r\n");
    EXPECT_EQ(ReadSetting(kLoadOnStartupKey), 0);
    WriteSettingsFile("[main]\r\n");
    EXPECT_EQ(ReadSetting(kLoadOnStartupKey), 1) << "absent: on";
    // The other sections keep the strict reading.
    WriteSettingsFile("[blacklist]\r\ncount=abc\r\n");
    EXPECT_EQ(ReadSettingInt("blacklist", "count", 3), 3);
}

TEST_F(SettingsTest, HotKeyTextThatIsNotANumberMeansNoHotKey)
{
    for (const char* text : {"", "0", "abc", "   ", "-"}) {
        WriteSettingsFile(std::string("[main]\r\nhotkey=") + text + "\r\n");
        EXPECT_EQ(ReadHotKeySetting(), 0) << "hotkey=" << text;
    }
    WriteSettingsFile("[main]\r\nhotkey= 1613xyz\r\n");
    EXPECT_EQ(ReadHotKeySetting(), 1613);
}

TEST_F(SettingsTest, WritesCreateWhatIsMissingAndFlagsAreZeroOrOne)
{
    WriteSettingInt(kMainSection, "autorefresh", 0);
    WriteSettingInt(kMainSection, "blockmode", 1);
    EXPECT_EQ(ReadSettingInt(kMainSection, "autorefresh", 1), 0);
    EXPECT_EQ(ReadSettingInt(kMainSection, "blockmode", 0), 1);
    const std::string text = ReadWholeFile(SettingsFilePath());
    EXPECT_NE(text.find("autorefresh=0"), std::string::npos);
    EXPECT_NE(text.find("blockmode=1"), std::string::npos);
}

TEST(HotKeyDecoding, ModifiersMapFromTheControlsFlags)
{
    UINT modifiers = 0, key = 0;
    ASSERT_TRUE(DecodeHotKey(1613, &modifiers, &key));  // Control+Alt+M
    EXPECT_EQ(modifiers, static_cast<UINT>(MOD_CONTROL | MOD_ALT));
    EXPECT_EQ(key, static_cast<UINT>('M'));
    ASSERT_TRUE(DecodeHotKey((HOTKEYF_EXT | HOTKEYF_SHIFT) << 8 | 'Q', &modifiers, &key));
    EXPECT_EQ(modifiers, static_cast<UINT>(MOD_WIN | MOD_SHIFT));
    EXPECT_EQ(key, static_cast<UINT>('Q'));
    ASSERT_TRUE(DecodeHotKey(VK_F9, &modifiers, &key));
    EXPECT_EQ(modifiers, 0u);
    EXPECT_FALSE(DecodeHotKey(0, &modifiers, &key));
    EXPECT_FALSE(DecodeHotKey(0x0600, &modifiers, &key)) << "modifiers without a key name no hot key";
    EXPECT_FALSE(DecodeHotKey(INT_MAX & ~0xFF, &modifiers, &key));
}

namespace {

class RunValueTest : public QuorvelTest {
protected:
    bool ReadRunValue(std::string* text) const
    {
        std::array<char, 1024> value{};
        DWORD size = static_cast<DWORD>(value.size());
        DWORD type = 0;
        if (RegGetValueA(HKEY_CURRENT_USER, kRunKey, kRunValueName, RRF_RT_ANY, &type, value.data(), &size) !=
            ERROR_SUCCESS)
            return false;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        *text = value.data();
        return true;
    }
};

}  // namespace

TEST_F(RunValueTest, HoldsTheQuotedPathFollowedByH)
{
    SetRunAtStartup(1);
    std::string text;
    ASSERT_TRUE(ReadRunValue(&text));
    std::array<char, MAX_PATH> path{};
    GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    EXPECT_EQ(text, "\"" + std::string(path.data()) + "\" h");
    SetRunAtStartup(1);  // replacing works too
    ASSERT_TRUE(ReadRunValue(&text));
    EXPECT_EQ(text, "\"" + std::string(path.data()) + "\" h");
}

TEST_F(RunValueTest, ZeroDeletesTheValueWhetherOrNotItExists)
{
    SetRunAtStartup(1);
    SetRunAtStartup(0);
    std::string text;
    EXPECT_FALSE(ReadRunValue(&text));
    SetRunAtStartup(0);
    EXPECT_FALSE(ReadRunValue(&text));
}

TEST(CommandLine, OnlyTheFirstCharacterCounts)
{
    EXPECT_EQ(CommandCharOf("h"), 'h');
    EXPECT_EQ(CommandCharOf("hidden please"), 'h');
    EXPECT_EQ(CommandCharOf("  h"), 'h');
    EXPECT_EQ(CommandCharOf("H"), 'H');
    EXPECT_EQ(CommandCharOf(""), '\0');
    EXPECT_EQ(CommandCharOf(nullptr), '\0');
}
