#include "support/engine_fixture.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/settings.h"
#include "core/text.h"
#include "engine/watch/day_logs.h"
#include "engine/watch/engine_state.h"
#include "engine/watch/poll.h"
#include "engine/watch/run_records.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/share_denies.h"

namespace {

FakeClock fakeClock;

void FakeLocalTime(SYSTEMTIME* now)
{
    *now = fakeClock.now;
}

ULONGLONG FakeMilliseconds()
{
    return fakeClock.milliseconds;
}

constexpr ClockSource kFakeClockSource = {FakeLocalTime, FakeMilliseconds};

void DeleteTree(const std::string& folder)
{
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = folder + "\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

// A new, empty folder for each test, whatever an earlier run left.
std::string MakeTestFolder()
{
    static std::atomic<int> serial{0};
    std::array<char, MAX_PATH> temp{};
    GetTempPathA(static_cast<DWORD>(temp.size()), temp.data());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string folder = std::string(temp.data()) + "quorvel-tests\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++) + "-" +
              (info ? info->name() : "test");
    for (char& c : folder)
        if (c == '/')
            c = '_';
    DeleteTree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder + "\\";
}

ULONGLONG FakeClockStart()
{
    std::array<char, 32> text{};
    const DWORD length =
        GetEnvironmentVariableA("QUORVEL_FAKE_CLOCK_START_MS", text.data(), static_cast<DWORD>(text.size()));
    if (length > 0 && length < text.size())
        return std::strtoull(text.data(), nullptr, 10);
    return 1ull << 40;
}

void FakeClock::Reset()
{
    now = {};
    milliseconds = FakeClockStart();
}

void FakeClock::Set(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    now = {};
    now.wYear = year;
    now.wMonth = month;
    now.wDay = day;
    now.wHour = hour;
    now.wMinute = minute;
    now.wSecond = second;
    FILETIME asFile{};
    SystemTimeToFileTime(&now, &asFile);
    FileTimeToSystemTime(&asFile, &now);  // fills the day of the week
}

void FakeClock::AdvanceMilliseconds(ULONGLONG amount)
{
    milliseconds += amount;
    FILETIME asFile{};
    SystemTimeToFileTime(&now, &asFile);
    ULARGE_INTEGER value{};
    value.LowPart = asFile.dwLowDateTime;
    value.HighPart = asFile.dwHighDateTime;
    value.QuadPart += amount * 10'000;
    asFile.dwLowDateTime = value.LowPart;
    asFile.dwHighDateTime = value.HighPart;
    FileTimeToSystemTime(&asFile, &now);
}

void RecordTrial(const char* area, const char* tried, const char* held)
{
    ::testing::Test::RecordProperty("area", area);
    ::testing::Test::RecordProperty("tried", tried);
    ::testing::Test::RecordProperty("held", held);
}

FakeClock& TheFakeClock()
{
    return fakeClock;
}

void ResetEngineState()
{
    RunRecords run = engineState.run;
    CloseDayLogs(engineState.local.logs);
    ZeroMemory(&engineState, sizeof(engineState));  // too large for a temporary on the stack
    engineState.run = run;
    AllocateRunRecords(engineState.run);
}

void ApplyDefaultSettings()
{
    for (const SettingKey* setting : kSettingKeys)
        engineState.settings.*setting->field = setting->defaultValue;
}

void UseTestFolder(const std::string& testFolder)
{
    UseSettingsFile((testFolder + "quorvel.ini").c_str());
    FormatText(engineState.logFolder, "%squorvel_logs\\", testFolder.c_str());
    CreateDirectoryA(engineState.logFolder.data(), nullptr);
    engineState.local.logs.folder = &engineState.logFolder;
}

namespace {

std::vector<RecordedEvent> recordedEvents;
SRWLOCK recordedEventsLock = SRWLOCK_INIT;

void RecordEvent(const ProductEvent& event)
{
    RecordedEvent recorded{event.id, event.type, {}};
    for (int32_t k = 0; k < event.count; ++k)
        recorded.strings.emplace_back(event.strings[static_cast<std::size_t>(k)].data());
    AcquireSRWLockExclusive(&recordedEventsLock);
    recordedEvents.push_back(recorded);
    ReleaseSRWLockExclusive(&recordedEventsLock);
}

}  // namespace

std::vector<RecordedEvent> RecordedEvents()
{
    AcquireSRWLockShared(&recordedEventsLock);
    std::vector<RecordedEvent> copy = recordedEvents;
    ReleaseSRWLockShared(&recordedEventsLock);
    return copy;
}

void EngineTest::SetUp()
{
    AcquireSRWLockExclusive(&recordedEventsLock);
    recordedEvents.clear();
    ReleaseSRWLockExclusive(&recordedEventsLock);
    InstallEventWriter(RecordEvent);  // no test writes to the machine's Application log
    ResetEngineState();
    ApplyDefaultSettings();
    folder = MakeTestFolder();
    UseTestFolder(folder);
    server = &InstallFakeServer();
    fakeClock.Reset();
    fakeClock.Set(2026, 3, 7, 9, 5, 7);
    InstallClock(&kFakeClockSource);
    clock = &fakeClock;
    StartPoll();
}

void EngineTest::Restart()
{
    ResetEngineState();
    ApplyDefaultSettings();
    UseTestFolder(folder);
    StartPoll();
}

void EngineTest::TearDown()
{
    // A start-up or a test started them on this test's folder and server; what they said
    // last is this test's, not the next one's to find.
    StopShareDenies();
    for (ShareDenyNotice notice{}; TakeShareDenyNotice(&notice);) {
    }
    EXPECT_EQ(TheFakeServer().buffersOut, 0) << "every enumeration buffer is released";
    ResetEngineState();
    InstallClock(nullptr);
    UninstallFakeServer();
    InstallEventWriter(nullptr);
}

void RunEngineRounds(int count)
{
    for (int i = 0; i < count; ++i) {
        fakeClock.AdvanceMilliseconds(200);
        PollRound round;
        BeginPollRound(round);
        FinishPollRound(round);
    }
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string RunCsvText()
{
    return std::string(RunRecordsText(engineState.run));
}

