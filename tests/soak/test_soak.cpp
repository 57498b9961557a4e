// The soak: the real quorvel.exe against a long, heavy scenario of the simulated
// server, its windows worked as a user would, its resources sampled throughout;
// at the end every connection and file open of the server's journal is looked up in
// the day's text and CSV logs.
//
// QUORVEL_SOAK_SCENARIO  scenario (tools/soak/make_scenario.py); default soak-short.scenario beside this program
// QUORVEL_SOAK_OUT       folder for summary.json, samples.csv and the journal; default soak-out beside this program
// QUORVEL_SOAK_LABEL     name of the run in the summary (short, long); default short
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/program_runner.h"
#include "soak/log_check.h"
#include "soak/process_probe.h"
#include "soak/resource_trend.h"

namespace {

// The program's own numbers (resources/resource.h), as a user's clicks send them.
constexpr UINT kTrayNotify = 11024;
constexpr WPARAM kTrayShow = 40044, kTrayMonitoring = 40046, kTrayBlacklist = 40040, kTrayShares = 40048,
                 kTrayLogs = 40049;
constexpr WPARAM kBlockOneMinute = 40031;
constexpr int kSessionsList = 1015, kModeBlacklist = 1039, kModeWhitelist = 1040, kNotifyList = 1000;

std::string Environment(const char* name, const std::string& otherwise)
{
    std::array<char, 1024> value{};
    const DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    return length > 0 && length < value.size() ? std::string(value.data()) : otherwise;
}

double Seconds(ULONGLONG fromMs)
{
    return static_cast<double>(GetTickCount64() - fromMs) / 1000.0;
}

struct Action {
    double at = 0;
    std::vector<std::string> words;
};

// What the scenario file tells the driver: its length and size, the settings, the actions.
struct Plan {
    double seconds = 0;
    std::map<std::string, std::string> facts;  // from "note soak key=value ..."
    std::string settings;
    std::vector<Action> actions;
    int hotKey = 0;
};

Plan ReadPlan(const std::string& path)
{
    Plan plan;
    for (const std::string& line : Lines(ReadFile(path))) {
        if (line.rfind("#ini ", 0) == 0) {
            plan.settings += line.substr(5) + "\r\n";
            if (line.rfind("#ini hotkey=", 0) == 0)
                plan.hotKey = std::atoi(line.substr(12).c_str());
            continue;
        }
        std::istringstream words(line);
        std::string time, command, topic;
        if (!(words >> time >> command >> topic) || command != "note")
            continue;
        if (topic == "driver") {
            Action action;
            action.at = std::atof(time.c_str());
            for (std::string word; words >> word;)
                action.words.push_back(word);
            plan.actions.push_back(action);
        } else if (topic == "soak") {
            for (std::string word; words >> word;) {
                const std::size_t equals = word.find('=');
                if (equals != std::string::npos)
                    plan.facts[word.substr(0, equals)] = word.substr(equals + 1);
            }
        }
    }
    plan.seconds = std::atof(plan.facts["duration"].c_str());
    std::stable_sort(plan.actions.begin(), plan.actions.end(),
                     [](const Action& a, const Action& b) { return a.at < b.at; });
    return plan;
}

struct Sample {
    double at = 0;
    ProcessSample process;
    long long csvBytes = 0;
    long long textBytes = 0;
};

struct Figure {
    const char* name;
    long long (*read)(const ProcessSample&);
};

long long Handles(const ProcessSample& s) { return HandleCountOf(s); }
long long GdiObjects(const ProcessSample& s) { return s.gdiReported > 0 ? s.gdiReported : s.gdiTable; }
long long UserObjects(const ProcessSample& s) { return s.userReported > 0 ? s.userReported : s.windows; }
long long PrivateBytes(const ProcessSample& s) { return PrivateMemoryOf(s); }
long long Threads(const ProcessSample& s) { return s.threads; }

Trend TrendOf(const std::vector<Sample>& samples, long long (*read)(const ProcessSample&), double warmUp,
              double ranFor)
{
    std::vector<TrendPoint> points;
    for (const Sample& sample : samples)
        points.push_back({sample.at, read(sample.process)});
    return TrendOf(points, warmUp, ranFor);
}

long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return static_cast<long long>(data.nFileSizeLow) | (static_cast<long long>(data.nFileSizeHigh) << 32);
}

// The notify window: the program's untitled dialog holding a list in list mode.
HWND FindNotifyWindow(DWORD processId)
{
    struct Search {
        DWORD processId;
        HWND found;
    } search{processId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            HWND list = GetDlgItem(window, kNotifyList);
            if (owner == s->processId && list && (GetWindowLongA(list, GWL_STYLE) & LVS_TYPEMASK) == LVS_LIST) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool NotifyWindowShowing(HWND notify)
{
    RECT frame{};
    return notify && IsWindowVisible(notify) && GetWindowRect(notify, &frame) && frame.top > -1000;
}

void SendHotKey(int hotKey)
{
    const BYTE modifiers = static_cast<BYTE>(hotKey >> 8);
    const WORD key = static_cast<WORD>(hotKey & 0xFF);
    std::vector<WORD> held;
    if (modifiers & HOTKEYF_CONTROL)
        held.push_back(VK_CONTROL);
    if (modifiers & HOTKEYF_ALT)
        held.push_back(VK_MENU);
    if (modifiers & HOTKEYF_SHIFT)
        held.push_back(VK_SHIFT);
    std::vector<INPUT> inputs;
    const auto press = [&](WORD vk, bool up) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(input);
    };
    for (WORD vk : held)
        press(vk, false);
    press(key, false);
    press(key, true);
    for (auto vk = held.rbegin(); vk != held.rend(); ++vk)
        press(*vk, true);
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

UINT HotKeyModifiers(int hotKey)
{
    const BYTE modifiers = static_cast<BYTE>(hotKey >> 8);
    return ((modifiers & HOTKEYF_CONTROL) ? MOD_CONTROL : 0) | ((modifiers & HOTKEYF_ALT) ? MOD_ALT : 0) |
           ((modifiers & HOTKEYF_SHIFT) ? MOD_SHIFT : 0);
}

std::string JsonText(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        scenarioPath = Environment("QUORVEL_SOAK_SCENARIO", ProgramFolder() + "soak-short.scenario");
        outFolder = Environment("QUORVEL_SOAK_OUT", ProgramFolder() + "soak-out");
        if (outFolder.back() != '\\' && outFolder.back() != '/')
            outFolder += '\\';
        label = Environment("QUORVEL_SOAK_LABEL", "short");
        CreateDirectoryA(outFolder.c_str(), nullptr);
        journalPath = outFolder + "server.journal";
        DeleteFileA(journalPath.c_str());
        ForgetEarlierRuns();
    }
    void TearDown() override
    {
        KillProgram(&program);
        UseSimulatedServer("", "");
    }

    // Time since the scenario's time zero (the program's first call).
    double Now() const { return Seconds(zeroMs); }

    void Wait(double seconds)
    {
        const double until = Now() + seconds;
        while (Now() < until) {
            WatchNotifyWindow();
            Sleep(50);
        }
    }

    template <typename Condition>
    bool WaitFor(Condition condition, double seconds)
    {
        const double until = Now() + seconds;
        while (!condition()) {
            if (Now() > until)
                return false;
            WatchNotifyWindow();
            Sleep(50);
        }
        return true;
    }

    void WatchNotifyWindow()
    {
        if (!notifyWindow)
            notifyWindow = FindNotifyWindow(program.process.dwProcessId);
        const bool showing = NotifyWindowShowing(notifyWindow);
        if (showing && !notifyWasShowing)
            ++notifyPopUps;
        notifyWasShowing = showing;
    }

    bool MainShown() const { return IsWindowVisible(program.mainWindow) != FALSE; }

    void Log(const std::string& text)
    {
        char stamp[32];
        std::snprintf(stamp, sizeof(stamp), "[%7.1f] ", Now());
        actionLog.push_back(stamp + text);
        std::printf("%s%s\n", stamp, text.c_str());
        std::fflush(stdout);
    }

    // Shows or hides with the hot key; false if the key did not reach the program.
    bool ToggleWithHotKey(bool wantShown)
    {
        SendHotKey(plan.hotKey);
        const bool delivered = WaitFor([&] { return MainShown() == wantShown; }, 5);
        (delivered ? hotKeyDelivered : hotKeyNotDelivered)++;
        return delivered;
    }

    void Show(const std::string& how)
    {
        if (how == "hotkey" && !MainShown() && ToggleWithHotKey(true))
            return;
        if (how == "tray")
            PostMessageA(program.mainWindow, kTrayNotify, 0, WM_LBUTTONDOWN);
        else
            PostMessageA(program.mainWindow, WM_COMMAND, kTrayShow, 0);
        if (!WaitFor([&] { return MainShown(); }, 10)) {
            ++failedActions;
            Log("the main window did not show (" + how + ")");
        }
    }

    void Hide(const std::string& how)
    {
        if (how == "hotkey" && MainShown() && ToggleWithHotKey(false))
            return;
        PostMessageA(program.mainWindow, WM_CLOSE, 0, 0);
        if (!WaitFor([&] { return !MainShown(); }, 10)) {
            ++failedActions;
            Log("the main window did not hide (" + how + ")");
        }
    }

    void ShowPage(WPARAM command) { PostMessageA(program.mainWindow, WM_COMMAND, command, 0); }

    HWND Control(int id) const { return FindProgramControl(program.mainWindow, id); }

    // The Black list page's radio, clicked as a user would; the window goes back as it was.
    void SwitchMode(bool whitelist)
    {
        const bool wasShown = MainShown();
        ShowPage(kTrayBlacklist);
        HWND radio = Control(whitelist ? kModeWhitelist : kModeBlacklist);
        bool done = false;
        for (int attempt = 0; attempt < 3 && radio && !done; ++attempt) {
            WaitFor([&] { return IsWindowVisible(radio) != FALSE; }, 5);
            PostMessageA(radio, BM_CLICK, 0, 0);
            done = WaitFor([&] { return SendMessageA(radio, BM_GETCHECK, 0, 0) == BST_CHECKED; }, 5);
        }
        if (!done) {
            ++failedActions;
            Log(std::string("could not switch to ") + (whitelist ? "whitelist" : "blacklist") + " mode");
        } else {
            ++modeSwitches;
        }
        if (!wasShown)
            Hide("close");
    }

    // The Monitoring page's "block for 1 minute" on the computer's session row.
    void BlockForAMinute(const std::string& computer)
    {
        const bool wasShown = MainShown();
        ShowPage(kTrayMonitoring);
        HWND sessions = Control(kSessionsList);
        bool done = false;
        for (int attempt = 0; attempt < 10 && sessions && !done; ++attempt) {
            const std::vector<std::string> rows = RemoteListColumn(program, sessions, 0);
            const auto row = std::find(rows.begin(), rows.end(), computer);
            if (row == rows.end()) {
                Wait(1);  // between its visits, or the list is not refreshed yet
                continue;
            }
            const int index = static_cast<int>(row - rows.begin());
            SelectRemoteRow(program, sessions, index);
            const LRESULT selected = SendMessageA(sessions, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
            if (selected != index || RemoteListColumn(program, sessions, 0).at(static_cast<std::size_t>(index)) != computer)
                continue;
            SendMessageA(GetParent(sessions), WM_COMMAND, kBlockOneMinute, 0);
            done = true;
        }
        if (done) {
            blocks.push_back({computer, Now()});
            Log("blocked " + computer + " for a minute");
        } else {
            ++failedActions;
            Log("could not block " + computer);
        }
        Wait(1);
        if (!wasShown)
            Hide("close");
    }

    void Perform(const Action& action)
    {
        const std::vector<std::string>& w = action.words;
        const std::string what = w.empty() ? "" : w[0];
        const std::string how = w.size() > 1 ? w[1] : "";
        std::string text;
        for (const std::string& word : w)
            text += (text.empty() ? "" : " ") + word;
        Log(text);
        if (what == "show")
            Show(how);
        else if (what == "hide")
            Hide(how);
        else if (what == "page")
            ShowPage(how == "blacklist" ? kTrayBlacklist
                     : how == "shares"  ? kTrayShares
                     : how == "logs"    ? kTrayLogs
                                        : kTrayMonitoring);
        else if (what == "mode")
            SwitchMode(how == "whitelist");
        else if (what == "block")
            BlockForAMinute(how);
        else
            Log("unknown action: " + text);
    }

    void TakeSample()
    {
        Sample sample;
        sample.at = Now();
        sample.process = SampleProcess(program.process.hProcess, program.process.dwProcessId);
        sample.csvBytes = FileSize(TodaysLogPath("csv"));
        sample.textBytes = FileSize(TodaysLogPath("log"));
        samples.push_back(sample);
    }

    // At the end: does the program still answer, through its tray icon and its hot key?
    void CheckResponsive()
    {
        DWORD_PTR answer = 0;
        answersMessages = SendMessageTimeoutA(program.mainWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer) != 0;
        NOTIFYICONDATAA icon{};
        icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
        icon.hWnd = program.mainWindow;
        icon.uID = 0;
        icon.uFlags = 0;  // change nothing: only whether the shell still holds the icon
        trayIconPresent = Shell_NotifyIconA(NIM_MODIFY, &icon) != FALSE;
        if (MainShown())
            Hide("close");
        PostMessageA(program.mainWindow, kTrayNotify, 0, WM_LBUTTONDOWN);
        trayShows = WaitFor([&] { return MainShown(); }, 10);
        Log(std::string("tray click ") + (trayShows ? "showed the window" : "did nothing"));
        if (trayShows) {
            SendHotKey(plan.hotKey);
            hotKeyHides = WaitFor([&] { return !MainShown(); }, 5);
            if (hotKeyHides) {
                SendHotKey(plan.hotKey);
                hotKeyShows = WaitFor([&] { return MainShown(); }, 5);
            }
        }
        // Still held by the program: a second registration of the same keys fails.
        if (RegisterHotKey(nullptr, 1, HotKeyModifiers(plan.hotKey), static_cast<UINT>(plan.hotKey & 0xFF))) {
            UnregisterHotKey(nullptr, 1);
            hotKeyRegistered = false;
        } else {
            hotKeyRegistered = GetLastError() == ERROR_HOTKEY_ALREADY_REGISTERED;
        }
        Log(std::string("hot key: ") + (hotKeyHides && hotKeyShows ? "toggles the window" : "not delivered") +
            (hotKeyRegistered ? ", registered by the program" : ", not registered"));
    }

    std::string scenarioPath, outFolder, label, journalPath;
    Plan plan;
    RunningProgram program;
    ULONGLONG zeroMs = 0;
    std::vector<Sample> samples;
    std::vector<std::string> actionLog;
    std::vector<std::pair<std::string, double>> blocks;
    HWND notifyWindow = nullptr;
    bool notifyWasShowing = false;
    int notifyPopUps = 0, failedActions = 0, modeSwitches = 0, hotKeyDelivered = 0, hotKeyNotDelivered = 0;
    bool answersMessages = false, trayIconPresent = false, trayShows = false, hotKeyHides = false,
         hotKeyShows = false, hotKeyRegistered = false;
};

}  // namespace

TEST_F(Soak, TheProgramHoldsUpUnderAHeavyScenario)
{
    plan = ReadPlan(scenarioPath);
    ASSERT_GE(plan.seconds, 60) << "no soak scenario at " << scenarioPath;
    ASSERT_NE(plan.hotKey, 0);
    WriteFile(DocumentsFolder() + "\\quorvel.ini", plan.settings);
    UseSimulatedServer(scenarioPath, journalPath);
    const ULONGLONG startedMs = GetTickCount64();
    ASSERT_TRUE(StartProgram("h", &program));
    program.mainWindow = WaitForMainWindow(program, 60000);
    ASSERT_NE(program.mainWindow, nullptr);
    while (FileSize(journalPath) == 0 && Seconds(startedMs) < 60)
        Sleep(20);
    ASSERT_GT(FileSize(journalPath), 0) << "the program never called the server";
    zeroMs = GetTickCount64();
    const double startUp = Seconds(startedMs);

    // Sampled every couple of seconds in a short run, every ten in a long one.
    const double sampleEvery = std::clamp(plan.seconds / 180.0, 2.0, 10.0);
    double nextSample = 0;
    std::size_t nextAction = 0;
    TakeSample();
    while (Now() < plan.seconds + 2) {
        if (Now() >= nextSample) {
            TakeSample();
            nextSample = samples.back().at + sampleEvery;
        }
        if (nextAction < plan.actions.size() && Now() >= plan.actions[nextAction].at)
            Perform(plan.actions[nextAction++]);
        ASSERT_EQ(WaitForExit(program, 0), static_cast<DWORD>(STILL_ACTIVE)) << "the program ended by itself";
        Wait(0.1);
    }
    TakeSample();
    CheckResponsive();
    TakeSample();
    const double ranFor = Now();
    const DWORD exitCode = ExitProgramThroughMenu(&program);

    // What the server saw, against the day's logs (a run past midnight has two days).
    const std::vector<JournalLine> journal = ReadJournal(journalPath);
    const std::vector<Activity> activities = ActivitiesFromJournal(journal);
    std::vector<LoggedLine> textLines, csvLines;
    std::set<long long> days;
    for (const JournalLine& line : journal) {
        const double wall = JournalWallClock(line);
        if (wall >= 0)
            days.insert(static_cast<long long>(wall / 86400.0));
    }
    for (long long day : days) {
        // The log's name: d.m.yyyy, no leading zeros.
        const long long z = day + 719468, era = (z >= 0 ? z : z - 146096) / 146097, doe = z - era * 146097;
        const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
        const long long d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9, y = yoe + era * 400 + (m <= 2);
        const std::string stem = DocumentsFolder() + "\\quorvel_logs\\" + std::to_string(d) + "." + std::to_string(m) +
                                 "." + std::to_string(y) + ".";
        for (const LoggedLine& line : TextLogLines(ReadFile(stem + "log"), day))
            textLines.push_back(line);
        for (const LoggedLine& line : CsvLogLines(ReadFile(stem + "csv"), day))
            csvLines.push_back(line);
    }
    const LogComparison text = CompareWithLog(activities, textLines, false);
    const LogComparison csv = CompareWithLog(activities, csvLines, true);

    std::size_t connections = 0, opens = 0, sessionsMust = 0, opensMust = 0, unpolled = 0;
    for (const Activity& activity : activities) {
        (activity.connection ? connections : opens)++;
        if (activity.must)
            (activity.connection ? sessionsMust : opensMust)++;
        if (!activity.seenByPoll && activity.end - activity.start >= (activity.connection ? 2.5 : 0.6))
            ++unpolled;
    }
    // The longest the open files went unpolled: a stalled program shows here.
    long long longestPollGap = 0, previousPoll = -1;
    for (const JournalLine& line : journal) {
        if (line.kind != "call" || line.what != "NetFileEnum")
            continue;
        if (previousPoll >= 0)
            longestPollGap = std::max(longestPollGap, line.t - previousPoll);
        previousPoll = line.t;
    }
    // The temporary blocks: cut off at once, and let back in when the minute ran out.
    std::vector<std::string> blockFindings;
    bool blocksHeld = !blocks.empty();
    for (const auto& [computer, at] : blocks) {
        const std::string client = "\\\\" + computer;
        double first = -1, last = -1;
        for (const JournalLine& line : journal) {
            if (line.kind == "call" && line.what == "NetSessionDel" && line.Field("client") == client &&
                static_cast<double>(line.t) / 1000.0 >= at - 1) {
                if (first < 0)
                    first = static_cast<double>(line.t) / 1000.0;
                last = static_cast<double>(line.t) / 1000.0;
            }
        }
        // Back after the minute, and left alone from then on while it kept coming back.
        bool backAfter = false;
        for (const JournalLine& line : journal) {
            if (line.kind == "event" && line.what == "connect" && line.Field("computer") == computer &&
                line.text.find(" skipped=") == std::string::npos && static_cast<double>(line.t) / 1000.0 > last)
                backAfter = true;
        }
        const bool cut = first >= 0 && first - at < 5;
        const bool released = last >= 0 && last - at >= 50 && last - at <= 80 && ranFor - last >= 10 && backAfter;
        char finding[256];
        std::snprintf(finding, sizeof(finding), "%s blocked at %.1f s: first cut off %.1f s later, last %.1f s later",
                      computer.c_str(), at, first - at, last - at);
        blockFindings.push_back(finding);
        blocksHeld = blocksHeld && cut && released;
    }

    // Resources: no growth after the warm-up. The reference is the most seen in the
    // first third after it; the last third may not go past it by more than a little.
    const double warmUp = std::min(60.0, plan.seconds / 4);
    const double referenceEnd = warmUp + (ranFor - warmUp) / 3;
    const std::vector<Figure> figures = {
        {"handles", Handles}, {"gdi", GdiObjects}, {"user", UserObjects}, {"private_bytes", PrivateBytes},
        {"threads", Threads}};
    std::map<std::string, Trend> trends;
    for (const Figure& figure : figures)
        trends[figure.name] = TrendOf(samples, figure.read, warmUp, ranFor);
    // Two stores grow with the events up to a bound, by design: the run's copy of the CSV
    // records, a fixed 2 MiB block whose pages count once touched, and the Log page, which
    // keeps the last 256 K characters of the text log (2 bytes each in the edit control,
    // room for as many again as it grows). What they filled after the reference is allowed,
    // and 1 MiB besides.
    constexpr long long kRunCsvBlock = 2097150, kLogPageChars = 1 << 18, kMemorySlack = 1 << 20;
    const Sample* atReference = &samples.front();
    for (const Sample& sample : samples)
        if (sample.at <= referenceEnd)
            atReference = &sample;
    const Sample& atEnd = samples.back();
    const auto filled = [](long long from, long long to, long long bound) {
        return std::max(0LL, std::min(to, bound) - std::min(from, bound));
    };
    const long long memoryAllowance = filled(atReference->csvBytes, atEnd.csvBytes, kRunCsvBlock) +
                                      4 * filled(atReference->textBytes, atEnd.textBytes, kLogPageChars) +
                                      kMemorySlack;
    const std::map<std::string, long long> slack = {
        {"handles", 10}, {"gdi", 10}, {"user", 2}, {"private_bytes", memoryAllowance}, {"threads", 2}};
    std::map<std::string, bool> held;
    for (const Figure& figure : figures) {
        const Trend& t = trends[figure.name];
        held[figure.name] = Held(t, slack.at(figure.name));
    }

    const bool responsive = answersMessages && trayIconPresent && trayShows && hotKeyRegistered;
    const std::size_t missing = text.missing + csv.missing, twice = text.twice + csv.twice,
                      invented = text.invented + csv.invented;
    const bool pass = exitCode == 0 && missing == 0 && twice == 0 && invented == 0 && responsive &&
                      held["handles"] && held["gdi"] && held["user"] && held["private_bytes"] && held["threads"] &&
                      blocksHeld && failedActions == 0;

    // The samples, and the summary the docs table is made from.
    {
        std::ofstream out(outFolder + "samples.csv", std::ios::binary | std::ios::trunc);
        out << "seconds,handles,handles_table,gdi_reported,gdi_table,user_reported,windows,threads,private_usage,"
               "pagefile_usage,working_set,csv_log_bytes,text_log_bytes\n";
        for (const Sample& s : samples) {
            const ProcessSample& p = s.process;
            out << s.at << "," << p.handles << "," << p.handlesTable << "," << p.gdiReported << "," << p.gdiTable << ","
                << p.userReported << "," << p.windows << "," << p.threads << "," << p.privateBytes << ","
                << p.pagefileBytes << "," << p.workingSetBytes << "," << s.csvBytes << "," << s.textBytes << "\n";
        }
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char date[32];
    std::snprintf(date, sizeof(date), "%04u-%02u-%02u %02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute);
    const ProcessSample& first = samples.front().process;
    std::ostringstream json;
    json << "{\n";
    json << "  \"label\": " << JsonText(label) << ",\n";
    json << "  \"finished\": " << JsonText(date) << ",\n";
    json << "  \"scenario_seconds\": " << plan.seconds << ",\n";
    json << "  \"ran_seconds\": " << static_cast<long long>(ranFor) << ",\n";
    json << "  \"start_up_seconds\": " << startUp << ",\n";
    json << "  \"seed\": " << JsonText(plan.facts["seed"]) << ",\n";
    json << "  \"computers\": " << plan.facts["computers"] << ",\n";
    json << "  \"sessions\": " << connections << ",\n";
    json << "  \"opens\": " << opens << ",\n";
    json << "  \"events_compared\": " << activities.size() << ",\n";
    json << "  \"events_must\": " << sessionsMust + opensMust << ",\n";
    json << "  \"sessions_must\": " << sessionsMust << ",\n";
    json << "  \"opens_must\": " << opensMust << ",\n";
    json << "  \"long_enough_but_unpolled\": " << unpolled << ",\n";
    json << "  \"longest_open_files_poll_gap_ms\": " << longestPollGap << ",\n";
    for (const auto& [name, result] : std::map<std::string, const LogComparison*>{{"text_log", &text}, {"csv_log", &csv}}) {
        json << "  \"" << name << "\": {\"lines\": " << result->lines << ", \"must_logged\": " << result->mustLogged
             << ", \"may_logged\": " << result->mayLogged << ", \"missing\": " << result->missing
             << ", \"twice\": " << result->twice << ", \"invented\": " << result->invented << ", \"problems\": [";
        for (std::size_t k = 0; k < result->problems.size(); ++k)
            json << (k ? ", " : "") << JsonText(result->problems[k]);
        json << "]},\n";
    }
    json << "  \"missing\": " << missing << ",\n  \"twice\": " << twice << ",\n  \"invented\": " << invented << ",\n";
    json << "  \"measured_as\": {\"handles\": " << JsonText(first.handles > 0 ? "GetProcessHandleCount" : "system handle list")
         << ", \"gdi\": " << JsonText(first.gdiReported > 0 ? "GetGuiResources" : "GDI handle table")
         << ", \"user\": " << JsonText(first.userReported > 0 ? "GetGuiResources" : "windows")
         << ", \"private_bytes\": " << JsonText(first.privateBytes > 0 ? "PrivateUsage" : "PagefileUsage") << "},\n";
    json << "  \"warm_up_seconds\": " << warmUp << ",\n";
    json << "  \"resources\": {\n";
    for (std::size_t k = 0; k < figures.size(); ++k) {
        const Trend& t = trends[figures[k].name];
        json << "    \"" << figures[k].name << "\": {\"start\": " << t.start << ", \"end\": " << t.end
             << ", \"peak\": " << t.peak << ", \"reference\": " << t.reference << ", \"late_most\": " << t.lateMost
             << ", \"allowed\": " << slack.at(figures[k].name) << ", \"slope_per_hour\": " << std::lround(t.slopePerHour)
             << ", \"held\": " << (held[figures[k].name] ? "true" : "false") << "}"
             << (k + 1 < figures.size() ? "," : "") << "\n";
    }
    json << "  },\n";
    json << "  \"samples\": " << samples.size() << ",\n";
    json << "  \"notify_pop_ups\": " << notifyPopUps << ",\n";
    json << "  \"mode_switches\": " << modeSwitches << ",\n";
    json << "  \"blocks\": [";
    for (std::size_t k = 0; k < blockFindings.size(); ++k)
        json << (k ? ", " : "") << JsonText(blockFindings[k]);
    json << "],\n";
    json << "  \"blocks_held\": " << (blocksHeld ? "true" : "false") << ",\n";
    json << "  \"failed_actions\": " << failedActions << ",\n";
    json << "  \"hot_key_during_run\": {\"delivered\": " << hotKeyDelivered << ", \"not_delivered\": " << hotKeyNotDelivered
         << "},\n";
    json << "  \"responsive\": {\"answers_messages\": " << (answersMessages ? "true" : "false")
         << ", \"tray_icon_present\": " << (trayIconPresent ? "true" : "false")
         << ", \"tray_click_shows\": " << (trayShows ? "true" : "false")
         << ", \"hot_key_toggles\": " << (hotKeyHides && hotKeyShows ? "true" : "false")
         << ", \"hot_key_registered\": " << (hotKeyRegistered ? "true" : "false") << "},\n";
    json << "  \"exit_code\": " << exitCode << ",\n";
    json << "  \"result\": " << JsonText(pass ? "pass" : "fail") << "\n";
    json << "}\n";
    WriteFile(outFolder + "summary.json", json.str());
    std::printf("%s", json.str().c_str());

    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(text.missing, 0u) << "text log";
    EXPECT_EQ(csv.missing, 0u) << "CSV log";
    EXPECT_EQ(text.twice, 0u) << "text log";
    EXPECT_EQ(csv.twice, 0u) << "CSV log";
    EXPECT_EQ(text.invented, 0u) << "text log";
    EXPECT_EQ(csv.invented, 0u) << "CSV log";
    EXPECT_GT(sessionsMust, 0u);
    EXPECT_GT(opensMust, 0u);
    for (const Figure& figure : figures)
        EXPECT_TRUE(held[figure.name]) << figure.name << " grew after the warm-up";
    EXPECT_TRUE(blocksHeld);
    EXPECT_EQ(failedActions, 0);
    EXPECT_GT(notifyPopUps, 0) << "the notify window never popped up";
    EXPECT_TRUE(answersMessages);
    EXPECT_TRUE(trayIconPresent);
    EXPECT_TRUE(trayShows);
    EXPECT_TRUE(hotKeyRegistered);
}
