// Imports netapi32 the way the product does; run with the simulator's DLL beside it.
// Prints what it sees, one line per record, to the file named by argv[1].

#include <windows.h>
#include <lm.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    FILE* out = std::fopen(argv[1], "w");
    if (!out) return 3;

    LPBYTE buf = nullptr;
    DWORD read = 0, total = 0, resume = 0;
    NET_API_STATUS st = NetShareEnum(nullptr, 502, &buf, MAX_PREFERRED_LENGTH, &read, &total, &resume);
    std::fprintf(out, "shares status=%lu entries=%lu\n", st, read);
    if (st == NERR_Success && buf) {
        auto* sh = reinterpret_cast<SHARE_INFO_502*>(buf);
        for (DWORD i = 0; i < read; ++i)
            std::fprintf(out, "share %ls type=%lu uses=%lu path=%ls sd=%s\n", sh[i].shi502_netname, sh[i].shi502_type,
                         sh[i].shi502_current_uses, sh[i].shi502_path,
                         sh[i].shi502_security_descriptor ? "set" : "null");
    }
    NetApiBufferFree(buf);

    buf = nullptr;
    st = NetSessionEnum(nullptr, nullptr, nullptr, 1, &buf, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    std::fprintf(out, "sessions status=%lu entries=%lu\n", st, read);
    if (st == NERR_Success && buf) {
        auto* s = reinterpret_cast<SESSION_INFO_1*>(buf);
        for (DWORD i = 0; i < read; ++i)
            std::fprintf(out, "session %ls user=%ls opens=%lu flags=%lu\n", s[i].sesi1_cname, s[i].sesi1_username,
                         s[i].sesi1_num_opens, s[i].sesi1_user_flags);
    }
    NetApiBufferFree(buf);

    buf = nullptr;
    DWORD_PTR fresume = 0;
    st = NetFileEnum(nullptr, nullptr, nullptr, 3, &buf, MAX_PREFERRED_LENGTH, &read, &total, &fresume);
    std::fprintf(out, "files status=%lu entries=%lu\n", st, read);
    if (st == NERR_Success && buf) {
        auto* f = reinterpret_cast<FILE_INFO_3*>(buf);
        for (DWORD i = 0; i < read; ++i)
            std::fprintf(out, "file id=%lu perm=%lu path=%ls user=%ls\n", f[i].fi3_id, f[i].fi3_permissions,
                         f[i].fi3_pathname, f[i].fi3_username);
    }
    NetApiBufferFree(buf);

    wchar_t client[] = L"\\\\PC1";
    std::fprintf(out, "sessiondel status=%lu\n", NetSessionDel(nullptr, client, nullptr));
    wchar_t share[] = L"Scratch";
    std::fprintf(out, "sharedel status=%lu\n", NetShareDel(nullptr, share, 0));
    std::fprintf(out, "fileclose status=%lu\n", NetFileClose(nullptr, 999999));
    std::fclose(out);
    return 0;
}
