#include "support/fake_server.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>

#include "core/text.h"
#include "core/server_api.h"

#include <sddl.h>

namespace {

// The calls come from the engine's thread, the servers' workers and the share denies' thread.
CRITICAL_SECTION fakeLock;
const bool fakeLockMade = [] {
    InitializeCriticalSection(&fakeLock);
    return true;
}();

struct FakeLock {
    FakeLock() { EnterCriticalSection(&fakeLock); }
    ~FakeLock() { LeaveCriticalSection(&fakeLock); }
    FakeLock(const FakeLock&) = delete;
    FakeLock& operator=(const FakeLock&) = delete;
};

FakeServer fake;
// Other servers, by name as a call gives it, without backslashes, upper-cased.
std::map<std::wstring, FakeServer> others;

FakeServer& Pick(LPCWSTR server)
{
    std::wstring name = server ? server : L"";
    name.erase(0, name.find_first_not_of(L'\\') == std::wstring::npos ? name.size() : name.find_first_not_of(L'\\'));
    if (name.empty())
        return fake;
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(towupper(c));
    return others[name];
}

// One allocation: the records, then their strings, as the platform hands them out.
template <typename Record, typename Fill>
LPBYTE BuildBuffer(std::size_t count, std::size_t stringUnits, Fill fill)
{
    const std::size_t bytes = count * sizeof(Record) + stringUnits * sizeof(wchar_t) + sizeof(Record);
    auto* buffer = static_cast<LPBYTE>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    auto* records = reinterpret_cast<Record*>(buffer);
    auto* strings = reinterpret_cast<wchar_t*>(buffer + count * sizeof(Record));
    const auto place = [&strings](const std::wstring& text) {
        wchar_t* at = strings;
        wmemcpy(at, text.c_str(), text.size() + 1);
        strings += text.size() + 1;
        return at;
    };
    for (std::size_t i = 0; i < count; ++i)
        fill(records[i], i, place);
    ++fake.buffersOut;
    return buffer;
}

std::wstring Show(LPCWSTR text)
{
    return text ? std::wstring(text) : std::wstring(L"<null>");
}

NET_API_STATUS WINAPI FakeSessionEnum(LMSTR server, LMSTR, LMSTR user, DWORD level, LPBYTE* buffer, DWORD, LPDWORD read,
                                      LPDWORD total, LPDWORD)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    ++f.sessionEnumCalls;
    f.calls.push_back(L"NetSessionEnum " + std::to_wstring(level) + (user ? L" user=" + std::wstring(user) : L""));
    if (f.sessionStatus != NERR_Success && f.sessionStatus != ERROR_MORE_DATA)
        return f.sessionStatus;
    // A user filter picks that user's sessions, as the server compares names: without regard to case.
    std::vector<const FakeSession*> picked;
    for (const FakeSession& s : f.sessions)
        if (!user || _wcsicmp(user, s.user.c_str()) == 0)
            picked.push_back(&s);
    const std::size_t count = f.sessionStatus == ERROR_MORE_DATA
                                  ? std::min(picked.size(), f.sessionsPerPartialAnswer)
                                  : picked.size();
    std::size_t units = 0;
    for (std::size_t i = 0; i < count; ++i)
        units += picked[i]->client.size() + picked[i]->user.size() + 2;
    if (level == 0) {
        *buffer = BuildBuffer<SESSION_INFO_0>(count, units, [&picked](SESSION_INFO_0& r, std::size_t i, auto place) {
            r.sesi0_cname = place(picked[i]->client);
        });
    } else {
        *buffer = BuildBuffer<SESSION_INFO_1>(count, units, [&picked](SESSION_INFO_1& r, std::size_t i, auto place) {
            const FakeSession& s = *picked[i];
            r.sesi1_cname = place(s.client);
            r.sesi1_username = place(s.user);
            r.sesi1_num_opens = s.opens;
            r.sesi1_time = s.seconds;
            r.sesi1_idle_time = s.idleSeconds;
            r.sesi1_user_flags = s.flags;
        });
    }
    *read = static_cast<DWORD>(count);
    *total = static_cast<DWORD>(picked.size());
    if (user && picked.empty())
        return NERR_UserNotFound;
    return f.sessionStatus;
}

NET_API_STATUS WINAPI FakeFileEnum(LMSTR server, LMSTR, LMSTR, DWORD level, LPBYTE* buffer, DWORD, LPDWORD read,
                                   LPDWORD total, PDWORD_PTR)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    ++f.fileEnumCalls;
    f.calls.push_back(L"NetFileEnum " + std::to_wstring(level));
    if (f.fileStatus != NERR_Success && f.fileStatus != ERROR_MORE_DATA)
        return f.fileStatus;
    const std::size_t count = f.fileStatus == ERROR_MORE_DATA
                                  ? std::min(f.files.size(), f.filesPerPartialAnswer)
                                  : f.files.size();
    std::size_t units = 0;
    for (std::size_t i = 0; i < count; ++i)
        units += f.files[i].path.size() + f.files[i].user.size() + 2;
    *buffer = BuildBuffer<FILE_INFO_3>(count, units, [&f](FILE_INFO_3& r, std::size_t i, auto place) {
        const FakeFile& file = f.files[i];
        r.fi3_id = file.id;
        r.fi3_permissions = file.permissions;
        r.fi3_num_locks = file.locks;
        r.fi3_pathname = place(file.path);
        r.fi3_username = place(file.user);
    });
    *read = static_cast<DWORD>(count);
    *total = static_cast<DWORD>(f.files.size());
    return f.fileStatus;
}

NET_API_STATUS WINAPI FakeShareEnum(LMSTR server, DWORD level, LPBYTE* buffer, DWORD, LPDWORD read, LPDWORD total,
                                    LPDWORD)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    ++f.shareEnumCalls;
    f.calls.push_back(L"NetShareEnum " + std::to_wstring(level));
    if (f.shareStatus != NERR_Success && f.shareStatus != ERROR_MORE_DATA)
        return f.shareStatus;
    std::size_t units = 0;
    for (const FakeShare& s : f.shares)
        units += s.name.size() + s.remark.size() + s.path.size() + 3;
    *buffer = BuildBuffer<SHARE_INFO_502>(f.shares.size(), units, [&f](SHARE_INFO_502& r, std::size_t i, auto place) {
        const FakeShare& s = f.shares[i];
        r.shi502_netname = place(s.name);
        r.shi502_type = s.type;
        r.shi502_remark = place(s.remark);
        r.shi502_current_uses = s.uses;
        r.shi502_path = place(s.path);
    });
    *read = *total = static_cast<DWORD>(f.shares.size());
    return f.shareStatus;
}

NET_API_STATUS WINAPI FakeSessionDel(LMSTR server, LMSTR client, LMSTR user)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetSessionDel " + Show(client) + L" " + Show(user));
    if (f.deletionStatus != NERR_Success)
        return f.deletionStatus;
    if (!f.applyDeletions)
        return NERR_Success;
    const std::wstring name = client ? client : L"";
    bool found = false;
    // No client: that user's sessions on every computer.
    std::erase_if(f.sessions, [&](const FakeSession& s) {
        const bool match = (name.empty() ? user && _wcsicmp(s.user.c_str(), user) == 0
                                         : EqualsIgnoringAsciiCase(L"\\\\" + s.client, name)) &&
                           (!user || s.user == user);
        found = found || match;
        return match;
    });
    return found ? NERR_Success : NERR_ClientNameNotFound;
}

NET_API_STATUS WINAPI FakeFileClose(LMSTR server, DWORD id)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetFileClose " + std::to_wstring(id));
    if (f.deletionStatus != NERR_Success)
        return f.deletionStatus;
    if (!f.applyDeletions)
        return NERR_Success;
    return std::erase_if(f.files, [id](const FakeFile& file) { return file.id == id; }) ? NERR_Success
                                                                                           : NERR_FileIdNotFound;
}

NET_API_STATUS WINAPI FakeShareDel(LMSTR server, LMSTR name, DWORD)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetShareDel " + Show(name));
    if (f.deletionStatus != NERR_Success)
        return f.deletionStatus;
    if (!f.applyDeletions)
        return NERR_Success;
    const std::wstring target = name ? name : L"";
    return std::erase_if(f.shares, [&](const FakeShare& s) { return s.name == target; }) ? NERR_Success
                                                                                            : NERR_NetNameNotFound;
}

NET_API_STATUS WINAPI FakeBufferFree(LPVOID buffer)
{
    const FakeLock held;
    if (buffer) {
        --fake.buffersOut;
        HeapFree(GetProcessHeap(), 0, buffer);
    }
    return NERR_Success;
}

const std::vector<BYTE>& DescriptorOf(FakeShare& share)
{
    if (share.descriptor.empty()) {
        PSECURITY_DESCRIPTOR made = nullptr;
        ULONG size = 0;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(kEveryoneFullControl, SDDL_REVISION_1, &made, &size);
        (void)size;  // a server keeps the descriptor's own length, not the allocation's
        share.descriptor.assign(static_cast<BYTE*>(made), static_cast<BYTE*>(made) + GetSecurityDescriptorLength(made));
        LocalFree(made);
    }
    return share.descriptor;
}

FakeShare* FindShare(FakeServer& f, LPCWSTR name)
{
    for (FakeShare& share : f.shares)
        if (name && _wcsicmp(share.name.c_str(), name) == 0)
            return &share;
    return nullptr;
}

NET_API_STATUS WINAPI FakeShareGetInfo(LMSTR server, LMSTR name, DWORD level, LPBYTE* buffer)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetShareGetInfo " + Show(name) + L" " + std::to_wstring(level));
    *buffer = nullptr;
    if (f.shareInfoStatus != NERR_Success)
        return f.shareInfoStatus;
    FakeShare* share = FindShare(f, name);
    if (!share)
        return NERR_NetNameNotFound;
    if (level != 502)
        return ERROR_INVALID_LEVEL;
    const std::vector<BYTE>& descriptor = DescriptorOf(*share);
    const std::size_t units = share->name.size() + share->remark.size() + share->path.size() + 3 + descriptor.size();
    *buffer = BuildBuffer<SHARE_INFO_502>(1, units, [&](SHARE_INFO_502& r, std::size_t, auto place) {
        r.shi502_netname = place(share->name);
        r.shi502_type = share->type;
        r.shi502_remark = place(share->remark);
        r.shi502_path = place(share->path);
        // After the strings, on an even place: room for it was counted in units.
        auto* bytes = reinterpret_cast<BYTE*>(place(L""));
        bytes = reinterpret_cast<BYTE*>((reinterpret_cast<ULONG_PTR>(bytes) + 7) & ~static_cast<ULONG_PTR>(7));
        memcpy(bytes, descriptor.data(), descriptor.size());
        r.shi502_security_descriptor = share->none ? nullptr : bytes;
        r.shi502_reserved = share->none ? 0 : static_cast<DWORD>(descriptor.size());  // as the protocol carries it
    });
    return NERR_Success;
}

NET_API_STATUS WINAPI FakeShareSetInfo(LMSTR server, LMSTR name, DWORD level, LPBYTE buffer, LPDWORD)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetShareSetInfo " + Show(name) + L" " + std::to_wstring(level));
    ++f.shareSetCalls;
    FakeShare* share = FindShare(f, name);
    if (!share)
        return NERR_NetNameNotFound;
    for (const std::wstring& refusing : f.refusingShares)
        if (_wcsicmp(refusing.c_str(), name) == 0)
            return ERROR_ACCESS_DENIED;
    const auto* info = reinterpret_cast<const SHARE_INFO_1501*>(buffer);
    if (level != 1501 || !info || !info->shi1501_security_descriptor ||
        !IsValidSecurityDescriptor(info->shi1501_security_descriptor))
        return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const BYTE*>(info->shi1501_security_descriptor);
    share->descriptor.assign(bytes, bytes + GetSecurityDescriptorLength(info->shi1501_security_descriptor));
    share->none = false;
    return NERR_Success;
}

const FakeAccount* FindAccount(const std::vector<FakeAccount>& accounts, LPCWSTR name)
{
    for (const FakeAccount& account : accounts)
        if (name && _wcsicmp(account.name.c_str(), name) == 0)
            return &account;
    return nullptr;
}

BOOL WINAPI FakeLookupAccount(LPCWSTR server, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                              LPDWORD domainUnits, PSID_NAME_USE use)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"LookupAccountName " + Show(name));
    const FakeAccount* account = FindAccount(f.accounts, name);
    PSID found = nullptr;
    if (!account || !ConvertStringSidToSidW(account->sid.c_str(), &found)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const DWORD length = GetLengthSid(found);
    const bool fits = *sidSize >= length;
    if (fits)
        CopySid(*sidSize, sid, found);
    *sidSize = length;
    LocalFree(found);
    if (!fits) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (domain && *domainUnits > 0)
        domain[0] = 0;
    *use = account->use;
    return TRUE;
}

NET_API_STATUS WINAPI FakeUserGetInfo(LPCWSTR server, LPCWSTR name, DWORD level, LPBYTE* buffer)
{
    const FakeLock held;
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetUserGetInfo " + Show(name) + L" " + std::to_wstring(level));
    *buffer = nullptr;
    const FakeAccount* account = FindAccount(f.localAccounts, name);
    PSID found = nullptr;
    if (!account || !ConvertStringSidToSidW(account->sid.c_str(), &found))
        return NERR_UserNotFound;
    if (level != 23) {
        LocalFree(found);
        return ERROR_INVALID_LEVEL;
    }
    const DWORD length = GetLengthSid(found);
    *buffer = BuildBuffer<USER_INFO_23>(1, account->name.size() + 2 + length, [&](USER_INFO_23& r, std::size_t, auto place) {
        r.usri23_name = place(account->name);
        auto* bytes = reinterpret_cast<BYTE*>(place(L""));
        bytes = reinterpret_cast<BYTE*>((reinterpret_cast<ULONG_PTR>(bytes) + 7) & ~static_cast<ULONG_PTR>(7));
        CopySid(length, bytes, found);
        r.usri23_user_sid = bytes;
    });
    LocalFree(found);
    return NERR_Success;
}

constexpr ServerApiFunctions kFakeFunctions = {FakeSessionEnum, FakeFileEnum,  FakeShareEnum,    FakeSessionDel,
                                               FakeFileClose,   FakeShareDel, FakeBufferFree,   FakeShareGetInfo,
                                               FakeShareSetInfo, FakeLookupAccount, FakeUserGetInfo};

}  // namespace

std::vector<std::wstring> FakeServer::CallsStartingWith(const std::wstring& prefix) const
{
    std::vector<std::wstring> found;
    for (const std::wstring& call : calls)
        if (call.starts_with(prefix))
            found.push_back(call);
    return found;
}

FakeServer& InstallFakeServer()
{
    fake = FakeServer{};
    others.clear();
    InstallServerApi(&kFakeFunctions);
    return fake;
}

FakeServerHeld::FakeServerHeld()
{
    EnterCriticalSection(&fakeLock);
}

FakeServerHeld::~FakeServerHeld()
{
    LeaveCriticalSection(&fakeLock);
}

FakeServer& TheFakeServer()
{
    return fake;
}

FakeServer& TheFakeServer(const wchar_t* name)
{
    return Pick(name);
}

void UninstallFakeServer()
{
    InstallServerApi(nullptr);
}
