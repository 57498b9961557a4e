// netapi32.dll stand-in: the Net* functions Quorvel uses, answered by the simulated server.
// Each export catches everything: an exception must never unwind into the caller.

#include <windows.h>
#include <lm.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "server.h"
#include "text.h"

namespace {

HINSTANCE g_module = nullptr;
CRITICAL_SECTION g_init_lock;
nsim::Sim* g_sim = nullptr;

bool get_env(const wchar_t* name, std::wstring& out) {
    wchar_t small[512];
    DWORD n = GetEnvironmentVariableW(name, small, 512);
    if (n == 0) {
        out.clear();
        return GetLastError() != ERROR_ENVVAR_NOT_FOUND;  // set but empty
    }
    if (n < 512) {
        out.assign(small, n);
        return true;
    }
    std::wstring big(n, L'\0');
    const DWORD m = GetEnvironmentVariableW(name, big.data(), n);
    big.resize(m < n ? m : 0);
    out = big;
    return true;
}

// Beside the program that loaded the DLL: Quorvel takes netapi32 from the system folder
// only, so the DLL stands there, and each program's scenario stands beside that program.
std::wstring beside_program(const wchar_t* file) {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    const size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + file;
}

// This machine's names: a program that names its own server reaches the local one.
std::vector<std::wstring> local_names() {
    std::vector<std::wstring> names;
    for (const COMPUTER_NAME_FORMAT format :
         {ComputerNameNetBIOS, ComputerNameDnsHostname, ComputerNameDnsFullyQualified}) {
        wchar_t name[256];
        DWORD n = 256;
        if (GetComputerNameExW(format, name, &n) && n > 0 && n < 256) names.emplace_back(name, n);
    }
    return names;
}

// First call: read the settings, open the journal, load the scenario. Time zero is now, so
// the scenario plays from the program's first call however long after loading that comes.
struct InitLock {
    InitLock() { EnterCriticalSection(&g_init_lock); }
    ~InitLock() { LeaveCriticalSection(&g_init_lock); }
    InitLock(const InitLock&) = delete;
    InitLock& operator=(const InitLock&) = delete;
};

nsim::Sim* sim() {
    InitLock lock;
    if (!g_sim) {
        nsim::SimOptions opt;
        std::wstring journal, scenario, speed;
        // Unset, the journal is kept beside the program only where a scenario stands beside it:
        // the DLL serves every run in the prefix, and leaves nothing where no one set it up.
        if (!get_env(L"QUORVEL_SIM_JOURNAL", journal) &&
            GetFileAttributesW(beside_program(L"netapi-sim.scenario").c_str()) != INVALID_FILE_ATTRIBUTES)
            journal = beside_program(L"netapi-sim.journal");
        opt.journal_path = journal;  // set but empty: no journal
        // The shares' permissions outlast the process beside the journal, as a real server's do.
        if (!journal.empty()) opt.kept_path = journal + L".shares";
        std::string speed_note;
        if (get_env(L"QUORVEL_SIM_SPEED", speed) && !speed.empty()) {
            wchar_t* end = nullptr;
            const double v = std::wcstod(speed.c_str(), &end);
            if (end && *end == L'\0' && v >= 0.01 && v <= 1000.0)
                opt.speed = v;
            else
                speed_note = " speed_ignored=" + nsim::quote(speed);
        }
        opt.local_names = local_names();
        g_sim = nsim::sim_create(opt);
        const bool scenario_set = get_env(L"QUORVEL_SIM_SCENARIO", scenario);
        if (!scenario_set) scenario = beside_program(L"netapi-sim.scenario");
        std::wstring dll(32768, L'\0');
        dll.resize(GetModuleFileNameW(g_module, dll.data(), static_cast<DWORD>(dll.size())));
        char speed_text[32];
        std::snprintf(speed_text, sizeof speed_text, "%g", opt.speed);
        nsim::sim_journal_note(g_sim, "load start pid=" + std::to_string(GetCurrentProcessId()) +
                                          " dll=" + nsim::quote(dll) + " journal=" + nsim::quote(journal) +
                                          " speed=" + speed_text + speed_note);
        if (scenario.empty())
            nsim::sim_journal_note(g_sim, "load no-scenario reason=\"QUORVEL_SIM_SCENARIO is empty; the server is empty\"");
        else
            nsim::sim_load_file(g_sim, scenario);
    }
    return g_sim;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = module;
        InitializeCriticalSection(&g_init_lock);
    } else if (reason == DLL_PROCESS_DETACH) {
        if (g_sim) {
            nsim::sim_journal_unload(g_sim);
            // At process exit other threads are gone mid-call; leave the memory to the OS.
            if (!reserved) {
                nsim::sim_destroy(g_sim);
                g_sim = nullptr;
            }
        }
        if (!reserved) DeleteCriticalSection(&g_init_lock);
    }
    return TRUE;
}

extern "C" {

NET_API_STATUS WINAPI NetSessionEnum(LMSTR servername, LMSTR UncClientName, LMSTR username, DWORD level,
                                     LPBYTE* bufptr, DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries,
                                     LPDWORD resume_handle) {
    try {
        return nsim::sim_session_enum(sim(), servername, UncClientName, username, level, bufptr, prefmaxlen,
                                      entriesread, totalentries, resume_handle);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetFileEnum(LMSTR servername, LMSTR basepath, LMSTR username, DWORD level, LPBYTE* bufptr,
                                  DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries,
                                  PDWORD_PTR resume_handle) {
    try {
        return nsim::sim_file_enum(sim(), servername, basepath, username, level, bufptr, prefmaxlen, entriesread,
                                   totalentries, resume_handle);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetShareEnum(LMSTR servername, DWORD level, LPBYTE* bufptr, DWORD prefmaxlen,
                                   LPDWORD entriesread, LPDWORD totalentries, LPDWORD resume_handle) {
    try {
        return nsim::sim_share_enum(sim(), servername, level, bufptr, prefmaxlen, entriesread, totalentries,
                                    resume_handle);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetSessionDel(LMSTR servername, LMSTR UncClientName, LMSTR username) {
    try {
        return nsim::sim_session_del(sim(), servername, UncClientName, username);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetFileClose(LMSTR servername, DWORD fileid) {
    try {
        return nsim::sim_file_close(sim(), servername, fileid);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetShareDel(LMSTR servername, LMSTR netname, DWORD reserved) {
    try {
        return nsim::sim_share_del(sim(), servername, netname, reserved);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetShareGetInfo(LMSTR servername, LMSTR netname, DWORD level, LPBYTE* bufptr) {
    try {
        return nsim::sim_share_get_info(sim(), servername, netname, level, bufptr);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetShareSetInfo(LMSTR servername, LMSTR netname, DWORD level, LPBYTE buf, LPDWORD parm_err) {
    try {
        return nsim::sim_share_set_info(sim(), servername, netname, level, buf, parm_err);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetUserGetInfo(LPCWSTR servername, LPCWSTR username, DWORD level, LPBYTE* bufptr) {
    try {
        return nsim::sim_user_get_info(sim(), servername, username, level, bufptr);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID Buffer) {
    try {
        return nsim::sim_buffer_free(sim(), Buffer);
    } catch (...) {
        return ERROR_INVALID_PARAMETER;
    }
}

}  // extern "C"
