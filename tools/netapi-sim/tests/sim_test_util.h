// Helpers for driving a Sim from tests: a hand-driven clock, the journal kept in memory,
// and enumerations copied out into plain values.
#pragma once

#include <windows.h>
#include <lm.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "server.h"

namespace simtest {

struct SimPtr {
    nsim::Sim* s = nullptr;
    explicit SimPtr(const std::string& scenario, std::vector<std::wstring> local_names = {}) {
        nsim::SimOptions o;
        o.manual_clock = true;
        o.journal_to_memory = true;
        o.local_names = std::move(local_names);
        s = nsim::sim_create(o);
        nsim::sim_load_text(s, scenario, L"test.scenario");
    }
    ~SimPtr() { nsim::sim_destroy(s); }
    SimPtr(const SimPtr&) = delete;
    SimPtr& operator=(const SimPtr&) = delete;
    nsim::Sim* get() const { return s; }
    void at(double seconds) const { nsim::sim_set_time(s, static_cast<int64_t>(seconds * 1000.0 + 0.5)); }
};

struct SessionRow {
    std::wstring cname, user;
    DWORD opens = 0, time = 0, idle = 0, flags = 0;
};

struct FileRow {
    DWORD id = 0, perm = 0, locks = 0;
    std::wstring path, user;
};

struct ShareRow {
    std::wstring name, remark, path;
    DWORD type = 0, max_uses = 0, uses = 0;
    bool passwd_null = false, sd_null = false;
};

// A server name for the calls below; null is the local server.
struct ServerName {
    std::wstring text;
    bool null = true;
    // Implicit, so a call reads sessions(s, &st, L"\\\\FS2").
    ServerName(const wchar_t* name) : text(name ? name : L""), null(name == nullptr) {}
    LMSTR get() { return null ? nullptr : text.data(); }
};

inline std::vector<SessionRow> sessions(nsim::Sim* s, NET_API_STATUS* status = nullptr, ServerName server = nullptr) {
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    const NET_API_STATUS st = nsim::sim_session_enum(s, server.get(), nullptr, nullptr, 1, &buf, MAX_PREFERRED_LENGTH,
                                                     &read, &total, nullptr);
    if (status) *status = st;
    std::vector<SessionRow> rows;
    const auto* r = reinterpret_cast<const SESSION_INFO_1*>(buf);
    for (DWORD i = 0; i < read; ++i)
        rows.push_back({r[i].sesi1_cname, r[i].sesi1_username, r[i].sesi1_num_opens, r[i].sesi1_time,
                        r[i].sesi1_idle_time, r[i].sesi1_user_flags});
    EXPECT_EQ(nsim::sim_buffer_free(s, buf), static_cast<DWORD>(NERR_Success));
    return rows;
}

inline std::vector<FileRow> files(nsim::Sim* s, NET_API_STATUS* status = nullptr, ServerName server = nullptr) {
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    const NET_API_STATUS st = nsim::sim_file_enum(s, server.get(), nullptr, nullptr, 3, &buf, MAX_PREFERRED_LENGTH,
                                                  &read, &total, nullptr);
    if (status) *status = st;
    std::vector<FileRow> rows;
    const auto* r = reinterpret_cast<const FILE_INFO_3*>(buf);
    for (DWORD i = 0; i < read; ++i)
        rows.push_back({r[i].fi3_id, r[i].fi3_permissions, r[i].fi3_num_locks, r[i].fi3_pathname, r[i].fi3_username});
    EXPECT_EQ(nsim::sim_buffer_free(s, buf), static_cast<DWORD>(NERR_Success));
    return rows;
}

inline std::vector<ShareRow> shares(nsim::Sim* s, NET_API_STATUS* status = nullptr, ServerName server = nullptr) {
    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    const NET_API_STATUS st =
        nsim::sim_share_enum(s, server.get(), 502, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status) *status = st;
    std::vector<ShareRow> rows;
    const auto* r = reinterpret_cast<const SHARE_INFO_502*>(buf);
    for (DWORD i = 0; i < read; ++i)
        rows.push_back({r[i].shi502_netname, r[i].shi502_remark, r[i].shi502_path, r[i].shi502_type,
                        r[i].shi502_max_uses, r[i].shi502_current_uses, r[i].shi502_passwd == nullptr,
                        r[i].shi502_security_descriptor == nullptr});
    EXPECT_EQ(nsim::sim_buffer_free(s, buf), static_cast<DWORD>(NERR_Success));
    return rows;
}

// Journal lines containing `needle`.
inline std::vector<std::string> grep(nsim::Sim* s, const std::string& needle) {
    std::vector<std::string> out;
    for (auto& l : nsim::sim_journal_lines(s))
        if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
}

// Build paths come from CMake; under Wine they are Unix paths, which Z: maps.
inline std::wstring native_path(const char* p) {
    std::wstring w;
    for (; *p; ++p) w.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    if (!w.empty() && w[0] == L'\\') w = L"Z:" + w;
    return w;
}

// The status values are DWORDs; gtest compares like types.
constexpr DWORD ok = NERR_Success;

}  // namespace simtest
