#include "soak/log_check.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

namespace {

constexpr double kMustSessionSeconds = 2.5;
constexpr double kSessionGapSeconds = 1.5;
constexpr double kMustFileSeconds = 0.6;
// A line carries the whole second of the poll that saw the activity: never before the
// second it began in, and only a moment after it ended (the poll's own work).
constexpr double kAfterEnd = 1.5;
constexpr std::size_t kProblemsKept = 20;

bool HasField(const JournalLine& line, const std::string& key)
{
    return line.text.find(" " + key + "=") != std::string::npos;
}

std::string OpenMode(int permissions)
{
    std::string mode;
    if (permissions & 1)
        mode += "Read";
    if (permissions & 2)
        mode += "Write";
    if (permissions & 4)
        mode += "Create";
    return mode;
}

struct OpenActivity {
    std::size_t index;
    long long startMs;
};

struct Builder {
    std::vector<Activity> activities;
    std::vector<long long> startMs, endMs;
    std::vector<std::string> sessionOf;  // per activity: its session's key
    std::map<std::string, std::size_t> liveSessions;   // key -> activity
    std::map<std::string, double> lastSessionEnd;      // key -> wall clock
    std::map<std::string, long long> lastSessionEndMs;
    std::map<std::string, std::size_t> liveFiles;      // id -> activity
    std::vector<long long> sessionPolls, filePolls;    // ms

    std::size_t Add(Activity activity, long long ms, const std::string& session)
    {
        activities.push_back(std::move(activity));
        startMs.push_back(ms);
        endMs.push_back(-1);
        sessionOf.push_back(session);
        return activities.size() - 1;
    }
    void End(std::size_t index, double wall, long long ms)
    {
        if (endMs[index] >= 0)
            return;
        activities[index].end = wall;
        endMs[index] = ms;
    }
    void EndSession(const std::string& key, double wall, long long ms)
    {
        const auto live = liveSessions.find(key);
        if (live == liveSessions.end())
            return;
        End(live->second, wall, ms);
        liveSessions.erase(live);
        lastSessionEnd[key] = wall;
        lastSessionEndMs[key] = ms;
        for (auto file = liveFiles.begin(); file != liveFiles.end();) {
            if (sessionOf[file->second] == key) {
                End(file->second, wall, ms);
                file = liveFiles.erase(file);
            } else {
                ++file;
            }
        }
    }
};

bool AnyPollIn(const std::vector<long long>& polls, long long from, long long to)
{
    const auto at = std::lower_bound(polls.begin(), polls.end(), from);
    return at != polls.end() && *at < to;
}

// "[h:m:s] " at the start of a text log line.
bool ParseClock(const std::string& text, double* seconds)
{
    int h = 0, m = 0, s = 0;
    char end = 0;
    std::istringstream in(text);
    char colon1 = 0, colon2 = 0;
    if (!(in >> h >> colon1 >> m >> colon2 >> s) || colon1 != ':' || colon2 != ':')
        return false;
    in.get(end);
    if (!in.eof() && end != ']' && end != '\0')
        return false;
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
        return false;
    *seconds = h * 3600 + m * 60 + s;
    return true;
}

}  // namespace

long long DayNumber(int year, int month, int day)
{
    // Days from civil (proleptic Gregorian).
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yoe = year - era * 400;
    const long long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

double JournalWallClock(const JournalLine& line)
{
    if (line.text.size() < 10 || line.clock.size() < 12)
        return -1;
    const int year = std::atoi(line.text.substr(0, 4).c_str());
    const int month = std::atoi(line.text.substr(5, 2).c_str());
    const int day = std::atoi(line.text.substr(8, 2).c_str());
    const int h = std::atoi(line.clock.substr(0, 2).c_str());
    const int m = std::atoi(line.clock.substr(3, 2).c_str());
    const double s = std::atof(line.clock.substr(6).c_str());
    return static_cast<double>(DayNumber(year, month, day)) * 86400.0 + h * 3600 + m * 60 + s;
}

std::vector<Activity> ActivitiesFromJournal(const std::vector<JournalLine>& journal)
{
    Builder b;
    double lastWall = 0;
    long long lastMs = 0;
    for (const JournalLine& line : journal) {
        const double wall = JournalWallClock(line);
        if (wall < 0)
            continue;
        lastWall = std::max(lastWall, wall);
        lastMs = std::max(lastMs, line.t);
        if (line.kind == "call") {
            const std::string status = line.Field("status");
            const bool answered = status == "0" || status == "234";
            if (answered && line.what == "NetFileEnum")
                b.filePolls.push_back(line.t);
            if (answered && line.what == "NetSessionEnum" && line.Field("level") == "1")
                b.sessionPolls.push_back(line.t);
            continue;
        }
        if (line.kind != "event" || HasField(line, "skipped"))
            continue;
        const std::string computer = line.Field("computer");
        const std::string user = line.Field("user");
        const std::string key = computer + '\x1f' + user;
        if (line.what == "connect") {
            b.EndSession(key, wall, line.t);  // a session of that name cannot start twice
            const bool guest = user.empty() || (std::atoi(line.Field("flags").c_str()) & 1) != 0;
            const std::string logged = guest ? "Guest" : user;
            Activity activity;
            activity.connection = true;
            activity.textKey = "User " + logged + " connected from " + computer;
            activity.csvKey = "CONNECT|" + logged + "|" + computer;
            activity.start = wall;
            activity.journal = line.text;
            const auto previous = b.lastSessionEnd.find(key);
            // Kept for the rule; the gap is judged below with the end known.
            activity.must = previous == b.lastSessionEnd.end() || wall - previous->second >= kSessionGapSeconds;
            b.liveSessions[key] = b.Add(activity, line.t, key);
        } else if (line.what == "end-session") {
            b.EndSession(key, wall, line.t);
        } else if (line.what == "disconnect") {
            if (HasField(line, "user")) {
                b.EndSession(key, wall, line.t);
            } else {
                std::vector<std::string> ending;
                for (const auto& [session, index] : b.liveSessions) {
                    if (session.substr(0, session.find('\x1f')) == computer)
                        ending.push_back(session);
                }
                for (const std::string& session : ending)
                    b.EndSession(session, wall, line.t);
            }
        } else if (line.what == "open") {
            const std::string mode = OpenMode(std::atoi(line.Field("perm").c_str()));
            const std::string path = line.Field("path");
            Activity activity;
            activity.textKey = "[" + user + "][" + mode + "] " + path;
            activity.csvKey = mode + "|" + user + "|" + path;
            activity.start = wall;
            activity.journal = line.text;
            b.liveFiles[line.Field("id")] = b.Add(activity, line.t, key);
        } else if (line.what == "close") {
            const auto live = b.liveFiles.find(line.Field("id"));
            if (live != b.liveFiles.end()) {
                b.End(live->second, wall, line.t);
                b.liveFiles.erase(live);
            }
        }
    }
    for (std::size_t k = 0; k < b.activities.size(); ++k) {
        if (b.endMs[k] < 0)
            b.End(k, lastWall, lastMs);
        Activity& activity = b.activities[k];
        const double lived = static_cast<double>(b.endMs[k] - b.startMs[k]) / 1000.0;
        if (activity.connection) {
            activity.seenByPoll = AnyPollIn(b.sessionPolls, b.startMs[k] + 1000, b.endMs[k]);
            activity.must = activity.must && lived >= kMustSessionSeconds && activity.seenByPoll;
        } else {
            activity.seenByPoll = AnyPollIn(b.filePolls, b.startMs[k], b.endMs[k]);
            activity.must = lived >= kMustFileSeconds && activity.seenByPoll;
        }
    }
    return b.activities;
}

std::vector<LoggedLine> TextLogLines(const std::string& content, long long day)
{
    std::vector<LoggedLine> lines;
    for (const std::string& text : Lines(content)) {
        if (text.empty())
            continue;
        LoggedLine line;
        line.text = text;
        line.key = text;
        double seconds = 0;
        const std::size_t close = text.find("] ");
        if (text[0] == '[' && close != std::string::npos && ParseClock(text.substr(1, close), &seconds)) {
            line.time = static_cast<double>(day) * 86400.0 + seconds;
            line.key = text.substr(close + 2);
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<LoggedLine> CsvLogLines(const std::string& content, long long day)
{
    std::vector<LoggedLine> lines;
    for (const std::string& text : Lines(content)) {
        if (text.empty() || text.rfind("#File generated by ", 0) == 0)
            continue;
        LoggedLine line;
        line.text = text;
        line.key = text;
        // "t", "kind", "user", "target": no name here holds a quote or ", ".
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
            std::vector<std::string> fields;
            const std::string inner = text.substr(1, text.size() - 2);
            for (std::size_t from = 0;;) {
                const std::size_t at = inner.find("\", \"", from);
                fields.push_back(inner.substr(from, at == std::string::npos ? std::string::npos : at - from));
                if (at == std::string::npos)
                    break;
                from = at + 4;
            }
            double seconds = 0;
            if (fields.size() == 4 && ParseClock(fields[0], &seconds)) {
                line.time = static_cast<double>(day) * 86400.0 + seconds;
                line.key = fields[1] + "|" + fields[2] + "|" + fields[3];
            }
        }
        lines.push_back(line);
    }
    return lines;
}

LogComparison CompareWithLog(const std::vector<Activity>& activities, const std::vector<LoggedLine>& lines, bool csv)
{
    LogComparison result;
    result.events = activities.size();
    result.lines = lines.size();
    std::map<std::string, std::vector<std::size_t>> byKey;
    for (std::size_t k = 0; k < activities.size(); ++k)
        byKey[csv ? activities[k].csvKey : activities[k].textKey].push_back(k);
    std::vector<std::size_t> order(lines.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return lines[a].time < lines[b].time; });

    const auto note = [&](const std::string& text) {
        if (result.problems.size() < kProblemsKept)
            result.problems.push_back(text);
    };
    const auto contains = [&](const Activity& activity, double time) {
        return time >= std::floor(activity.start) && time <= activity.end + kAfterEnd;
    };
    // Each line stands for the unlogged activity it can that ends first; those the program
    // must have logged are served first, so a short-lived one next to them takes no line of theirs.
    std::vector<bool> logged(activities.size(), false);
    std::vector<bool> used(lines.size(), false);
    for (const bool mustPass : {true, false}) {
        for (std::size_t k : order) {
            const LoggedLine& line = lines[k];
            const auto candidates = byKey.find(line.key);
            if (used[k] || line.time < 0 || candidates == byKey.end())
                continue;
            std::size_t best = activities.size();
            for (std::size_t index : candidates->second) {
                const Activity& activity = activities[index];
                if (activity.must != mustPass || logged[index] || !contains(activity, line.time))
                    continue;
                if (best == activities.size() || activity.end < activities[best].end)
                    best = index;
            }
            if (best != activities.size()) {
                logged[best] = true;
                used[k] = true;
            }
        }
    }
    for (std::size_t k : order) {
        if (used[k])
            continue;
        const LoggedLine& line = lines[k];
        const auto candidates = byKey.find(line.key);
        bool anyWindow = false;
        if (line.time >= 0 && candidates != byKey.end()) {
            for (std::size_t index : candidates->second)
                anyWindow = anyWindow || contains(activities[index], line.time);
        }
        if (anyWindow) {
            ++result.twice;
            note("twice: " + line.text);
        } else {
            ++result.invented;
            note("invented: " + line.text);
        }
    }
    for (std::size_t k = 0; k < activities.size(); ++k) {
        const Activity& activity = activities[k];
        result.must += activity.must;
        if (activity.must && logged[k])
            ++result.mustLogged;
        if (!activity.must && logged[k])
            ++result.mayLogged;
        if (activity.must && !logged[k]) {
            ++result.missing;
            note("missing: " + activity.journal);
        }
    }
    return result;
}
