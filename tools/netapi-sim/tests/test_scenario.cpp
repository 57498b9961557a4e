// The scenario parser: what each line turns into, and what happens to bad lines.

#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <string>

#include "scenario.h"
#include "security.h"
#include "text.h"

using nsim::Event;
using nsim::Op;
using nsim::parse_scenario;
using nsim::Scenario;

namespace {

// The error (not warning) reported for `line`, or "" if none.
std::string error_at(const Scenario& s, uint32_t line) {
    for (const auto& d : s.diags)
        if (d.line == line && !d.warning) return d.reason;
    return "";
}

size_t errors(const Scenario& s) {
    size_t n = 0;
    for (const auto& d : s.diags) n += d.warning ? 0 : 1;
    return n;
}

}  // namespace

TEST(Scenario, ReadsEachCommand) {
    const Scenario s = parse_scenario(
        "0 share Projects disk D:\\Shares\\Projects remark=\"Team files\" uses=2 max=10\n"
        "0 share C$ disk+special C:\\ remark=\"Default share\"\n"
        "1.5 connect PC17 bob\n"
        "2 connect \\\\PC20 Guest guest noencrypt cltype=\"Windows 10\"\n"
        "2.25 open PC17 bob \"D:\\Shares\\Projects\\plan 2024.docx\" perm=rw locks=2\n"
        "3 close PC17 bob \"D:\\Shares\\Projects\\plan 2024.docx\"\n"
        "4 lock PC17 bob D:\\a.txt 3\n"
        "5 use PC17 bob C$\n"
        "6 touch PC17\n"
        "7 disconnect PC17 bob\n"
        "8 unshare Projects\n"
        "9 uses C$ 1\n"
        "10 refuse sessions,files denied 5 every=2\n"
        "11 next-id 100\n"
        "12 reconnect PC17 3.5 reopen\n"
        "13 reconnect PC17 off\n"
        "14 note hello   world\n");
    EXPECT_TRUE(s.diags.empty()) << s.diags[0].reason;
    ASSERT_EQ(s.events.size(), 17u);
    const Event& share = s.events[0];
    EXPECT_EQ(share.op, Op::Share);
    EXPECT_EQ(share.who, L"Projects");
    EXPECT_EQ(share.path, L"D:\\Shares\\Projects");
    EXPECT_EQ(share.text, L"Team files");
    EXPECT_EQ(share.value, static_cast<uint32_t>(STYPE_DISKTREE));
    EXPECT_EQ(share.value2, 10u);
    EXPECT_EQ(share.value3, 2u);
    EXPECT_EQ(s.events[1].value, static_cast<uint32_t>(STYPE_SPECIAL));
    EXPECT_EQ(s.events[1].value2, static_cast<uint32_t>(SHI_USES_UNLIMITED));
    EXPECT_EQ(s.events[2].at_ms, 1500);
    EXPECT_EQ(s.events[2].line, 3u);
    const Event& guest = s.events[3];
    EXPECT_EQ(guest.who, L"PC20") << "leading backslashes are not part of the name";
    EXPECT_EQ(guest.user, L"Guest");
    EXPECT_EQ(guest.value2, static_cast<uint32_t>(SESS_GUEST | SESS_NOENCRYPTION));
    EXPECT_EQ(guest.text, L"Windows 10");
    const Event& open = s.events[4];
    EXPECT_EQ(open.at_ms, 2250);
    EXPECT_EQ(open.path, L"D:\\Shares\\Projects\\plan 2024.docx");
    EXPECT_EQ(open.value, static_cast<uint32_t>(PERM_FILE_READ | PERM_FILE_WRITE));
    EXPECT_EQ(open.value2, 2u);
    EXPECT_EQ(s.events[6].value, 3u);
    EXPECT_EQ(s.events[7].text, L"C$");
    EXPECT_FALSE(s.events[8].flag) << "touch without a user touches every session of the computer";
    EXPECT_TRUE(s.events[9].flag);
    EXPECT_EQ(s.events[11].value, 1u);
    const Event& refuse = s.events[12];
    EXPECT_EQ(refuse.value, nsim::kSessionEnum | nsim::kFileEnum);
    EXPECT_EQ(refuse.value2, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(refuse.value3, 2u);
    EXPECT_EQ(refuse.span_ms, 5000);
    EXPECT_EQ(s.events[13].value, 100u);
    EXPECT_EQ(s.events[14].span_ms, 3500);
    EXPECT_TRUE(s.events[14].flag);
    EXPECT_EQ(s.events[15].span_ms, -1);
    EXPECT_EQ(s.events[16].text, L"hello world");
}

TEST(Scenario, CommentsBlankLinesAndQuoting) {
    const Scenario s = parse_scenario(
        "# an office\n"
        "\n"
        "   \t  \n"
        "0 connect PC1 \"\" # anonymous, comment after\n"
        "0 open PC1 \"\" D:\\C#\\notes.txt\n"
        "0 note \"say \"\"hi\"\"\" \"#not a comment\"\n"
        "0 connect \"PC 2\" \"Anna Maria\"\n");
    EXPECT_TRUE(s.diags.empty());
    ASSERT_EQ(s.events.size(), 4u);
    EXPECT_EQ(s.events[0].user, L"");
    EXPECT_EQ(s.events[1].path, L"D:\\C#\\notes.txt") << "# inside a word is not a comment";
    EXPECT_EQ(s.events[2].text, L"say \"hi\" #not a comment");
    EXPECT_EQ(s.events[3].who, L"PC 2");
    EXPECT_EQ(s.events[3].user, L"Anna Maria");
}

TEST(Scenario, TimesRelativeAndSorted) {
    const Scenario s = parse_scenario(
        "10 connect A u\n"
        "+2.5 connect B u\n"
        "5 connect C u\n"
        "+0.001 connect D u\n"
        "5 connect E u\n");
    ASSERT_EQ(s.events.size(), 5u);
    // Sorted by time; equal times keep file order.
    EXPECT_EQ(s.events[0].who, L"C");
    EXPECT_EQ(s.events[0].at_ms, 5000);
    EXPECT_EQ(s.events[1].who, L"E");
    EXPECT_EQ(s.events[2].who, L"D");
    EXPECT_EQ(s.events[2].at_ms, 5001);
    EXPECT_EQ(s.events[3].who, L"A");
    EXPECT_EQ(s.events[4].who, L"B");
    EXPECT_EQ(s.events[4].at_ms, 12500);
}

TEST(Scenario, Seconds) {
    int64_t ms = -1;
    EXPECT_TRUE(nsim::parse_seconds(L"0", ms));
    EXPECT_EQ(ms, 0);
    EXPECT_TRUE(nsim::parse_seconds(L"12.5", ms));
    EXPECT_EQ(ms, 12500);
    EXPECT_TRUE(nsim::parse_seconds(L".25", ms));
    EXPECT_EQ(ms, 250);
    EXPECT_TRUE(nsim::parse_seconds(L"3.", ms));
    EXPECT_EQ(ms, 3000);
    EXPECT_TRUE(nsim::parse_seconds(L"1.23456", ms));
    EXPECT_EQ(ms, 1234) << "millisecond resolution, the rest dropped";
    EXPECT_TRUE(nsim::parse_seconds(L"1000000000", ms));
    EXPECT_FALSE(nsim::parse_seconds(L"1000000001", ms));
    EXPECT_FALSE(nsim::parse_seconds(L"99999999999", ms));
    EXPECT_FALSE(nsim::parse_seconds(L"", ms));
    EXPECT_FALSE(nsim::parse_seconds(L".", ms));
    EXPECT_FALSE(nsim::parse_seconds(L"-1", ms));
    EXPECT_FALSE(nsim::parse_seconds(L"1e3", ms));
    EXPECT_FALSE(nsim::parse_seconds(L"1.2.3", ms));
}

TEST(Scenario, MalformedLinesAreReportedWithTheirNumbersAndSkipped) {
    const Scenario s = parse_scenario(
        "0 connect PC1 alice\n"                    // 1 fine
        "0 conect PC1 alice\n"                     // 2
        "soon connect PC1 alice\n"                 // 3
        "0 open PC1 alice\n"                       // 4
        "0 connect \"PC1 alice\n"                  // 5
        "0 open PC1 alice D:\\x perm=rx\n"         // 6
        "0 open PC1 alice D:\\x colour=red\n"      // 7
        "0 share S floppy D:\\\n"                  // 8
        "0 refuse sessions nonsense 5\n"           // 9
        "0 refuse del more-data 5\n"               // 10
        "0 refuse sessions denied 5 page=2\n"      // 11
        "0 refuse sessions denied 0\n"             // 12
        "0 refuse sessions 0 5\n"                  // 13
        "0 refuse nowhere denied 5\n"              // 14
        "0 connect \\\\ alice\n"                   // 15
        "0 next-id 4294967296\n"                   // 16
        "0 connect PC1 alice extra\n"              // 17
        "0\n"                                      // 18
        "0 open PC1 alice \"\"\n"                  // 19
        "0 reconnect PC1 off reopen\n"             // 20
        "0 refuse sessions denied 5 every=0\n"     // 21
        "0 share \"\" disk D:\\\n"                 // 22
        "0 lock PC1 alice D:\\x many\n"            // 23
        "0 connect PC2 bob\n");                    // 24 fine
    EXPECT_NE(error_at(s, 2).find("unknown command 'conect'"), std::string::npos) << error_at(s, 2);
    EXPECT_NE(error_at(s, 3).find("bad time"), std::string::npos);
    EXPECT_NE(error_at(s, 4).find("open needs"), std::string::npos) << error_at(s, 4);
    EXPECT_NE(error_at(s, 5).find("unterminated quote"), std::string::npos);
    EXPECT_NE(error_at(s, 6).find("bad perm"), std::string::npos);
    EXPECT_NE(error_at(s, 7).find("unknown option 'colour'"), std::string::npos) << error_at(s, 7);
    EXPECT_NE(error_at(s, 8).find("bad share type"), std::string::npos);
    EXPECT_NE(error_at(s, 9).find("bad error code"), std::string::npos);
    EXPECT_NE(error_at(s, 10).find("more-data only applies to enumerations"), std::string::npos);
    EXPECT_NE(error_at(s, 11).find("page only applies to more-data"), std::string::npos);
    EXPECT_NE(error_at(s, 12).find("bad duration"), std::string::npos);
    EXPECT_NE(error_at(s, 13).find("code 0 is success"), std::string::npos);
    EXPECT_NE(error_at(s, 14).find("bad target"), std::string::npos);
    EXPECT_NE(error_at(s, 15).find("empty computer name"), std::string::npos);
    EXPECT_NE(error_at(s, 16).find("bad id"), std::string::npos);
    EXPECT_NE(error_at(s, 17).find("unexpected argument 'extra'"), std::string::npos) << error_at(s, 17);
    EXPECT_NE(error_at(s, 18).find("missing command"), std::string::npos);
    EXPECT_NE(error_at(s, 19).find("empty path"), std::string::npos);
    EXPECT_NE(error_at(s, 20).find("reopen"), std::string::npos);
    EXPECT_NE(error_at(s, 21).find("every must be at least 1"), std::string::npos);
    EXPECT_NE(error_at(s, 22).find("empty share name"), std::string::npos);
    EXPECT_NE(error_at(s, 23).find("bad lock count"), std::string::npos);
    EXPECT_EQ(errors(s), 22u);
    // Only the good lines became events.
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[0].line, 1u);
    EXPECT_EQ(s.events[1].line, 24u);
}

TEST(Scenario, BadBytesAndOversizedLines) {
    std::string text = "0 connect PC1 a\n";
    text += "0 connect PC\xC3\x28 a\n";               // 2: broken UTF-8
    text += "0 connect PC\xE2\x82\xAC a\n";           // 3: fine (euro sign)
    text += std::string("0 connect PC4 a\0b\n", 19);  // 4: NUL byte
    text += "0 note " + std::string(70000, 'x') + "\n";  // 5: too long
    text += "0 connect \xED\xA0\x80 a\n";             // 6: encoded surrogate
    text += "0 connect PC7 a\r\n";                    // 7: CRLF is fine
    const Scenario s = parse_scenario(text);
    EXPECT_EQ(error_at(s, 2), "line is not valid UTF-8");
    EXPECT_EQ(error_at(s, 4), "line contains a NUL byte");
    EXPECT_EQ(error_at(s, 5), "line longer than 65536 bytes");
    EXPECT_EQ(error_at(s, 6), "line is not valid UTF-8");
    ASSERT_EQ(s.events.size(), 3u);
    EXPECT_EQ(s.events[1].who, L"PC\u20AC");
    EXPECT_EQ(s.events[2].who, L"PC7");
}

TEST(Scenario, ByteOrderMarkIsSkipped) {
    const Scenario s = parse_scenario("\xEF\xBB\xBF" "0 connect PC1 a\n");
    EXPECT_TRUE(s.diags.empty());
    ASSERT_EQ(s.events.size(), 1u);
    EXPECT_EQ(s.events[0].who, L"PC1");
}

TEST(Scenario, LongNamesAreCutWithAWarning) {
    const std::string big(5000, 'N');
    const Scenario s = parse_scenario("0 connect " + big + " " + big + "\n0 open A b D:\\" + big + "\n");
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[0].who.size(), nsim::kMaxText);
    EXPECT_EQ(s.events[0].user.size(), nsim::kMaxText);
    EXPECT_EQ(s.events[1].path.size(), nsim::kMaxText);
    ASSERT_EQ(s.diags.size(), 2u);
    EXPECT_TRUE(s.diags[0].warning);
    EXPECT_EQ(s.diags[0].line, 1u);
    EXPECT_NE(s.diags[0].reason.find("cut to 1024"), std::string::npos);
    EXPECT_EQ(s.diags[1].line, 2u);
}

TEST(Scenario, CuttingNeverSplitsASurrogatePair) {
    // 1023 ASCII letters then U+1F600 (a pair): cutting at 1024 would leave half of it.
    std::string name(1023, 'a');
    name += "\xF0\x9F\x98\x80zz";
    const Scenario s = parse_scenario("0 connect " + name + " u\n");
    ASSERT_EQ(s.events.size(), 1u);
    EXPECT_EQ(s.events[0].who.size(), 1023u);
    std::wstring w(1025, L'b');
    w[1023] = static_cast<wchar_t>(0xD83D);
    w[1024] = static_cast<wchar_t>(0xDE00);
    EXPECT_TRUE(nsim::bound_text(w));
    EXPECT_EQ(w.size(), 1023u);
}

TEST(Scenario, RepeatPlaysItsBodyWithTheIterationNumber) {
    const Scenario s = parse_scenario(
        "10 repeat 3 2\n"
        "  0 connect PC{i} user{i}\n"
        "  0.5 open PC{i} user{i} \"D:\\Data\\file {i}.txt\"\n"
        "end\n"
        "20 connect Last u\n");
    EXPECT_TRUE(s.diags.empty()) << s.diags[0].reason;
    ASSERT_EQ(s.events.size(), 7u);
    EXPECT_EQ(s.events[0].who, L"PC1");
    EXPECT_EQ(s.events[0].at_ms, 10000);
    EXPECT_EQ(s.events[1].path, L"D:\\Data\\file 1.txt");
    EXPECT_EQ(s.events[1].at_ms, 10500);
    EXPECT_EQ(s.events[4].who, L"PC3");
    EXPECT_EQ(s.events[4].user, L"user3");
    EXPECT_EQ(s.events[4].at_ms, 14000);
    EXPECT_EQ(s.events[6].who, L"Last");
}

TEST(Scenario, NestedRepeatsWithNamedCounters) {
    const Scenario s = parse_scenario(
        "0 repeat 2 100 pc\n"
        "0 connect PC{pc} u\n"
        "1 repeat 3 1 f\n"
        "0 open PC{pc} u D:\\{pc}\\{f}.txt\n"
        "end\n"
        "end\n"
        "0 note {unknown} stays\n");
    EXPECT_TRUE(s.diags.empty()) << s.diags[0].reason;
    ASSERT_EQ(s.events.size(), 9u);
    EXPECT_EQ(s.events[0].who, L"PC1");
    EXPECT_EQ(s.events[1].text, L"{unknown} stays") << "outside a block braces are plain text";
    EXPECT_EQ(s.events[2].path, L"D:\\1\\1.txt");
    EXPECT_EQ(s.events[2].at_ms, 1000);
    EXPECT_EQ(s.events[4].path, L"D:\\1\\3.txt");
    EXPECT_EQ(s.events[4].at_ms, 3000);
    EXPECT_EQ(s.events[5].who, L"PC2");
    EXPECT_EQ(s.events[5].at_ms, 100000);
    EXPECT_EQ(s.events[8].path, L"D:\\2\\3.txt");
    EXPECT_EQ(s.events[8].at_ms, 103000);
}

TEST(Scenario, ErrorsInsideARepeatAreReportedOnce) {
    const Scenario s = parse_scenario(
        "0 repeat 50 1\n"
        "0 connect PC{i}\n"
        "0 connect PC{i} u\n"
        "end\n");
    ASSERT_EQ(s.diags.size(), 1u);
    EXPECT_EQ(s.diags[0].line, 2u);
    EXPECT_EQ(s.events.size(), 50u);
}

TEST(Scenario, RepeatStructureErrors) {
    const Scenario s = parse_scenario(
        "end\n"                                // 1
        "0 repeat many 1\n"                    // 2 bad count: block skipped
        "0 connect Skipped u\n"                // 3
        "end\n"                                // 4
        "0 repeat 0 1\n"                       // 5 zero: body checked, not played
        "0 bogus\n"                            // 6
        "end\n"                                // 7
        "0 repeat 2 1 9bad\n"                  // 8 bad counter name
        "end\n"                                // 9
        "5 repeat 2 1\n"                       // 10 never closed: body runs once
        "0 connect Once u\n");                 // 11
    EXPECT_EQ(error_at(s, 1), "end without repeat");
    EXPECT_NE(error_at(s, 2).find("bad repeat count"), std::string::npos);
    EXPECT_NE(error_at(s, 6).find("unknown command"), std::string::npos);
    EXPECT_NE(error_at(s, 8).find("bad repeat name"), std::string::npos);
    EXPECT_NE(error_at(s, 10).find("repeat without end"), std::string::npos);
    ASSERT_EQ(s.events.size(), 1u);
    EXPECT_EQ(s.events[0].who, L"Once");
    EXPECT_EQ(s.events[0].at_ms, 0) << "an unclosed repeat's lines run once, from the enclosing start";
}

TEST(Scenario, RepeatNestingIsBounded) {
    std::string text;
    for (int i = 0; i < 5; ++i) text += "0 repeat 2 1 v" + std::to_string(i) + "\n";
    text += "0 connect PC{v0}-{v1}-{v2}-{v3}-{v4} u\n";
    for (int i = 0; i < 5; ++i) text += "end\n";
    const Scenario s = parse_scenario(text);
    EXPECT_NE(error_at(s, 5).find("nested deeper than 4"), std::string::npos);
    // Four levels repeat (2^4), the fifth runs once and its counter stays as text.
    ASSERT_EQ(s.events.size(), 16u);
    EXPECT_EQ(s.events[0].who, L"PC1-1-1-1-{v4}");
}

TEST(Scenario, EventCountIsBounded) {
    const Scenario s = parse_scenario(
        "0 repeat 600000 0.001\n"
        "0 touch PC\n"
        "end\n");
    EXPECT_EQ(s.events.size(), nsim::kMaxEvents);
    EXPECT_NE(error_at(s, 2).find("more than 500000 events"), std::string::npos);
}

TEST(Scenario, HeavyLoadFromGenerators) {
    // 300 computers, each opening and closing 100 files: the soak shape.
    const Scenario s = parse_scenario(
        "0 repeat 300 0.1 pc\n"
        "0 connect WS{pc} user{pc}\n"
        "1 repeat 100 0.5 f\n"
        "0 open WS{pc} user{pc} D:\\Data\\ws{pc}\\doc{f}.xlsx perm=rw\n"
        "0.25 close WS{pc} user{pc} D:\\Data\\ws{pc}\\doc{f}.xlsx\n"
        "end\n"
        "end\n");
    EXPECT_TRUE(s.diags.empty());
    EXPECT_EQ(s.events.size(), 300u * (1 + 200));
}

TEST(Scenario, RepeatsThatMakeNoEventsStillFinish) {
    // None of these makes an event, so the event bound never stops them: a million turns of a
    // million turns of a bad line, or of an empty block. They stop at the expansion bound.
    for (const char* body : {"0 frobnicate\n", ""}) {
        const Scenario s = parse_scenario(std::string("0 connect Before u\n"
                                                      "0 repeat 1000000 0 a\n"
                                                      "0 repeat 1000000 0 b\n") +
                                          body + "end\nend\n1 connect After u\n");
        std::string bound;
        for (const auto& d : s.diags)
            if (d.reason.find("repeats run") != std::string::npos) bound = d.reason;
        EXPECT_EQ(bound, "repeats run more than 2000000 lines and turns; the rest of the scenario is ignored");
        ASSERT_EQ(s.events.size(), 1u);
        EXPECT_EQ(s.events[0].who, L"Before");
    }
    // A block that is never played is checked once, however many turns its inner blocks have.
    const Scenario s = parse_scenario(
        "0 repeat 0 0 a\n"
        "0 repeat 1000000 0 b\n"
        "0 repeat 1000000 0 c\n"
        "0 bogus\n"
        "end\n"
        "end\n"
        "end\n"
        "1 connect After u\n");
    ASSERT_EQ(s.diags.size(), 1u);
    EXPECT_NE(error_at(s, 4).find("unknown command"), std::string::npos);
    ASSERT_EQ(s.events.size(), 1u);
    EXPECT_EQ(s.events[0].who, L"After");
}

TEST(Scenario, ServersAndLinesAimedAtThem) {
    const Scenario s = parse_scenario(
        "0 server FS2 delay=1.5\n"
        "0 server \\\\FS3 down\n"
        "0 server FS4 down=bad-netpath delay=20\n"
        "0 server FS5 down=2114\n"
        "1 on FS2 connect PC1 bob\n"
        "1 ON \\\\fs2 refuse all denied forever\n"
        "2 repeat 2 1 n\n"
        "0 on FS{n} open PC1 bob D:\\x perm=rw\n"
        "end\n"
        "3 connect PC1 bob\n");
    EXPECT_TRUE(s.diags.empty()) << s.diags[0].reason;
    ASSERT_EQ(s.events.size(), 9u);
    EXPECT_EQ(s.events[0].op, Op::Server);
    EXPECT_EQ(s.events[0].who, L"FS2");
    EXPECT_EQ(s.events[0].server, L"") << "server names its server in its argument";
    EXPECT_EQ(s.events[0].span_ms, 1500);
    EXPECT_EQ(s.events[0].value, 0u) << "up";
    EXPECT_EQ(s.events[1].who, L"FS3");
    EXPECT_EQ(s.events[1].value, static_cast<uint32_t>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(s.events[1].span_ms, 0);
    EXPECT_EQ(s.events[2].value, static_cast<uint32_t>(ERROR_BAD_NETPATH));
    EXPECT_EQ(s.events[2].span_ms, 20000);
    EXPECT_EQ(s.events[3].value, static_cast<uint32_t>(NERR_ServerNotStarted));
    EXPECT_EQ(s.events[4].op, Op::Connect);
    EXPECT_EQ(s.events[4].server, L"FS2");
    EXPECT_EQ(s.events[4].who, L"PC1");
    EXPECT_EQ(s.events[5].op, Op::Refuse);
    EXPECT_EQ(s.events[5].server, L"fs2") << "without its backslashes; names compare later, ignoring case";
    EXPECT_EQ(s.events[6].server, L"FS1");
    EXPECT_EQ(s.events[6].path, L"D:\\x");
    EXPECT_EQ(s.events[7].server, L"FS2");
    EXPECT_EQ(s.events[7].at_ms, 3000);
    EXPECT_EQ(s.events[8].server, L"") << "a line without on is the local server's";
}

TEST(Scenario, BadServerLines) {
    const Scenario s = parse_scenario(
        "0 on FS2\n"                              // 1
        "0 on FS2 server FS3\n"                   // 2
        "0 on FS2 on FS3 connect A u\n"           // 3
        "0 on FS2 repeat 2 1\n"                   // 4
        "0 connect B u\n"                         // 5 plays once: the repeat above is not one
        "end\n"                                   // 6
        "0 on \\\\ connect A u\n"                 // 7
        "0 server FS5 delay=3600.001\n"           // 8
        "0 server FS5 delay=-1\n"                 // 9
        "0 server FS5 down down=denied\n"         // 10
        "0 server FS5 down=0\n"                   // 11
        "0 server FS5 down=more-data\n"           // 12
        "0 server FS5 down=nonsense\n"            // 13
        "0 server\n"                              // 14
        "0 on FS2 frobnicate\n"                   // 15
        "0 server FS5 up\n"                       // 16
        "0 server \"\"\n"                         // 17
        "0 on FS2 connect \"\" u\n"               // 18
        "0 server FS6 delay=3600\n");             // 19 fine
    EXPECT_EQ(error_at(s, 1), "on needs <server> <command> ...");
    EXPECT_EQ(error_at(s, 2), "server names the server itself; it is not aimed with on");
    EXPECT_EQ(error_at(s, 3), "on given twice");
    EXPECT_EQ(error_at(s, 4), "a repeat cannot be aimed with on; aim the lines inside it");
    EXPECT_EQ(error_at(s, 6), "end without repeat");
    EXPECT_EQ(error_at(s, 7), "empty server name");
    EXPECT_NE(error_at(s, 8).find("bad delay '3600.001' (seconds, 0 to 3600)"), std::string::npos) << error_at(s, 8);
    EXPECT_NE(error_at(s, 9).find("bad delay"), std::string::npos);
    EXPECT_EQ(error_at(s, 10), "down given twice");
    EXPECT_NE(error_at(s, 11).find("cannot be 0 or more-data"), std::string::npos);
    EXPECT_NE(error_at(s, 12).find("cannot be 0 or more-data"), std::string::npos);
    EXPECT_NE(error_at(s, 13).find("bad error code 'nonsense'"), std::string::npos);
    EXPECT_NE(error_at(s, 14).find("server needs <name>"), std::string::npos) << error_at(s, 14);
    EXPECT_NE(error_at(s, 15).find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_NE(error_at(s, 16).find("unexpected argument 'up'"), std::string::npos) << error_at(s, 16);
    EXPECT_EQ(error_at(s, 17), "empty server name");
    EXPECT_EQ(error_at(s, 18), "empty computer name");
    EXPECT_EQ(errors(s), 17u);
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[0].who, L"B");
    EXPECT_EQ(s.events[1].who, L"FS6");
    EXPECT_EQ(s.events[1].span_ms, 3600000);
}

TEST(Scenario, PermissionsAndAccounts) {
    const Scenario s = parse_scenario(
        "0 share A disk D:\\A sd=O:BAG:BAD:(D;;FA;;;S-1-5-21-1-2-3-4)\n"  // 1
        "0 share B disk D:\\B\n"                                          // 2
        "0 on FS2 permissions A \"O:BAG:BAD:\"\n"                         // 3
        "0 account bob S-1-5-21-1-2-3-4\n"                                // 4
        "0 share C disk D:\\C sd=O:BAG:BAD:(X;;FA;;;WD)\n"                // 5
        "0 share C disk D:\\C sd=\"\"\n"                                  // 6
        "0 permissions A garbage\n"                                       // 7
        "0 permissions A\n"                                               // 8
        "0 account \"\" S-1-5-21-1-2-3-4\n"                               // 9
        "0 account bob S-1-x\n"                                           // 10
        "0 refuse share-info more-data 5\n");                             // 11
    ASSERT_EQ(s.events.size(), 4u);
    EXPECT_EQ(s.events[0].blob.size(), 20u + 2 * 16 + 8 + 36) << "header, owner, group, a DACL of one entry";
    EXPECT_EQ(s.events[1].blob, nsim::default_share_sd());
    EXPECT_EQ(s.events[2].server, L"FS2");
    EXPECT_EQ(nsim::sid_text(s.events[3].blob), "S-1-5-21-1-2-3-4");
    EXPECT_NE(error_at(s, 5).find("bad SDDL 'O:BAG:BAD:(X;;FA;;;WD)' (not SDDL the system reads"), std::string::npos)
        << error_at(s, 5);
    EXPECT_EQ(error_at(s, 6), "bad SDDL '' (empty)");
    EXPECT_NE(error_at(s, 7).find("bad SDDL 'garbage'"), std::string::npos);
    EXPECT_EQ(error_at(s, 8), "permissions needs <share> <SDDL>");
    EXPECT_EQ(error_at(s, 9), "the anonymous user has no account");
    EXPECT_EQ(error_at(s, 10), "bad SID 'S-1-x' (S-1-5-21-...)");
    EXPECT_EQ(error_at(s, 11), "more-data only applies to enumerations");
}
