#include "core/server_api.h"

#include <array>

#include "core/system_library.h"

namespace {

constexpr DWORD kPreferAll = MAX_PREFERRED_LENGTH;

HMODULE serverLibrary;

// Every function arrives by name from the system folder's library: the enumerations
// once the start-up says, the rest with the library.
ServerApiFunctions platformServer{};
const ServerApiFunctions* server = &platformServer;

template <typename Function>
Function Bind(const char* name)
{
    return SystemFunction<Function>(serverLibrary, name);
}

// Only success and a partial answer carry records; anything else counts as none.
template <typename Record>
void Settle(Enumeration<Record>* result, NET_API_STATUS status, LPBYTE buffer, DWORD count)
{
    result->status = status;
    result->buffer = reinterpret_cast<Record*>(buffer);
    result->count = (status == NERR_Success || status == ERROR_MORE_DATA) && buffer ? count : 0;
}

LMSTR Name(const wchar_t* text)
{
    return const_cast<LMSTR>(text);
}

template <typename Record>
void EnumerateSessions(Enumeration<Record>* result, DWORD level, const wchar_t* serverName, const wchar_t* user)
{
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0, resume = 0;
    NET_API_STATUS status = ERROR_PROC_NOT_FOUND;
    if (server->sessionEnum)
        status = server->sessionEnum(Name(serverName), nullptr, Name(user), level, &buffer, kPreferAll, &read, &total,
                                     &resume);
    Settle(result, status, buffer, read);
}

}  // namespace

void LoadServerLibrary()
{
    serverLibrary = LoadSystemLibrary(L"netapi32.dll");
    platformServer.sessionDel = Bind<decltype(ServerApiFunctions::sessionDel)>("NetSessionDel");
    platformServer.fileClose = Bind<decltype(ServerApiFunctions::fileClose)>("NetFileClose");
    platformServer.shareDel = Bind<decltype(ServerApiFunctions::shareDel)>("NetShareDel");
    platformServer.bufferFree = Bind<decltype(ServerApiFunctions::bufferFree)>("NetApiBufferFree");
    platformServer.shareGetInfo = Bind<decltype(ServerApiFunctions::shareGetInfo)>("NetShareGetInfo");
    platformServer.shareSetInfo = Bind<decltype(ServerApiFunctions::shareSetInfo)>("NetShareSetInfo");
    platformServer.userGetInfo = Bind<decltype(ServerApiFunctions::userGetInfo)>("NetUserGetInfo");
    platformServer.lookupAccount = LookupAccountNameW;
}

void ResolveServerEnumerations()
{
    using SessionEnum = decltype(ServerApiFunctions::sessionEnum);
    using FileEnum = decltype(ServerApiFunctions::fileEnum);
    using ShareEnum = decltype(ServerApiFunctions::shareEnum);
    platformServer.sessionEnum = Bind<SessionEnum>("NetSessionEnum");
    platformServer.fileEnum = Bind<FileEnum>("NetFileEnum");
    platformServer.shareEnum = Bind<ShareEnum>("NetShareEnum");
}

void InstallServerApi(const ServerApiFunctions* functions)
{
    server = functions ? functions : &platformServer;
}

void ReleaseServerBuffer(void* buffer)
{
    if (buffer && server->bufferFree)
        server->bufferFree(buffer);
}

void EnumerateSessions0(Enumeration<SESSION_INFO_0>* result, const wchar_t* serverName)
{
    EnumerateSessions(result, 0, serverName, nullptr);
}

void EnumerateSessions1(Enumeration<SESSION_INFO_1>* result, const wchar_t* serverName)
{
    EnumerateSessions(result, 1, serverName, nullptr);
}

void EnumerateSessionsOfUser(const wchar_t* user, Enumeration<SESSION_INFO_1>* result, const wchar_t* serverName)
{
    EnumerateSessions(result, 1, serverName, user);
}

void EnumerateOpenFiles(Enumeration<FILE_INFO_3>* result, const wchar_t* serverName)
{
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    DWORD_PTR resume = 0;
    NET_API_STATUS status = ERROR_PROC_NOT_FOUND;
    if (server->fileEnum)
        status = server->fileEnum(Name(serverName), nullptr, nullptr, 3, &buffer, kPreferAll, &read, &total, &resume);
    Settle(result, status, buffer, read);
}

void EnumerateShares(Enumeration<SHARE_INFO_502>* result, const wchar_t* serverName)
{
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0, resume = 0;
    NET_API_STATUS status = ERROR_PROC_NOT_FOUND;
    if (server->shareEnum)
        status = server->shareEnum(Name(serverName), 502, &buffer, kPreferAll, &read, &total, &resume);
    Settle(result, status, buffer, read);
}

NET_API_STATUS DeleteServerSession(const wchar_t* client, const wchar_t* user, const wchar_t* serverName)
{
    if (!server->sessionDel)
        return ERROR_PROC_NOT_FOUND;
    return server->sessionDel(Name(serverName), Name(client), Name(user));
}

NET_API_STATUS CloseServerFile(DWORD fileId, const wchar_t* serverName)
{
    if (!server->fileClose)
        return ERROR_PROC_NOT_FOUND;
    return server->fileClose(Name(serverName), fileId);
}

NET_API_STATUS DeleteServerShare(const wchar_t* name, const wchar_t* serverName)
{
    if (!server->shareDel)
        return ERROR_PROC_NOT_FOUND;
    return server->shareDel(Name(serverName), Name(name), 0);
}

NET_API_STATUS ReadShareInfo(const wchar_t* name, SHARE_INFO_502** info, const wchar_t* serverName)
{
    *info = nullptr;
    if (!server->shareGetInfo)
        return ERROR_PROC_NOT_FOUND;
    LPBYTE buffer = nullptr;
    const NET_API_STATUS status = server->shareGetInfo(Name(serverName), Name(name), 502, &buffer);
    if (status != NERR_Success) {
        ReleaseServerBuffer(buffer);
        return status;
    }
    *info = reinterpret_cast<SHARE_INFO_502*>(buffer);
    return buffer ? NERR_Success : ERROR_INVALID_DATA;
}

NET_API_STATUS WriteSharePermissions(const wchar_t* name, const void* descriptor, const wchar_t* serverName)
{
    if (!server->shareSetInfo)
        return ERROR_PROC_NOT_FOUND;
    SHARE_INFO_1501 info{};
    info.shi1501_security_descriptor = const_cast<void*>(descriptor);
    DWORD badParameter = 0;
    return server->shareSetInfo(Name(serverName), Name(name), 1501, reinterpret_cast<LPBYTE>(&info), &badParameter);
}

DWORD LookUpServerAccount(const wchar_t* account, void* sid, DWORD sidBytes, SID_NAME_USE* use,
                          const wchar_t* serverName)
{
    *use = SidTypeUnknown;
    if (!account || !*account)
        return ERROR_NONE_MAPPED;
    DWORD error = ERROR_PROC_NOT_FOUND;
    if (server->lookupAccount) {
        DWORD size = sidBytes;
        std::array<wchar_t, 256> domain{};
        DWORD domainUnits = static_cast<DWORD>(domain.size());
        if (server->lookupAccount(serverName, account, sid, &size, domain.data(), &domainUnits, use))
            return 0;
        error = GetLastError();
    }
    // An account the lookup could not map, or a server whose lookup could not be reached
    // (measured under Wine: 1722 for any other server): the server's own list may know it.
    if (error == ERROR_INSUFFICIENT_BUFFER || !server->userGetInfo)
        return error;
    LPBYTE buffer = nullptr;
    const NET_API_STATUS status = server->userGetInfo(serverName, account, 23, &buffer);
    const auto* user = reinterpret_cast<const USER_INFO_23*>(buffer);
    DWORD result = status != NERR_Success ? status : ERROR_INVALID_DATA;
    if (status == NERR_Success && user && user->usri23_user_sid && IsValidSid(user->usri23_user_sid) &&
        GetLengthSid(user->usri23_user_sid) <= sidBytes) {
        CopySid(sidBytes, sid, user->usri23_user_sid);
        *use = SidTypeUser;
        result = 0;
    }
    ReleaseServerBuffer(buffer);
    return result;
}
