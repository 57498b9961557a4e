// The simulated server over time: sessions, files, shares, deletions and their effects,
// reconnecting clients and refusal windows.

#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "sim_test_util.h"
#include "text.h"

using namespace simtest;

namespace {

NET_API_STATUS del_session(nsim::Sim* s, const wchar_t* client, const wchar_t* user) {
    std::wstring c = client ? client : L"", u = user ? user : L"";
    return nsim::sim_session_del(s, nullptr, client ? c.data() : nullptr, user ? u.data() : nullptr);
}

NET_API_STATUS del_share(nsim::Sim* s, const wchar_t* name, DWORD reserved = 0) {
    std::wstring n = name;
    return nsim::sim_share_del(s, nullptr, n.data(), reserved);
}

const char* kOffice =
    "0 share Projects disk D:\\Shares\\Projects remark=\"Team files\"\n"
    "0 share Accounts disk D:\\Shares\\Accounts\n"
    "0 share C$ disk+special C:\\ remark=\"Default share\"\n"
    "1 connect PC17 bob\n"
    "2 connect PC20 Guest guest\n"
    "3 connect PC30 \"\"\n"
    "4 open PC17 bob D:\\Shares\\Projects\\plan.docx perm=rw locks=1\n"
    "5 open PC17 bob D:\\Shares\\Accounts\\q1.xlsx\n"
    "6 open PC20 Guest D:\\Shares\\Projects\\readme.txt\n";

}  // namespace

TEST(Server, EmptyServerAnswersWithNothing) {
    SimPtr sim("");
    LPBYTE buf = reinterpret_cast<LPBYTE>(&buf);  // must be overwritten
    DWORD read = 7, total = 7, resume = 0;
    EXPECT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 1, &buf, MAX_PREFERRED_LENGTH, &read,
                                     &total, &resume),
              ok);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(total, 0u);
    NET_API_STATUS st = 1;
    EXPECT_TRUE(files(sim.get(), &st).empty());
    EXPECT_EQ(st, ok);
    EXPECT_TRUE(shares(sim.get(), &st).empty());
    EXPECT_EQ(st, ok);
}

TEST(Server, EventsTakeEffectOnTime) {
    SimPtr sim(kOffice);
    sim.at(0.999);
    EXPECT_TRUE(sessions(sim.get()).empty());
    EXPECT_EQ(shares(sim.get()).size(), 3u);
    sim.at(1);
    ASSERT_EQ(sessions(sim.get()).size(), 1u);
    sim.at(10);
    const auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].cname, L"PC17");
    EXPECT_EQ(rows[0].user, L"bob");
    EXPECT_EQ(rows[0].flags, 0u);
    EXPECT_EQ(rows[1].cname, L"PC20");
    EXPECT_EQ(rows[1].flags, static_cast<DWORD>(SESS_GUEST));
    EXPECT_EQ(rows[2].cname, L"PC30");
    EXPECT_EQ(rows[2].user, L"") << "anonymous sessions have an empty user name";
}

TEST(Server, ConnectionAndIdleTimeAdvanceInWholeSeconds) {
    SimPtr sim(
        "1 connect PC17 bob\n"
        "5.5 open PC17 bob D:\\a.txt\n");
    sim.at(2.999);
    auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].time, 1u) << "1.999 s is truncated to 1";
    EXPECT_EQ(rows[0].idle, 1u);
    sim.at(6.4);
    rows = sessions(sim.get());
    EXPECT_EQ(rows[0].time, 5u);
    EXPECT_EQ(rows[0].idle, 0u) << "opening a file is activity";
    sim.at(3600 + 1);
    rows = sessions(sim.get());
    EXPECT_EQ(rows[0].time, 3600u);
    EXPECT_EQ(rows[0].idle, 3595u) << "3595.5 s since the open";
}

TEST(Server, NumOpensCountsTheSessionsFiles) {
    SimPtr sim(kOffice);
    sim.at(10);
    const auto rows = sessions(sim.get());
    EXPECT_EQ(rows[0].opens, 2u);
    EXPECT_EQ(rows[1].opens, 1u);
    EXPECT_EQ(rows[2].opens, 0u);
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].path, L"D:\\Shares\\Projects\\plan.docx");
    EXPECT_EQ(f[0].user, L"bob");
    EXPECT_EQ(f[0].perm, static_cast<DWORD>(PERM_FILE_READ | PERM_FILE_WRITE));
    EXPECT_EQ(f[0].locks, 1u);
    EXPECT_EQ(f[1].perm, static_cast<DWORD>(PERM_FILE_READ));
    EXPECT_EQ(f[2].user, L"Guest");
}

TEST(Server, FileIdsGrowWithEveryOpen) {
    SimPtr sim(
        "0 connect A u\n"
        "1 open A u D:\\1\n"
        "2 open A u D:\\2\n"
        "3 close A u D:\\1\n"
        "4 open A u D:\\3\n"
        "5 open A u D:\\1\n");
    sim.at(10);
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].id, 2u);
    EXPECT_EQ(f[1].id, 3u);
    EXPECT_EQ(f[2].id, 4u) << "a closed id is not reused; the counter only grows";
    EXPECT_EQ(f[2].path, L"D:\\1");
}

TEST(Server, NextIdRestartsLowButSkipsIdsInUse) {
    SimPtr sim(
        "0 connect A u\n"
        "0 next-id 4294967294\n"
        "1 open A u D:\\a\n"    // 4294967294
        "2 open A u D:\\b\n"    // 4294967295
        "3 open A u D:\\c\n"    // wraps: 0 is never an id -> 1
        "4 next-id 1\n"
        "5 open A u D:\\d\n");  // 1 is in use -> 2
    sim.at(10);
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].id, 4294967294u);
    EXPECT_EQ(f[1].id, 4294967295u);
    EXPECT_EQ(f[2].id, 1u);
    EXPECT_EQ(f[3].id, 2u);
}

TEST(Server, SessionDelEndsTheSessionWithItsFiles) {
    SimPtr sim(kOffice);
    sim.at(10);
    EXPECT_EQ(del_session(sim.get(), L"\\\\pc17", nullptr), ok) << "backslashes and case do not matter";
    auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].cname, L"PC20");
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].user, L"Guest");
    EXPECT_EQ(grep(sim.get(), "cause=NetSessionDel").size(), 3u) << "two closes and the session's end";
    EXPECT_EQ(grep(sim.get(), "call NetSessionDel server=null client=\"\\\\pc17\" user=null status=0 sessions=1 files=2")
                  .size(),
              1u);
    EXPECT_EQ(del_session(sim.get(), L"PC20", nullptr), ok) << "without backslashes too";
    EXPECT_EQ(sessions(sim.get()).size(), 1u);
}

TEST(Server, SessionDelErrors) {
    SimPtr sim(kOffice);
    sim.at(10);
    EXPECT_EQ(del_session(sim.get(), L"\\\\NOBODY", nullptr), static_cast<DWORD>(NERR_ClientNameNotFound));
    EXPECT_EQ(del_session(sim.get(), L"\\\\PC17", L"alice"), static_cast<DWORD>(NERR_UserNotFound));
    EXPECT_EQ(del_session(sim.get(), nullptr, L"alice"), static_cast<DWORD>(NERR_UserNotFound));
    EXPECT_EQ(del_session(sim.get(), nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(del_session(sim.get(), L"\\\\", L""), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(sessions(sim.get()).size(), 3u) << "nothing was deleted";
}

TEST(Server, SessionDelByUserOnly) {
    SimPtr sim(
        "0 connect PC1 bob\n"
        "0 connect PC2 BOB\n"
        "0 connect PC2 eve\n");
    sim.at(1);
    EXPECT_EQ(del_session(sim.get(), nullptr, L"Bob"), ok);
    const auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].user, L"eve");
}

TEST(Server, SessionDelOneUserOfAComputer) {
    SimPtr sim(
        "0 connect PC2 bob\n"
        "0 connect PC2 eve\n"
        "0 open PC2 bob D:\\b\n"
        "0 open PC2 eve D:\\e\n");
    sim.at(1);
    EXPECT_EQ(del_session(sim.get(), L"\\\\PC2", L"eve"), ok);
    const auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].user, L"bob");
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].path, L"D:\\b");
}

TEST(Server, FileClose) {
    SimPtr sim(kOffice);
    sim.at(10);
    const auto before = files(sim.get());
    ASSERT_EQ(before.size(), 3u);
    EXPECT_EQ(nsim::sim_file_close(sim.get(), nullptr, before[1].id), ok);
    EXPECT_EQ(nsim::sim_file_close(sim.get(), nullptr, before[1].id), static_cast<DWORD>(NERR_FileIdNotFound));
    EXPECT_EQ(nsim::sim_file_close(sim.get(), nullptr, 123456), static_cast<DWORD>(NERR_FileIdNotFound));
    EXPECT_EQ(files(sim.get()).size(), 2u);
    EXPECT_EQ(sessions(sim.get())[0].opens, 1u);
    EXPECT_EQ(grep(sim.get(), "cause=NetFileClose").size(), 1u);
}

TEST(Server, ScenarioCloseAndLock) {
    SimPtr sim(
        "0 connect A u\n"
        "0 open A u D:\\x.txt\n"
        "0 open A u D:\\X.TXT\n"
        "1 lock A u d:\\x.txt 4\n"
        "2 close A u D:\\x.txt\n"
        "3 close A u D:\\nothing.txt\n"
        "3 close B u D:\\x.txt\n");
    sim.at(1);
    auto f = files(sim.get());
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].locks, 4u) << "the earliest open of the path is the one meant";
    EXPECT_EQ(f[1].locks, 0u);
    sim.at(5);
    f = files(sim.get());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].id, 2u);
    EXPECT_EQ(grep(sim.get(), "skipped=\"file not open\"").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "skipped=\"no such session\"").size(), 1u);
}

TEST(Server, DisconnectFromTheScenario) {
    SimPtr sim(kOffice + std::string("20 disconnect PC17\n21 disconnect PC99\n"));
    sim.at(30);
    EXPECT_EQ(sessions(sim.get()).size(), 2u);
    EXPECT_EQ(files(sim.get()).size(), 1u);
    EXPECT_EQ(grep(sim.get(), "event disconnect computer=\"PC17\" sessions=1 files=2 line=10").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "event disconnect computer=\"PC99\" skipped=").size(), 1u);
}

TEST(Server, ShareDelRemovesTheShareAndItsFiles) {
    SimPtr sim(kOffice);
    sim.at(10);
    EXPECT_EQ(del_share(sim.get(), L"projects"), ok);
    const auto sh = shares(sim.get());
    ASSERT_EQ(sh.size(), 2u);
    EXPECT_EQ(sh[0].name, L"Accounts");
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 1u) << "files opened through the share went with it";
    EXPECT_EQ(f[0].path, L"D:\\Shares\\Accounts\\q1.xlsx");
    EXPECT_EQ(del_share(sim.get(), L"Projects"), static_cast<DWORD>(NERR_NetNameNotFound));
    EXPECT_EQ(del_share(sim.get(), L"Accounts", 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(nsim::sim_share_del(sim.get(), nullptr, nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Server, SharesServedAsDeclared) {
    SimPtr sim(
        "0 share ADMIN$ disk+special C:\\Windows remark=\"Remote Admin\" uses=1\n"
        "0 share IPC$ ipc+special \"\" remark=\"Remote IPC\"\n"
        "0 share Laser print LaserQ max=5\n"
        "0 share Tmp disk+temporary D:\\Tmp\n");
    sim.at(0);
    const auto sh = shares(sim.get());
    ASSERT_EQ(sh.size(), 4u);
    EXPECT_EQ(sh[0].type, static_cast<DWORD>(STYPE_DISKTREE | STYPE_SPECIAL));
    EXPECT_EQ(sh[0].uses, 1u);
    EXPECT_EQ(sh[0].path, L"C:\\Windows");
    EXPECT_EQ(sh[0].remark, L"Remote Admin");
    EXPECT_EQ(sh[0].max_uses, static_cast<DWORD>(SHI_USES_UNLIMITED));
    EXPECT_EQ(sh[1].type, static_cast<DWORD>(STYPE_IPC | STYPE_SPECIAL));
    EXPECT_EQ(sh[1].path, L"");
    EXPECT_EQ(sh[2].type, static_cast<DWORD>(STYPE_PRINTQ));
    EXPECT_EQ(sh[2].max_uses, 5u);
    EXPECT_EQ(sh[3].type, static_cast<DWORD>(STYPE_DISKTREE | STYPE_TEMPORARY));
    for (const auto& s : sh) {
        EXPECT_TRUE(s.sd_null);
        EXPECT_TRUE(s.passwd_null);
    }
}

TEST(Server, CurrentUsesFollowSessions) {
    SimPtr sim(
        "0 share C$ disk+special C:\\\n"
        "1 connect ADMINPC admin\n"
        "2 use ADMINPC admin C$\n"
        "3 uses C$ 2\n"
        "4 open ADMINPC admin C:\\Windows\\Temp\\x.log via=C$\n");
    sim.at(1);
    EXPECT_EQ(shares(sim.get())[0].uses, 0u);
    sim.at(2);
    EXPECT_EQ(shares(sim.get())[0].uses, 1u);
    sim.at(4);
    EXPECT_EQ(shares(sim.get())[0].uses, 3u);
    EXPECT_EQ(del_session(sim.get(), L"\\\\ADMINPC", nullptr), ok);
    EXPECT_EQ(shares(sim.get())[0].uses, 2u) << "the deleted session no longer uses C$";
}

TEST(Server, OpenFindsItsShareByLongestPath) {
    SimPtr sim(
        "0 share Data disk D:\\Data\n"
        "0 share Deep disk D:\\Data\\Deep\n"
        "0 share C$ disk+special D:\\\n"
        "0 connect A u\n"
        "0 open A u D:\\Data\\Deep\\x\n"
        "0 open A u D:\\Data\\y\n"
        "0 open A u D:\\DataOther\\z\n");
    sim.at(0);
    ASSERT_EQ(files(sim.get()).size(), 3u);
    EXPECT_EQ(grep(sim.get(), "path=\"D:\\Data\\Deep\\x\" perm=1 locks=0 share=\"Deep\"").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "path=\"D:\\Data\\y\" perm=1 locks=0 share=\"Data\"").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "path=\"D:\\DataOther\\z\" perm=1 locks=0 share=\"\"").size(), 1u)
        << "a prefix must end at a backslash; special shares only with via=";
    EXPECT_EQ(del_share(sim.get(), L"Deep"), ok);
    EXPECT_EQ(files(sim.get()).size(), 2u);
}

TEST(Server, ScenarioUnshareClosesFilesToo) {
    SimPtr sim(kOffice + std::string("20 unshare Projects\n21 unshare Nope\n"));
    sim.at(30);
    EXPECT_EQ(shares(sim.get()).size(), 2u);
    EXPECT_EQ(files(sim.get()).size(), 1u);
    EXPECT_EQ(grep(sim.get(), "event unshare name=\"Projects\" files=2 line=10").size(), 1u);
}

TEST(Server, ReconnectingComputerComesBackAfterItsDelay) {
    SimPtr sim(
        "0 connect PC66 mallory\n"
        "0 open PC66 mallory D:\\Shares\\Projects\\locked.xlsx perm=rw\n"
        "0 reconnect PC66 5\n");
    sim.at(10);
    EXPECT_EQ(del_session(sim.get(), L"\\\\PC66", nullptr), ok);
    EXPECT_TRUE(sessions(sim.get()).empty());
    sim.at(14.999);
    EXPECT_TRUE(sessions(sim.get()).empty());
    sim.at(15);
    auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].user, L"mallory");
    EXPECT_EQ(rows[0].time, 0u) << "a fresh session";
    EXPECT_TRUE(files(sim.get()).empty()) << "without reopen the files stay closed";
    // Again and again.
    sim.at(40);
    EXPECT_EQ(del_session(sim.get(), L"PC66", nullptr), ok);
    sim.at(45);
    EXPECT_EQ(sessions(sim.get()).size(), 1u);
    EXPECT_EQ(grep(sim.get(), "event connect computer=\"PC66\" user=\"mallory\" flags=0 cause=reconnect").size(), 2u);
}

TEST(Server, ReconnectCanReopenFilesWithNewIds) {
    SimPtr sim(
        "0 connect PC66 mallory\n"
        "0 open PC66 mallory D:\\a perm=rw locks=2\n"
        "0 open PC66 mallory D:\\b\n"
        "0 reconnect PC66 2 reopen\n");
    sim.at(1);
    const auto before = files(sim.get());
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(del_session(sim.get(), L"\\\\PC66", nullptr), ok);
    sim.at(3);
    const auto after = files(sim.get());
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].path, L"D:\\a");
    EXPECT_EQ(after[0].perm, static_cast<DWORD>(PERM_FILE_READ | PERM_FILE_WRITE));
    EXPECT_EQ(after[0].locks, 2u);
    EXPECT_GT(after[0].id, before[1].id) << "reopened files get new ids";
    EXPECT_EQ(sessions(sim.get())[0].opens, 2u);
}

TEST(Server, ReconnectOffAndScenarioDisconnectDoNotBringItBack) {
    SimPtr sim(
        "0 connect PC66 m\n"
        "0 connect PC67 n\n"
        "0 reconnect PC66 5\n"
        "0 reconnect PC67 5\n"
        "2 reconnect PC66 off\n"
        "3 disconnect PC67\n");
    sim.at(1);
    EXPECT_EQ(del_session(sim.get(), L"\\\\PC66", nullptr), ok);
    sim.at(20);
    EXPECT_TRUE(sessions(sim.get()).empty());
    EXPECT_EQ(grep(sim.get(), "skipped=\"reconnect is off\"").size(), 1u);
}

TEST(Server, RefusalWindows) {
    SimPtr sim(
        "0 connect A u\n"
        "10 refuse sessions denied 5\n"
        "20 refuse files 2114 forever every=3\n");
    sim.at(9.999);
    NET_API_STATUS st = 0;
    sessions(sim.get(), &st);
    EXPECT_EQ(st, ok);
    sim.at(10);
    sessions(sim.get(), &st);
    EXPECT_EQ(st, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    files(sim.get(), &st);
    EXPECT_EQ(st, ok) << "only the named enumeration is refused";
    sim.at(14.999);
    sessions(sim.get(), &st);
    EXPECT_EQ(st, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim.at(15);
    sessions(sim.get(), &st);
    EXPECT_EQ(st, ok);
    EXPECT_EQ(grep(sim.get(), "event refuse-end target=sessions code=5 line=2").size(), 1u);
    sim.at(20);
    std::vector<NET_API_STATUS> seen;
    for (int i = 0; i < 6; ++i) {
        files(sim.get(), &st);
        seen.push_back(st);
    }
    const std::vector<NET_API_STATUS> expect = {ok, ok, NERR_ServerNotStarted, ok, ok, NERR_ServerNotStarted};
    EXPECT_EQ(seen, expect);
}

TEST(Server, RefusedEnumerationLeavesNoBuffer) {
    SimPtr sim("0 connect A u\n0 refuse all denied forever\n");
    sim.at(1);
    LPBYTE buf = reinterpret_cast<LPBYTE>(&buf);
    DWORD read = 9, total = 9;
    EXPECT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 502, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(del_session(sim.get(), L"\\\\A", nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(nsim::sim_file_close(sim.get(), nullptr, 1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(del_share(sim.get(), L"X"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(sessions(sim.get()).size(), 0u);
    EXPECT_EQ(grep(sim.get(), "refused_by_line=2").size(), 5u);
}

TEST(Server, MoreDataWindowMakesTheCallerPage) {
    SimPtr sim(
        "0 repeat 5 0\n0 connect PC{i} u\nend\n"
        "1 refuse sessions more-data 10 page=2\n");
    sim.at(1);
    std::vector<std::wstring> names;
    DWORD resume = 0;
    std::vector<NET_API_STATUS> statuses;
    for (int guard = 0; guard < 10; ++guard) {
        LPBYTE buf = nullptr;
        DWORD read = 0, total = 0;
        const NET_API_STATUS st = nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 0, &buf,
                                                         MAX_PREFERRED_LENGTH, &read, &total, &resume);
        statuses.push_back(st);
        const auto* r = reinterpret_cast<const SESSION_INFO_0*>(buf);
        for (DWORD i = 0; i < read; ++i) names.push_back(r[i].sesi0_cname);
        EXPECT_EQ(nsim::sim_buffer_free(sim.get(), buf), ok) << "the buffer must be freed even with ERROR_MORE_DATA";
        if (st != ERROR_MORE_DATA) break;
    }
    const std::vector<NET_API_STATUS> expect = {ERROR_MORE_DATA, ERROR_MORE_DATA, ok};
    EXPECT_EQ(statuses, expect);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"PC1", L"PC2", L"PC3", L"PC4", L"PC5"}));
    EXPECT_EQ(resume, 0u);
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}

TEST(Server, PrefmaxlenPagesThroughWholeEntries) {
    SimPtr sim("0 repeat 4 0\n0 open A u D:\\f{i}\nend\n0 connect A u\n");
    // The connect sorts after the opens at the same time: the opens are skipped.
    sim.at(0);
    EXPECT_TRUE(files(sim.get()).empty());
    SimPtr sim2("0 connect A u\n0 repeat 4 0\n0 open A u D:\\f{i}\nend\n");
    sim2.at(0);
    const DWORD one = sizeof(FILE_INFO_3) + 2 * 6 + 2 * 2;  // record, "D:\fN", "u" with terminators
    DWORD_PTR resume = 0;
    std::vector<DWORD> ids;
    std::vector<DWORD> per_call;
    for (int guard = 0; guard < 10; ++guard) {
        LPBYTE buf = nullptr;
        DWORD read = 0, total = 0;
        const NET_API_STATUS st = nsim::sim_file_enum(sim2.get(), nullptr, nullptr, nullptr, 3, &buf, one * 2 + 1,
                                                      &read, &total, &resume);
        per_call.push_back(read);
        const auto* r = reinterpret_cast<const FILE_INFO_3*>(buf);
        for (DWORD i = 0; i < read; ++i) ids.push_back(r[i].fi3_id);
        nsim::sim_buffer_free(sim2.get(), buf);
        if (st != ERROR_MORE_DATA) break;
    }
    EXPECT_EQ(per_call, (std::vector<DWORD>{2, 2}));
    EXPECT_EQ(ids, (std::vector<DWORD>{1, 2, 3, 4}));
    // A prefmaxlen too small for one entry still moves one at a time.
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    resume = 0;
    EXPECT_EQ(nsim::sim_file_enum(sim2.get(), nullptr, nullptr, nullptr, 3, &buf, 1, &read, &total, &resume),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(total, 4u);
    EXPECT_EQ(resume, 1u);
    nsim::sim_buffer_free(sim2.get(), buf);
}

TEST(Server, EnumerationFilters) {
    SimPtr sim(
        "0 connect PC1 bob\n"
        "0 connect PC2 bob\n"
        "0 connect PC2 eve\n"
        "0 open PC1 bob D:\\Shares\\Projects\\a\n"
        "0 open PC2 bob D:\\Shares\\Projects2\\b\n"
        "0 open PC2 eve D:\\Shares\\Projects\\c\n");
    sim.at(1);
    auto count_sessions = [&](const wchar_t* client, const wchar_t* user, NET_API_STATUS* st) {
        std::wstring c = client ? client : L"", u = user ? user : L"";
        LPBYTE buf = nullptr;
        DWORD read = 0, total = 0;
        *st = nsim::sim_session_enum(sim.get(), nullptr, client ? c.data() : nullptr, user ? u.data() : nullptr, 10,
                                     &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
        nsim::sim_buffer_free(sim.get(), buf);
        return read;
    };
    NET_API_STATUS st = 0;
    EXPECT_EQ(count_sessions(L"\\\\pc2", nullptr, &st), 2u);
    EXPECT_EQ(count_sessions(L"PC2", L"EVE", &st), 1u);
    EXPECT_EQ(count_sessions(nullptr, L"bob", &st), 2u);
    EXPECT_EQ(count_sessions(L"\\\\PC9", nullptr, &st), 0u);
    EXPECT_EQ(st, static_cast<DWORD>(NERR_ClientNameNotFound));
    EXPECT_EQ(count_sessions(L"\\\\PC1", L"eve", &st), 0u);
    EXPECT_EQ(st, static_cast<DWORD>(NERR_UserNotFound));

    auto count_files = [&](const wchar_t* base, const wchar_t* user) {
        std::wstring b = base ? base : L"", u = user ? user : L"";
        LPBYTE buf = nullptr;
        DWORD read = 0, total = 0;
        EXPECT_EQ(nsim::sim_file_enum(sim.get(), nullptr, base ? b.data() : nullptr, user ? u.data() : nullptr, 2,
                                      &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr),
                  ok);
        nsim::sim_buffer_free(sim.get(), buf);
        return read;
    };
    EXPECT_EQ(count_files(L"d:\\shares\\projects", nullptr), 2u) << "Projects2 is another folder";
    EXPECT_EQ(count_files(L"D:\\Shares\\", nullptr), 3u);
    EXPECT_EQ(count_files(nullptr, L"bob"), 2u);
    EXPECT_EQ(count_files(nullptr, L"\\\\PC2"), 2u) << "\\\\name filters by client";
    EXPECT_EQ(count_files(L"D:\\Shares\\Projects", L"eve"), 1u);
    EXPECT_EQ(count_files(L"E:\\", nullptr), 0u);
}

TEST(Server, UnsupportedLevelsAndBadArguments) {
    SimPtr sim("0 connect A u\n");
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    for (DWORD level : {3u, 11u, 501u, 503u, 0xFFFFFFFFu})
        EXPECT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, level, &buf, MAX_PREFERRED_LENGTH,
                                         &read, &total, nullptr),
                  static_cast<DWORD>(ERROR_INVALID_LEVEL));
    for (DWORD level : {0u, 1u, 4u, 50u})
        EXPECT_EQ(nsim::sim_file_enum(sim.get(), nullptr, nullptr, nullptr, level, &buf, MAX_PREFERRED_LENGTH, &read,
                                      &total, nullptr),
                  static_cast<DWORD>(ERROR_INVALID_LEVEL));
    for (DWORD level : {3u, 10u, 501u, 503u, 1005u})
        EXPECT_EQ(nsim::sim_share_enum(sim.get(), nullptr, level, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr),
                  static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 1, nullptr, MAX_PREFERRED_LENGTH, &read,
                                     &total, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 1, &buf, MAX_PREFERRED_LENGTH, nullptr, &total, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A caller string with no terminator in sight is refused, not read forever.
    std::wstring endless(nsim::kMaxArg + 10, L'x');
    endless.push_back(L'\0');
    EXPECT_EQ(nsim::sim_session_enum(sim.get(), nullptr, endless.data(), nullptr, 1, &buf, MAX_PREFERRED_LENGTH,
                                     &read, &total, nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(grep(sim.get(), "client=<too-long>").size(), 1u);
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}

TEST(Server, EventsAreJournaledAsTheyTakeEffect) {
    SimPtr sim(kOffice + std::string("30 note demo over\n"));
    sim.at(5);
    sessions(sim.get());
    EXPECT_EQ(grep(sim.get(), "t=1000 event connect computer=\"PC17\" user=\"bob\" flags=0 line=4").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "t=2000 event connect computer=\"PC20\" user=\"Guest\" flags=1 line=5").size(), 1u);
    EXPECT_EQ(grep(sim.get(),
                   "t=4000 event open id=1 computer=\"PC17\" user=\"bob\" path=\"D:\\Shares\\Projects\\plan.docx\" "
                   "perm=3 locks=1 share=\"Projects\" line=7")
                  .size(),
              1u);
    EXPECT_TRUE(grep(sim.get(), "event open id=3").empty()) << "not yet due";
    EXPECT_TRUE(grep(sim.get(), "note").empty());
    sim.at(31);
    sessions(sim.get());
    EXPECT_EQ(grep(sim.get(), "t=30000 event note text=\"demo over\" line=10").size(), 1u);
    // Time order holds through the whole journal.
    int64_t last = -1;
    for (const auto& l : nsim::sim_journal_lines(sim.get())) {
        const size_t p = l.find(" t=");
        ASSERT_NE(p, std::string::npos) << l;
        const int64_t t = std::stoll(l.substr(p + 3));
        EXPECT_GE(t, last) << l;
        last = t;
    }
}

TEST(Server, CallsAreJournaledWithTheirArguments) {
    SimPtr sim(kOffice);
    sim.at(10);
    std::wstring client = L"\\\\PC20";
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0, resume = 0;
    EXPECT_EQ(nsim::sim_session_enum(sim.get(), nullptr, client.data(), nullptr, 1, &buf, 4096, &read, &total, &resume),
              ok);
    char expect[200];
    std::snprintf(expect, sizeof expect,
                  "t=10000 call NetSessionEnum server=null client=\"\\\\PC20\" user=null level=1 prefmaxlen=4096 "
                  "resume=0 status=0 entries=1 total=1 buffer=0x%llx next=0",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(buf)));
    EXPECT_EQ(grep(sim.get(), expect).size(), 1u);
    nsim::sim_buffer_free(sim.get(), buf);
    EXPECT_EQ(grep(sim.get(), "call NetApiBufferFree buffer=0x").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "status=0 outstanding=0").size(), 1u);
    nsim::sim_file_close(sim.get(), nullptr, 77);
    EXPECT_EQ(grep(sim.get(), "call NetFileClose server=null id=77 status=2314").size(), 1u);
    del_share(sim.get(), L"Nope");
    EXPECT_EQ(grep(sim.get(), "call NetShareDel server=null name=\"Nope\" reserved=0 status=2310 files=0").size(), 1u);
}

TEST(Server, LoadIsJournaledWithErrors) {
    SimPtr sim("0 connect A u\n0 frobnicate\n");
    const auto load = grep(sim.get(), "load scenario");
    ASSERT_EQ(load.size(), 1u);
    EXPECT_NE(load[0].find("path=\"test.scenario\" events=1 errors=1 warnings=0"), std::string::npos) << load[0];
    EXPECT_EQ(grep(sim.get(), "error line=2 reason=\"unknown command 'frobnicate'\"").size(), 1u);
}

TEST(Server, SoakManyComputersAndOpens) {
    SimPtr sim(
        "0 share Data disk D:\\Data\n"
        "0 repeat 300 0.1 pc\n"
        "0 connect WS{pc} user{pc}\n"
        "1 repeat 100 0.5 f\n"
        "0 open WS{pc} user{pc} D:\\Data\\ws{pc}\\doc{f}.xlsx perm=rw\n"
        "end\n"
        "end\n"
        "200 repeat 300 0 pc\n"
        "0 disconnect WS{pc}\n"
        "end\n");
    sim.at(100);
    const auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 300u);
    size_t opens = 0;
    for (const auto& r : rows) opens += r.opens;
    EXPECT_EQ(opens, 30000u);
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 30000u);
    EXPECT_EQ(f.back().id, 30000u);
    EXPECT_EQ(del_session(sim.get(), L"\\\\WS150", nullptr), ok);
    EXPECT_EQ(files(sim.get()).size(), 29900u);
    sim.at(300);
    EXPECT_TRUE(sessions(sim.get()).empty());
    EXPECT_TRUE(files(sim.get()).empty());
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}

TEST(Server, SafeFromSeveralThreads) {
    SimPtr sim(
        "0 share Data disk D:\\Data\n"
        "0 repeat 50 0.01 pc\n"
        "0 connect WS{pc} u\n"
        "0 open WS{pc} u D:\\Data\\{pc}.txt\n"
        "end\n");
    sim.at(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if (t == 0 && i % 20 == 0) {
                    std::wstring c = L"\\\\WS" + std::to_wstring(i / 20 + 1);
                    nsim::sim_session_del(sim.get(), nullptr, c.data(), nullptr);
                }
                sessions(sim.get());
                files(sim.get());
                shares(sim.get());
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(sessions(sim.get()).size(), 40u);
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}

TEST(OfficeDemo, PlaysCleanlyWithEverythingItPromises) {
    nsim::SimOptions o;
    o.manual_clock = true;
    o.journal_to_memory = true;
    nsim::Sim* s = nsim::sim_create(o);
    nsim::sim_load_file(s, native_path(NETAPI_SIM_SOURCE_DIR "/office.scenario"));
    const auto diags = nsim::sim_diagnostics(s);
    EXPECT_TRUE(diags.empty()) << diags[0].line << ": " << diags[0].reason;
    auto find = [](const std::vector<SessionRow>& rows, const wchar_t* name) -> const SessionRow* {
        for (const auto& r : rows)
            if (r.cname == name) return &r;
        return nullptr;
    };
    auto share_uses = [&](const wchar_t* name) -> DWORD {
        for (const auto& r : shares(s))
            if (r.name == name) return r.uses;
        return 0xFFFFFFFFu;
    };

    nsim::sim_set_time(s, 25000);
    auto rows = sessions(s);
    EXPECT_EQ(rows.size(), 5u);
    ASSERT_NE(find(rows, L"RECEPTION"), nullptr);
    EXPECT_EQ(find(rows, L"RECEPTION")->flags, static_cast<DWORD>(SESS_GUEST));
    ASSERT_NE(find(rows, L"10.0.0.57"), nullptr);
    EXPECT_EQ(find(rows, L"10.0.0.57")->user, L"");
    EXPECT_EQ(files(s).front().id, 4513u);

    nsim::sim_set_time(s, 65000);
    EXPECT_EQ(share_uses(L"C$"), 1u) << "the administrator is on C$";
    // Kick Dave: he is back 8 s later with his budget open again.
    nsim::sim_set_time(s, 100000);
    std::wstring dave = L"\\\\PC-DAVE";
    EXPECT_EQ(nsim::sim_session_del(s, nullptr, dave.data(), nullptr), ok);
    EXPECT_EQ(find(sessions(s), L"PC-DAVE"), nullptr);
    nsim::sim_set_time(s, 108000);
    rows = sessions(s);
    ASSERT_NE(find(rows, L"PC-DAVE"), nullptr);
    EXPECT_EQ(find(rows, L"PC-DAVE")->opens, 1u);
    nsim::sim_set_time(s, 160000);
    EXPECT_EQ(share_uses(L"C$"), 0u) << "the administrator has gone";

    nsim::sim_set_time(s, 205000);
    NET_API_STATUS st = 0;
    sessions(s, &st);
    EXPECT_EQ(st, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    nsim::sim_set_time(s, 400000);
    sessions(s, &st);
    EXPECT_EQ(st, ok);
    EXPECT_EQ(grep(s, "event note text=\"end of the office day; what is still open stays open\"").size(), 1u);
    EXPECT_TRUE(grep(s, "skipped=").empty()) << grep(s, "skipped=")[0];
    nsim::sim_destroy(s);
}
