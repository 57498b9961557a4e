#include "core/server_api.h"

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
