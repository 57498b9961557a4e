// Detection produces events; delivery hands a whole batch of them to each place they
// go at once: the Log page's text and the day's text log one append, the run's CSV
// records and the day's CSV log one write. Each line and record, their order and
// their times are the events' own. Whoever shows the events learns of them from the
// engine's news (engine/watch/news.h).
#pragma once

#include <windows.h>
#include <lm.h>

#include "engine/watch/activity_batch.h"
#include "engine/watch/server_watch.h"

// Adds one event to the server's batch, with the log gates (savesess, savefiles)
// read now, and to the news.
void AddConnectionEvent(const ServerWatch& watch, const SESSION_INFO_1& session, const PollTime& time);
void AddFileOpenEvent(const ServerWatch& watch, const FILE_INFO_3& file, const PollTime& time);
// A trip: its line always goes to the Log page and the logs. `detail` follows the
// user in the line.
void AddTripwireEvent(const ServerWatch& watch, const wchar_t* user, const char* detail, const PollTime& time);

// Hands the batch to every place and empties it; nothing happens for an empty batch.
// Another server's lines go to its own logs, and to the Log page with its name after
// the time; only this computer's records join the run's records.
void DeliverActivity(const ServerWatch& watch);
