// The soak's comparison must see a missing, doubled or invented line, or the soak
// proves nothing: fed here with journals and logs whose faults are known.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "soak/log_check.h"

namespace {

std::vector<JournalLine> Journal(const std::string& text)
{
    const std::string folder = MakeScratchFolder("log-check");
    WriteFile(folder + "journal", text);
    return ReadJournal(folder + "journal");
}

const long long kDay = DayNumber(2026, 3, 9);

// Bob's session from 10:00:01 to 10:00:11, polled every second; a file open 10:00:02.5 .. 10:00:04.
constexpr char kBob[] =
    "2026-03-09 10:00:00.000 t=0 load start pid=1\r\n"
    "2026-03-09 10:00:01.000 t=1000 event connect computer=\"PC1\" user=\"bob\" flags=0 line=1\r\n"
    "2026-03-09 10:00:02.000 t=2000 call NetSessionEnum server=null client=null user=null level=1 status=0\r\n"
    "2026-03-09 10:00:02.500 t=2500 event open id=7 computer=\"PC1\" user=\"bob\" path=\"C:\\a b.txt\" perm=3 line=2\r\n"
    "2026-03-09 10:00:02.600 t=2600 call NetFileEnum server=null level=3 status=0\r\n"
    "2026-03-09 10:00:03.000 t=3000 call NetSessionEnum server=null client=null user=null level=1 status=0\r\n"
    "2026-03-09 10:00:04.000 t=4000 event close id=7 computer=\"PC1\" user=\"bob\" path=\"C:\\a b.txt\" line=3\r\n"
    "2026-03-09 10:00:04.100 t=4100 event open id=8 computer=\"PC1\" user=\"bob\" path=\"C:\\quick.txt\" perm=1 line=4\r\n"
    "2026-03-09 10:00:04.200 t=4200 event close id=8 computer=\"PC1\" user=\"bob\" path=\"C:\\quick.txt\" line=5\r\n"
    "2026-03-09 10:00:05.000 t=5000 event open id=9 computer=\"PC1\" user=\"bob\" path=\"C:\\gone.txt\" perm=1 skipped=\"no session\" line=6\r\n"
    "2026-03-09 10:00:11.000 t=11000 event disconnect computer=\"PC1\" sessions=1 files=0 line=7\r\n"
    "2026-03-09 10:00:12.000 t=12000 call NetSessionEnum server=null client=null user=null level=1 status=0\r\n";

LogComparison CompareText(const std::string& journal, const std::string& log)
{
    return CompareWithLog(ActivitiesFromJournal(Journal(journal)), TextLogLines(log, kDay), false);
}

}  // namespace

TEST(LogCheck, WhatTheJournalSawAndTheLogHoldsOnceIsNoProblem)
{
    const std::vector<Activity> activities = ActivitiesFromJournal(Journal(kBob));
    ASSERT_EQ(activities.size(), 3u) << "the skipped open did not happen";
    EXPECT_TRUE(activities[0].must);
    EXPECT_EQ(activities[1].textKey, "[bob][ReadWrite] C:\\a b.txt");
    EXPECT_TRUE(activities[1].must);
    EXPECT_FALSE(activities[2].must) << "open 0.1 s with no poll in it";
    const LogComparison result = CompareText(kBob,
                                             "[10:0:2] User bob connected from PC1\r\n"
                                             "[10:0:2] [bob][ReadWrite] C:\\a b.txt\r\n");
    EXPECT_EQ(result.events, 3u);
    EXPECT_EQ(result.must, 2u);
    EXPECT_EQ(result.mustLogged, 2u);
    EXPECT_EQ(result.missing + result.twice + result.invented, 0u);
}

TEST(LogCheck, AMissingLineIsFound)
{
    const LogComparison result = CompareText(kBob, "[10:0:2] User bob connected from PC1\r\n");
    EXPECT_EQ(result.missing, 1u);
    ASSERT_FALSE(result.problems.empty());
    EXPECT_NE(result.problems[0].find("a b.txt"), std::string::npos);
}

TEST(LogCheck, ALineLoggedTwiceIsFound)
{
    const LogComparison result = CompareText(kBob,
                                             "[10:0:2] User bob connected from PC1\r\n"
                                             "[10:0:2] [bob][ReadWrite] C:\\a b.txt\r\n"
                                             "[10:0:3] User bob connected from PC1\r\n");
    EXPECT_EQ(result.twice, 1u);
    EXPECT_EQ(result.missing, 0u);
}

TEST(LogCheck, ALineWithNoEventBehindItIsInvented)
{
    const LogComparison result = CompareText(kBob,
                                             "[10:0:2] User bob connected from PC1\r\n"
                                             "[10:0:2] [bob][ReadWrite] C:\\a b.txt\r\n"
                                             "[10:0:3] User eve connected from PC1\r\n"
                                             "[9:59:0] [bob][ReadWrite] C:\\a b.txt\r\n"
                                             "[10:0:6] [bob][Read] C:\\gone.txt\r\n"
                                             "garbage\r\n");
    EXPECT_EQ(result.invented, 4u) << "another user, before the open, a skipped open, no time";
    EXPECT_EQ(result.twice, 0u);
}

TEST(LogCheck, AReconnectTooSoonAfterLeavingNeedNotBeLogged)
{
    std::string journal = kBob;
    journal += "2026-03-09 10:00:12.000 t=12000 event connect computer=\"PC1\" user=\"bob\" flags=0 line=8\r\n"
               "2026-03-09 10:00:14.000 t=14000 call NetSessionEnum server=null client=null user=null level=1 status=0\r\n"
               "2026-03-09 10:00:20.000 t=20000 call NetSessionEnum server=null client=null user=null level=1 status=0\r\n";
    const std::vector<Activity> activities = ActivitiesFromJournal(Journal(journal));
    ASSERT_EQ(activities.size(), 4u);
    EXPECT_FALSE(activities[3].must) << "1 s after the previous session ended";
    EXPECT_DOUBLE_EQ(activities[3].end - activities[3].start, 8.0) << "open to the journal's end";
}

TEST(LogCheck, TheCsvRecordsAreComparedByTheirFields)
{
    const std::vector<Activity> activities = ActivitiesFromJournal(Journal(kBob));
    const std::vector<LoggedLine> lines = CsvLogLines("#File generated by Quorvel 1.2\r\n"
                                                      "\"10:0:2\", \"CONNECT\", \"bob\", \"PC1\"\r\n"
                                                      "\"10:0:3\", \"ReadWrite\", \"bob\", \"C:\\a b.txt\"\r\n"
                                                      "\"10:0:3\", \"ReadWrite\", \"bob\", \"C:\\a b.txt\"\r\n",
                                                      kDay);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].key, "CONNECT|bob|PC1");
    const LogComparison result = CompareWithLog(activities, lines, true);
    EXPECT_EQ(result.mustLogged, 2u);
    EXPECT_EQ(result.twice, 1u);
}

TEST(LogCheck, GuestsAndAnonymousSessionsAreLoggedAsGuest)
{
    const std::vector<Activity> activities = ActivitiesFromJournal(
        Journal("2026-03-09 10:00:01.000 t=1000 event connect computer=\"K1\" user=\"Guest\" flags=1 line=1\r\n"
                "2026-03-09 10:00:01.000 t=1000 event connect computer=\"K2\" user=\"\" flags=0 line=2\r\n"
                "2026-03-09 10:00:01.500 t=1500 event open id=3 computer=\"K2\" user=\"\" path=\"C:\\x\" perm=5 line=3\r\n"));
    ASSERT_EQ(activities.size(), 3u);
    EXPECT_EQ(activities[0].textKey, "User Guest connected from K1");
    EXPECT_EQ(activities[1].csvKey, "CONNECT|Guest|K2");
    EXPECT_EQ(activities[2].textKey, "[][ReadCreate] C:\\x");
}
