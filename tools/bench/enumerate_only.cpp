// The whole-program benchmark's floor for CPU and memory: only what any watcher of
// the servers must do, with no window, log or list. It reads this computer's open
// files (level 3) five times a second and its sessions (level 1) once a second, as
// the program's poll does, until the stop file exists. Each server named after the
// stop file gets a thread of its own that reads that server's sessions every 100 ms
// and its open files every second, as the program's worker for it does.
//
//   enumerate_only <stop-file> [<server>...]
//
// It prints "enumerated files=<n> sessions=<n> servers=<n> ms=<since start>" once
// this computer's tables and every named server's have been read whole (the counts
// summed over them all), then "done polls=<n>", and per named server
// "server name=<name> sessions=<reads> files=<reads> failed=<reads>".
#include <windows.h>
#include <lm.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kPollPeriodMs = 200;
constexpr int kPollsPerSessionRead = 5;
constexpr DWORD kRemoteSessionsMs = 100;
constexpr DWORD kRemoteFilesMs = 1000;
constexpr DWORD kServerEndTimeoutMs = 30000;
constexpr std::size_t kServerNameUnits = 260;

volatile LONG stopping = 0;

// Every page of one enumeration; returns the entries read, or -1 on a failure.
template <typename Enumerate>
long long ReadAll(Enumerate enumerate)
{
    long long count = 0;
    DWORD resume = 0;
    for (;;) {
        LPBYTE buffer = nullptr;
        DWORD read = 0, total = 0;
        const NET_API_STATUS status = enumerate(&buffer, &read, &total, &resume);
        if (buffer)
            NetApiBufferFree(buffer);
        if (status != NERR_Success && status != ERROR_MORE_DATA)
            return -1;
        count += read;
        if (status == NERR_Success)
            return count;
    }
}

// nullptr: this computer.
long long ReadFiles(const wchar_t* server)
{
    return ReadAll([server](LPBYTE* buffer, DWORD* read, DWORD* total, DWORD* resume) {
        DWORD_PTR handle = *resume;
        const NET_API_STATUS status = NetFileEnum(const_cast<wchar_t*>(server), nullptr, nullptr, 3, buffer,
                                                  MAX_PREFERRED_LENGTH, read, total, &handle);
        *resume = static_cast<DWORD>(handle);
        return status;
    });
}

long long ReadSessions(const wchar_t* server)
{
    return ReadAll([server](LPBYTE* buffer, DWORD* read, DWORD* total, DWORD* resume) {
        return NetSessionEnum(const_cast<wchar_t*>(server), nullptr, nullptr, 1, buffer, MAX_PREFERRED_LENGTH, read,
                              total, resume);
    });
}

// One named server, read at the rates of the program's worker for it.
struct ServerReader {
    wchar_t unc[kServerNameUnits + 2];  // "\\NAME"
    char name[kServerNameUnits];
    HANDLE thread;
    volatile LONG readWhole;  // both tables have answered once
    volatile LONGLONG files;
    volatile LONGLONG sessions;
    long long sessionReads, fileReads, failedReads;
};

DWORD WINAPI ReadServer(LPVOID parameter)
{
    auto& reader = *static_cast<ServerReader*>(parameter);
    ULONGLONG nextSessions = 0, nextFiles = 0;
    bool sessionsRead = false, filesRead = false;
    while (!stopping) {
        if (GetTickCount64() >= nextSessions) {
            nextSessions = GetTickCount64() + kRemoteSessionsMs;
            const long long sessions = ReadSessions(reader.unc);
            ++reader.sessionReads;
            reader.failedReads += sessions < 0;
            if (sessions >= 0 && !sessionsRead) {
                sessionsRead = true;
                InterlockedExchange64(&reader.sessions, sessions);
            }
        }
        if (GetTickCount64() >= nextFiles) {
            nextFiles = GetTickCount64() + kRemoteFilesMs;
            const long long files = ReadFiles(reader.unc);
            ++reader.fileReads;
            reader.failedReads += files < 0;
            if (files >= 0 && !filesRead) {
                filesRead = true;
                InterlockedExchange64(&reader.files, files);
            }
        }
        if (sessionsRead && filesRead && !reader.readWhole)
            InterlockedExchange(&reader.readWhole, 1);
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG due = nextSessions < nextFiles ? nextSessions : nextFiles;
        if (due > now)
            Sleep(static_cast<DWORD>(due - now));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: enumerate_only <stop-file> [<server>...]\n");
        return 2;
    }
    std::vector<ServerReader> readers(static_cast<std::size_t>(argc - 2));
    for (std::size_t k = 0; k < readers.size(); ++k) {
        ServerReader& reader = readers[k];
        const char* name = argv[k + 2];
        while (*name == '\\')
            ++name;
        std::snprintf(reader.name, sizeof(reader.name), "%s", name);
        reader.unc[0] = reader.unc[1] = L'\\';
        MultiByteToWideChar(CP_ACP, 0, reader.name, -1, reader.unc + 2, static_cast<int>(kServerNameUnits));
    }
    const ULONGLONG start = GetTickCount64();
    for (ServerReader& reader : readers)
        reader.thread = CreateThread(nullptr, 0, ReadServer, &reader, 0, nullptr);

    long long polls = 0, localFiles = -1, localSessions = -1;
    bool reported = false;
    while (GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        const long long files = ReadFiles(nullptr);
        const long long sessions = polls % kPollsPerSessionRead == 0 ? ReadSessions(nullptr) : -1;
        if (localFiles < 0 && files >= 0)
            localFiles = files;
        if (localSessions < 0 && sessions >= 0)
            localSessions = sessions;
        bool whole = localFiles >= 0 && localSessions >= 0;
        long long allFiles = localFiles, allSessions = localSessions;
        for (const ServerReader& reader : readers) {
            whole = whole && reader.readWhole;
            allFiles += reader.files;
            allSessions += reader.sessions;
        }
        if (!reported && whole) {
            std::printf("enumerated files=%lld sessions=%lld servers=%zu ms=%llu\n", allFiles, allSessions,
                        readers.size(), GetTickCount64() - start);
            std::fflush(stdout);
            reported = true;
        }
        ++polls;
        Sleep(kPollPeriodMs);
    }
    InterlockedExchange(&stopping, 1);
    std::printf("done polls=%lld\n", polls);
    for (ServerReader& reader : readers) {
        if (reader.thread && WaitForSingleObject(reader.thread, kServerEndTimeoutMs) == WAIT_OBJECT_0)
            std::printf("server name=%s sessions=%lld files=%lld failed=%lld\n", reader.name, reader.sessionReads,
                        reader.fileReads, reader.failedReads);
        else
            std::printf("server name=%s still_reading=1\n", reader.name);
    }
    std::fflush(stdout);
    // A thread still in a call is left to the process's end.
    ExitProcess(0);
}
