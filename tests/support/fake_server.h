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

struct FakeShare {
    std::wstring name;
    DWORD type = STYPE_DISKTREE;
    std::wstring remark;
    DWORD uses = 0;
    std::wstring path;
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
// Another server, by the name calls give it (with or without backslashes, any case).
FakeServer& TheFakeServer(const wchar_t* name);
void UninstallFakeServer();
