#include "support/fake_server.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <map>

#include "core/text.h"
#include "core/server_api.h"

namespace {

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
    FakeServer& f = Pick(server);
    f.calls.push_back(L"NetSessionDel " + Show(client) + L" " + Show(user));
    if (f.deletionStatus != NERR_Success)
        return f.deletionStatus;
    if (!f.applyDeletions)
        return NERR_Success;
    const std::wstring name = client ? client : L"";
    bool found = false;
    std::erase_if(f.sessions, [&](const FakeSession& s) {
        const bool match = EqualsIgnoringAsciiCase(L"\\\\" + s.client, name) && (!user || s.user == user);
        found = found || match;
        return match;
    });
    return found ? NERR_Success : NERR_ClientNameNotFound;
}

NET_API_STATUS WINAPI FakeFileClose(LMSTR server, DWORD id)
{
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
    if (buffer) {
        --fake.buffersOut;
        HeapFree(GetProcessHeap(), 0, buffer);
    }
    return NERR_Success;
}

constexpr ServerApiFunctions kFakeFunctions = {FakeSessionEnum, FakeFileEnum,  FakeShareEnum, FakeSessionDel,
                                               FakeFileClose,   FakeShareDel, FakeBufferFree};

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
