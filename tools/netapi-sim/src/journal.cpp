#include "journal.h"

#include <cstdio>

namespace nsim {

bool journal_open(Journal& j, const std::wstring& path) {
    journal_close(j);
    // Append-only access makes every WriteFile land at the current end of file, even with
    // other writers; full sharing lets a test or the product read it meanwhile.
    j.file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return j.file != INVALID_HANDLE_VALUE;
}

void journal_close(Journal& j) {
    if (j.file != INVALID_HANDLE_VALUE) CloseHandle(j.file);
    j.file = INVALID_HANDLE_VALUE;
}

std::string journal_stamp(const SYSTEMTIME& t, int64_t sim_ms) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u t=%lld", unsigned{t.wYear},
                  unsigned{t.wMonth}, unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute},
                  unsigned{t.wSecond}, unsigned{t.wMilliseconds}, static_cast<long long>(sim_ms));
    return buf;
}

void journal_write(Journal& j, const SYSTEMTIME& local, int64_t sim_ms, std::string_view body) {
    if (j.file == INVALID_HANDLE_VALUE && !j.capture) return;
    std::string line = journal_stamp(local, sim_ms);
    line.push_back(' ');
    if (line.size() + body.size() > kMaxJournalLine) {
        size_t keep = kMaxJournalLine - line.size() - 6;
        // Back up to a character boundary so the cut line is still UTF-8.
        while (keep > 0 && (static_cast<unsigned char>(body[keep]) & 0xC0) == 0x80) --keep;
        line.append(body.substr(0, keep));
        line += " <cut>";
    } else {
        line.append(body);
    }
    if (j.capture) j.captured.push_back(line);
    if (j.file == INVALID_HANDLE_VALUE) return;
    line += "\r\n";
    DWORD written = 0;
    WriteFile(j.file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace nsim
