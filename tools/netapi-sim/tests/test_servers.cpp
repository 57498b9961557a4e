// Several servers by name: each with its own tables, reached by the name a call gives, each
// answering after its own delay, down or refusing on its own, and a slow one holding up no other.

#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim_test_util.h"

using namespace simtest;

namespace {

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<DWORD> ids(const std::vector<FileRow>& rows) {
    std::vector<DWORD> out;
    for (const auto& r : rows) out.push_back(r.id);
    return out;
}

std::vector<std::wstring> names(const std::vector<SessionRow>& rows) {
    std::vector<std::wstring> out;
    for (const auto& r : rows) out.push_back(r.cname + L"/" + r.user);
    return out;
}

NET_API_STATUS del_session(nsim::Sim* s, ServerName server, const wchar_t* client) {
    std::wstring c = client;
    return nsim::sim_session_del(s, server.get(), c.data(), nullptr);
}

NET_API_STATUS close_file(nsim::Sim* s, ServerName server, DWORD id) { return nsim::sim_file_close(s, server.get(), id); }

NET_API_STATUS del_share(nsim::Sim* s, ServerName server, const wchar_t* name) {
    std::wstring n = name;
    return nsim::sim_share_del(s, server.get(), n.data(), 0);
}

// All six calls against one server: the three enumerations, then the three deletions. A
// failed enumeration must leave no buffer and zero counts.
std::vector<NET_API_STATUS> all_calls(nsim::Sim* s, ServerName server) {
    std::vector<NET_API_STATUS> out;
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    auto enumerate = [&](auto call) {
        buf = reinterpret_cast<LPBYTE>(&buf);
        read = total = 9;
        const NET_API_STATUS st = call();
        out.push_back(st);
        if (st == NERR_Success) {
            EXPECT_EQ(nsim::sim_buffer_free(s, buf), ok);
            return;
        }
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(total, 0u);
    };
    enumerate([&] {
        return nsim::sim_session_enum(s, server.get(), nullptr, nullptr, 10, &buf, MAX_PREFERRED_LENGTH, &read, &total,
                                      nullptr);
    });
    enumerate([&] {
        return nsim::sim_file_enum(s, server.get(), nullptr, nullptr, 3, &buf, MAX_PREFERRED_LENGTH, &read, &total,
                                   nullptr);
    });
    enumerate(
        [&] { return nsim::sim_share_enum(s, server.get(), 1, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr); });
    out.push_back(del_session(s, server, L"\\\\PC1"));
    out.push_back(close_file(s, server, 1));
    out.push_back(del_share(s, server, L"Projects"));
    return out;
}

std::vector<NET_API_STATUS> six(NET_API_STATUS st) { return std::vector<NET_API_STATUS>(6, st); }

// The same computers, users, paths and share names on the local server and on FS2.
const char* kTwoServers =
    "0 server FS2\n"                                                    // 1
    "0 server \\\\fs3 delay=0.01\n"                                     // 2
    "0 share Projects disk D:\\Projects\n"                              // 3
    "0 on FS2 share Projects disk E:\\Projects\n"                       // 4
    "0 on FS2 share Scans disk E:\\Scans\n"                             // 5
    "1 connect PC17 bob\n"                                              // 6
    "1 on fs2 connect PC17 bob\n"                                       // 7
    "1 on \\\\FS2 connect PC18 eve\n"                                   // 8
    "2 open PC17 bob D:\\Projects\\plan.docx\n"                         // 9
    "2 on FS2 open PC17 bob E:\\Projects\\plan.docx\n"                  // 10
    "2 on FS2 open PC18 eve E:\\Scans\\b.pdf\n"                         // 11
    "2 on FS2 reconnect PC17 5\n";                                      // 12

}  // namespace

TEST(Servers, EachNameHasItsOwnTables) {
    SimPtr sim(kTwoServers);
    sim.at(3);
    EXPECT_EQ(names(sessions(sim.get())), (std::vector<std::wstring>{L"PC17/bob"}));
    for (const wchar_t* fs2 : {L"\\\\FS2", L"fs2", L"FS2", L"\\\\Fs2"})
        EXPECT_EQ(names(sessions(sim.get(), nullptr, fs2)), (std::vector<std::wstring>{L"PC17/bob", L"PC18/eve"}))
            << "with or without \\\\, in any case";
    NET_API_STATUS st = 1;
    EXPECT_TRUE(sessions(sim.get(), &st, L"\\\\FS3").empty());
    EXPECT_EQ(st, ok) << "a declared server with nothing on it";

    // Each server counts its own file ids.
    EXPECT_EQ(ids(files(sim.get())), (std::vector<DWORD>{1}));
    const auto remote_files = files(sim.get(), nullptr, L"\\\\FS2");
    EXPECT_EQ(ids(remote_files), (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(remote_files[0].path, L"E:\\Projects\\plan.docx");
    EXPECT_EQ(sessions(sim.get())[0].opens, 1u);

    const auto local_shares = shares(sim.get());
    ASSERT_EQ(local_shares.size(), 1u);
    EXPECT_EQ(local_shares[0].path, L"D:\\Projects");
    const auto remote_shares = shares(sim.get(), nullptr, L"FS2");
    ASSERT_EQ(remote_shares.size(), 2u);
    EXPECT_EQ(remote_shares[0].path, L"E:\\Projects");
    EXPECT_EQ(remote_shares[1].name, L"Scans");

    // The journal: a remote server's events name it; the local server's lines are as they were.
    EXPECT_EQ(grep(sim.get(), "t=0 event server server=\"FS2\" delay=0 state=up line=1").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "t=0 event server server=\"fs3\" delay=10 state=up line=2").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "t=1000 event connect computer=\"PC17\" user=\"bob\" flags=0 line=6").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "t=1000 event connect server=\"FS2\" computer=\"PC17\" user=\"bob\" flags=0 line=7")
                  .size(),
              1u);
    EXPECT_EQ(grep(sim.get(), "event open id=1 computer=\"PC17\" user=\"bob\" path=\"D:\\Projects\\plan.docx\" perm=1 "
                              "locks=0 share=\"Projects\" line=9")
                  .size(),
              1u);
    EXPECT_EQ(grep(sim.get(), "event open server=\"FS2\" id=2 computer=\"PC18\" user=\"eve\" path=\"E:\\Scans\\b.pdf\" "
                              "perm=1 locks=0 share=\"Scans\" line=11")
                  .size(),
              1u);
    EXPECT_TRUE(grep(sim.get(), "server=\"FS2\" computer=\"PC17\" user=\"bob\" flags=0 line=6").empty());
    // A local call line ends where it always did; a remote one adds the delay it waited.
    const auto local_calls = grep(sim.get(), "call NetSessionEnum server=null ");
    ASSERT_FALSE(local_calls.empty());
    for (const auto& l : local_calls) EXPECT_EQ(l.substr(l.size() - 10), " next=null") << l;
    EXPECT_EQ(grep(sim.get(), "call NetSessionEnum server=\"\\\\FS3\" client=null user=null level=1 prefmaxlen=max "
                              "resume=null status=0 entries=0 total=0 buffer=null next=null delay=10")
                  .size(),
              1u);
}

TEST(Servers, DeletionsActOnTheNamedServerOnly) {
    SimPtr sim(kTwoServers);
    sim.at(3);
    // The same file id on two servers: closing it on FS2 leaves the local one open.
    EXPECT_EQ(close_file(sim.get(), L"\\\\FS2", 1), ok);
    EXPECT_EQ(ids(files(sim.get(), nullptr, L"FS2")), (std::vector<DWORD>{2}));
    EXPECT_EQ(ids(files(sim.get())), (std::vector<DWORD>{1}));
    EXPECT_EQ(close_file(sim.get(), L"FS2", 1), static_cast<DWORD>(NERR_FileIdNotFound));
    EXPECT_EQ(grep(sim.get(), "event close server=\"FS2\" id=1 computer=\"PC17\" user=\"bob\" "
                              "path=\"E:\\Projects\\plan.docx\" cause=NetFileClose")
                  .size(),
              1u);

    // Ending PC17's session on FS2 leaves the local PC17; FS2's rule brings it back on FS2 only.
    EXPECT_EQ(del_session(sim.get(), L"\\\\FS2", L"\\\\PC17"), ok);
    EXPECT_EQ(names(sessions(sim.get(), nullptr, L"FS2")), (std::vector<std::wstring>{L"PC18/eve"}));
    EXPECT_EQ(names(sessions(sim.get())), (std::vector<std::wstring>{L"PC17/bob"}));
    EXPECT_EQ(grep(sim.get(), "event reconnect-due server=\"FS2\" computer=\"PC17\" at=8000 sessions=1 "
                              "cause=NetSessionDel")
                  .size(),
              1u);
    EXPECT_EQ(del_session(sim.get(), nullptr, L"\\\\PC17"), ok);
    EXPECT_EQ(del_session(sim.get(), nullptr, L"\\\\PC18"), static_cast<DWORD>(NERR_ClientNameNotFound))
        << "PC18 is on FS2 only";
    sim.at(8);
    EXPECT_EQ(names(sessions(sim.get(), nullptr, L"FS2")), (std::vector<std::wstring>{L"PC18/eve", L"PC17/bob"}));
    EXPECT_TRUE(sessions(sim.get()).empty()) << "the local server has no reconnect rule for PC17";
    EXPECT_EQ(grep(sim.get(), "event connect server=\"FS2\" computer=\"PC17\" user=\"bob\" flags=0 cause=reconnect")
                  .size(),
              1u);

    // Removing FS2's Projects leaves the local share of that name, and the files under it.
    EXPECT_EQ(del_share(sim.get(), L"FS2", L"projects"), ok);
    const auto remote_shares = shares(sim.get(), nullptr, L"FS2");
    ASSERT_EQ(remote_shares.size(), 1u);
    EXPECT_EQ(remote_shares[0].name, L"Scans");
    ASSERT_EQ(shares(sim.get()).size(), 1u);
    EXPECT_EQ(del_share(sim.get(), L"FS2", L"Projects"), static_cast<DWORD>(NERR_NetNameNotFound));
    EXPECT_EQ(del_share(sim.get(), nullptr, L"Projects"), ok);
}

TEST(Servers, DownAndRefusingServersAnswerOnTheirOwn) {
    SimPtr sim(
        "0 server FS2 delay=0.2 down\n"                  // 1
        "0 server FS3\n"                                 // 2
        "0 server FS4 down=bad-netpath\n"                // 3
        "0 on FS2 connect PC1 u\n"                       // 4 its tables are kept while it is down
        "0 on FS3 share Projects disk E:\\Projects\n"    // 5
        "0 on FS3 connect PC1 u\n"                       // 6
        "0 on FS3 refuse all denied 10\n"                // 7
        "0 share Projects disk D:\\Projects\n"           // 8
        "0 connect PC1 u\n"                              // 9
        "20 server FS2\n");                              // 10 back, answering at once
    sim.at(1);
    auto start = Clock::now();
    EXPECT_EQ(all_calls(sim.get(), L"\\\\FS2"), six(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_GE(ms_since(start), 6 * 200 - 60) << "each call waits its delay before it fails";
    EXPECT_EQ(grep(sim.get(), "call NetSessionEnum server=\"\\\\FS2\" client=null user=null level=10 prefmaxlen=max "
                              "resume=null status=1722 entries=0 total=0 buffer=null next=null delay=200 "
                              "reason=\"server down\"")
                  .size(),
              1u);
    EXPECT_EQ(grep(sim.get(), "call NetFileClose server=\"\\\\FS2\" id=1 status=1722 delay=200 reason=\"server down\"")
                  .size(),
              1u);
    EXPECT_EQ(all_calls(sim.get(), L"FS4"), six(ERROR_BAD_NETPATH));
    EXPECT_EQ(all_calls(sim.get(), L"FS3"), six(ERROR_ACCESS_DENIED));
    EXPECT_EQ(grep(sim.get(), "t=0 event refuse server=\"FS3\" target=sessions,files,shares,session-del,file-close,"
                              "share-del,share-info,share-set,user-info code=5 every=1 until=10000 line=7")
                  .size(),
              1u);
    EXPECT_EQ(grep(sim.get(), "refused_by_line=7 delay=0").size(), 6u);
    // Meanwhile the local server answers as ever, and its deletions work.
    EXPECT_EQ(all_calls(sim.get(), nullptr),
              (std::vector<NET_API_STATUS>{ok, ok, ok, ok, NERR_FileIdNotFound, ok}));

    sim.at(20);
    start = Clock::now();
    EXPECT_EQ(names(sessions(sim.get(), nullptr, L"FS2")), (std::vector<std::wstring>{L"PC1/u"}));
    EXPECT_LT(ms_since(start), 150) << "redeclared without a delay";
    EXPECT_EQ(names(sessions(sim.get(), nullptr, L"FS3")), (std::vector<std::wstring>{L"PC1/u"}));
    EXPECT_EQ(grep(sim.get(), "t=10000 event refuse-end server=\"FS3\" target=sessions,files,shares,session-del,"
                              "file-close,share-del,share-info,share-set,user-info code=5 line=7")
                  .size(),
              1u);
    EXPECT_EQ(grep(sim.get(), "t=20000 event server server=\"FS2\" delay=0 state=up line=10").size(), 1u);
}

TEST(Servers, AnUndeclaredNameIsABadNetpathAndTheLocalNamesAreLocal) {
    SimPtr sim(
        "0 connect PC1 u\n"                      // 1
        "0 on FS9 connect PC2 u\n"               // 2 not declared yet
        "1 server FS9\n"                         // 3
        "2 on FS9 connect PC3 u\n"               // 4
        "2 server here.corp.example\n",          // 5 a declared name wins over the local machine's
        {L"HERE", L"\\\\here.corp.example"});
    sim.at(0.5);
    const auto start = Clock::now();
    for (const wchar_t* name : {L"\\\\FS9", L"NOSUCH", L"\\\\", L"\\\\FS9\\Projects"})
        EXPECT_EQ(all_calls(sim.get(), name), six(ERROR_BAD_NETPATH)) << name;
    EXPECT_LT(ms_since(start), 1000) << "an unknown name fails without a delay";
    EXPECT_EQ(grep(sim.get(), "t=0 event connect server=\"FS9\" skipped=\"no such server\" line=2").size(), 1u);
    EXPECT_EQ(grep(sim.get(), "call NetShareDel server=\"NOSUCH\" name=\"Projects\" reserved=0 status=53 files=0 "
                              "delay=0 reason=\"no such server\"")
                  .size(),
              1u);
    // The local machine's own names reach the local server, and are journaled as local calls.
    for (const wchar_t* name : {L"\\\\HERE", L"here", L"HERE.corp.example", L""})
        EXPECT_EQ(names(sessions(sim.get(), nullptr, name)), (std::vector<std::wstring>{L"PC1/u"})) << name;
    const auto here = grep(sim.get(), "call NetSessionEnum server=\"\\\\HERE\" client=null user=null level=1 "
                                      "prefmaxlen=max resume=null status=0 entries=1 total=1 buffer=0x");
    ASSERT_EQ(here.size(), 1u);
    EXPECT_TRUE(here[0].ends_with(" next=null")) << here[0];

    sim.at(2);
    EXPECT_EQ(names(sessions(sim.get(), nullptr, L"FS9")), (std::vector<std::wstring>{L"PC3/u"}))
        << "declared at 1 s: the line before that was skipped";
    NET_API_STATUS st = 1;
    EXPECT_TRUE(sessions(sim.get(), &st, L"here.corp.example").empty());
    EXPECT_EQ(st, ok) << "the declared server answers for that name now";
    EXPECT_EQ(names(sessions(sim.get(), nullptr, L"HERE")), (std::vector<std::wstring>{L"PC1/u"}));
}

TEST(Servers, ASlowServerHoldsUpNoOther) {
    SimPtr sim(
        "0 server SLOW delay=2\n"
        "0 server SLOW2 delay=2\n"
        "0 server FAST\n"
        "0 connect PC1 u\n"
        "0 on FAST connect PC2 u\n"
        "0 on SLOW connect PC3 u\n"
        "0 on SLOW2 connect PC4 u\n");
    sim.at(1);
    std::atomic<int> slow_done{0};
    std::vector<std::wstring> slow_seen, slow2_seen;
    int64_t slow_ms = 0, slow2_ms = 0;
    const auto start = Clock::now();
    std::thread slow([&] {
        slow_seen = names(sessions(sim.get(), nullptr, L"\\\\SLOW"));
        slow_ms = ms_since(start);
        ++slow_done;
    });
    std::thread slow2([&] {
        slow2_seen = names(sessions(sim.get(), nullptr, L"\\\\SLOW2"));
        slow2_ms = ms_since(start);
        ++slow_done;
    });
    // Both slow calls are waiting by now. The local server and FAST answer at once meanwhile,
    // deletions included.
    Sleep(300);
    const auto fast_start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(names(sessions(sim.get())), (std::vector<std::wstring>{L"PC1/u"}));
        EXPECT_EQ(names(sessions(sim.get(), nullptr, L"\\\\FAST")), (std::vector<std::wstring>{L"PC2/u"}));
        EXPECT_EQ(close_file(sim.get(), L"FAST", 7), static_cast<DWORD>(NERR_FileIdNotFound));
    }
    const int64_t fast_ms = ms_since(fast_start);
    const int done_during_fast_calls = slow_done.load();
    slow.join();
    slow2.join();
    const int64_t all_ms = ms_since(start);
    EXPECT_LT(fast_ms, 1000) << "60 calls to the local server and FAST were held up";
    EXPECT_EQ(done_during_fast_calls, 0) << "the slow calls answered early";
    EXPECT_EQ(slow_seen, (std::vector<std::wstring>{L"PC3/u"}));
    EXPECT_EQ(slow2_seen, (std::vector<std::wstring>{L"PC4/u"}));
    EXPECT_GE(slow_ms, 1990);
    EXPECT_GE(slow2_ms, 1990);
    EXPECT_LT(all_ms, 3500) << "two slow servers called at once wait side by side, not one after the other";
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}
