#include "soak/process_probe.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// The entry layout of the table the PEB points at (64-bit).
struct GdiTableEntry {
    uint64_t object;
    uint32_t owner;
    uint16_t unique;  // bit 7: a stock object
    uint8_t type;
    uint8_t flags;
    uint64_t userPointer;
};
static_assert(sizeof(GdiTableEntry) == 24);
constexpr std::size_t kGdiTableEntries = 0x10000;
constexpr std::size_t kPebGdiTableOffset = 0xF8;  // PEB64.GdiSharedHandleTable
constexpr uint16_t kStockFlag = 0x80;

using QueryProcess = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
using QuerySystem = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct SystemHandleEntry {
    ULONG processId;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
};
struct SystemHandleList {
    ULONG count;
    SystemHandleEntry handles[1];
};

void* RemotePeb(HANDLE process)
{
    static const auto query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    if (!query)
        return nullptr;
    PROCESS_BASIC_INFORMATION basic{};
    ULONG size = 0;
    if (query(process, 0 /* ProcessBasicInformation */, &basic, sizeof(basic), &size) != 0)
        return nullptr;
    return basic.PebBaseAddress;
}

struct WindowCount {
    DWORD processId;
    long long count;
};

BOOL CALLBACK CountChild(HWND, LPARAM parameter)
{
    ++reinterpret_cast<WindowCount*>(parameter)->count;
    return TRUE;
}

void CountWindowAndChildren(HWND window, WindowCount* counter)
{
    ++counter->count;
    EnumChildWindows(window, CountChild, reinterpret_cast<LPARAM>(counter));  // all descendants
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM parameter)
{
    auto* counter = reinterpret_cast<WindowCount*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == counter->processId)
        CountWindowAndChildren(window, counter);
    return TRUE;
}

long long CountThreads(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    long long count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId)
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace

long long CountSystemHandles(DWORD processId)
{
    static const auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    static std::vector<char> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 65536));
            continue;
        }
        if (status != 0)
            return -1;
        const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
        long long count = 0;
        for (ULONG k = 0; k < list->count; ++k) {
            if (list->handles[k].processId == processId)
                ++count;
        }
        return count;
    }
    return -1;
}

long long CountGdiTableEntries(HANDLE process)
{
    auto* peb = static_cast<char*>(RemotePeb(process));
    if (!peb)
        return -1;
    uint64_t table = 0;
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, peb + kPebGdiTableOffset, &table, sizeof(table), &read) || !table)
        return -1;
    std::vector<GdiTableEntry> entries(kGdiTableEntries);
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(table), entries.data(),
                           entries.size() * sizeof(GdiTableEntry), &read) ||
        read != entries.size() * sizeof(GdiTableEntry))
        return -1;
    long long live = 0;
    for (const GdiTableEntry& entry : entries) {
        if (entry.type != 0 && entry.object != 0 && !(entry.unique & kStockFlag))
            ++live;
    }
    return live;
}

long long CountProcessWindows(DWORD processId)
{
    WindowCount counter{processId, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&counter));
    for (HWND window = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
         window = FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            CountWindowAndChildren(window, &counter);
    }
    return counter.count;
}

ProcessSample SampleProcess(HANDLE process, DWORD processId)
{
    ProcessSample sample;
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles))
        sample.handles = handles;
    sample.handlesTable = CountSystemHandles(processId);
    sample.gdiReported = GetGuiResources(process, GR_GDIOBJECTS);
    sample.userReported = GetGuiResources(process, GR_USEROBJECTS);
    sample.gdiTable = CountGdiTableEntries(process);
    sample.windows = CountProcessWindows(processId);
    sample.threads = CountThreads(processId);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
        sample.privateBytes = static_cast<long long>(memory.PrivateUsage);
        sample.pagefileBytes = static_cast<long long>(memory.PagefileUsage);
        sample.workingSetBytes = static_cast<long long>(memory.WorkingSetSize);
    }
    return sample;
}
