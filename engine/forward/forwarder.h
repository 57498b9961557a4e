// Forwarding: every event the engine publishes goes, as a syslog message, to the
// organisation's collector (UDP, TCP with octet counting, or RELP), and alarms go to
// the webhook too (engine/forward/webhook.h). The settings are the [forward] section.
//
// The engine's thread only formats and queues: ForwardingEventSink puts each message
// in a 4 MiB queue and never waits (a message that finds the queue full is counted,
// and the collector is told how many were lost). The forwarder's thread moves the
// queue into the spool on disk (engine/forward/forward_spool.h), connects, and sends from the
// spool in order. Over UDP and TCP a message leaves the spool once the socket took
// it (over UDP, after each connection, once the first datagram drew no "port
// unreachable"; a collector that stops while messages flow loses what was sent
// before its answer, as UDP and TCP do); over RELP once the collector acknowledged
// it, so a collector that stops loses nothing, and gets again only what was in flight. While the
// collector is out of reach the thread tries again after 1 s, then twice as long each
// time up to 30 s.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>

#include "engine/watch/event_record.h"
#include "engine/forward/webhook.h"

constexpr char kForwardSection[] = "forward";

enum class ForwardTransport : int32_t { Udp = 0, Tcp = 1, Relp = 2, Unknown = 3 };
// What is sent to the collector: every event, or only trips, cut-offs and actions.
enum class ForwardMinimum : int32_t { AllEvents = 0, Actions = 1, Unknown = 2 };

// The usual ports when `port` is 0 (or missing): syslog's 514 for UDP and TCP, and
// 2514, the port RELP collectors are commonly given.
constexpr int32_t kSyslogPort = 514;
constexpr int32_t kRelpPort = 2514;

constexpr int32_t kDefaultReplySeconds = 30;
constexpr int32_t kLeastReplySeconds = 5;
constexpr int32_t kMostReplySeconds = 3600;

struct ForwardSettings {
    int32_t enabled;                 // enabled: 0 or 1; the syslog forwarding
    std::array<char, 256> host;      // host: a name or an IPv4 address
    int32_t port;                    // port: 0 for the transport's usual; -1 when not a number
    ForwardTransport transport;      // transport: udp, tcp or relp (default udp)
    int32_t facility;                // facility: 0 to 23 (default 13, log audit)
    ForwardMinimum minimum;          // minimum: all or actions (default all)
    int32_t spoolMegabytes;          // spoolmb: 1 to 4096 (default 64)
    std::array<char, kWebhookUrlCapacity> webhook;  // webhook: http:// or https://, empty for none
    WebhookFormat webhookFormat;     // webhookformat: json, teams or slack (default json)
    int32_t replySeconds;            // replytimeout: 5 to 3600 (default 30), RELP's wait for an answer
};

// The [forward] section through core/settings.h; missing keys give their defaults,
// texts that are none of the words read as Unknown (CheckForwardSettings says so).
void ReadForwardSettings(ForwardSettings* settings);
void WriteForwardSettings(const ForwardSettings& settings);
// The defaults, as a missing section reads.
ForwardSettings DefaultForwardSettings();
// The port forwarding uses: the setting, or the transport's usual one.
uint16_t ForwardPort(const ForwardSettings& settings);

// Which setting a check found wrong, so that a dialog can point at its box.
enum class ForwardField : int32_t {
    None = 0, Host, Port, Transport, Facility, Minimum, Spool, Webhook, WebhookFormat, ReplyTimeout
};
// Every value in its range whether forwarding is on or not, and a host when it is on;
// the host is not resolved. ForwardField::None when all hold; otherwise the first bad
// one, in the dialog's order, with a message for the person who typed it.
ForwardField CheckForwardValues(const ForwardSettings& settings, std::span<char> message);
// True when the settings can work; otherwise a message for the person who typed
// them, and in `field` which one is wrong. With forwarding enabled the host is
// resolved, which can take a moment.
bool CheckForwardSettings(const ForwardSettings& settings, std::span<char> message, ForwardField* field = nullptr);

enum class ForwardTestResult { Acknowledged, Sent, BadSettings, HostUnknown, Refused, TimedOut, Rejected, Failed };
// Sends one message now and says what happened, for the dialog's Test button: RELP
// waits for the acknowledgement; UDP and TCP can only say it was sent. Waits up to
// about 5 s on the calling thread.
ForwardTestResult TestForwarding(const ForwardSettings& settings, std::span<char> result);

// Starts forwarding with these settings (stopping what runs first): the forwarder's
// thread when enabled, the webhook's when it has an address. The spool is
// `folder`forward.spool (the log folder, ending with a backslash). False when neither
// was started, or when a thread of the last run has not ended yet. The owner adds
// ForwardingEventSink with AddEventSink once; while forwarding is stopped it does
// nothing. Start and stop on the engine's thread, the sink's.
bool StartForwarding(const ForwardSettings& settings, const char* folder);
// Stops both threads, waiting up to `waitMs` each (10 s covers any connection attempt
// or send under way): what was queued is in the spool first, and a RELP session is
// closed politely. Start again to take new settings.
void StopForwarding(DWORD waitMs);
bool ForwardingRunning();
// Whether every thread of the last run has ended (a stop that did not wait long
// enough leaves one in a connection attempt, a send or a POST): a start now waits for none.
bool ForwardingThreadsEnded();

// The event sink, on the engine's thread: formats, filters by `minimum`, queues.
void ForwardingEventSink(const EventRecord& record, void* context);

// A line for the Log page, on the engine's thread: one when forwarding starts failing,
// one when it works again, one for a spool set aside or an alarm dropped. False when
// none waits. Poll it after each engine round.
bool TakeForwardingNotice(std::span<char> text);
// Whether the collector is out of reach now (for a status line).
bool ForwardingFailing();

struct ForwardingCounters {
    uint64_t queued;       // messages the sink queued
    uint64_t delivered;    // left the spool as delivered (sent, or acknowledged over RELP)
    uint64_t sent;         // frames or datagrams sent, duplicates included
    uint64_t dropped;      // lost: queue full, or the oldest when the spool was full
    uint64_t waiting;      // in the spool now
    uint64_t connections;  // made since the start
};
ForwardingCounters ForwardingCountersNow();
