// The alarm webhook: trips, sessions cut off by the blacklist or whitelist, and a
// watched server that stopped answering, each POSTed as one JSON body to the organisation's receiver (a chat
// channel's incoming webhook, or anything that takes JSON) over HTTP or HTTPS with
// WinHTTP, on a thread of its own. An alarm that fails is tried again, waiting 2 s,
// then twice as long each time up to 5 minutes; one still not taken an hour after it
// came is dropped with a notice, as is one the receiver refuses for good (a 4xx
// other than 408 and 429).
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/watch/event_record.h"

constexpr std::size_t kWebhookUrlCapacity = 1024;
constexpr std::size_t kWebhookBodyCapacity = 8192;
// Alarms waiting for the receiver, at most; more are dropped with a notice.
constexpr std::size_t kWebhookQueueCapacity = 64;

// The body: plain JSON (kind, time, host, server, computer, user, path, rule, text),
// a Teams connector card, or a Slack message.
enum class WebhookFormat : int32_t { Json = 0, Teams = 1, Slack = 2, Unknown = 3 };

struct WebhookTiming {
    DWORD firstRetryMs;
    DWORD longestRetryMs;
    DWORD giveUpMs;   // after the alarm came
    DWORD requestMs;  // each of resolving, connecting, sending and receiving
};
inline constexpr WebhookTiming kWebhookTiming = {2000, 300000, 3600000, 10000};

// Whether `url` is an http:// or https:// address with a host.
bool IsWebhookUrl(const char* url);
// The body of one alarm, UTF-8; `host` is this computer's name. Returns its length
// (not terminated); the JSON is whole however long the record's texts are.
std::size_t FormatWebhookBody(std::span<char> dest, WebhookFormat format, const EventRecord& record,
                              const char* host);

enum class WebhookResult { Delivered, Retry, Refused, BadUrl };
// One POST now, over TLS 1.2 or 1.3 for https, waiting at most `timing.requestMs` a
// step: Delivered for a 2xx; Refused for a redirect (never followed) and a 4xx other
// than 408 and 429; Retry for anything else (no answer, 5xx), said by its stage
// ("name: ...", "connection: ...", "TLS: ...", "HTTP 500").
// `status` gets the HTTP status, 0 without one; `text` says what happened.
WebhookResult PostWebhook(const char* url, std::string_view body, DWORD requestMs, DWORD* status,
                          std::span<char> text);

// One test alarm POSTed now, for the dialog's Test button, waiting up to `requestMs`
// a step on the calling thread; `result` says what happened in words.
WebhookResult TestWebhook(const char* url, WebhookFormat format, DWORD requestMs, std::span<char> result);

// Starts the webhook's thread; false when the address is not a webhook's.
bool StartWebhook(const char* url, WebhookFormat format, const char* host, const WebhookTiming& timing);
// Stops it within `waitMs`; alarms still waiting are dropped.
void StopWebhook(DWORD waitMs);
// Whether the thread of the last start has ended (a stop during a POST may leave it
// running until the POST's own limit).
bool WebhookThreadEnded();
// The engine's thread: the record's alarm is queued (the kind is not checked here).
// False when the webhook is not running or its queue is full (then counted dropped).
bool QueueWebhookAlarm(const EventRecord& record);
// A notice for the Log page, taken on the engine's thread: false when none waits.
bool TakeWebhookNotice(std::span<char> text);

struct WebhookCounters {
    uint64_t delivered;
    uint64_t attempts;
    uint64_t dropped;
};
WebhookCounters WebhookCountersNow();
