// Share permissions and accounts: descriptors read and written back byte for byte, the SIDs a
// server gives its accounts, and the opens and uses a share's DACL refuses.

#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "security.h"
#include "sim_test_util.h"
#include "text.h"

using namespace simtest;

namespace {

using Codes = std::vector<NET_API_STATUS>;

// The system's own bytes for an SDDL text.
std::string sddl_bytes(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) return {};
    std::string out(static_cast<const char*>(sd), GetSecurityDescriptorLength(sd));
    LocalFree(sd);
    return out;
}

struct Info {
    NET_API_STATUS status = 0;
    std::string sd;          // what shi502_security_descriptor points to
    bool sd_inside = false;  // after the strings, inside the buffer, 8-aligned
};

Info get_info(nsim::Sim* s, const wchar_t* share, DWORD level = 502, ServerName server = nullptr) {
    std::wstring n = share ? share : L"";
    LPBYTE buf = reinterpret_cast<LPBYTE>(&n);  // must be overwritten
    Info r;
    r.status = nsim::sim_share_get_info(s, server.get(), share ? n.data() : nullptr, level, &buf);
    if (r.status != NERR_Success) {
        EXPECT_EQ(buf, nullptr);
        return r;
    }
    const auto* i = reinterpret_cast<const SHARE_INFO_502*>(buf);
    if (level == 502 && i->shi502_security_descriptor) {
        const auto* p = static_cast<const BYTE*>(i->shi502_security_descriptor);
        r.sd.assign(reinterpret_cast<const char*>(p), GetSecurityDescriptorLength(i->shi502_security_descriptor));
        r.sd_inside = p >= reinterpret_cast<const BYTE*>(i->shi502_path + wcslen(i->shi502_path) + 1) &&
                      p + r.sd.size() <= buf + HeapSize(GetProcessHeap(), 0, buf) &&
                      reinterpret_cast<uintptr_t>(p) % 8 == 0;
    }
    EXPECT_EQ(nsim::sim_buffer_free(s, buf), ok);
    return r;
}

NET_API_STATUS set_info(nsim::Sim* s, const wchar_t* share, const void* sd, LPDWORD parm_err = nullptr,
                        ServerName server = nullptr, DWORD level = 1501) {
    std::wstring n = share ? share : L"";
    SHARE_INFO_1501 info{0, const_cast<void*>(sd)};
    return nsim::sim_share_set_info(s, server.get(), share ? n.data() : nullptr, level, reinterpret_cast<LPBYTE>(&info),
                                    parm_err);
}

// "<SID> <name>" as NetUserGetInfo gives them, or "status=<n>".
std::wstring user_sid(nsim::Sim* s, const wchar_t* name, ServerName server = nullptr, DWORD level = 23) {
    LPBYTE buf = nullptr;
    const NET_API_STATUS st = nsim::sim_user_get_info(s, server.get(), name, level, &buf);
    if (st != NERR_Success) return L"status=" + std::to_wstring(st);
    const auto* u = reinterpret_cast<const USER_INFO_23*>(buf);
    EXPECT_STREQ(u->usri23_full_name, u->usri23_name);
    EXPECT_STREQ(u->usri23_comment, L"");
    EXPECT_EQ(u->usri23_flags, static_cast<DWORD>(UF_NORMAL_ACCOUNT | UF_SCRIPT));
    LPWSTR text = nullptr;
    std::wstring out = ConvertSidToStringSidW(u->usri23_user_sid, &text) ? text : L"?";
    LocalFree(text);
    out += L" " + std::wstring(u->usri23_name);
    EXPECT_EQ(nsim::sim_buffer_free(s, buf), ok);
    return out;
}

size_t seen(nsim::Sim* s, const std::string& needle) { return grep(s, needle).size(); }

// Events due by then take effect at the next call: one is made.
void play_to(const SimPtr& sim, double seconds) {
    sim.at(seconds);
    sessions(sim.get());
}

// Opens of this user the server let through: its event open lines without refused= or skipped=.
size_t landed(nsim::Sim* s, const std::string& user) {
    size_t n = 0;
    for (const auto& l : grep(s, " event open "))
        if (l.find(" user=\"" + user + "\"") != std::string::npos && l.find(" refused=") == std::string::npos &&
            l.find(" skipped=") == std::string::npos)
            ++n;
    return n;
}

}  // namespace

TEST(Permissions, GetInfoAndSetInfoKeepDescriptorsByteForByte) {
    SimPtr sim(
        "0 share Projects disk D:\\Shares\\Projects "
        "sd=O:BAG:DUD:(A;;0x1200a9;;;BU)(D;;0x6;;;S-1-5-21-1-2-3-1105)(A;;0x1f01ff;;;BA)\n"
        "0 share Plain disk D:\\Plain\n");
    const std::string original =
        sddl_bytes(L"O:BAG:DUD:(A;;0x1200a9;;;BU)(D;;0x6;;;S-1-5-21-1-2-3-1105)(A;;0x1f01ff;;;BA)");
    const Info i = get_info(sim.get(), L"projects");
    ASSERT_EQ(i.status, ok);
    EXPECT_EQ(i.sd, original);
    EXPECT_TRUE(i.sd_inside);
    for (DWORD level : {0u, 1u, 2u}) EXPECT_EQ(get_info(sim.get(), L"Projects", level).status, ok) << level;
    EXPECT_EQ(get_info(sim.get(), L"Plain").sd, sddl_bytes(nsim::kDefaultShareSddl)) << "Everyone, full control";

    // What the product does: a descriptor of its own, then back the one it read.
    const std::string denied = sddl_bytes(L"O:BAG:BAD:(D;;FA;;;S-1-5-21-9-1105)(A;;FA;;;WD)(A;;FR;;;BU)");
    EXPECT_EQ(set_info(sim.get(), L"PROJECTS", denied.data()), ok);
    EXPECT_EQ(get_info(sim.get(), L"Projects").sd, denied);
    EXPECT_EQ(set_info(sim.get(), L"Projects", original.data()), ok);
    EXPECT_EQ(get_info(sim.get(), L"Projects").sd, original);

    const std::string denied_fields = " sdhex=" + nsim::hex(denied) + " sd=\"O:BAG:BAD:(D;;FA;;;S-1-5-21-9-1105)";
    const std::string original_fields = " sdhex=" + nsim::hex(original) + " sd=\"O:BAG:";
    EXPECT_EQ(seen(sim.get(), "event share name=\"Projects\" type=0x0 path=\"D:\\Shares\\Projects\" remark=\"\" uses=0" +
                                  original_fields),
              1u);
    EXPECT_EQ(seen(sim.get(), "event permissions name=\"Projects\"" + denied_fields), 1u);
    EXPECT_EQ(seen(sim.get(), "call NetShareSetInfo server=null name=\"PROJECTS\" level=1501 status=0" + denied_fields),
              1u);
    const auto reads =
        grep(sim.get(), "call NetShareGetInfo server=null name=\"projects\" level=502 status=0 buffer=0x");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(reads[0].find(original_fields), std::string::npos) << reads[0];
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}

TEST(Permissions, ADenyEntryHoldsOffTheEncryptingClientAcrossItsReconnects) {
    SimPtr sim(
        "0 share Projects disk D:\\Shares\\Projects\n"
        "0 account Mallory S-1-5-21-7-8-9-1313\n"
        "0 connect PC17 bob\n"
        "0 connect PC66 mallory\n"
        "0 use PC66 mallory Projects\n"
        "0 reconnect PC66 0.5 reopen\n"
        "1 repeat 2400 0.025\n"
        "0 open PC66 mallory D:\\Shares\\Projects\\f{i}.enc perm=w\n"
        "end\n"
        "1 repeat 60 1\n"
        "0 open PC17 bob D:\\Shares\\Projects\\bob{i}.docx perm=rw\n"
        "end\n");
    play_to(sim, 10);
    EXPECT_EQ(landed(sim.get(), "mallory"), 361u) << "every 25 ms from 1 s to 10 s";

    // The trip: the account's SID on that server, a deny entry first, the session cut.
    EXPECT_EQ(user_sid(sim.get(), L"MALLORY"), L"S-1-5-21-7-8-9-1313 Mallory") << "as declared";
    const std::string original = get_info(sim.get(), L"Projects").sd;
    const std::string denied = sddl_bytes(L"O:BAG:BAD:(D;;0x1f01ff;;;S-1-5-21-7-8-9-1313)(A;;0x1f01ff;;;WD)");
    ASSERT_EQ(set_info(sim.get(), L"Projects", denied.data()), ok);
    std::wstring pc66 = L"\\\\PC66";
    ASSERT_EQ(nsim::sim_session_del(sim.get(), nullptr, pc66.data(), nullptr), ok);

    play_to(sim, 20);
    EXPECT_EQ(landed(sim.get(), "mallory"), 361u) << "nothing landed after the deny";
    EXPECT_EQ(landed(sim.get(), "bob"), 20u) << "another user goes on";
    const auto rows = sessions(sim.get());
    ASSERT_EQ(rows.size(), 2u) << "the session comes back: setting one up asks nothing of a share";
    EXPECT_EQ(rows[1].opens, 0u);
    const std::string why = " refused=5 reason=\"entry 1 of the share's permissions denies w\"";
    EXPECT_EQ(seen(sim.get(), "perm=2 locks=0 share=\"Projects\"" + why + " cause=reconnect"), 361u);
    EXPECT_EQ(seen(sim.get(),
                   "event use computer=\"PC66\" user=\"mallory\" share=\"Projects\" refused=5 reason=\"entry 1 of the "
                   "share's permissions denies r\" cause=reconnect"),
              1u);
    EXPECT_EQ(seen(sim.get(), "perm=2 locks=0 share=\"Projects\"" + why + " line=8"), 380u)
        << "its opens from 10.525 s; the 20 before it was back found no session";
    EXPECT_EQ(shares(sim.get())[0].uses, 0u);

    // Released: the permissions as they were, and its writes land again.
    ASSERT_EQ(set_info(sim.get(), L"Projects", original.data()), ok);
    play_to(sim, 30);
    EXPECT_EQ(landed(sim.get(), "mallory"), 361u + 400u);
}

TEST(Permissions, EntriesCountInOrderAndAPermissionsLineActsMidRun) {
    // eve is declared nowhere: the denies name the SID derived from her name.
    const std::string eve = "S-1-5-21-1004336348-1177238915-682003330-278723";
    SimPtr sim("0 share Docs disk D:\\Docs\n"                                         // 1
               "0 connect PC1 eve\n"                                                  // 2
               "0 connect PC2 bob\n"                                                  // 3
               "0 connect PC3 \"\"\n"                                                 // 4
               "1 open PC1 eve D:\\Docs\\a perm=rw\n"                                 // 5
               "2 permissions Docs O:BAG:BAD:(D;;0x2;;;" + eve + ")(A;;FA;;;WD)\n"    // 6
               "3 open PC1 eve D:\\Docs\\b perm=rw\n"                                 // 7
               "3 open PC1 eve D:\\Docs\\c perm=r\n"                                  // 8
               "3 open PC2 bob D:\\Docs\\d perm=rw\n"                                 // 9
               "3 use PC1 eve Docs\n"                                                 // 10
               "4 permissions docs O:BAG:BAD:(A;;0x1;;;AU)(D;;GA;;;" + eve + ")\n"    // 11
               "5 open PC1 eve D:\\Docs\\e perm=r\n"                                  // 12
               "5 open PC1 eve D:\\Docs\\f perm=rw\n"                                 // 13
               "5 open PC3 \"\" D:\\Docs\\g\n"                                        // 14
               "5 open PC2 bob D:\\Docs\\h perm=wc\n"                                 // 15
               "6 permissions Docs O:BAG:BAD:\n"                                      // 16
               "7 open PC2 bob D:\\Docs\\i\n"                                         // 17
               "7 open PC2 bob D:\\Elsewhere\\j perm=rwc\n"                           // 18
               "7 use PC2 bob Docs\n"                                                 // 19
               "8 permissions Nope O:BAG:BAD:\n"                                      // 20
               "9 permissions Docs O:BAG:BA\n"                                        // 21
               "10 open PC3 \"\" D:\\Docs\\k perm=rwc\n"                              // 22
               "11 open PC2 bob D:\\Docs\\m perm=rwc\n");                             // 23
    play_to(sim, 10);
    // Why the line's open or use was refused; "" if it was not.
    auto refused_at = [&](int line) -> std::string {
        const auto l = grep(sim.get(), " line=" + std::to_string(line));
        if (l.size() != 1) return std::to_string(l.size()) + " lines";
        const std::string mark = " refused=5 reason=\"";
        const size_t r = l[0].find(mark), from = r + mark.size();
        return r == std::string::npos ? "" : l[0].substr(from, l[0].find('"', from) - from);
    };
    const std::string none = "the share's permissions do not grant ";
    EXPECT_EQ(refused_at(7), "entry 1 of the share's permissions denies w") << "after the line at 2 s";
    for (int line : {5, 8, 9, 10, 12, 18, 22}) EXPECT_EQ(refused_at(line), "") << line;  // 12: an allow first wins
    EXPECT_EQ(refused_at(13), "entry 2 of the share's permissions denies w") << "GA reaches every right";
    EXPECT_EQ(refused_at(14), none + "r") << "the anonymous user is no authenticated user";
    EXPECT_EQ(refused_at(15), none + "wc");
    EXPECT_EQ(refused_at(17), none + "r") << "an empty DACL grants nothing";
    EXPECT_EQ(refused_at(19), none + "r");
    EXPECT_EQ(seen(sim.get(), "event permissions name=\"Nope\" skipped=\"no such share\" line=20"), 1u);
    EXPECT_EQ(files(sim.get()).size(), 6u) << "a refused open makes no file; what was open stays open";
    EXPECT_EQ(shares(sim.get())[0].uses, 1u) << "eve's use; bob's was refused";

    // A NULL DACL (only a caller's: Wine reads D:NO_ACCESS_CONTROL as an empty one) grants all.
    std::string null_dacl = sddl_bytes(L"D:");
    null_dacl.replace(16, 4, 4, '\0');  // present, at offset 0
    ASSERT_EQ(set_info(sim.get(), L"Docs", null_dacl.data()), ok);
    play_to(sim, 11);
    EXPECT_EQ(refused_at(23), "");
}

TEST(Permissions, AccountsHaveOneSidOnEveryServerUnlessDeclared) {
    SimPtr sim("0 server FS2\n0 on FS2 account mallory S-1-5-21-9-9-9-500\n0 account bob BA\n");
    EXPECT_EQ(user_sid(sim.get(), L"Mallory"), L"S-1-5-21-1004336348-1177238915-682003330-796565 Mallory");
    EXPECT_EQ(user_sid(sim.get(), L"MALLORY"), L"S-1-5-21-1004336348-1177238915-682003330-796565 MALLORY");
    EXPECT_EQ(user_sid(sim.get(), L"Mallory", L"\\\\FS2"), L"S-1-5-21-9-9-9-500 mallory");
    EXPECT_EQ(user_sid(sim.get(), L"eve", L"FS2"), user_sid(sim.get(), L"eve"));
    EXPECT_EQ(user_sid(sim.get(), L"bob"), L"S-1-5-32-544 bob");
    EXPECT_EQ(seen(sim.get(), "event account server=\"FS2\" user=\"mallory\" sid=S-1-5-21-9-9-9-500 line=2"), 1u);
    EXPECT_EQ(seen(sim.get(), "call NetUserGetInfo server=null user=\"MALLORY\" level=23 status=0 buffer=0x"), 1u);
    EXPECT_EQ(seen(sim.get(), " sid=S-1-5-21-1004336348-1177238915-682003330-796565"), 2u);
    const std::wstring too_long(nsim::kMaxText + 1, L'x');
    for (const wchar_t* name : {L"", static_cast<const wchar_t*>(nullptr), too_long.c_str()})
        EXPECT_EQ(user_sid(sim.get(), name), L"status=2221");
    EXPECT_EQ(user_sid(sim.get(), L"bob", nullptr, 1), L"status=124");
    EXPECT_EQ(user_sid(sim.get(), L"bob", L"\\\\FS9"), L"status=53");
    EXPECT_EQ(nsim::sim_user_get_info(sim.get(), nullptr, L"bob", 23, nullptr), static_cast<DWORD>(87));
}

TEST(Permissions, BadDescriptorsBadCallsAndRefusals) {
    SimPtr sim(
        "0 share Projects disk D:\\P\n0 server FS2 down\n1 refuse share-info denied 1\n"
        "2 refuse share-set,user-info 2114 1\n3 refuse all not-supported 1\n");
    const std::string before = get_info(sim.get(), L"Projects").sd;
    // Each wrong in one place, from a sound descriptor.
    const std::string good = sddl_bytes(L"O:BAG:BUD:(A;;FA;;;WD)(A;;FR;;;BU)");
    const size_t owner = static_cast<unsigned char>(good[4]), dacl = static_cast<unsigned char>(good[16]);
    struct Flaw {
        size_t at;
        char byte;
        const char* reason;
    };
    const Flaw cases[] = {{0, 2, "revision 2, not 1"},
                          {3, 0, "absolute, not self-relative"},
                          {owner + 1, 16, "owner is not a SID"},
                          {16, 8, "DACL inside the header"},
                          {16, '\xF0', "past the end of the parts before it"},  // which part: by the layout
                          {dacl, 9, "DACL: revision 9"},
                          {dacl + 4, 3, "DACL: entry 3 lies past its end"},
                          {dacl + 10, 2, "DACL: entry 1 has size 2"}};
    for (size_t k = 0; k < std::size(cases); ++k) {
        std::string sd = good;
        sd[cases[k].at] = cases[k].byte;
        DWORD parm = 0;
        EXPECT_EQ(set_info(sim.get(), L"Projects", sd.data(), &parm), 87u);
        EXPECT_EQ(parm, static_cast<DWORD>(SHARE_FILE_SD_PARMNUM));
        const auto lines = grep(sim.get(), "status=87 sdhex=<invalid> sd=<invalid> parm_err=501 reason=\"");
        ASSERT_EQ(lines.size(), k + 1);
        EXPECT_NE(lines.back().find(cases[k].reason), std::string::npos) << lines.back();
    }
    DWORD parm = 0;
    std::wstring projects = L"Projects";
    const Codes calls = {set_info(sim.get(), L"Projects", nullptr, &parm),
                         nsim::sim_share_set_info(sim.get(), nullptr, projects.data(), 1501, nullptr, nullptr),
                         set_info(sim.get(), L"Projects", good.data(), nullptr, nullptr, 502),
                         set_info(sim.get(), nullptr, good.data()), set_info(sim.get(), L"Nope", good.data()),
                         get_info(sim.get(), L"Nope").status, get_info(sim.get(), L"").status,
                         get_info(sim.get(), nullptr).status, get_info(sim.get(), L"Projects", 503).status,
                         get_info(sim.get(), L"Projects", 1501).status,
                         nsim::sim_share_get_info(sim.get(), nullptr, projects.data(), 502, nullptr)};
    EXPECT_EQ(calls, (Codes{87, 87, 124, 87, 2310, 2310, 2310, 87, 124, 124, 87}));
    EXPECT_EQ(parm, static_cast<DWORD>(SHARE_FILE_SD_PARMNUM));
    EXPECT_EQ(seen(sim.get(), "status=87 sdhex=null sd=null parm_err=501 reason=\"no security descriptor\""), 1u);
    EXPECT_EQ(seen(sim.get(), "call NetShareGetInfo server=null name=\"Nope\" level=502 status=2310 buffer=null"), 1u);
    EXPECT_EQ(get_info(sim.get(), L"Projects").sd, before);

    auto three = [&](ServerName server) {
        const std::wstring user = user_sid(sim.get(), L"bob", server);
        return Codes{get_info(sim.get(), L"Projects", 502, server).status,
                     set_info(sim.get(), L"Projects", good.data(), nullptr, server),
                     user.rfind(L"status=", 0) == 0 ? std::stoul(user.substr(7)) : 0};
    };
    sim.at(1);
    EXPECT_EQ(three(nullptr), (Codes{ERROR_ACCESS_DENIED, ok, ok}));
    sim.at(2);
    EXPECT_EQ(three(nullptr), (Codes{ok, NERR_ServerNotStarted, NERR_ServerNotStarted}));
    sim.at(3);
    EXPECT_EQ(three(nullptr), (Codes{ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED}));
    EXPECT_EQ(three(L"\\\\FS2"), (Codes{RPC_S_SERVER_UNAVAILABLE, RPC_S_SERVER_UNAVAILABLE, RPC_S_SERVER_UNAVAILABLE}));
    EXPECT_EQ(seen(sim.get(), "event refuse target=share-set,user-info code=2114 every=1 until=3000 line=4"), 1u);
    EXPECT_EQ(
        seen(sim.get(),
             "target=sessions,files,shares,session-del,file-close,share-del,share-info,share-set,user-info code=50"),
        1u);
    EXPECT_EQ(seen(sim.get(), "refused_by_line=5"), 3u);
    EXPECT_EQ(nsim::sim_outstanding_buffers(sim.get()), 0u);
}

// What a caller set outlasts the process, as on a real server that a program restarts against:
// the next process's share of that name starts with it; another share and a fresh file are not touched.
TEST(Permissions, PermissionsACallerSetAreKeptForTheNextProcess) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring kept = std::wstring(temp) + L"netapi-sim-kept-" + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(kept.c_str());
    const std::string scenario = "0 share Docs disk D:\\Docs\n0 share Team disk D:\\Team\n0 server FS1\n"
                                 "0 on FS1 share Docs disk D:\\Docs\n";
    const std::string denied = sddl_bytes(L"O:BAG:BAD:(D;;FA;;;S-1-5-21-9-1105)(A;;FA;;;WD)");
    auto make = [&] {
        nsim::SimOptions o;
        o.manual_clock = true;
        o.journal_to_memory = true;
        o.kept_path = kept;
        nsim::Sim* s = nsim::sim_create(o);
        nsim::sim_load_text(s, scenario, L"test.scenario");
        return s;
    };
    nsim::Sim* first = make();
    EXPECT_EQ(set_info(first, L"docs", denied.data()), ok);
    nsim::sim_destroy(first);

    nsim::Sim* second = make();
    EXPECT_EQ(get_info(second, L"Docs").sd, denied) << "kept by name, whatever its case";
    EXPECT_EQ(get_info(second, L"Team").sd, sddl_bytes(nsim::kDefaultShareSddl));
    EXPECT_EQ(get_info(second, L"Docs", 502, L"FS1").sd, sddl_bytes(nsim::kDefaultShareSddl)) << "another server's";
    EXPECT_FALSE(grep(second, "kept=1").empty());
    nsim::sim_destroy(second);

    // A damaged line is left out; the rest are read.
    {
        HANDLE file = CreateFileW(kept.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const std::string text = "\tTeam\tzz\n\tDocs\t" + nsim::hex(denied) + "\nno tabs\n";
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    nsim::Sim* third = make();
    EXPECT_EQ(get_info(third, L"Docs").sd, denied);
    EXPECT_EQ(get_info(third, L"Team").sd, sddl_bytes(nsim::kDefaultShareSddl));
    nsim::sim_destroy(third);
    DeleteFileW(kept.c_str());
}
