// The whole-program benchmark's floor for CPU and memory: only what any watcher of
// the server must do, with no window, log or list. It reads the open files (level 3)
// five times a second and the sessions (level 1) once a second, as the program's
// poll does, until the stop file exists.
//
//   enumerate_only <stop-file>
//
// It prints "enumerated files=<n> sessions=<n> ms=<since start>" after its first
// full reading of both tables, then "done polls=<n>".
#include <windows.h>
#include <lm.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kPollPeriodMs = 200;
constexpr int kPollsPerSessionRead = 5;

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

long long ReadFiles()
{
    return ReadAll([](LPBYTE* buffer, DWORD* read, DWORD* total, DWORD* resume) {
        DWORD_PTR handle = *resume;
        const NET_API_STATUS status =
            NetFileEnum(nullptr, nullptr, nullptr, 3, buffer, MAX_PREFERRED_LENGTH, read, total, &handle);
        *resume = static_cast<DWORD>(handle);
        return status;
    });
}

long long ReadSessions()
{
    return ReadAll([](LPBYTE* buffer, DWORD* read, DWORD* total, DWORD* resume) {
        return NetSessionEnum(nullptr, nullptr, nullptr, 1, buffer, MAX_PREFERRED_LENGTH, read, total, resume);
    });
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: enumerate_only <stop-file>\n");
        return 2;
    }
    const ULONGLONG start = GetTickCount64();
    long long polls = 0;
    bool reported = false;
    while (GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES) {
        const long long files = ReadFiles();
        const long long sessions = polls % kPollsPerSessionRead == 0 ? ReadSessions() : -1;
        if (!reported && files >= 0 && sessions >= 0) {
            std::printf("enumerated files=%lld sessions=%lld ms=%llu\n", files, sessions, GetTickCount64() - start);
            std::fflush(stdout);
            reported = true;
        }
        ++polls;
        Sleep(kPollPeriodMs);
    }
    std::printf("done polls=%lld\n", polls);
    std::fflush(stdout);
    return 0;
}
