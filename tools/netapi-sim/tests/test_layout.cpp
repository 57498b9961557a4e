// The enumeration buffers as the program reads them: one allocation, records first, every
// string inside it, and NetApiBufferFree's bookkeeping.

#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <cstring>

#include "layout.h"
#include "sim_test_util.h"
#include "text.h"

using namespace simtest;

namespace {

// Checks that p points at a terminated string lying wholly inside [begin, end), after the records.
void expect_inside(const void* p, const BYTE* strings, const BYTE* end) {
    ASSERT_NE(p, nullptr);
    const auto* b = static_cast<const BYTE*>(p);
    ASSERT_GE(b, strings);
    ASSERT_LT(b, end);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(b) % sizeof(wchar_t), 0u);
    const auto* w = reinterpret_cast<const wchar_t*>(b);
    const size_t room = static_cast<size_t>(end - b) / sizeof(wchar_t);
    size_t n = 0;
    while (n < room && w[n]) ++n;
    EXPECT_LT(n, room) << "string runs off the end of the buffer";
}

struct Buffer {
    LPBYTE p = nullptr;
    DWORD read = 0, total = 0;
    size_t size() const { return p ? HeapSize(GetProcessHeap(), 0, p) : 0; }
};

const char* kScene =
    "0 share Projects disk D:\\Shares\\Projects remark=\"Team files\" uses=1\n"
    "0 share IPC$ ipc+special \"\" remark=\"Remote IPC\"\n"
    "1 connect PC17 bob cltype=\"Windows 10 Pro\"\n"
    "2 connect PC20 Guest guest\n"
    "3 open PC17 bob D:\\Shares\\Projects\\plan.docx perm=rwc locks=2\n"
    "3 open PC20 Guest D:\\Shares\\Projects\\b.txt\n";

}  // namespace

TEST(Layout, SessionInfo1) {
    SimPtr sim(kScene);
    sim.at(13.5);
    Buffer b;
    ASSERT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 1, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                     &b.total, nullptr),
              ok);
    ASSERT_EQ(b.read, 2u);
    EXPECT_EQ(b.total, 2u);
    const auto* r = reinterpret_cast<const SESSION_INFO_1*>(b.p);
    const BYTE* strings = b.p + 2 * sizeof(SESSION_INFO_1);
    const BYTE* end = b.p + b.size();
    for (DWORD i = 0; i < 2; ++i) {
        expect_inside(r[i].sesi1_cname, strings, end);
        expect_inside(r[i].sesi1_username, strings, end);
    }
    EXPECT_STREQ(r[0].sesi1_cname, L"PC17") << "client names come without backslashes";
    EXPECT_STREQ(r[0].sesi1_username, L"bob");
    EXPECT_EQ(r[0].sesi1_num_opens, 1u);
    EXPECT_EQ(r[0].sesi1_time, 12u);
    EXPECT_EQ(r[0].sesi1_idle_time, 10u);
    EXPECT_EQ(r[0].sesi1_user_flags, 0u);
    EXPECT_EQ(r[1].sesi1_user_flags, static_cast<DWORD>(SESS_GUEST));
    EXPECT_EQ(nsim::sim_buffer_free(sim.get(), b.p), ok);
}

TEST(Layout, OtherSessionLevels) {
    SimPtr sim(kScene);
    sim.at(10);
    Buffer b;
    ASSERT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 0, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                     &b.total, nullptr),
              ok);
    EXPECT_EQ(b.size(), 2 * sizeof(SESSION_INFO_0) + 2 * 5 * sizeof(wchar_t)) << "exactly records + strings";
    EXPECT_STREQ(reinterpret_cast<SESSION_INFO_0*>(b.p)[1].sesi0_cname, L"PC20");
    nsim::sim_buffer_free(sim.get(), b.p);

    ASSERT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 2, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                     &b.total, nullptr),
              ok);
    EXPECT_STREQ(reinterpret_cast<SESSION_INFO_2*>(b.p)[0].sesi2_cltype_name, L"Windows 10 Pro");
    nsim::sim_buffer_free(sim.get(), b.p);

    ASSERT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 10, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                     &b.total, nullptr),
              ok);
    const auto* r10 = reinterpret_cast<SESSION_INFO_10*>(b.p);
    EXPECT_STREQ(r10[0].sesi10_username, L"bob");
    EXPECT_EQ(r10[0].sesi10_time, 9u);
    EXPECT_EQ(r10[0].sesi10_idle_time, 7u);
    nsim::sim_buffer_free(sim.get(), b.p);

    ASSERT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 502, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                     &b.total, nullptr),
              ok);
    const auto* r502 = reinterpret_cast<SESSION_INFO_502*>(b.p);
    EXPECT_STREQ(r502[1].sesi502_cname, L"PC20");
    EXPECT_EQ(r502[1].sesi502_num_opens, 1u);
    EXPECT_STREQ(r502[1].sesi502_transport, L"");
    nsim::sim_buffer_free(sim.get(), b.p);
}

TEST(Layout, FileInfo3) {
    SimPtr sim(kScene);
    sim.at(5);
    Buffer b;
    DWORD_PTR resume = 0;
    ASSERT_EQ(nsim::sim_file_enum(sim.get(), nullptr, nullptr, nullptr, 3, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                  &b.total, &resume),
              ok);
    ASSERT_EQ(b.read, 2u);
    const auto* r = reinterpret_cast<const FILE_INFO_3*>(b.p);
    const BYTE* strings = b.p + 2 * sizeof(FILE_INFO_3);
    const BYTE* end = b.p + b.size();
    for (DWORD i = 0; i < 2; ++i) {
        expect_inside(r[i].fi3_pathname, strings, end);
        expect_inside(r[i].fi3_username, strings, end);
    }
    EXPECT_EQ(r[0].fi3_id, 1u);
    EXPECT_EQ(r[0].fi3_permissions, static_cast<DWORD>(PERM_FILE_READ | PERM_FILE_WRITE | PERM_FILE_CREATE));
    EXPECT_EQ(r[0].fi3_num_locks, 2u);
    EXPECT_STREQ(r[0].fi3_pathname, L"D:\\Shares\\Projects\\plan.docx");
    EXPECT_STREQ(r[0].fi3_username, L"bob");
    EXPECT_EQ(r[1].fi3_id, 2u);
    EXPECT_STREQ(r[1].fi3_username, L"Guest");
    nsim::sim_buffer_free(sim.get(), b.p);

    ASSERT_EQ(nsim::sim_file_enum(sim.get(), nullptr, nullptr, nullptr, 2, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                  &b.total, nullptr),
              ok);
    EXPECT_EQ(b.size(), 2 * sizeof(FILE_INFO_2));
    EXPECT_EQ(reinterpret_cast<FILE_INFO_2*>(b.p)[1].fi2_id, 2u);
    nsim::sim_buffer_free(sim.get(), b.p);
}

TEST(Layout, ShareInfo502AndLowerLevels) {
    SimPtr sim(kScene);
    sim.at(5);
    Buffer b;
    ASSERT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 502, &b.p, MAX_PREFERRED_LENGTH, &b.read, &b.total, nullptr),
              ok);
    ASSERT_EQ(b.read, 2u);
    const auto* r = reinterpret_cast<const SHARE_INFO_502*>(b.p);
    const BYTE* strings = b.p + 2 * sizeof(SHARE_INFO_502);
    const BYTE* end = b.p + b.size();
    for (DWORD i = 0; i < 2; ++i) {
        expect_inside(r[i].shi502_netname, strings, end);
        expect_inside(r[i].shi502_remark, strings, end);
        expect_inside(r[i].shi502_path, strings, end);
        EXPECT_EQ(r[i].shi502_security_descriptor, nullptr);
        EXPECT_EQ(r[i].shi502_passwd, nullptr);
        EXPECT_EQ(r[i].shi502_reserved, 0u);
    }
    EXPECT_STREQ(r[0].shi502_netname, L"Projects");
    EXPECT_EQ(r[0].shi502_type, static_cast<DWORD>(STYPE_DISKTREE));
    EXPECT_STREQ(r[0].shi502_remark, L"Team files");
    EXPECT_EQ(r[0].shi502_current_uses, 1u);
    EXPECT_EQ(r[0].shi502_max_uses, static_cast<DWORD>(SHI_USES_UNLIMITED));
    EXPECT_STREQ(r[0].shi502_path, L"D:\\Shares\\Projects");
    EXPECT_EQ(r[1].shi502_type, static_cast<DWORD>(STYPE_IPC | STYPE_SPECIAL));
    EXPECT_STREQ(r[1].shi502_path, L"");
    nsim::sim_buffer_free(sim.get(), b.p);

    ASSERT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 0, &b.p, MAX_PREFERRED_LENGTH, &b.read, &b.total, nullptr), ok);
    EXPECT_STREQ(reinterpret_cast<SHARE_INFO_0*>(b.p)[1].shi0_netname, L"IPC$");
    nsim::sim_buffer_free(sim.get(), b.p);
    ASSERT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 1, &b.p, MAX_PREFERRED_LENGTH, &b.read, &b.total, nullptr), ok);
    EXPECT_STREQ(reinterpret_cast<SHARE_INFO_1*>(b.p)[1].shi1_remark, L"Remote IPC");
    nsim::sim_buffer_free(sim.get(), b.p);
    ASSERT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 2, &b.p, MAX_PREFERRED_LENGTH, &b.read, &b.total, nullptr), ok);
    EXPECT_EQ(reinterpret_cast<SHARE_INFO_2*>(b.p)[0].shi2_current_uses, 1u);
    nsim::sim_buffer_free(sim.get(), b.p);
}

TEST(Layout, HugeNamesAreServedCutAndInsideTheBuffer) {
    const std::string big(20000, 'Z');
    SimPtr sim("0 connect " + big + " " + big + "\n0 open " + big + " " + big + " D:\\" + big + "\n0 share " + big +
               " disk D:\\" + big + " remark=" + big + "\n");
    sim.at(1);
    EXPECT_EQ(grep(sim.get(), "warn line=1 reason=\"computer name cut to 1024 characters\"").size(), 1u);
    Buffer b;
    ASSERT_EQ(nsim::sim_session_enum(sim.get(), nullptr, nullptr, nullptr, 1, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                     &b.total, nullptr),
              ok);
    ASSERT_EQ(b.read, 1u);
    const auto* s = reinterpret_cast<const SESSION_INFO_1*>(b.p);
    EXPECT_EQ(std::wcslen(s->sesi1_cname), nsim::kMaxText);
    EXPECT_EQ(std::wcslen(s->sesi1_username), nsim::kMaxText);
    EXPECT_EQ(b.size(), sizeof(SESSION_INFO_1) + 2 * (nsim::kMaxText + 1) * sizeof(wchar_t));
    nsim::sim_buffer_free(sim.get(), b.p);
    const auto f = files(sim.get());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].path.size(), nsim::kMaxText);
    const auto sh = shares(sim.get());
    ASSERT_EQ(sh.size(), 1u);
    EXPECT_EQ(sh[0].name.size(), nsim::kMaxText);
    EXPECT_EQ(sh[0].remark.size(), nsim::kMaxText);
    // The journal lines stay bounded too.
    for (const auto& l : nsim::sim_journal_lines(sim.get())) EXPECT_LE(l.size(), 16384u);
}

TEST(Layout, PlanTakesWholeEntriesAndAtLeastOne) {
    const std::vector<size_t> sizes = {40, 40, 40, 100};
    auto t = nsim::plan_entries(sizes, 0, MAX_PREFERRED_LENGTH, 0);
    EXPECT_EQ(t.count, 4u);
    EXPECT_EQ(t.bytes, 220u);
    t = nsim::plan_entries(sizes, 0, 80, 0);
    EXPECT_EQ(t.count, 2u);
    EXPECT_EQ(t.bytes, 80u);
    t = nsim::plan_entries(sizes, 0, 79, 0);
    EXPECT_EQ(t.count, 1u);
    t = nsim::plan_entries(sizes, 3, 1, 0);
    EXPECT_EQ(t.count, 1u) << "a caller asking for too little still moves on";
    EXPECT_EQ(t.bytes, 100u);
    t = nsim::plan_entries(sizes, 1, MAX_PREFERRED_LENGTH, 2);
    EXPECT_EQ(t.count, 2u);
    t = nsim::plan_entries(sizes, 4, MAX_PREFERRED_LENGTH, 0);
    EXPECT_EQ(t.count, 0u);
}

TEST(Layout, WriterNeverWritesPastItsBuffer) {
    BYTE area[32];
    std::memset(area, 0xAB, sizeof area);
    nsim::Writer w;
    w.base = area;
    w.size = 16;  // the rest is a guard zone
    w.pos = 4;
    EXPECT_NE(nsim::put_string(w, L"abcde"), nullptr);  // 12 bytes: 4..16
    EXPECT_EQ(w.pos, 16u);
    EXPECT_FALSE(w.overflow);
    EXPECT_EQ(nsim::put_string(w, L""), nullptr) << "even a terminator does not fit";
    EXPECT_TRUE(w.overflow);
    for (size_t i = 16; i < sizeof area; ++i) EXPECT_EQ(area[i], 0xAB) << i;
    w.pos = 100;  // a corrupt position is refused too
    EXPECT_EQ(nsim::put_string(w, L"x"), nullptr);
}

TEST(Layout, BufferFreeBookkeeping) {
    SimPtr sim(kScene);
    sim.at(5);
    Buffer a, b;
    ASSERT_EQ(nsim::sim_share_enum(sim.get(), nullptr, 0, &a.p, MAX_PREFERRED_LENGTH, &a.read, &a.total, nullptr), ok);
    ASSERT_EQ(nsim::sim_file_enum(sim.get(), nullptr, nullptr, nullptr, 3, &b.p, MAX_PREFERRED_LENGTH, &b.read,
                                  &b.total, nullptr),
              ok);
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 2u);
    EXPECT_EQ(nsim::sim_buffer_free(sim.get(), nullptr), ok) << "freeing NULL is fine";
    EXPECT_EQ(nsim::sim_buffer_free(sim.get(), a.p), ok);
    EXPECT_EQ(nsim::sim_buffer_free(sim.get(), a.p), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "a double free is reported, not performed";
    int local = 0;
    EXPECT_EQ(nsim::sim_buffer_free(sim.get(), &local), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 1u);
    EXPECT_EQ(grep(sim.get(), "reason=\"not a buffer we handed out\"").size(), 2u);
    EXPECT_EQ(nsim::sim_buffer_free(sim.get(), b.p), ok);
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}
