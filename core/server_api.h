// The program's whole contact with the local server's session, open-file and share
// tables. Nothing else calls the server management functions, so a test (or a
// machine without them) can put another server in their place.
#pragma once

#include <windows.h>
#include <lm.h>

#include <cstddef>
#include <span>

struct ServerApiFunctions {
    NET_API_STATUS(WINAPI* sessionEnum)(LMSTR, LMSTR, LMSTR, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD, LPDWORD);
    NET_API_STATUS(WINAPI* fileEnum)(LMSTR, LMSTR, LMSTR, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD, PDWORD_PTR);
    NET_API_STATUS(WINAPI* shareEnum)(LMSTR, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD, LPDWORD);
    NET_API_STATUS(WINAPI* sessionDel)(LMSTR, LMSTR, LMSTR);
    NET_API_STATUS(WINAPI* fileClose)(LMSTR, DWORD);
    NET_API_STATUS(WINAPI* shareDel)(LMSTR, LMSTR, DWORD);
    NET_API_STATUS(WINAPI* bufferFree)(LPVOID);
    // A share's permissions, read (level 502) and written (level 1501).
    NET_API_STATUS(WINAPI* shareGetInfo)(LMSTR, LMSTR, DWORD, LPBYTE*);
    NET_API_STATUS(WINAPI* shareSetInfo)(LMSTR, LMSTR, DWORD, LPBYTE, LPDWORD);
    // An account's SID as a server knows it: its lookup, then its own accounts (level 23).
    BOOL(WINAPI* lookupAccount)(LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE);
    NET_API_STATUS(WINAPI* userGetInfo)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
};

// Loads the system folder's netapi32.dll and binds its delete, close and release
// functions; one that is missing answers ERROR_PROC_NOT_FOUND.
void LoadServerLibrary();
// Binds the three enumerations by name. One that is missing is never called: its
// enumerations answer ERROR_PROC_NOT_FOUND with no records.
void ResolveServerEnumerations();

// Replaces the server for tests; nullptr puts the platform's functions back.
void InstallServerApi(const ServerApiFunctions* functions);

// One enumeration: a single call for every record, released when it goes out of
// scope. A failed call (anything but success or ERROR_MORE_DATA) has no records.
template <typename Record>
struct Enumeration {
    NET_API_STATUS status = NERR_Success;
    Record* buffer = nullptr;
    DWORD count = 0;

    Enumeration() = default;
    Enumeration(const Enumeration&) = delete;
    Enumeration& operator=(const Enumeration&) = delete;
    ~Enumeration();

    std::span<Record> Records() const { return {buffer, buffer ? count : 0}; }
    // Hands the buffer to the caller, who releases it with ReleaseServerBuffer.
    Record* Detach()
    {
        Record* taken = buffer;
        buffer = nullptr;
        return taken;
    }
};

void ReleaseServerBuffer(void* buffer);

template <typename Record>
Enumeration<Record>::~Enumeration()
{
    ReleaseServerBuffer(buffer);
}

// Every call names a server: nullptr is this computer, anything else a server on
// the network, as "\\\\NAME" or "NAME".
void EnumerateSessions0(Enumeration<SESSION_INFO_0>* result, const wchar_t* serverName = nullptr);
void EnumerateSessions1(Enumeration<SESSION_INFO_1>* result, const wchar_t* serverName = nullptr);
// The sessions the server reports for one user name.
void EnumerateSessionsOfUser(const wchar_t* user, Enumeration<SESSION_INFO_1>* result,
                             const wchar_t* serverName = nullptr);
void EnumerateOpenFiles(Enumeration<FILE_INFO_3>* result, const wchar_t* serverName = nullptr);
void EnumerateShares(Enumeration<SHARE_INFO_502>* result, const wchar_t* serverName = nullptr);

// `client` carries its two leading backslashes; `user` may be nullptr for all users.
NET_API_STATUS DeleteServerSession(const wchar_t* client, const wchar_t* user, const wchar_t* serverName = nullptr);
NET_API_STATUS CloseServerFile(DWORD fileId, const wchar_t* serverName = nullptr);
NET_API_STATUS DeleteServerShare(const wchar_t* name, const wchar_t* serverName = nullptr);

// The share's record at level 502, its descriptor included (NULL when it has none);
// released with ReleaseServerBuffer. A failed call leaves *info NULL.
NET_API_STATUS ReadShareInfo(const wchar_t* name, SHARE_INFO_502** info, const wchar_t* serverName = nullptr);
// Writes a self-relative descriptor as the share's permissions (level 1501).
NET_API_STATUS WriteSharePermissions(const wchar_t* name, const void* descriptor, const wchar_t* serverName = nullptr);
// The SID of `account` as the server knows it, into `sid` (at most `sidBytes`), and what
// kind of account it is. The server's lookup answers first; an account it cannot map, or
// a lookup that fails, is asked of the server's own accounts (a user then). 0 on
// success, else the error.
DWORD LookUpServerAccount(const wchar_t* account, void* sid, DWORD sidBytes, SID_NAME_USE* use,
                          const wchar_t* serverName = nullptr);
