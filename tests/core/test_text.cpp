#include <gtest/gtest.h>

#include <array>
#include <string>

#include "core/text.h"
#include "core/time_text.h"

TEST(CopyText, CutsAtTheDestinationAndTerminates)
{
    std::array<char, 4> small{'x', 'x', 'x', 'x'};
    EXPECT_EQ(CopyText(small, "abcdef"), 3u);
    EXPECT_STREQ(small.data(), "abc");
    EXPECT_EQ(CopyText(std::span<char>(), "abc"), 0u);
}

TEST(AppendText, StopsAtTheEndAndRepairsAnUnterminatedBuffer)
{
    std::array<char, 8> text{};
    CopyText(text, "Read");
    EXPECT_EQ(AppendText(text, "Write"), 7u);
    EXPECT_STREQ(text.data(), "ReadWri");
    std::array<char, 3> full{'a', 'b', 'c'};
    EXPECT_EQ(AppendText(full, "d"), 2u);
    EXPECT_STREQ(full.data(), "ab");
}

TEST(FormatText, ConvertsWideArgumentsAndCutsAt1023Characters)
{
    std::array<char, 2048> big{};
    FormatText(big, "[%s] %ws #%d", "9:5:7", L"PC17", -3);
    EXPECT_STREQ(big.data(), "[9:5:7] PC17 #-3");

    const std::wstring longName(5000, L'n');
    const int length = FormatText(big, "x%ws", longName.c_str());
    EXPECT_EQ(length, 1023);
    EXPECT_EQ(std::string(big.data()).size(), 1023u);
    EXPECT_EQ(big[0], 'x');

    std::array<char, 6> small{};
    FormatText(small, "%ws", longName.c_str());
    EXPECT_STREQ(small.data(), "nnnnn");
}

TEST(AnsiFromWide, CutsLongTextAndReadsNullAsEmpty)
{
    std::array<char, 8> text{'z'};
    EXPECT_EQ(AnsiFromWide(text, nullptr), 0u);
    EXPECT_STREQ(text.data(), "");
    EXPECT_EQ(AnsiFromWide(text, L"COMPUTER-NAME"), 7u);
    EXPECT_STREQ(text.data(), "COMPUTE");
    const std::wstring huge(70000, L'q');
    std::array<char, 256> cell{};
    EXPECT_EQ(AnsiFromWide(cell, huge.c_str()), 255u);
}

TEST(AnsiFromWide, UnrepresentableCharactersStillGiveBoundedText)
{
    std::array<char, 16> text{};
    AnsiFromWide(text, L"\x4e2d\x6587\xd83d\xde00-PC");
    EXPECT_LT(std::string(text.data()).size(), text.size());
    EXPECT_NE(std::string(text.data()).find("-PC"), std::string::npos);
}

TEST(WideFromAnsi, CutsAndTerminates)
{
    std::array<wchar_t, 4> text{};
    EXPECT_EQ(WideFromAnsi(text, "\\\\PC1"), 3u);
    EXPECT_EQ(std::wstring(text.data()), L"\\\\P");
}

TEST(ParseLeadingInt, ReadsLikeTheProgramDocuments)
{
    EXPECT_EQ(ParseLeadingInt("1613"), 1613);
    EXPECT_EQ(ParseLeadingInt("  -3"), -3);
    EXPECT_EQ(ParseLeadingInt("+7x"), 7);
    EXPECT_EQ(ParseLeadingInt("5min"), 5);
    EXPECT_EQ(ParseLeadingInt("abc"), 0);
    EXPECT_EQ(ParseLeadingInt(""), 0);
    EXPECT_EQ(ParseLeadingInt("-"), 0);
    EXPECT_EQ(ParseLeadingInt(" 12abc"), 12);
    EXPECT_EQ(ParseLeadingInt("--4"), 0);
}

TEST(ReadNumber, ANumberAsAPersonTypesItAndNothingElse)
{
    const auto read = [](const char* text, int32_t lowest = INT32_MIN, int32_t highest = INT32_MAX) {
        int32_t value = -12345;
        return ReadNumber(text, lowest, highest, &value) ? std::to_string(value) : std::string("refused");
    };
    EXPECT_EQ(read("1613"), "1613");
    EXPECT_EQ(read("  -3 "), "-3");
    EXPECT_EQ(read("+7"), "7");
    EXPECT_EQ(read("5min"), "5");
    EXPECT_EQ(read("20 files"), "20");
    EXPECT_EQ(read("2147483647"), "2147483647");
    EXPECT_EQ(read("-2147483648"), "-2147483648");
    for (const char* bad : {"", "   ", "-", "+", "x5", "abc", "1e3", "1.5", "5 5", "--4", "5min2", "0x10", "1,000",
                            "2147483648", "99999999999999999999", "\x01" "5"})
        EXPECT_EQ(read(bad), "refused") << "'" << bad << "'";
    EXPECT_EQ(read("0", 1, 10), "refused");
    EXPECT_EQ(read("11", 1, 10), "refused");
    EXPECT_EQ(read("10", 1, 10), "10");
}

TEST(ParseLeadingInt, SaturatesInsteadOfWrapping)
{
    int value = 0;
    EXPECT_FALSE(ParseLeadingIntChecked("99999999999999999999", &value));
    EXPECT_EQ(value, INT_MAX);
    EXPECT_FALSE(ParseLeadingIntChecked("-99999999999", &value));
    EXPECT_EQ(value, INT_MIN);
    EXPECT_TRUE(ParseLeadingIntChecked("2147483647", &value));
    EXPECT_EQ(value, INT_MAX);
    EXPECT_TRUE(ParseLeadingIntChecked("-2147483648", &value));
    EXPECT_EQ(value, INT_MIN);
    EXPECT_FALSE(ParseLeadingIntChecked("2147483648", &value));
}

TEST(AsciiCase, OnlyAsciiLettersFold)
{
    std::array<char, 16> name{};
    CopyText(name, "pc-\xe9t\xe9z");
    UpperCaseAscii(name);
    EXPECT_STREQ(name.data(), "PC-\xe9T\xe9Z");
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"pc1", L"PC1"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\x00e9", L"\x00c9"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"PC1", L"PC10"));
    EXPECT_TRUE(EndsWithIgnoringAsciiCase("report.TXT", ".txt"));
    EXPECT_FALSE(EndsWithIgnoringAsciiCase("txt", ".txt"));
}

TEST(FormatDuration, ZeroPadsEveryPartAndNeverCapsHours)
{
    std::array<char, 32> text{};
    EXPECT_STREQ(FormatDuration(0, text), "00:00:00");
    EXPECT_STREQ(FormatDuration(59, text), "00:00:59");
    EXPECT_STREQ(FormatDuration(3599, text), "00:59:59");
    EXPECT_STREQ(FormatDuration(3725, text), "01:02:05");
    EXPECT_STREQ(FormatDuration(86399, text), "23:59:59");
    EXPECT_STREQ(FormatDuration(90000, text), "25:00:00");
    EXPECT_STREQ(FormatDuration(360000, text), "100:00:00");
    EXPECT_STREQ(FormatDuration(0xFFFFFFFFu, text), "1193046:28:15");
    std::array<char, 4> tiny{};
    EXPECT_STREQ(FormatDuration(3725, tiny), "01:");
}
