// The built netapi32.dll itself: loaded by full path and called through GetProcAddress, and
// imported by a small program that finds it beside itself.

#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using EnvChanges = std::vector<std::pair<std::wstring, std::wstring>>;  // empty value: remove

bool under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::wstring env(const wchar_t* name) {
    wchar_t buf[4096];
    const DWORD n = GetEnvironmentVariableW(name, buf, 4096);
    return n && n < 4096 ? std::wstring(buf, n) : std::wstring();
}

std::wstring widen(const char* s) {
    std::wstring w;
    for (; *s; ++s) w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
    return w;
}

// Build paths come from CMake; under Wine they are Unix paths, which Z: maps.
std::wstring native_path(const char* p) {
    std::wstring w = widen(p);
    if (!w.empty() && w[0] == L'/') w = L"Z:" + w;
    std::replace(w.begin(), w.end(), L'/', L'\\');
    return w;
}

std::string narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s.push_back(static_cast<char>(c));
    return s;
}

std::wstring temp_dir(const wchar_t* name) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring d = std::wstring(base) + name + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(d.c_str(), nullptr);
    return d;
}

bool write_file(const std::wstring& path, const std::string& text) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD w = 0;
    const BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &w, nullptr);
    CloseHandle(h);
    return ok && w == text.size();
}

std::string read_file(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    std::string s;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) s.append(buf, got);
    CloseHandle(h);
    return s;
}

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

bool same_key(const std::wstring& entry, const std::wstring& key) {
    return entry.size() > key.size() && entry[key.size()] == L'=' &&
           CompareStringOrdinal(entry.c_str(), static_cast<int>(key.size()), key.c_str(), static_cast<int>(key.size()),
                                TRUE) == CSTR_EQUAL;
}

// Runs a program with this process's environment plus `changes`; returns its exit code.
DWORD run(const std::wstring& command_line, const EnvChanges& changes, DWORD timeout_ms) {
    std::vector<std::wstring> entries;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += std::wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(block);
    for (const auto& [key, value] : changes) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::wstring& e) { return same_key(e, key); }),
                      entries.end());
        if (!value.empty()) entries.push_back(key + L"=" + value);
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::wstring env_block;
    for (const auto& e : entries) {
        env_block += e;
        env_block.push_back(L'\0');
    }
    env_block.push_back(L'\0');
    std::wstring cmd = command_line;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, env_block.data(),
                        nullptr, &si, &pi))
        return 0xFFFFFFFFu;
    DWORD code = 0xFFFFFFFEu;
    if (WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 0xFFFFFFFDu);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// Wine takes WINEDLLOVERRIDES only from the environment a process starts with, and a value
// set with SetEnvironmentVariable does not reach a child; a per-program registry override
// does. Removed again when the test is done.
struct WineOverride {
    std::wstring key;
    explicit WineOverride(const std::wstring& exe_name) {
        if (!under_wine()) return;
        key = L"Software\\Wine\\AppDefaults\\" + exe_name;
        HKEY k = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (key + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &k, nullptr) != ERROR_SUCCESS)
            return;
        const wchar_t value[] = L"native,builtin";
        RegSetValueExW(k, L"netapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
        RegCloseKey(k);
    }
    ~WineOverride() {
        if (!key.empty()) RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    }
    WineOverride(const WineOverride&) = delete;
    WineOverride& operator=(const WineOverride&) = delete;
};

// GetProcAddress's FARPROC goes through void(*)() so the cast is a plain one.
template <class F>
F proc(HMODULE h, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(h, name)));
}

const char* kDllScenario =
    "# loaded by the RealDll test\n"
    "0 share Projects disk D:\\Shares\\Projects remark=\"Team files\"\n"
    "0 share C$ disk+special C:\\ uses=1\n"
    "0 connect PC17 bob\n"
    "0 connect PC20 Guest guest\n"
    "0 open PC17 bob D:\\Shares\\Projects\\plan.docx perm=rw\n"
    "0 reconnect PC20 1\n"
    "30 connect LATE u\n"
    "0 bogus line\n"
    "0 server FS2 delay=0.5\n"
    "0 on FS2 connect PC40 remote\n"
    "0 account mallory S-1-5-21-7-8-9-1313\n";

}  // namespace

TEST(RealDll, LoadLibraryByFullPathAndGetProcAddress) {
    if (under_wine() && env(L"WINEDLLOVERRIDES").find(L"netapi32=n") == std::wstring::npos &&
        env(L"NETAPI_SIM_CHILD").empty()) {
        // Wine keeps its builtin netapi32 unless told otherwise before the process starts,
        // so run this test again in a child that is.
        wchar_t self[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path(self, n);
        const WineOverride override_for(path.substr(path.find_last_of(L"\\/") + 1));
        const DWORD code = run(L"\"" + path + L"\" --gtest_filter=RealDll.*", {{L"NETAPI_SIM_CHILD", L"1"}}, 120000);
        EXPECT_EQ(code, 0u) << "RealDll failed in the child run with netapi32 native first (output above)";
        return;
    }

    const std::wstring dir = temp_dir(L"nsim-dll-");
    const std::wstring scenario = dir + L"dll.scenario", journal = dir + L"dll.journal";
    ASSERT_TRUE(write_file(scenario, kDllScenario));
    DeleteFileW(journal.c_str());
    SetEnvironmentVariableW(L"QUORVEL_SIM_SCENARIO", scenario.c_str());
    SetEnvironmentVariableW(L"QUORVEL_SIM_JOURNAL", journal.c_str());
    SetEnvironmentVariableW(L"QUORVEL_SIM_SPEED", L"10");  // 30 scenario seconds in 3

    const std::string dll = narrow(native_path(NETAPI_SIM_DLL));
    HMODULE h = LoadLibraryA(dll.c_str());
    ASSERT_NE(h, nullptr) << dll << " error " << GetLastError();
    const auto session_enum = proc<decltype(&NetSessionEnum)>(h, "NetSessionEnum");
    const auto file_enum = proc<decltype(&NetFileEnum)>(h, "NetFileEnum");
    const auto share_enum = proc<decltype(&NetShareEnum)>(h, "NetShareEnum");
    const auto session_del = proc<decltype(&NetSessionDel)>(h, "NetSessionDel");
    const auto file_close = proc<decltype(&NetFileClose)>(h, "NetFileClose");
    const auto share_del = proc<decltype(&NetShareDel)>(h, "NetShareDel");
    const auto buffer_free = proc<decltype(&NetApiBufferFree)>(h, "NetApiBufferFree");
    ASSERT_TRUE(session_enum && file_enum && share_enum && session_del && file_close && share_del && buffer_free);

    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0;
    DWORD_PTR fresume = 0;
    ASSERT_EQ(file_enum(nullptr, nullptr, nullptr, 3, &buf, MAX_PREFERRED_LENGTH, &read, &total, &fresume),
              static_cast<DWORD>(NERR_Success))
        << "ERROR_NOT_SUPPORTED here means Wine's own netapi32 was loaded";
    ASSERT_EQ(read, 1u);
    const DWORD id = reinterpret_cast<FILE_INFO_3*>(buf)->fi3_id;
    EXPECT_STREQ(reinterpret_cast<FILE_INFO_3*>(buf)->fi3_pathname, L"D:\\Shares\\Projects\\plan.docx");
    EXPECT_EQ(buffer_free(buf), static_cast<DWORD>(NERR_Success));

    ASSERT_EQ(share_enum(nullptr, 502, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr),
              static_cast<DWORD>(NERR_Success));
    ASSERT_EQ(read, 2u);
    const auto* sh = reinterpret_cast<SHARE_INFO_502*>(buf);
    EXPECT_STREQ(sh[1].shi502_netname, L"C$");
    EXPECT_EQ(sh[1].shi502_current_uses, 1u);
    EXPECT_EQ(sh[1].shi502_security_descriptor, nullptr);
    buffer_free(buf);

    auto session_names = [&] {
        std::vector<std::wstring> names;
        LPBYTE b = nullptr;
        DWORD n = 0, t = 0;
        if (session_enum(nullptr, nullptr, nullptr, 1, &b, MAX_PREFERRED_LENGTH, &n, &t, nullptr) == NERR_Success)
            for (DWORD i = 0; i < n; ++i) names.push_back(reinterpret_cast<SESSION_INFO_1*>(b)[i].sesi1_cname);
        buffer_free(b);
        return names;
    };
    auto wait_for = [&](const wchar_t* name) {
        for (int i = 0; i < 100; ++i) {
            const auto names = session_names();
            if (std::find(names.begin(), names.end(), name) != names.end()) return true;
            Sleep(100);
        }
        return false;
    };
    EXPECT_EQ(session_names(), (std::vector<std::wstring>{L"PC17", L"PC20"}));

    // A declared server by its name; this machine's own name is the local server; an unknown
    // name is a network path not found.
    auto count_on = [&](wchar_t* server, NET_API_STATUS* st) {
        LPBYTE b = nullptr;
        DWORD n = 0, t = 0;
        *st = session_enum(server, nullptr, nullptr, 10, &b, MAX_PREFERRED_LENGTH, &n, &t, nullptr);
        buffer_free(b);
        return n;
    };
    NET_API_STATUS st = 0;
    wchar_t fs2[] = L"\\\\fs2";
    EXPECT_EQ(count_on(fs2, &st), 1u);
    EXPECT_EQ(st, static_cast<DWORD>(NERR_Success));
    wchar_t self[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD self_size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(self, &self_size));
    EXPECT_EQ(count_on(self, &st), 2u) << narrow(self);
    wchar_t nosuch[] = L"\\\\NO-SUCH-SERVER";
    EXPECT_EQ(count_on(nosuch, &st), 0u);
    EXPECT_EQ(st, static_cast<DWORD>(ERROR_BAD_NETPATH));

    wchar_t pc20[] = L"\\\\PC20";
    EXPECT_EQ(session_del(nullptr, pc20, nullptr), static_cast<DWORD>(NERR_Success));
    EXPECT_TRUE(wait_for(L"PC20")) << "PC20 reconnects 1 scenario second after being deleted";
    EXPECT_TRUE(wait_for(L"LATE")) << "the clock runs: LATE connects at 30 s";

    // A trip's calls: the account's SID, the share's descriptor, and that descriptor written back.
    const auto get_info = proc<decltype(&NetShareGetInfo)>(h, "NetShareGetInfo");
    const auto set_info = proc<decltype(&NetShareSetInfo)>(h, "NetShareSetInfo");
    const auto user_info = proc<decltype(&NetUserGetInfo)>(h, "NetUserGetInfo");
    ASSERT_TRUE(get_info && set_info && user_info);
    ASSERT_EQ(user_info(nullptr, L"mallory", 23, &buf), static_cast<DWORD>(NERR_Success));
    LPWSTR sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<USER_INFO_23*>(buf)->usri23_user_sid, &sid));
    EXPECT_STREQ(sid, L"S-1-5-21-7-8-9-1313");
    LocalFree(sid);
    buffer_free(buf);
    wchar_t projects[] = L"Projects";
    ASSERT_EQ(get_info(nullptr, projects, 502, &buf), static_cast<DWORD>(NERR_Success));
    PSECURITY_DESCRIPTOR sd = reinterpret_cast<SHARE_INFO_502*>(buf)->shi502_security_descriptor;
    std::string bytes(static_cast<const char*>(sd), GetSecurityDescriptorLength(sd));
    buffer_free(buf);
    SHARE_INFO_1501 info{0, bytes.data()};
    EXPECT_EQ(set_info(nullptr, projects, 1501, reinterpret_cast<LPBYTE>(&info), nullptr),
              static_cast<DWORD>(NERR_Success));
    std::string sdhex;
    for (unsigned char c : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", c);
        sdhex += two;
    }

    EXPECT_EQ(file_close(nullptr, id), static_cast<DWORD>(NERR_Success));
    EXPECT_EQ(file_close(nullptr, id), static_cast<DWORD>(NERR_FileIdNotFound));
    EXPECT_EQ(share_del(nullptr, projects, 0), static_cast<DWORD>(NERR_Success));
    EXPECT_EQ(share_del(nullptr, projects, 0), static_cast<DWORD>(NERR_NetNameNotFound));
    EXPECT_EQ(share_enum(nullptr, 7, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr),
              static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(buffer_free(nullptr), static_cast<DWORD>(NERR_Success));
    EXPECT_TRUE(FreeLibrary(h));

    SetEnvironmentVariableW(L"QUORVEL_SIM_SCENARIO", nullptr);
    SetEnvironmentVariableW(L"QUORVEL_SIM_JOURNAL", nullptr);
    SetEnvironmentVariableW(L"QUORVEL_SIM_SPEED", nullptr);

    const std::string j = read_file(journal);
    EXPECT_TRUE(has(j, " load start pid=")) << j;
    EXPECT_TRUE(has(j, "speed=10"));
    EXPECT_TRUE(has(j, " load scenario path=")) << j;
    EXPECT_TRUE(has(j, "events=10 errors=1 warnings=0"));
    EXPECT_TRUE(has(j, " error line=9 reason=\"unknown command 'bogus'\""));
    EXPECT_TRUE(has(j, " event connect server=\"FS2\" computer=\"PC40\" user=\"remote\" flags=0 line=11"));
    EXPECT_TRUE(has(j, " call NetSessionEnum server=\"\\\\fs2\" client=null user=null level=10 prefmaxlen=max "
                       "resume=null status=0 entries=1 total=1 buffer=0x"))
        << j;
    EXPECT_TRUE(has(j, " next=null delay=500\r\n"));
    EXPECT_TRUE(has(j, " call NetSessionEnum server=\"\\\\NO-SUCH-SERVER\" client=null user=null level=10 "
                       "prefmaxlen=max resume=null status=53 entries=0 total=0 buffer=null next=null delay=0 "
                       "reason=\"no such server\"\r\n"));
    EXPECT_TRUE(has(j, "call NetSessionDel server=null client=\"\\\\PC20\" user=null status=0 sessions=1 files=0"));
    EXPECT_TRUE(has(j, "event reconnect-due computer=\"PC20\""));
    EXPECT_TRUE(has(j, "event connect computer=\"PC20\" user=\"Guest\" flags=1 cause=reconnect"));
    EXPECT_TRUE(has(j, "event connect computer=\"LATE\" user=\"u\" flags=0 line=8"));
    EXPECT_TRUE(has(j, "call NetShareDel server=null name=\"Projects\" reserved=0 status=0 files=0"));
    EXPECT_TRUE(has(j, "call NetUserGetInfo server=null user=\"mallory\" level=23 status=0 buffer=0x"));
    EXPECT_TRUE(has(j, " sid=S-1-5-21-7-8-9-1313\r\n"));
    EXPECT_TRUE(has(j, "call NetShareGetInfo server=null name=\"Projects\" level=502 status=0 buffer=0x"));
    EXPECT_TRUE(has(j, " sdhex=" + sdhex + " sd=\"O:BAG:BAD:(A;;FA;;;WD)\"\r\n")) << j;
    EXPECT_TRUE(has(j, "call NetShareSetInfo server=null name=\"Projects\" level=1501 status=0 sdhex=" + sdhex));
    EXPECT_TRUE(has(j, " unload outstanding_buffers=0"));
    DeleteFileW(scenario.c_str());
    DeleteFileW(journal.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST(ProbeProgram, ImportsTheDllBesideIt) {
    const std::wstring dir = temp_dir(L"nsim-probe-");
    const std::wstring exe_name = L"nsim-probe-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring dll = dir + L"netapi32.dll", exe = dir + exe_name, out = dir + L"out.txt";
    const std::wstring scenario = dir + L"netapi-sim.scenario", journal = dir + L"netapi-sim.journal";
    ASSERT_TRUE(CopyFileW(native_path(NETAPI_SIM_DLL).c_str(), dll.c_str(), FALSE)) << GetLastError();
    ASSERT_TRUE(CopyFileW(native_path(NETAPI_SIM_PROBE).c_str(), exe.c_str(), FALSE)) << GetLastError();
    ASSERT_TRUE(write_file(scenario,
                           "0 share Projects disk D:\\Shares\\Projects\n"
                           "0 share Scratch disk D:\\Scratch\n"
                           "0 connect PC1 alice\n"
                           "0 connect PC2 \"\"\n"
                           "0 open PC1 alice D:\\Shares\\Projects\\a.txt perm=rw\n"));
    DeleteFileW(journal.c_str());
    DeleteFileW(out.c_str());
    // No settings: the scenario and journal beside the program are the ones used.
    const WineOverride override_for(exe_name);
    const DWORD code = run(L"\"" + exe + L"\" \"" + out + L"\"",
                           {{L"QUORVEL_SIM_SCENARIO", L""},
                            {L"QUORVEL_SIM_JOURNAL", L""},
                            {L"QUORVEL_SIM_SPEED", L""}},
                           120000);
    ASSERT_EQ(code, 0u);
    std::string o = read_file(out);
    o.erase(std::remove(o.begin(), o.end(), '\r'), o.end());  // it writes in text mode
    EXPECT_TRUE(has(o, "shares status=0 entries=2\n")) << o;
    EXPECT_TRUE(has(o, "share Projects type=0 uses=0 path=D:\\Shares\\Projects sd=null\n")) << o;
    EXPECT_TRUE(has(o, "sessions status=0 entries=2\n"));
    EXPECT_TRUE(has(o, "session PC1 user=alice opens=1 flags=0\n"));
    EXPECT_TRUE(has(o, "session PC2 user= opens=0 flags=0\n"));
    EXPECT_TRUE(has(o, "files status=0 entries=1\n"));
    EXPECT_TRUE(has(o, "file id=1 perm=3 path=D:\\Shares\\Projects\\a.txt user=alice\n"));
    EXPECT_TRUE(has(o, "sessiondel status=0\n"));
    EXPECT_TRUE(has(o, "sharedel status=0\n"));
    EXPECT_TRUE(has(o, "fileclose status=2314\n"));
    const std::string j = read_file(journal);
    EXPECT_TRUE(has(j, " load scenario path=\"" + narrow(scenario) + "\" events=5 errors=0")) << j;
    EXPECT_TRUE(has(j, "call NetSessionDel server=null client=\"\\\\PC1\" user=null status=0 sessions=1 files=1"));
    EXPECT_TRUE(has(j, "call NetApiBufferFree"));
    EXPECT_TRUE(has(j, " unload outstanding_buffers=0")) << j;
    for (const auto& f : {dll, exe, out, scenario, journal}) DeleteFileW(f.c_str());
    RemoveDirectoryW(dir.c_str());
}
