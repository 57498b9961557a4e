// What the simulated server's journal says happened, against what the day's text
// and CSV logs hold: every connection and file open the program must have seen
// logged once, none twice, and no line without an event behind it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "e2e/program_runner.h"

// One connection or file open the server journaled, in local wall-clock seconds
// (days since 1970 times 86400 plus the time of day), as the logs count time.
struct Activity {
    bool connection = false;
    std::string textKey;  // the text log line after its "[h:m:s] "
    std::string csvKey;   // the CSV record's fields after the time, joined by '|'
    double start = 0;
    double end = 0;       // when it ended, or the journal's last moment
    bool must = false;    // the program's polling cannot have missed it
    bool seenByPoll = true;  // a poll of the server fell inside it (files)
    std::string journal;  // the journal line, for messages
};

struct LoggedLine {
    double time = -1;  // -1: the line has no time the log's form gives
    std::string key;
    std::string text;
};

struct LogComparison {
    std::size_t events = 0;      // activities compared
    std::size_t must = 0;        // of which the program must have logged
    std::size_t mustLogged = 0;
    std::size_t mayLogged = 0;   // short-lived ones it happened to catch
    std::size_t lines = 0;       // log lines read
    std::size_t missing = 0;     // must, not logged
    std::size_t twice = 0;       // a further line for an activity already logged
    std::size_t invented = 0;    // a line no journaled activity explains
    std::vector<std::string> problems;  // the first few, spelt out
};

// Rules: a session that lived at least 2.5 s, began at least 1.5 s after the previous
// session of that computer and user ended, and saw a session poll after its first
// second must be logged; a file open at least 0.6 s during which an open-files poll
// answered must be logged. Anything else at most once.
std::vector<Activity> ActivitiesFromJournal(const std::vector<JournalLine>& journal);

// `day` is the log file's day (days since 1970).
std::vector<LoggedLine> TextLogLines(const std::string& content, long long day);
std::vector<LoggedLine> CsvLogLines(const std::string& content, long long day);

LogComparison CompareWithLog(const std::vector<Activity>& activities, const std::vector<LoggedLine>& lines,
                             bool csv);

// Days since 1970 of a civil date.
long long DayNumber(int year, int month, int day);
// The journal line's local time as Activity counts it; -1 if it has none.
double JournalWallClock(const JournalLine& line);
