// A server the tests fill: session, open-file and share tables, the status each
// enumeration answers, and a record of every call the program makes.
#pragma once

#include <windows.h>
#include <lm.h>

#include <string>
#include <vector>

struct FakeSession {
    std::wstring client;  // as the server reports it, without backslashes
    std::wstring user;
    DWORD opens = 0;
    DWORD seconds = 0;
    DWORD idleSeconds = 0;
    DWORD flags = 0;
};

struct FakeFile {
    DWORD id = 0;
    DWORD permissions = PERM_FILE_READ;
    DWORD locks = 0;
    std::wstring path;
    std::wstring user;
};

constexpr wchar_t kEveryoneFullControl[] = L"O:BAG:BAD:(A;;0x1f01ff;;;WD)";

struct FakeShare {
    std::wstring name;
    DWORD type = STYPE_DISKTREE;
    std::wstring remark;
    DWORD uses = 0;
    std::wstring path;
    std::vector<BYTE> descriptor;  // self-relative; empty: everyone full control
    bool none = false;             // it has no descriptor at all: its info gives none
};

// An account as a server's lookup (or its own account list) knows it.
struct FakeAccount {
    std::wstring name;
    std::wstring sid;  // "S-1-5-21-..."
    SID_NAME_USE use = SidTypeUser;
};

struct FakeServer {
    std::vector<FakeSession> sessions;
    std::vector<FakeFile> files;
    std::vector<FakeShare> shares;

    NET_API_STATUS sessionStatus = NERR_Success;
    NET_API_STATUS fileStatus = NERR_Success;
    NET_API_STATUS shareStatus = NERR_Success;
    // With ERROR_MORE_DATA the enumerations hand out only this many records.
    std::size_t filesPerPartialAnswer = static_cast<std::size_t>(-1);
    std::size_t sessionsPerPartialAnswer = static_cast<std::size_t>(-1);
    NET_API_STATUS deletionStatus = NERR_Success;  // anything else: every deletion is refused with it
    bool applyDeletions = true;  // deletions change the tables, as a real server's do
    NET_API_STATUS shareInfoStatus = NERR_Success;  // anything else: every share's info is refused with it
    std::vector<std::wstring> refusingShares;       // their permissions cannot be written: access denied
    std::vector<FakeAccount> accounts;              // what the lookup maps
    std::vector<FakeAccount> localAccounts;         // the server's own, asked with NetUserGetInfo
    int shareSetCalls = 0;

    // Every call, one line each: "NetSessionEnum 1", "NetSessionDel \\PC1 <null>", ...
    std::vector<std::wstring> calls;
    int sessionEnumCalls = 0;
    int fileEnumCalls = 0;
    int shareEnumCalls = 0;
    int buffersOut = 0;  // handed out and not yet released

    std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix) const;
};

// Resets the fake server's tables and puts it in the program's place.
FakeServer& InstallFakeServer();
FakeServer& TheFakeServer();
// The fake's tables are shared with other threads' calls: a test that reads them while
// another thread may call in holds this (a recursive lock, over every call).
struct FakeServerHeld {
    FakeServerHeld();
    ~FakeServerHeld();
    FakeServerHeld(const FakeServerHeld&) = delete;
    FakeServerHeld& operator=(const FakeServerHeld&) = delete;
};
// Another server, by the name calls give it (with or without backslashes, any case).
FakeServer& TheFakeServer(const wchar_t* name);
void UninstallFakeServer();
