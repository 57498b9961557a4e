// What can be read of another process's resources from outside, one sample at a time.
#pragma once

#include <windows.h>

#include <string>

// -1: not read. Wine 8 answers 0 to GetProcessHandleCount, GetGuiResources and
// PrivateUsage; the table and page-file fields are what can be read there instead.
struct ProcessSample {
    long long handles = -1;        // GetProcessHandleCount
    long long handlesTable = -1;   // the process's entries in the system handle list
    long long gdiReported = -1;    // GetGuiResources(GR_GDIOBJECTS)
    long long userReported = -1;   // GetGuiResources(GR_USEROBJECTS)
    long long gdiTable = -1;       // live entries of the process's GDI handle table (PEB), stock objects left out
    long long windows = -1;        // the process's windows: top-level, message-only and all their children
    long long threads = -1;        // Toolhelp
    long long privateBytes = -1;   // PROCESS_MEMORY_COUNTERS_EX.PrivateUsage
    long long pagefileBytes = -1;  // PagefileUsage: the commit charge (Wine: anonymous resident memory and swap)
    long long workingSetBytes = -1;
};

// The figures the soak judges by: the platform's own where it gives one, else what stands in.
inline long long HandleCountOf(const ProcessSample& sample)
{
    return sample.handles > 0 ? sample.handles : sample.handlesTable;
}
inline long long PrivateMemoryOf(const ProcessSample& sample)
{
    return sample.privateBytes > 0 ? sample.privateBytes : sample.pagefileBytes;
}

// `process` needs PROCESS_QUERY_INFORMATION and PROCESS_VM_READ (a handle from CreateProcess has them).
ProcessSample SampleProcess(HANDLE process, DWORD processId);

// The process's entries in the system handle list (NtQuerySystemInformation); -1 when unread.
long long CountSystemHandles(DWORD processId);
// The GDI handle table's live, non-stock entries of a process; -1 when it cannot be read.
long long CountGdiTableEntries(HANDLE process);
// The process's windows, counted as SampleProcess does.
long long CountProcessWindows(DWORD processId);
