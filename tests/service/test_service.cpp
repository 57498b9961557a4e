// quorvelsvc.exe, the engine as a Windows service: what its install carries over, what
// its import table names, and the real service under the real service manager against
// the simulated server, in the prefix's system folder. The service does not see the
// test's environment: the simulated server finds its scenario beside the service's exe
// (netapi-sim.scenario) and keeps its journal there.
// The tests install and remove the service named Quorvel and clear its ProgramData
// folder: run them in the tests' Wine prefix or on a test machine.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/service_control.h"
#include "app/service_files.h"
#include "core/event_log.h"
#include "core/file_trust.h"
#include "engine/link/pipe_client.h"
#include "engine/link/pipe_server.h"
#include "engine/watch/engine_state.h"
#include "e2e/program_runner.h"
#include "release/version_resources.h"
#include "resources/resource.h"
#include "service/pe_imports.h"
#include "service/service_probe.h"
#include "support/forwarding_support.h"
#include "support/pipe_test_client.h"

namespace {

constexpr DWORD kCommandTimeoutMs = 120000;

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WaitFor(const auto& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(20);
    }
    return true;
}

int Count(const std::string& text, const std::string& what)
{
    int found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
    return found;
}

struct RunResult {
    DWORD code = STILL_ACTIVE;
    std::string output;
};

// Runs a console program with its output in a pipe; ends it when it outlasts `timeoutMs`.
RunResult RunCommand(const std::string& exe, const std::string& arguments, DWORD timeoutMs)
{
    RunResult result;
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    const bool started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                        nullptr, nullptr, &startup, &process) != FALSE;
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        result.code = static_cast<DWORD>(-1);
        return result;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (bool ended = false; !ended;) {
        ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        if (!ended && GetTickCount64() > deadline) {
            TerminateProcess(process.hProcess, 98);
            ended = true;
        }
        DWORD waiting = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
            std::array<char, 4096> chunk{};
            DWORD read = 0;
            if (!::ReadFile(readEnd, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) || read == 0)
                break;
            result.output.append(chunk.data(), read);
        }
    }
    GetExitCodeProcess(process.hProcess, &result.code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return result;
}

std::string TodaysServiceLog(const char* extension)
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return ServiceFilesPath() + "\\quorvel_logs\\" + std::to_string(now.wDay) + "." + std::to_string(now.wMonth) + "." +
           std::to_string(now.wYear) + "." + extension;
}

std::string UpperCased(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return text;
}

// Wine keeps its own netapi32 unless told per program (scripts/wine-env.sh tells it for
// quorvelsvc.exe).
bool SimulatedServerOverridden()
{
    std::array<char, 64> value{};
    DWORD size = static_cast<DWORD>(value.size());
    return RegGetValueA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\quorvelsvc.exe\\DllOverrides", "netapi32",
                        RRF_RT_REG_SZ, nullptr, value.data(), &size) == ERROR_SUCCESS &&
           std::string(value.data()).rfind("native", 0) == 0;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (UnderWine()) {
            ASSERT_TRUE(SimulatedServerOverridden())
                << "quorvelsvc.exe would not take the simulated server: make the Wine prefix again "
                   "(scripts/wine-env.sh's prepare_wine_prefix)";
        }
        RemoveServiceByHand();
        ForgetServiceFiles();
        ForgetEarlierRuns();
        folder = MakeScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        exe = folder + "quorvelsvc.exe";
        journalPath = folder + "netapi-sim.journal";
        ASSERT_TRUE(CopyFileA(NativePath(QUORVEL_SERVICE_EXE).c_str(), exe.c_str(), FALSE)) << GetLastError();
        if (UnderWine()) {
            ASSERT_TRUE(PutSimulatedServerInSystemFolder(NativePath(QUORVEL_SIM_DLL))) << GetLastError();
        }
    }
    void TearDown() override
    {
        RemoveServiceByHand();
        ForgetServiceFiles();
        ForgetEarlierRuns();
    }

    void WriteUserSettings(const std::string& content) { WriteFile(DocumentsFolder() + "\\quorvel.ini", content); }
    void WriteScenario(const std::string& scenario) { WriteFile(folder + "netapi-sim.scenario", scenario); }
    RunResult Service(const char* arguments) { return RunCommand(exe, arguments, kCommandTimeoutMs); }
    std::vector<JournalLine> Journal() const { return ReadJournal(journalPath); }
    std::vector<JournalLine> Find(const std::vector<JournalLine>& journal, const std::string& kind,
                                  const std::string& what) const
    {
        std::vector<JournalLine> found;
        std::copy_if(journal.begin(), journal.end(), std::back_inserter(found),
                     [&](const JournalLine& line) { return line.kind == kind && line.what == what; });
        return found;
    }

    std::string folder;  // the service's own, with the simulated server's scenario and journal beside it
    std::string exe;
    std::string journalPath;
};

// The install's carry-over, called directly: each part said, nothing dropped unsaid.
class CarryOverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        userFile = folder + "user.ini";
        serviceFile = folder + "service.ini";
        said.clear();
    }
    CarryOverResult Carry() { return CarryOverUserSettings(userFile.c_str(), serviceFile.c_str(), Say); }
    static void Say(const char* line) { said.push_back(line); }

    std::string folder;
    std::string userFile;
    std::string serviceFile;
    static std::vector<std::string> said;
};
std::vector<std::string> CarryOverTest::said;

}  // namespace

TEST_F(CarryOverTest, TheListsRulesServersAndTheEnginesSettingsGoOverAndTheWindowsStay)
{
    WriteFile(userFile,
              "[main]\r\ndisplaysess=0\r\nblockmode=1\r\n  SaveSess = 0 \r\nsavecsvlogs=1\r\nhotkey=1601\r\n"
              "[blacklist]\r\ncount=2\r\ncomp0=pc-bad\r\ncomp1=PC-WORSE\r\n"
              "[whitelist]\r\ncount=1\r\ncomp0=PC-GOOD\r\n"
              "[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\salaries*\r\n"
              "[tripped]\r\ncount=1\r\ncomp0=PC-VICTIM\r\nuser0=mallory\r\n"
              "[servers]\r\ncount=1\r\nserver1=FS2\r\n"
              "[forward]\r\nenabled=1\r\nhost=logs.example\r\ntransport=relp\r\n"
              "[history]\r\nkeepdays=90\r\n"
              "[other]\r\nx=1\r\n");
    EXPECT_EQ(Carry(), CarriedOver);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "Carried over from " + userFile + " to " + serviceFile + ":",
                        "  [blacklist]: 3 lines, count=2",
                        "  [whitelist]: 2 lines, count=1",
                        "  [tripwires]: 3 lines, count=1",
                        "  [tripped]: 3 lines, count=1",
                        "  [servers]: 2 lines, count=1",
                        "  [forward]: 3 lines",
                        "  [history]: 1 line",
                        "  [main]: blockmode=1 savesess=0 savecsvlogs=1",
                    }));
    const std::string carried = ReadFile(serviceFile);
    for (const char* line : {"comp0=pc-bad", "comp1=PC-WORSE", "comp0=PC-GOOD", "bait1=*\\salaries*", "user0=mallory",
                             "server1=FS2", "host=logs.example", "keepdays=90", "blockmode=1", "savesess=0",
                             "savecsvlogs=1"})
        EXPECT_NE(carried.find(line), std::string::npos) << line;
    for (const char* line : {"displaysess", "hotkey", "[other]"})
        EXPECT_EQ(carried.find(line), std::string::npos) << line << " is the window's, or nobody's";

    // Once: the service's own file is never overwritten by a later install.
    said.clear();
    WriteFile(userFile, "[blacklist]\r\ncount=0\r\n");
    EXPECT_EQ(Carry(), ServiceSettingsKept);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("nothing carried over"), std::string::npos);
    EXPECT_EQ(ReadFile(serviceFile), carried);
}

TEST_F(CarryOverTest, WhatCannotBeCarriedIsSaidAndTheRestStillGoes)
{
    RecordProperty("area", "bad input");
    RecordProperty("tried", "a user's settings file whose blacklist is larger than 64 KiB, a service folder that "
                            "cannot be written, no user's settings file at all");
    RecordProperty("held", "each part not carried is named with its reason and the install ends with an error "
                           "code; the rest is carried; without a file nothing is written");
    said.clear();
    EXPECT_EQ(Carry(), NoUserSettings);
    EXPECT_EQ(said, std::vector<std::string>{"No settings file at " + userFile +
                                             ": the service starts with empty lists and the default settings."});
    EXPECT_FALSE(Exists(serviceFile));

    std::string huge = "[blacklist]\r\ncount=5000\r\n";
    for (int k = 0; k < 5000; ++k)
        huge += "comp" + std::to_string(k) + "=PC-" + std::string(12, 'X') + std::to_string(k) + "\r\n";
    WriteFile(userFile, huge + "[whitelist]\r\ncount=1\r\ncomp0=PC-GOOD\r\n");
    said.clear();
    EXPECT_EQ(Carry(), CarryOverFailed);
    EXPECT_NE(std::find(said.begin(), said.end(), "  [blacklist]: NOT carried over: larger than 64 KiB"),
              said.end())
        << ::testing::PrintToString(said);
    EXPECT_NE(std::find(said.begin(), said.end(), "  [whitelist]: 2 lines, count=1"), said.end());
    EXPECT_EQ(ReadFile(serviceFile).find("comp4999"), std::string::npos) << "no part of a list is carried";

    const std::string nowhere = folder + "missing\\service.ini";
    said.clear();
    EXPECT_EQ(CarryOverUserSettings(userFile.c_str(), nowhere.c_str(), Say), CarryOverFailed);
    EXPECT_NE(std::find_if(said.begin(), said.end(),
                           [](const std::string& line) {
                               return line.rfind("  [whitelist]: NOT carried over: ", 0) == 0 &&
                                      line.find("cannot be written") != std::string::npos;
                           }),
              said.end())
        << ::testing::PrintToString(said);
}

namespace {

// The folder's access list as text (SDDL).
std::string AccessList(const std::string& folder)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    PACL access = nullptr;
    if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &access,
                              nullptr, &security) != ERROR_SUCCESS)
        return "<unreadable>";
    char* text = nullptr;
    std::string granted = "<unreadable>";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr))
        granted = text;
    LocalFree(text);
    LocalFree(security);
    return granted;
}

constexpr char kServiceAndAdministrators[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace

// The message file the event source "Quorvel" names, or "<none>".
std::string EventMessageFile()
{
    std::array<char, MAX_PATH * 2> file{};
    DWORD size = static_cast<DWORD>(file.size() - 1);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvel",
                     "EventMessageFile", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file.data(),
                     &size) != ERROR_SUCCESS)
        return "<none>";
    return file.data();
}

// A folder's names, each set aside one without its time.
std::vector<std::string> EntriesOf(const std::string& path)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry{};
    const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = entry.cFileName;
        const std::size_t mark = name.find(".untrusted-");
        if (name != "." && name != "..")
            names.push_back(mark == std::string::npos ? name : name.substr(0, mark + 11));
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// What the service's folder check says and writes to the event log, called directly.
class ServiceFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = MakeScratchFolder(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "Quorvel";
        said.clear();
        events.clear();
        InstallEventWriter(Record);
    }
    void TearDown() override
    {
        InstallEventWriter(nullptr);
        GuardFolder(nullptr);
    }
    static void Say(const char* line) { said.push_back(line); }
    static void Record(const ProductEvent& event)
    {
        std::vector<std::string> strings;
        for (int32_t k = 0; k < event.count; ++k)
            strings.push_back(event.strings[static_cast<std::size_t>(k)].data());
        events.push_back({event.id, event.type, strings});
    }
    std::vector<std::string> Entries() const { return EntriesOf(folder); }

    struct Event {
        DWORD id;
        WORD type;
        std::vector<std::string> strings;
    };
    std::string folder;
    static std::vector<std::string> said;
    static std::vector<Event> events;
};
std::vector<std::string> ServiceFolderTest::said;
std::vector<ServiceFolderTest::Event> ServiceFolderTest::events;

TEST_F(ServiceFolderTest, InstallTakesOverAFolderSomeoneMadeAndSetsAsideWhatTheyPlanted)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "a service folder made beforehand that everyone may change, with a settings file everyone "
                            "may change, then install's take-over");
    RecordProperty("held", "the folder is the service's, the settings file set aside and said, both in the event log");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((folder + "\\quorvel_logs").c_str(), nullptr));
    WriteFile(folder + "\\quorvel.ini", "[main]\r\nblockmode=1\r\n[whitelist]\r\ncount=1\r\ncomp0=MADE-UP\r\n");
    WriteFile(folder + "\\quorvel_logs\\9.12.2026.log", "[10:00:00] User bob connected from PC-ONE\r\n");
    ASSERT_TRUE(LetEveryoneChange(folder));
    ASSERT_TRUE(LetEveryoneChange(folder + "\\quorvel.ini"));
    ASSERT_EQ(JudgePath(folder.c_str(), TrustScope::FolderAndNewFiles).fault, TrustFault::Writer);

    FolderFindings findings{};
    ASSERT_TRUE(TakeOverServiceFolder(folder.c_str(), Say, &findings));
    EXPECT_TRUE(findings.folderTakenOver);
    EXPECT_TRUE(findings.settingsSetAside);
    EXPECT_EQ(findings.setAside, 1);
    ASSERT_EQ(said.size(), 2u) << ::testing::PrintToString(said);
    EXPECT_EQ(said[0], "The service's folder " + folder +
                           " was writable by Everyone: it is the service's now, kept to SYSTEM and the Administrators.");
    EXPECT_EQ(said[1].rfind("Set aside " + folder + "\\quorvel.ini as " + folder + "\\quorvel.ini.untrusted-", 0), 0u)
        << said[1];
    EXPECT_NE(said[1].find(": it is writable by Everyone, and is not used."), std::string::npos) << said[1];
    EXPECT_EQ(Entries(), (std::vector<std::string>{"quorvel.ini.untrusted-", "quorvel_logs"}));
    EXPECT_TRUE(Exists(folder + "\\quorvel_logs\\9.12.2026.log")) << "the logs of a folder taken over stay";
    EXPECT_EQ(JudgePath(folder.c_str(), TrustScope::FolderAndNewFiles).fault, TrustFault::None);
    if (!UnderWine()) {
        EXPECT_EQ(AccessList(folder), kServiceAndAdministrators) << "nothing inherited from ProgramData";
    }

    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(QUORVEL_EVENT_FOLDER_NOT_TRUSTED));
    EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{folder, "writable by Everyone"}));
    EXPECT_EQ(events[1].id, static_cast<DWORD>(QUORVEL_EVENT_SET_ASIDE));
    EXPECT_EQ(events[1].strings.size(), 3u);
    EXPECT_EQ(events[1].strings[0], folder + "\\quorvel.ini");

    // Taken over, it is the service's: a second install finds nothing.
    said.clear();
    ASSERT_TRUE(TakeOverServiceFolder(folder.c_str(), Say, &findings));
    EXPECT_EQ(said, std::vector<std::string>{});
    EXPECT_EQ(findings.setAside, 0);
    EXPECT_FALSE(TakeOverServiceFolder("", Say, &findings));
}

TEST_F(ServiceFolderTest, EachStartSetsAsideWhatItCannotTrustAndTakesItsLastGoodSettings)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "starts of the service with its settings file made writable by everyone, with a link in "
                            "place of its logs' folder, and with neither the file nor a last good copy");
    RecordProperty("held", "the file set aside and the last good settings used; the link never followed nor touched, "
                           "the settings and logs kept in the reserve; the defaults; each said");
    const std::string reserve = MakeScratchFolder("reserve") + "Quorvel";
    const std::string elsewhere = MakeScratchFolder("elsewhere");
    const auto use = [&] {
        FolderFindings findings{};
        EXPECT_TRUE(UseServiceFolder(folder.c_str(), reserve.c_str(), Say, &findings));
        return findings;
    };
    use();
    EXPECT_EQ(said, std::vector<std::string>{}) << "a new folder is the service's";
    const std::string settings = folder + "\\quorvel.ini";
    const std::string rules = "[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n";
    WriteFile(settings, rules);
    use();
    EXPECT_EQ(ReadFile(reserve + "\\quorvel.ini.good"), rules) << "a trusted start keeps a last good copy";

    // Someone changed the settings file's list.
    WriteFile(settings, "[main]\r\nblockmode=1\r\n");
    ASSERT_TRUE(LetEveryoneChange(settings));
    said.clear();
    events.clear();
    FolderFindings findings = use();
    EXPECT_TRUE(findings.settingsSetAside);
    ASSERT_EQ(said.size(), 2u) << ::testing::PrintToString(said);
    EXPECT_NE(said[0].find("quorvel.ini as "), std::string::npos) << said[0];
    EXPECT_NE(said[0].find(": it is writable by Everyone, and is not used."), std::string::npos) << said[0];
    EXPECT_EQ(said[1], "The service watches with its last good settings, " + reserve + "\\quorvel.ini.good.");
    EXPECT_EQ(ReadFile(settings), rules);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].id, static_cast<DWORD>(QUORVEL_EVENT_SETTINGS_REFUSED));
    EXPECT_EQ(events[1].strings[2], "its last good settings");

    // A link in place of the logs' folder: neither followed nor touched.
    ASSERT_TRUE(RemoveDirectoryA((folder + "\\quorvel_logs").c_str()));
    ASSERT_TRUE(MakeFolderLink(folder + "\\quorvel_logs", elsewhere));
    said.clear();
    events.clear();
    findings = use();
    EXPECT_TRUE(findings.inReserve);
    ASSERT_EQ(said.size(), 3u) << ::testing::PrintToString(said);
    EXPECT_EQ(said[0], folder + "\\quorvel_logs is a link to another place: Quorvel never follows, moves or removes "
                                "a link it did not make.");
    EXPECT_EQ(said[1], "The service does not use " + folder + " while a link is in it: it keeps its settings and logs "
                       "in " + reserve + " until the link is gone.");
    EXPECT_EQ(said[2], "The service watches with its last good settings, " + reserve + "\\quorvel.ini.good.");
    EXPECT_EQ(std::string(engineState.logFolder.data()), reserve + "\\quorvel_logs\\");
    EXPECT_EQ(ReadFile(reserve + "\\quorvel.ini"), rules);
    EXPECT_TRUE(IsLinkPath((folder + "\\quorvel_logs").c_str())) << "the link is left as it was";
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(QUORVEL_EVENT_FOLDER_NOT_TRUSTED));
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{folder, "it holds a link to another place"}));

    // A log opened through the link is refused, whatever was checked at the start.
    GuardFolder(folder.c_str());
    const HANDLE through = CreateGuardedFile((folder + "\\quorvel_logs\\9.12.2026.log").c_str(), GENERIC_WRITE, 0,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(through, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
    EXPECT_FALSE(Exists(elsewhere + "9.12.2026.log")) << "the service wrote where the link leads";
    const HANDLE plain = CreateGuardedFile((folder + "\\quorvel.log").c_str(), GENERIC_WRITE, 0, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL);
    EXPECT_NE(plain, INVALID_HANDLE_VALUE);
    CloseHandle(plain);
    EXPECT_EQ(EntriesOf(elsewhere), std::vector<std::string>{}) << "nothing was made where the link leads";

    // The link gone, the folder is used again; with no last good copy, the defaults.
    RemoveLink(folder + "\\quorvel_logs");
    ASSERT_TRUE(DeleteFileA((reserve + "\\quorvel.ini.good").c_str()));
    ASSERT_TRUE(LetEveryoneChange(settings));
    said.clear();
    findings = use();
    EXPECT_FALSE(findings.inReserve);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back(), "The service watches with the default settings: empty lists, no tripwires, no servers, "
                           "no forwarding.");
    EXPECT_FALSE(Exists(settings));
    EXPECT_EQ(std::string(engineState.logFolder.data()), folder + "\\quorvel_logs\\");
}

TEST_F(ServiceFolderTest, InstallTouchesNothingWhileALinkIsInTheFolder)
{
    const std::string elsewhere = MakeScratchFolder("elsewhere-install");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    WriteFile(folder + "\\quorvel.ini", "[main]\r\nblockmode=1\r\n");
    ASSERT_TRUE(LetEveryoneChange(folder + "\\quorvel.ini"));
    ASSERT_TRUE(MakeFolderLink(folder + "\\quorvel_logs", elsewhere));
    FolderFindings findings{};
    EXPECT_FALSE(TakeOverServiceFolder(folder.c_str(), Say, &findings));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
    EXPECT_EQ(said, (std::vector<std::string>{
                        folder + "\\quorvel_logs is a link to another place: Quorvel never follows, moves or "
                                 "removes a link it did not make.",
                        "Nothing was installed: remove the link (rmdir for a folder, del for a file), then install "
                        "again."}));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"quorvel.ini", "quorvel_logs"})) << "nothing set aside yet";
    EXPECT_EQ(JudgePath((folder + "\\quorvel.ini").c_str(), TrustScope::FileOnly).fault, TrustFault::Writer);
}

TEST(ServiceImports, NameNoWindowOrDialogFunction)
{
    // The same reader finds the program's own dialog functions: it reads what is there.
    const ImportTable program = ReadImportTable(NativePath(QUORVEL_PROGRAM_EXE));
    ASSERT_EQ(program.fault, "");
    EXPECT_TRUE(std::any_of(program.functions.begin(), program.functions.end(),
                            [](const ImportedFunction& f) { return f.name == "DialogBoxParamA"; }));

    const ImportTable service = ReadImportTable(NativePath(QUORVEL_SERVICE_EXE));
    ASSERT_EQ(service.fault, "");
    EXPECT_FALSE(service.delayLoads) << "a delay-loaded library would escape this check";
    // Of the window libraries, user32's text functions alone; of shell32, its folders.
    const std::vector<std::string> allowed = {"USER32.dll:wvsprintfA", "USER32.dll:wsprintfA",
                                              "USER32.dll:CharUpperBuffW", "USER32.dll:CharUpperBuffA",
                                              "USER32.dll:CharLowerBuffW", "USER32.dll:CharLowerBuffA",
                                              "SHELL32.dll:SHGetFolderPathA", "SHELL32.dll:SHGetSpecialFolderPathA"};
    const std::vector<std::string> windowLibraries = {"USER32.DLL", "GDI32.DLL", "COMCTL32.DLL", "COMDLG32.DLL",
                                                      "UXTHEME.DLL", "WINMM.DLL", "WININET.DLL", "SHELL32.DLL"};
    std::vector<std::string> windowFunctions;
    for (const ImportedFunction& function : service.functions) {
        const std::string library = UpperCased(function.library);
        const std::string named = function.library + ":" + function.name;
        if (std::find(windowLibraries.begin(), windowLibraries.end(), library) != windowLibraries.end() &&
            std::find(allowed.begin(), allowed.end(), named) == allowed.end())
            windowFunctions.push_back(named);
    }
    EXPECT_EQ(windowFunctions, std::vector<std::string>{});
}

// A library that is not one of the system's known DLLs is looked for in the exe's own
// folder first, before the system folder. Both exes import only known ones (the
// program's common controls come from the side-by-side store its manifest names) and
// bind netapi32, winhttp, wininet and winmm from the system folder.
TEST(ServiceImports, NameOnlyTheSystemsKnownLibraries)
{
    const std::vector<std::string> known = {"ADVAPI32.DLL", "COMDLG32.DLL", "GDI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL",
                                            "OLE32.DLL",    "SHELL32.DLL",  "USER32.DLL", "WS2_32.DLL"};
    for (const char* exe : {QUORVEL_PROGRAM_EXE, QUORVEL_SERVICE_EXE}) {
        const ImportTable table = ReadImportTable(NativePath(exe));
        ASSERT_EQ(table.fault, "") << exe;
        EXPECT_FALSE(table.delayLoads) << exe;
        std::vector<std::string> others;
        for (const ImportedFunction& function : table.functions) {
            const std::string library = UpperCased(function.library);
            const bool sideBySide = library == "COMCTL32.DLL" && exe == std::string(QUORVEL_PROGRAM_EXE);
            if (!sideBySide && std::find(known.begin(), known.end(), library) == known.end() &&
                std::find(others.begin(), others.end(), library) == others.end())
                others.push_back(library);
        }
        EXPECT_EQ(others, std::vector<std::string>{}) << exe;
        EXPECT_TRUE(std::any_of(table.functions.begin(), table.functions.end(),
                                [](const ImportedFunction& f) { return f.name == "LoadLibraryExW"; }))
            << "the reader saw the library loader";
    }
}

TEST_F(ServiceTest, InstallRegistersAndStartsItOnceAndUninstallRemovesIt)
{
    WriteUserSettings("[main]\r\nsavecsvlogs=1\r\nhotkey=1601\r\n[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n");
    WriteScenario("");
    const RunResult install = Service("install");
    EXPECT_EQ(install.code, 0u) << install.output;
    EXPECT_EQ(Lines(install.output),
              (std::vector<std::string>{
                  "Carried over from " + DocumentsFolder() + "\\quorvel.ini to " + ServiceFilesPath() + "\\quorvel.ini:",
                  "  [blacklist]: 2 lines, count=1",
                  "  [whitelist]: not in the user's settings file",
                  "  [tripwires]: not in the user's settings file",
                  "  [tripped]: not in the user's settings file",
                  "  [servers]: not in the user's settings file",
                  "  [forward]: not in the user's settings file",
                  "  [history]: not in the user's settings file",
                  "  [main]: savecsvlogs=1",
                  "Installed the service Quorvel (Quorvel share guard): \"" + exe +
                      "\", started automatically, as LocalSystem.",
                  "Its events go to the Application event log under the source Quorvel.",
                  "When it fails it is started again after 5 s, twice, then every 60 s.",
                  "Started the service: it watches this computer's shares from now on, whether or not anyone is "
                  "logged on.",
              }));
    EXPECT_EQ(EventMessageFile(), exe) << "the event source names the exe that carries its messages";
    const InstalledService service = QueryInstalledService();
    ASSERT_TRUE(service.found);
    EXPECT_EQ(service.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(service.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(service.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(service.command, "\"" + exe + "\"");
    EXPECT_EQ(service.account, "LocalSystem");
    EXPECT_EQ(service.displayName, "Quorvel share guard");
    // Wine's service manager takes the restarts without keeping them (it has no
    // FailureActions value to give back); Windows keeps them.
    if (!UnderWine()) {
        EXPECT_EQ(service.resetSeconds, 86400u);
        EXPECT_EQ(service.failureActions,
                  (std::vector<std::pair<int, DWORD>>{
                      {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}}));
    }

    // A second install changes nothing, and says so by its code.
    const std::string carried = ReadFile(ServiceFilesPath() + "\\quorvel.ini");
    const RunResult again = Service("install");
    EXPECT_EQ(again.code, static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(Lines(again.output), std::vector<std::string>{"The Quorvel service is installed already: nothing was "
                                                            "changed. To install it again, run \"quorvelsvc.exe "
                                                            "uninstall\" first."});
    EXPECT_EQ(QueryInstalledService().state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ReadFile(ServiceFilesPath() + "\\quorvel.ini"), carried);

    const RunResult uninstall = Service("uninstall");
    EXPECT_EQ(uninstall.code, 0u) << uninstall.output;
    EXPECT_EQ(Lines(uninstall.output),
              (std::vector<std::string>{"Stopped the service.", "Removed the service Quorvel.",
                                        "Its settings file and logs are kept in " + ServiceFilesPath() + "."}));
    EXPECT_FALSE(QueryInstalledService().found);
    EXPECT_TRUE(Exists(ServiceFilesPath() + "\\quorvel.ini"));
    EXPECT_EQ(EventMessageFile(), "<none>") << "the event source goes with the service";

    const RunResult none = Service("uninstall");
    EXPECT_EQ(none.code, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(Lines(none.output), std::vector<std::string>{"The Quorvel service is not installed: nothing to remove."});

    // Without a word it knows, it says how to use it and does nothing.
    for (const char* arguments : {"", "start"}) {
        const RunResult usage = Service(arguments);
        EXPECT_EQ(usage.code, static_cast<DWORD>(ERROR_INVALID_COMMAND_LINE)) << arguments;
        EXPECT_NE(usage.output.find("quorvelsvc.exe install"), std::string::npos) << arguments;
    }
    EXPECT_FALSE(QueryInstalledService().found);
}

// Whoever can write the folder the service's exe stands in puts a netapi32.dll there:
// it must never run as SYSTEM. (Under Wine the override native,builtin makes a DLL found
// beside the exe load as it would on Windows, where netapi32 is no known DLL.)
TEST_F(ServiceTest, ALibraryPlantedBesideTheServiceIsNeverLoaded)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "a netapi32.dll that leaves a marker when loaded, beside quorvelsvc.exe; install and start");
    RecordProperty("held", "the service reads the system folder's server and never loads the planted library");
    ASSERT_TRUE(CopyFileA(NativePath(QUORVEL_MARKER_LIBRARY).c_str(), (folder + "netapi32.dll").c_str(), FALSE))
        << GetLastError();
    WriteScenario("1 connect PC-ONE bob\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    EXPECT_TRUE(WaitFor([&] { return !Find(Journal(), "call", "NetSessionEnum").empty(); }, 20000))
        << "the service does not read the system folder's server";
    EXPECT_FALSE(Exists(folder + "marker-loaded.txt")) << "the service loaded the library planted beside it";
}

// Any standard user may make %ProgramData%\Quorvel before the install, and put rules in
// it: a whitelist of one made-up name would cut every client off this server.
TEST_F(ServiceTest, AFolderPlantedBeforeTheInstallGivesTheServiceNoRules)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "a service folder and a settings file made before the install, both changeable by "
                            "everyone, with a whitelist of one made-up name; then install, and a client connects");
    RecordProperty("held", "the folder taken over, the settings file set aside and said; the client is not cut off");
    const std::string planted = ServiceFilesPath();
    ASSERT_TRUE(CreateDirectoryA(planted.c_str(), nullptr));
    WriteFile(planted + "\\quorvel.ini", "[main]\r\nblockmode=1\r\n[whitelist]\r\ncount=1\r\ncomp0=MADE-UP\r\n");
    ASSERT_TRUE(LetEveryoneChange(planted));
    ASSERT_TRUE(LetEveryoneChange(planted + "\\quorvel.ini"));
    WriteScenario("0.5 connect PC-ONE bob\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    EXPECT_EQ(Count(install.output, "was writable by Everyone: it is the service's now"), 1) << install.output;
    EXPECT_EQ(Count(install.output, "quorvel.ini: it is writable by Everyone, and is not used."), 0) << install.output;
    EXPECT_EQ(Count(install.output, "Set aside " + planted + "\\quorvel.ini as "), 1) << install.output;
    EXPECT_EQ(Count(install.output, "No settings file at "), 1) << "nothing of the planted file is carried over";

    // Long enough after the connection for several block rounds to have cut it off.
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<JournalLine> journal = Journal();
        const auto connect = std::find_if(journal.begin(), journal.end(), [](const JournalLine& line) {
            return line.kind == "event" && line.what == "connect";
        });
        return connect != journal.end() &&
               std::count_if(connect, journal.end(), [](const JournalLine& line) {
                   return line.kind == "call" && line.what == "NetSessionEnum";
               }) >= 10;
    }, 20000)) << ReadFile(journalPath).substr(0, 2000);
    EXPECT_TRUE(Find(Journal(), "call", "NetSessionDel").empty()) << "an ordinary client was cut off";
}

// A link in place of the logs' folder, made while the service was stopped: the service
// never writes where it leads, says why to its windows, and watches all the same.
TEST_F(ServiceTest, ALinkInPlaceOfTheLogsFolderIsNeverFollowed)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "quorvel_logs replaced by a link to another folder between two starts of the service");
    RecordProperty("held", "nothing written where the link leads; the settings and logs kept in the reserve; the Log "
                           "page says why");
    WriteUserSettings("[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n");
    WriteScenario("1 connect PC-BAD eve\n1.5 connect PC-ONE bob\n");
    ASSERT_EQ(Service("install").code, 0u);
    ASSERT_TRUE(StopInstalledService());
    const std::string elsewhere = MakeScratchFolder("link-target");
    const std::string logs = ServiceFilesPath() + "\\quorvel_logs";
    DeleteFolder(logs);
    ASSERT_TRUE(MakeFolderLink(logs, elsewhere));
    DeleteFileA(journalPath.c_str());
    ASSERT_TRUE(StartInstalledService());

    ASSERT_TRUE(WaitFor([&] { return !Find(Journal(), "call", "NetSessionDel").empty(); }, 20000))
        << "the service does not protect with its last good settings";
    pipe_test::TestClient client;
    ASSERT_TRUE(client.Connect(kPipeName));
    ASSERT_TRUE(client.WaitUntil([&] {
        return std::any_of(client.frames.begin(), client.frames.end(), [](const auto& frame) {
            return frame.first == WireKind::LogText &&
                   std::string(frame.second.begin(), frame.second.end()).find("while a link is in it") !=
                       std::string::npos;
        });
    })) << "the Log page does not say why";
    EXPECT_TRUE(client.WaitUntil([&] {
        return std::any_of(client.frames.begin(), client.frames.end(), [](const auto& frame) {
            WireServiceState state{};
            return frame.first == WireKind::ServiceState && DecodeServiceState(frame.second, &state) && state.refused;
        });
    })) << "the windows' status is not told";
    EXPECT_EQ(EntriesOf(elsewhere), std::vector<std::string>{}) << "the service wrote where the link leads";
    EXPECT_TRUE(IsLinkPath(logs.c_str())) << "the link is left as it was";
    RemoveLink(logs);
}

bool LogTextHas(pipe_test::TestClient& client, const std::string& what)
{
    return std::any_of(client.frames.begin(), client.frames.end(), [&](const auto& frame) {
        return frame.first == WireKind::LogText &&
               std::string(frame.second.begin(), frame.second.end()).find(what) != std::string::npos;
    });
}

// Anyone may make a pipe of the service's name while it holds none: before the install,
// during a restart. The service protects all the same and takes the name once it is free.
TEST_F(ServiceTest, AWindowConnectsSoonAfterThePipesNameComesFree)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "the service's pipe name held by another process for 10 s from the service's start");
    RecordProperty("held", "protection meanwhile; the holder's process id said; a window connected within 5 s of the "
                           "name coming free");
    const HANDLE held = CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    WriteUserSettings("[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n");
    WriteScenario("1 connect PC-BAD eve\n");
    const ULONGLONG installed = GetTickCount64();
    ASSERT_EQ(Service("install").code, 0u);
    EXPECT_TRUE(WaitFor([&] { return !Find(Journal(), "call", "NetSessionDel").empty(); }, 20000))
        << "the service does not protect while its pipe's name is held";
    // The arranged hold: the name stays taken for 10 s from the service's start.
    const ULONGLONG heldFor = GetTickCount64() - installed;
    if (heldFor < 10000)
        Sleep(static_cast<DWORD>(10000 - heldFor));
    CloseHandle(held);
    const ULONGLONG freed = GetTickCount64();

    pipe_test::TestClient client;
    ASSERT_TRUE(client.Connect(kPipeName, 10000)) << "no window reaches the service";
    const auto connectedMs = static_cast<int>(GetTickCount64() - freed);
    RecordProperty("connected_after_free_ms", connectedMs);
    EXPECT_LE(connectedMs, 5000);
    ULONG server = 0;
    ASSERT_TRUE(GetNamedPipeServerProcessId(client.connection.pipe, &server));
    EXPECT_EQ(server, QueryInstalledService().processId);
    EXPECT_TRUE(client.WaitUntil([&] {
        return LogTextHas(client, "is held by process " + std::to_string(GetCurrentProcessId()) + ":") &&
               LogTextHas(client, "is the service's again");
    })) << "the Log page does not say who held the name";
}

// A window (or anything that may open the pipe) sending as fast as it can.
TEST_F(ServiceTest, AWindowFloodingThePipeNeverHoldsABlockBack)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "a client sending watch messages as fast as the pipe takes them, each other one asking "
                            "for this computer's tables again, while a blacklisted computer connects and reconnects");
    RecordProperty("held", "each connection cut off within 300 ms");
    WriteUserSettings("[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n");
    WriteScenario("2 reconnect PC-BAD 0.5\n2 connect PC-BAD eve\n");
    ASSERT_EQ(Service("install").code, 0u);
    pipe_test::TestClient client;
    ASSERT_TRUE(client.Connect(kPipeName, 10000));
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    // Each other message asks for this computer's tables again: work for the engine's thread.
    std::thread flood([&] {
        const pipe_test::Bytes here = pipe_test::FrameOf(WireKind::Watch, WireWatch{0, 0}, EncodeWatch);
        const pipe_test::Bytes there = pipe_test::FrameOf(WireKind::Watch, WireWatch{1, 0}, EncodeWatch);
        while (!stop && SendToService(client.connection, sent % 2 ? there : here, 5000))
            ++sent;
    });
    const auto cuts = [&] { return Find(Journal(), "call", "NetSessionDel").size(); };
    const bool cutOff = WaitFor([&] { return cuts() >= 4; }, 30000);
    stop = true;
    flood.join();
    ASSERT_TRUE(cutOff) << "the blacklisted computer was not cut off four times";
    RecordProperty("messages_sent", static_cast<int>(sent.load()));
    EXPECT_GT(sent.load(), 1000) << "the client did not flood";
    const std::vector<JournalLine> journal = Journal();
    long long slowest = 0;
    for (const JournalLine& connect : Find(journal, "event", "connect")) {
        const auto cut = std::find_if(journal.begin(), journal.end(), [&](const JournalLine& line) {
            return line.kind == "call" && line.what == "NetSessionDel" && line.t >= connect.t;
        });
        if (cut != journal.end())
            slowest = std::max(slowest, cut->t - connect.t);
    }
    RecordProperty("slowest_cut_ms", static_cast<int>(slowest));
    EXPECT_LE(slowest, 300);
}

// Whoever may change the folder the service's exe stands in runs code as SYSTEM.
TEST_F(ServiceTest, InstallRefusesAPlaceOthersMayChange)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "quorvelsvc.exe install from a folder everyone may change");
    RecordProperty("held", "refused with the reason and a place that would do; nothing installed");
    ASSERT_TRUE(LetEveryoneChange(folder));
    const RunResult install = Service("install");
    EXPECT_EQ(install.code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::string place = folder.substr(0, folder.size() - 1);
    EXPECT_EQ(Count(install.output, "The service was not installed: " + place + " is writable by Everyone, and "
                                    "whoever can change it would run code as SYSTEM"),
              1)
        << install.output;
    EXPECT_EQ(Count(install.output, "\\Quorvel, and run \"quorvelsvc.exe install\" from there."), 1) << install.output;
    EXPECT_FALSE(QueryInstalledService().found);
    EXPECT_FALSE(Exists(ServiceFilesPath())) << "nothing was made";
}

// A day log's distinct lines without their times: runs at different moments log the
// same lines, a blacklisted computer's comings as often as the run lets it come.
std::vector<std::string> LinesWithoutTimes(const std::string& log, bool csv)
{
    std::vector<std::string> lines;
    for (const std::string& line : Lines(log)) {
        const std::size_t cut = csv ? line.find("\", ") : line.find("] ");
        lines.push_back(cut == std::string::npos ? line : line.substr(cut + 2));
    }
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

TEST_F(ServiceTest, TheServiceAloneLogsAsTheProgramWouldAndCutsOffABlacklistedComputerAndABaitReader)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "the service with no window and nobody's program running: a visitor opens a file, a "
                            "blacklisted computer connects and keeps coming back, another reads a bait file; then "
                            "the program alone on the same server");
    RecordProperty("held", "both in ProgramData's day logs, line for line as the program's own (times aside); the "
                           "computer cut off within 300 ms each time, the bait reader cut off");
    WriteUserSettings("[main]\r\nsavecsvlogs=1\r\n[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n"
                      "[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\salaries*\r\n");
    WriteScenario("0 share Docs disk C:\\Shares\\Docs\n"
                  "1 connect PC-ONE bob\n"
                  "1.5 open PC-ONE bob C:\\Shares\\Docs\\plan.txt perm=rw\n"
                  "2 reconnect PC-BAD 0.5\n"
                  "2 connect PC-BAD eve\n"
                  "2.5 connect PC-READER dan\n"
                  "3 open PC-READER dan C:\\Shares\\Docs\\salaries.xlsx perm=r\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;

    ASSERT_TRUE(WaitFor([&] { return Find(Journal(), "call", "NetSessionDel").size() >= 4; }, 20000))
        << "the blacklisted computer and the bait reader were not cut off; journal: "
        << ReadFile(journalPath).substr(0, 2000);
    const std::vector<JournalLine> journal = Journal();
    long long slowest = 0;
    for (const JournalLine& connect : Find(journal, "event", "connect")) {
        if (connect.Field("computer") != "PC-BAD")
            continue;
        const auto cut = std::find_if(journal.begin(), journal.end(), [&](const JournalLine& line) {
            return line.kind == "call" && line.what == "NetSessionDel" && line.t >= connect.t &&
                   line.Field("client") == "\\\\PC-BAD";
        });
        if (cut == journal.end())
            continue;  // the last came back after the journal was read
        EXPECT_LE(cut->t - connect.t, 300) << connect.text;
        slowest = std::max(slowest, cut->t - connect.t);
    }
    RecordProperty("slowest_cut_ms", static_cast<int>(slowest));
    EXPECT_TRUE(std::any_of(journal.begin(), journal.end(), [](const JournalLine& line) {
        return line.kind == "call" && line.what == "NetSessionDel" && line.Field("client") == "\\\\PC-READER";
    })) << "the bait reader was not cut off";

    const auto complete = [](const std::string& log) {
        return log.find("] User bob connected from PC-ONE\r\n") != std::string::npos &&
               log.find("] [bob][ReadWrite] C:\\Shares\\Docs\\plan.txt\r\n") != std::string::npos &&
               log.find("Tripwire [dan][PC-READER]") != std::string::npos;
    };
    EXPECT_TRUE(WaitFor([&] { return complete(ReadFile(TodaysServiceLog("log"))); }, 10000))
        << ReadFile(TodaysServiceLog("log"));
    EXPECT_TRUE(WaitFor([] { return ReadFile(TodaysServiceLog("csv")).find("plan.txt") != std::string::npos; }, 10000))
        << "the carried savecsvlogs=1 is the service's";
    EXPECT_EQ(ReadFile(TodaysLogPath("log")).find("PC-ONE"), std::string::npos)
        << "the service has no documents folder";

    // The program alone, on the same server from the start, with the same settings.
    ASSERT_TRUE(StopInstalledService());
    const std::string serviceLog = ReadFile(TodaysServiceLog("log"));
    const std::string serviceCsv = ReadFile(TodaysServiceLog("csv"));
    UseSimulatedServer(folder + "netapi-sim.scenario", folder + "alone.journal");
    RunningProgram alone;
    ASSERT_TRUE(StartProgram("h", &alone));
    EXPECT_TRUE(WaitFor([&] { return complete(ReadFile(TodaysLogPath("log"))); }, 15000));
    EXPECT_EQ(ExitProgramThroughMenu(&alone), 0u);
    EXPECT_EQ(LinesWithoutTimes(serviceLog, false), LinesWithoutTimes(ReadFile(TodaysLogPath("log")), false));
    EXPECT_EQ(LinesWithoutTimes(serviceCsv, true), LinesWithoutTimes(ReadFile(TodaysLogPath("csv")), true));
}

TEST_F(ServiceTest, AStopDeliversTheBurstItWasDeliveringAndSavesTheLists)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "stopping the service as soon as the first of 50,000 files opened at once are logged");
    RecordProperty("held", "the stop waits for every open to be in the day's log, in order; the lists are saved");
    constexpr int kBurst = 50000;
    WriteUserSettings("[blacklist]\r\ncount=1\r\ncomp0=pc-bad\r\n");  // saved again at the stop, in normal form
    WriteScenario("0 share Docs disk C:\\Shares\\Docs\n"
                  "0.5 connect PC-BUSY bob\n"
                  "1 repeat " + std::to_string(kBurst) + " 0\n"
                  "0 open PC-BUSY bob C:\\Shares\\Docs\\f{i}.txt perm=rw\n"
                  "end\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    const std::string logPath = TodaysServiceLog("log");
    int before = 0;
    ASSERT_TRUE(WaitFor([&] { return (before = Count(ReadFile(logPath), "\\Docs\\f")) > 0; }, 20000))
        << "the service never logged the burst";

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    // Read once the service took the stop: fewer than all, so they were still being
    // delivered when it came.
    const int atStop = Count(ReadFile(logPath), "\\Docs\\f");
    EXPECT_TRUE(WaitFor([&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; },
                        60000));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    EXPECT_LT(atStop, kBurst) << "the burst was delivered before the stop came: it proves nothing";
    const std::string log = ReadFile(logPath);
    EXPECT_EQ(Count(log, "\\Docs\\f"), kBurst);
    std::size_t at = 0;
    for (int i = 1; i <= kBurst; ++i) {
        const std::string line = "[bob][ReadWrite] C:\\Shares\\Docs\\f" + std::to_string(i) + ".txt\r\n";
        at = log.find(line, at);
        ASSERT_NE(at, std::string::npos) << "file " << i << " missing or out of order";
    }
    RecordProperty("logged_when_first_seen", before);
    RecordProperty("logged_when_stopped", atStop);
    EXPECT_NE(ReadFile(ServiceFilesPath() + "\\quorvel.ini").find("comp0=PC-BAD"), std::string::npos);

    const RunResult uninstall = Service("uninstall");
    EXPECT_EQ(uninstall.code, 0u) << uninstall.output;
    EXPECT_EQ(Lines(uninstall.output).front(), "Removed the service Quorvel.") << "it was stopped already";
}

// The window as the service's client: it watches nothing itself, shows what the
// service tells it, and what it is asked to do is done by the service.
namespace {

constexpr int kSessionsList = 1015;
constexpr int kServiceStatusLine = 1130;
constexpr WPARAM kCloseSessionCommand = 40021;
constexpr WPARAM kAddCommand = 40028;
constexpr WPARAM kShowBlacklistCommand = 40040;
constexpr int kNavBar = 1000;
constexpr int kHistoryPageIndex = 4;
constexpr char kWatchingText[] = "Watched by the protection service";
constexpr char kNotRunningText[] = "Protection service is not running";

// As a crash would end it: no stop, no saving.
bool KillQuorvelService()
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, QueryInstalledService().processId);
    const bool killed = process && TerminateProcess(process, 99) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    if (process)
        CloseHandle(process);
    return killed;
}

// What the recovery actions do after a crash: the service started again. Wine's service
// manager does not notice that the process died and still says it runs, so it is told
// to stop first.
bool RestartKilledQuorvelService()
{
    if (QueryInstalledService().state != SERVICE_STOPPED)
        StopInstalledService();
    return StartInstalledService();
}

std::string StatusLine(HWND mainWindow)
{
    std::array<char, 128> text{};
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(FindProgramControl(mainWindow, kServiceStatusLine), WM_GETTEXT, text.size(),
                        reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 2000, &copied);
    return text.data();
}

// Another process's control, through the messages the system carries across.
std::string ControlText(HWND control)
{
    std::array<char, 256> text{};
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                        2000, &copied);
    return text.data();
}

void SendToControl(HWND control, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(control, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result);
}

// The MSGID of an RFC 5424 line: the sixth field.
std::string MsgidOf(const std::string& line)
{
    std::size_t at = 0;
    for (int field = 0; field < 5 && at != std::string::npos; ++field)
        at = line.find(' ', at + 1);
    if (at == std::string::npos)
        return "";
    return line.substr(at + 1, line.find(' ', at + 1) - at - 1);
}

std::vector<std::string> Sorted(std::vector<std::string> texts)
{
    std::sort(texts.begin(), texts.end());
    return texts;
}

}  // namespace

class ServiceWindowTest : public ServiceTest {
protected:
    void TearDown() override
    {
        if (window.process.hProcess)
            KillProgram(&window);
        ServiceTest::TearDown();
    }

    // The window, with a simulated server of its own that it must never ask.
    void StartWindow()
    {
        WriteFile(folder + "window.scenario", "0 connect PC-WINDOWS-OWN nobody\n");
        UseSimulatedServer(folder + "window.scenario", folder + "window.journal");
        ASSERT_TRUE(StartProgram("", &window));
        window.mainWindow = WaitForMainWindow(window, 20000);
        ASSERT_NE(window.mainWindow, nullptr);
        ASSERT_TRUE(WaitFor([&] { return FindProgramControl(window.mainWindow, kSessionsList) != nullptr; }, 10000));
    }
    bool WaitForStatus(const char* text, DWORD timeoutMs)
    {
        return WaitFor([&] { return StatusLine(window.mainWindow) == text; }, timeoutMs);
    }
    std::size_t CutsOf(const std::string& client) const
    {
        std::size_t cuts = 0;
        for (const JournalLine& line : Find(Journal(), "call", "NetSessionDel"))
            cuts += line.Field("client") == client ? 1 : 0;
        return cuts;
    }

    RunningProgram window;
};

TEST_F(ServiceWindowTest, TheWindowShowsTheServicesWatchAndWhatItAsksIsDoneThereAndLasts)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "the window started beside the running service: its lists, a session closed and a computer "
                            "blacklisted through it; the service killed and started again");
    RecordProperty("held", "the window's lists within 1 s of joining, asked of no server of its own; both commands done "
                           "by the service; the block saved in ProgramData and in force after the restart; the window "
                           "said the service was gone and came back to it within 2 s");
    WriteScenario("0 share Docs disk C:\\Shares\\Docs\n"
                  "1 connect PC-ONE bob\n"
                  "1 open PC-ONE bob C:\\Shares\\Docs\\plan.txt perm=rw\n"
                  "1 connect PC-TWO ann\n"
                  "2 reconnect PC-EVE 0.5\n"
                  "2 connect PC-EVE eve\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const JournalLine& line : Find(Journal(), "event", "connect"))
                if (line.Field("computer") == "PC-EVE")
                    return true;
            return false;
        },
        20000));

    StartWindow();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitForStatus(kWatchingText, 10000)) << StatusLine(window.mainWindow);
    const ULONGLONG joined = GetTickCount64();
    HWND sessions = FindProgramControl(window.mainWindow, kSessionsList);
    const std::vector<std::string> everyone{"PC-EVE", "PC-ONE", "PC-TWO"};
    ASSERT_TRUE(WaitFor([&] { return Sorted(RemoteListColumn(window, sessions, 0)) == everyone; }, 5000))
        << "the window shows what the service sees";
    const auto listsAfterMs = static_cast<int>(GetTickCount64() - joined);
    RecordProperty("lists_after_joining_ms", listsAfterMs);
    EXPECT_LE(listsAfterMs, 1000);

    // Closed through the window, by the service.
    const std::vector<std::string> shown = RemoteListColumn(window, sessions, 0);
    const auto two = std::find(shown.begin(), shown.end(), "PC-TWO") - shown.begin();
    SelectRemoteRow(window, sessions, static_cast<int>(two));
    PostMessageA(GetParent(sessions), WM_COMMAND, kCloseSessionCommand, 0);
    EXPECT_TRUE(WaitFor([&] { return CutsOf("\\\\PC-TWO") == 1; }, 3000));

    // Blacklisted through the window, cut off by the service and saved in its file.
    PostMessageA(window.mainWindow, WM_COMMAND, kShowBlacklistCommand, 0);
    PostMessageA(GetParent(FindProgramControl(window.mainWindow, 1040)), WM_COMMAND, kAddCommand, 0);
    std::vector<HWND> dialogs;
    ASSERT_TRUE(WaitFor([&] { return !(dialogs = ProgramDialogs(window, "Add computer into blacklist")).empty(); }, 5000));
    SetWindowTextA(GetDlgItem(dialogs[0], 1002), "pc-eve");
    PostMessageA(dialogs[0], WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return CutsOf("\\\\PC-EVE") >= 2; }, 5000)) << "cut off, and again when it came back";
    EXPECT_TRUE(WaitFor([] { return ReadFile(ServiceFilesPath() + "\\quorvel.ini").find("comp0=PC-EVE") != std::string::npos; },
                        3000))
        << "the service saves a list when it changes, not only at its stop";

    // Forwarding set through the window: the dialog shows the service's settings, and its OK has
    // the service save them and forward what it does to a collector the test started.
    Collector collector;
    if (collector.Start()) {
        PostMessageA(window.mainWindow, WM_COMMAND, IDM_SETTINGS, 0);
        ASSERT_TRUE(WaitFor([&] { return !(dialogs = ProgramDialogs(window, "Settings")).empty(); }, 5000));
        HWND settings = dialogs[0];
        PostMessageA(settings, WM_COMMAND, IDM_FORWARDING, 0);
        ASSERT_TRUE(WaitFor([&] { return !(dialogs = ProgramDialogs(window, "Forwarding")).empty(); }, 5000));
        HWND forwarding = dialogs[0];
        EXPECT_EQ(ControlText(GetDlgItem(forwarding, IDC_FWD_WHOSE)).rfind("The protection service's settings", 0), 0u);
        SendToControl(GetDlgItem(forwarding, IDC_FWD_ENABLED), BM_SETCHECK, BST_CHECKED, 0);
        SendToControl(GetDlgItem(forwarding, IDC_FWD_HOST), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("127.0.0.1"));
        const std::string port = std::to_string(collector.relpPort);
        SendToControl(GetDlgItem(forwarding, IDC_FWD_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(port.c_str()));
        SendToControl(GetDlgItem(forwarding, IDC_FWD_TRANSPORT), CB_SETCURSEL, 2, 0);
        PostMessageA(forwarding, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(forwarding); }, 5000)) << "OK took the settings";
        PostMessageA(settings, WM_COMMAND, IDCANCEL, 0);
        EXPECT_TRUE(WaitFor([] { return ReadFile(ServiceFilesPath() + "\\quorvel.ini").find("transport=relp") !=
                                        std::string::npos; }, 5000))
            << "the service saves its forwarding";
        EXPECT_TRUE(WaitFor(
            [&] {
                for (const std::string& line : collector.Lines("relp"))
                    if (MsgidOf(line) == "CUTOFF" && line.find("PC-EVE") != std::string::npos)
                        return true;
                return false;
            },
            10000))
            << "the service forwards its cut-offs";
        EXPECT_EQ(ReadFile(DocumentsFolder() + "\\quorvel.ini").find("[forward]"), std::string::npos)
            << "the window's own settings file is not the service's";
        collector.Stop();
        if (!HasFailure())
            RemoveLinuxTestFolder(collector.folder);
    } else {
        std::printf("[ skipped ] forwarding through the window: %s\n", collector.why.c_str());
    }

    // Killed as a crash would end it, and started again: the window says so, then joins again.
    ASSERT_TRUE(KillQuorvelService());
    EXPECT_TRUE(WaitForStatus(kNotRunningText, 2000)) << StatusLine(window.mainWindow);
    const std::size_t cutsBefore = CutsOf("\\\\PC-EVE");
    ASSERT_TRUE(RestartKilledQuorvelService());
    const ULONGLONG restarted = GetTickCount64();
    EXPECT_TRUE(WaitForStatus(kWatchingText, 2000)) << StatusLine(window.mainWindow);
    RecordProperty("window_back_after_ms", static_cast<int>(GetTickCount64() - restarted));
    EXPECT_TRUE(WaitFor([&] { return CutsOf("\\\\PC-EVE") > cutsBefore; }, 10000)) << "the block survives the restart";

    ASSERT_EQ(ExitProgramThroughMenu(&window), 0u);
    for (const JournalLine& line : ReadJournal(folder + "window.journal"))
        EXPECT_TRUE(line.kind != "call" || line.what.rfind("Net", 0) != 0) << "the window asked its own server: " << line.text;
    EXPECT_EQ(ReadFile(DocumentsFolder() + "\\quorvel.ini").find("PC-EVE"), std::string::npos)
        << "the window keeps no lists of its own while the service runs";
    EXPECT_EQ(QueryInstalledService().state, static_cast<DWORD>(SERVICE_RUNNING)) << "the window's exit leaves the service";
}

TEST_F(ServiceWindowTest, TheHistoryPageShowsTheServicesReadingOfItsLogsAndStopsAndResumesIt)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "the service reading three weeks of its daily logs into its history while the window "
                            "shows the History page; Stop, then Resume on the page");
    RecordProperty("held", "the page shows the service's progress, the service stops and resumes at the page's word "
                           "and the page says so, and the reading ends");
    WriteScenario("0 connect PC-ONE bob\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    ASSERT_TRUE(StopInstalledService());
    // Three weeks of days before today, 40,000 lines each: some seconds of reading.
    const std::string logs = ServiceFilesPath() + "\\quorvel_logs\\";
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FILETIME today{};
    SystemTimeToFileTime(&now, &today);
    std::string day;
    for (int k = 0; k < 40000; ++k)
        day += "[9:" + std::to_string(k / 60 % 60) + ":" + std::to_string(k % 60) + "] [user" +
               std::to_string(k % 50) + "][Read] C:\\Shares\\Docs\\file" + std::to_string(k % 700) + ".txt\r\n";
    for (int back = 1; back <= 21; ++back) {
        ULARGE_INTEGER at{};
        at.LowPart = today.dwLowDateTime;
        at.HighPart = today.dwHighDateTime;
        at.QuadPart -= static_cast<ULONGLONG>(back) * 864000000000ull;
        const FILETIME then{at.LowPart, at.HighPart};
        SYSTEMTIME date{};
        FileTimeToSystemTime(&then, &date);
        WriteFile(logs + std::to_string(date.wDay) + "." + std::to_string(date.wMonth) + "." +
                      std::to_string(date.wYear) + ".log",
                  day);
    }
    ASSERT_TRUE(StartInstalledService());

    StartWindow();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitForStatus(kWatchingText, 10000)) << StatusLine(window.mainWindow);
    SelectRemoteRow(window, FindProgramControl(window.mainWindow, kNavBar), kHistoryPageIndex);
    HWND status = FindProgramControl(window.mainWindow, IDC_HISTORY_STATUS);
    HWND stop = FindProgramControl(window.mainWindow, IDC_HISTORY_STOP);
    ASSERT_NE(status, nullptr);
    ASSERT_NE(stop, nullptr);
    const auto shows = [&](const char* part) { return ControlText(status).find(part) != std::string::npos; };
    ASSERT_TRUE(WaitFor([&] { return shows("reading the daily logs:"); }, 20000)) << ControlText(status);
    EXPECT_EQ(ControlText(status).rfind("History is kept by the protection service", 0), std::string::npos)
        << "the service's own state, not only that it keeps the history";

    const auto click = [&] { PostMessageA(GetParent(stop), WM_COMMAND, MAKEWPARAM(IDC_HISTORY_STOP, BN_CLICKED), 0); };
    click();
    ASSERT_TRUE(WaitFor([&] { return shows("reading the daily logs stopped at"); }, 5000)) << ControlText(status);
    EXPECT_TRUE(WaitFor([&] { return ControlText(stop) == "Resume"; }, 2000));
    click();
    EXPECT_TRUE(WaitFor([&] { return ControlText(stop) == "Stop" || !IsWindowVisible(stop); }, 5000));
    EXPECT_TRUE(WaitFor([&] { return !shows("reading the daily logs"); }, 120000)) << ControlText(status);
    EXPECT_FALSE(IsWindowVisible(stop)) << "the button goes once the logs are read";
}

// A reading many times the size of a window's backlog: it goes as the backlog empties,
// and the window, never dropped, shows every row.
TEST_F(ServiceWindowTest, AWindowBesideTheServiceShowsSixtyThousandOpenFilesAndStaysConnected)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "60,000 files open on the service's server, each path 225 characters: a reading of about "
                            "30 MB, where a window's backlog holds 8 MB");
    RecordProperty("held", "the window's Monitoring page lists all 60,000, its status said the service watched all "
                           "the while");
    constexpr int kFiles = 60000;
    const std::string folderPart = "C:\\Shares\\Docs\\" + std::string(190, 'p') + "\\";
    WriteScenario("0 share Docs disk C:\\Shares\\Docs\n"
                  "0 connect PC-ONE bob\n"
                  "0 repeat 60000 0 f\n"
                  "0 open PC-ONE bob " + folderPart + "file{f}.txt perm=r\n"
                  "end\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    ASSERT_TRUE(WaitFor([&] { return Find(Journal(), "call", "NetFileEnum").size() >= 2; }, 60000));
    StartWindow();
    ASSERT_FALSE(HasFatalFailure());
    HWND files = FindProgramControl(window.mainWindow, IDC_FILES_LIST);
    ASSERT_NE(files, nullptr);
    std::vector<std::string> statuses;
    const ULONGLONG started = GetTickCount64();
    const bool all = WaitFor(
        [&] {
            const std::string status = StatusLine(window.mainWindow);
            if (statuses.empty() || statuses.back() != status)
                statuses.push_back(status);
            return SendMessageA(files, LVM_GETITEMCOUNT, 0, 0) == kFiles;
        },
        60000);
    EXPECT_TRUE(all) << SendMessageA(files, LVM_GETITEMCOUNT, 0, 0) << " rows";
    RecordProperty("every_row_after_ms", static_cast<int>(GetTickCount64() - started));
    ASSERT_FALSE(statuses.empty());
    for (std::size_t k = 1; k < statuses.size(); ++k)
        EXPECT_EQ(statuses[k], kWatchingText) << "the window was dropped: " << statuses[k];
    // Held a while longer: the readings after the first go on reaching it.
    EXPECT_FALSE(WaitFor([&] { return StatusLine(window.mainWindow) != kWatchingText; }, 5000))
        << StatusLine(window.mainWindow);
    EXPECT_EQ(SendMessageA(files, LVM_GETITEMCOUNT, 0, 0), kFiles);
}

TEST_F(ServiceWindowTest, AKilledWindowLeavesTheServiceAndNoWindowTalksToAProgramThatTookThePipesName)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "the window killed, then started again; the service stopped and the pipe's name taken by "
                            "another program");
    RecordProperty("held", "the service watched on and took the new window; the window left the other program at once, "
                           "having sent it only its greeting, and said the service was not running");
    WriteScenario("1 connect PC-ONE bob\n"
                  "4 connect PC-LATE ann\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    StartWindow();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitForStatus(kWatchingText, 10000));
    KillProgram(&window);
    EXPECT_TRUE(WaitFor([] { return ReadFile(TodaysServiceLog("log")).find("connected from PC-LATE") != std::string::npos; },
                        15000))
        << "the service logs on with its window gone";
    StartWindow();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WaitForStatus(kWatchingText, 10000));

    ASSERT_TRUE(StopInstalledService());
    EXPECT_TRUE(WaitForStatus(kNotRunningText, 2000));
    HANDLE squatter = CreateNamedPipeW(L"\\\\.\\pipe\\Quorvel",
                                       PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED overlap{};
    overlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD moved = 0;
    // The window connects within its retry time; what it sends before it finds out is read here.
    bool connected = ConnectNamedPipe(squatter, &overlap) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && GetLastError() == ERROR_IO_PENDING)
        connected = WaitForSingleObject(overlap.hEvent, 5000) == WAIT_OBJECT_0 &&
                    GetOverlappedResult(squatter, &overlap, &moved, FALSE);
    std::string heard;
    bool closedByTheWindow = false;
    while (connected && !closedByTheWindow) {
        std::array<char, 4096> chunk{};
        ResetEvent(overlap.hEvent);
        if (!::ReadFile(squatter, chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &overlap) &&
            GetLastError() != ERROR_IO_PENDING) {
            closedByTheWindow = GetLastError() == ERROR_BROKEN_PIPE;
            break;
        }
        if (WaitForSingleObject(overlap.hEvent, 3000) != WAIT_OBJECT_0) {
            CancelIo(squatter);
            GetOverlappedResult(squatter, &overlap, &moved, TRUE);
            break;  // still open: the window did not leave
        }
        if (!GetOverlappedResult(squatter, &overlap, &moved, FALSE) || moved == 0)
            closedByTheWindow = true;
        else
            heard.append(chunk.data(), moved);
    }
    CloseHandle(overlap.hEvent);
    CloseHandle(squatter);
    EXPECT_TRUE(connected);
    EXPECT_TRUE(closedByTheWindow) << "the window stayed with a program that is not the service";
    EXPECT_LE(heard.size(), 64u) << "the window's greeting, and nothing it was asked to do";
    EXPECT_EQ(StatusLine(window.mainWindow), kNotRunningText);
    ASSERT_TRUE(StartInstalledService());
    EXPECT_TRUE(WaitForStatus(kWatchingText, 3000)) << "the service itself is taken again";
}

TEST_F(ServiceWindowTest, ATripOfTheServiceDeniesTheAccountAtTheSharesAndTheWindowsReleasePutsBackEveryByte)
{
    RecordProperty("area", "service");
    RecordProperty("tried", "the service alone trips on a bait file with the deny at the shares on; a window joins and "
                            "releases the tripped computer on its Black list page");
    RecordProperty("held", "both disk shares denied by the service, what it changed written first in its own folder, "
                           "the count on the window's page; the release put each descriptor back byte for byte");
    constexpr int kTrippedList = 1110;
    constexpr int kReleaseButton = 1112;
    WriteUserSettings("[tripwires]\r\nenabled=1\r\ncount=1\r\nbait1=*\\canary*\r\nblockminutes=0\r\n");
    WriteScenario("0 account mallory S-1-5-21-9-9-9-1105\n"
                  "0 share Docs disk C:\\Shares\\Docs\n"
                  "0 share Team disk C:\\Shares\\Team sd=\"O:BAG:BAD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)\"\n"
                  "0 share C$ disk+special C:\\\n"
                  "1 connect PC-VICTIM mallory\n"
                  "1 reconnect PC-VICTIM 0.5\n"
                  "3 open PC-VICTIM mallory C:\\Shares\\Docs\\canary.docx perm=r\n");
    const RunResult install = Service("install");
    ASSERT_EQ(install.code, 0u) << install.output;
    const auto written = [&] {
        std::map<std::string, std::string> last;
        for (const JournalLine& line : Find(Journal(), "call", "NetShareSetInfo"))
            if (line.Field("status") == "0")
                last[line.Field("name")] = line.Field("sdhex");
        return last;
    };
    ASSERT_TRUE(WaitFor([&] { return written().size() == 2; }, 20000)) << ReadFile(journalPath).substr(0, 3000);
    std::map<std::string, std::string> before;
    for (const JournalLine& line : Find(Journal(), "call", "NetShareGetInfo"))
        if (line.Field("status") == "0")
            before.emplace(line.Field("name"), line.Field("sdhex"));
    ASSERT_EQ(before.size(), 2u) << "the special share is left alone";
    const std::string denies = ServiceFilesPath() + "\\quorvel-denies.txt";
    EXPECT_NE(ReadFile(denies).find("share\t"), std::string::npos) << "written first, in the service's own folder";
    EXPECT_EQ(GetFileAttributesA((DocumentsFolder() + "\\quorvel-denies.txt").c_str()), INVALID_FILE_ATTRIBUTES);

    StartWindow();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitForStatus(kWatchingText, 10000)) << StatusLine(window.mainWindow);
    PostMessageA(window.mainWindow, WM_COMMAND, kShowBlacklistCommand, 0);
    HWND tripped = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (tripped = FindProgramControl(window.mainWindow, kTrippedList)) != nullptr; }, 5000));
    EXPECT_TRUE(WaitFor([&] { return RemoteListColumn(window, tripped, 3) == std::vector<std::string>{"2 shares"}; },
                        5000))
        << "the service's count, through the pipe";
    SelectRemoteRow(window, tripped, 0);
    PostMessageA(GetParent(tripped), WM_COMMAND, kReleaseButton, 0);
    EXPECT_TRUE(WaitFor([&] { return Find(Journal(), "call", "NetShareSetInfo").size() == 4; }, 10000))
        << ReadFile(journalPath).substr(0, 3000);
    EXPECT_EQ(written(), before) << "every descriptor as it was read, byte for byte";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(denies) == "quorvel-denies 1\r\n"; }, 5000)) << ReadFile(denies);
    EXPECT_TRUE(WaitFor([&] { return RemoteListColumn(window, tripped, 0).empty(); }, 5000));
    ASSERT_EQ(ExitProgramThroughMenu(&window), 0u);
}
