// The simulated servers: the local one and the remote ones a scenario declares, each with its
// sessions, open files and shares played from the scenario, and the implementations behind
// the exported Net* functions, which reach a server by the name they are given. The DLL wraps
// one Sim; tests make their own with a hand-driven clock.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

namespace nsim {

struct Sim;

struct SimOptions {
    bool manual_clock = false;  // time only moves with sim_set_time; a server's delay is still slept
    double speed = 1.0;         // scenario seconds per real second (automatic clock)
    LARGE_INTEGER qpc_start{};  // time zero for the automatic clock; 0 = now
    FILETIME wall_start{};      // UTC at time zero, for journal stamps; 0 = now
    std::wstring journal_path;  // empty: no journal file
    // Where share permissions set by a caller or a `permissions` line are kept, so that the
    // next process's server has them, as a real server keeps them when a program restarts.
    // Empty: they last as long as the process.
    std::wstring kept_path;
    bool journal_to_memory = false;
    // Names of this machine: a caller naming one reaches the local server, as NULL does,
    // unless the scenario declares a server of that name.
    std::vector<std::wstring> local_names;
};

Sim* sim_create(const SimOptions& options);
void sim_destroy(Sim* sim);

// Loading replaces what the scenario had scheduled; what already happened stays.
void sim_load_text(Sim* sim, std::string_view utf8, std::wstring_view origin);
void sim_load_file(Sim* sim, const std::wstring& path);

// A line of our own in the journal ("load ..." kind), e.g. where the settings came from.
void sim_journal_note(Sim* sim, std::string_view body);
// Journals the unload; never blocks (it may run while the process exits).
void sim_journal_unload(Sim* sim);

void sim_set_time(Sim* sim, int64_t ms);  // manual clock; never moves backwards
int64_t sim_time(Sim* sim);

std::vector<std::string> sim_journal_lines(Sim* sim);
std::vector<Diagnostic> sim_diagnostics(Sim* sim);
size_t sim_outstanding_buffers(Sim* sim);

NET_API_STATUS sim_session_enum(Sim* sim, LMSTR servername, LMSTR client, LMSTR user, DWORD level, LPBYTE* bufptr,
                                DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries,
                                LPDWORD resume_handle);
NET_API_STATUS sim_file_enum(Sim* sim, LMSTR servername, LMSTR basepath, LMSTR user, DWORD level, LPBYTE* bufptr,
                             DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries,
                             PDWORD_PTR resume_handle);
NET_API_STATUS sim_share_enum(Sim* sim, LMSTR servername, DWORD level, LPBYTE* bufptr, DWORD prefmaxlen,
                              LPDWORD entriesread, LPDWORD totalentries, LPDWORD resume_handle);
NET_API_STATUS sim_session_del(Sim* sim, LMSTR servername, LMSTR client, LMSTR user);
NET_API_STATUS sim_file_close(Sim* sim, LMSTR servername, DWORD fileid);
NET_API_STATUS sim_share_del(Sim* sim, LMSTR servername, LMSTR netname, DWORD reserved);
NET_API_STATUS sim_share_get_info(Sim* sim, LMSTR servername, LMSTR netname, DWORD level, LPBYTE* bufptr);
NET_API_STATUS sim_share_set_info(Sim* sim, LMSTR servername, LMSTR netname, DWORD level, LPBYTE buf,
                                  LPDWORD parm_err);
NET_API_STATUS sim_user_get_info(Sim* sim, LPCWSTR servername, LPCWSTR username, DWORD level, LPBYTE* bufptr);
NET_API_STATUS sim_buffer_free(Sim* sim, LPVOID buffer);

}  // namespace nsim
