#include "engine/forward/webhook.h"

#include <winhttp.h>

#include <algorithm>
#include <atomic>

#include "core/clock.h"
#include "core/handoff.h"
#include "core/system_library.h"
#include "core/text.h"
#include "engine/forward/syslog_message.h"

namespace {

// WinHTTP from the system folder, bound once (core/system_library.h says why).
struct WinHttpApi {
    decltype(&WinHttpCrackUrl) crackUrl;
    decltype(&WinHttpOpen) open;
    decltype(&WinHttpSetTimeouts) setTimeouts;
    decltype(&WinHttpSetOption) setOption;
    decltype(&WinHttpConnect) connect;
    decltype(&WinHttpOpenRequest) openRequest;
    decltype(&WinHttpSendRequest) sendRequest;
    decltype(&WinHttpReceiveResponse) receiveResponse;
    decltype(&WinHttpQueryHeaders) queryHeaders;
    decltype(&WinHttpReadData) readData;
    decltype(&WinHttpCloseHandle) closeHandle;
};

WinHttpApi BindWinHttp()
{
    const HMODULE library = LoadSystemLibrary(L"winhttp.dll");
    WinHttpApi api{};
    api.crackUrl = SystemFunction<decltype(api.crackUrl)>(library, "WinHttpCrackUrl");
    api.open = SystemFunction<decltype(api.open)>(library, "WinHttpOpen");
    api.setTimeouts = SystemFunction<decltype(api.setTimeouts)>(library, "WinHttpSetTimeouts");
    api.setOption = SystemFunction<decltype(api.setOption)>(library, "WinHttpSetOption");
    api.connect = SystemFunction<decltype(api.connect)>(library, "WinHttpConnect");
    api.openRequest = SystemFunction<decltype(api.openRequest)>(library, "WinHttpOpenRequest");
    api.sendRequest = SystemFunction<decltype(api.sendRequest)>(library, "WinHttpSendRequest");
    api.receiveResponse = SystemFunction<decltype(api.receiveResponse)>(library, "WinHttpReceiveResponse");
    api.queryHeaders = SystemFunction<decltype(api.queryHeaders)>(library, "WinHttpQueryHeaders");
    api.readData = SystemFunction<decltype(api.readData)>(library, "WinHttpReadData");
    api.closeHandle = SystemFunction<decltype(api.closeHandle)>(library, "WinHttpCloseHandle");
    return api;
}

// Null when the library or one of its functions is missing.
const WinHttpApi* WinHttp()
{
    static const WinHttpApi api = BindWinHttp();
    const bool whole = api.crackUrl && api.open && api.setTimeouts && api.setOption && api.connect && api.openRequest &&
                       api.sendRequest && api.receiveResponse && api.queryHeaders && api.readData && api.closeHandle;
    return whole ? &api : nullptr;
}

// Each field's share of the body once escaped, so that the whole always fits.
constexpr std::size_t kNameBudget = 512;
constexpr std::size_t kPathBudget = 1536;
constexpr std::size_t kTextBudget = 2048;
constexpr std::size_t kNoticeCapacity = 256;
constexpr std::size_t kNoticeCount = 16;
constexpr std::size_t kResponseDrainBytes = 65536;

struct Writer {
    std::span<char> dest;
    std::size_t length;
};

void Put(Writer& writer, std::string_view text)
{
    const std::size_t count = std::min(writer.dest.size() - writer.length, text.size());
    std::copy_n(text.data(), count, writer.dest.data() + writer.length);
    writer.length += count;
}

std::size_t Utf8SequenceLength(char lead)
{
    const auto byte = static_cast<unsigned char>(lead);
    return byte < 0xC0 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
}

// UTF-8 text as the inside of a JSON string, escaped, taking at most `budget` bytes;
// a character that would not fit is left out with everything after it. Slack reads
// its text as markup in which &, < and > are escapes of their own.
void PutJsonText(Writer& writer, std::string_view utf8, std::size_t budget, bool slackMarkup)
{
    std::size_t spent = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        const char c = utf8[at];
        std::size_t step = 1;
        std::array<char, 8> escaped{};
        std::string_view piece;
        if (c == '"') {
            piece = "\\\"";
        } else if (c == '\\') {
            piece = "\\\\";
        } else if (slackMarkup && c == '&') {
            piece = "&amp;";
        } else if (slackMarkup && c == '<') {
            piece = "&lt;";
        } else if (slackMarkup && c == '>') {
            piece = "&gt;";
        } else if (c == '\n') {
            piece = "\\n";
        } else if (IsControlCharacter(c)) {
            FormatText(escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            piece = escaped.data();
        } else {
            step = std::min(Utf8SequenceLength(c), utf8.size() - at);
            piece = utf8.substr(at, step);
        }
        if (spent + piece.size() > budget)
            break;
        Put(writer, piece);
        spent += piece.size();
        at += step;
    }
}

void PutJsonString(Writer& writer, std::string_view utf8, std::size_t budget)
{
    Put(writer, "\"");
    PutJsonText(writer, utf8, budget - 2, false);
    Put(writer, "\"");
}

std::string_view WideAsUtf8(std::span<char> room, std::wstring_view text)
{
    return std::string_view(room.data(), CutUtf8FromWide(room, text));
}

std::string_view AnsiAsUtf8(std::span<char> room, std::string_view text)
{
    return std::string_view(room.data(), CutUtf8FromAnsi(room, text));
}

void PutField(Writer& writer, std::string_view name, std::string_view utf8, std::size_t budget, bool first = false)
{
    if (!first)
        Put(writer, ",");
    Put(writer, "\"");
    Put(writer, name);
    Put(writer, "\":");
    PutJsonString(writer, utf8, budget);
}

struct AlarmTexts {
    std::array<char, kNameBudget> server, computer, user, rule;
    std::array<char, kPathBudget> path;
    std::array<char, kTextBudget> text;
    std::string_view serverText, computerText, userText, ruleText, pathText, lineText;
};

void ConvertTexts(const EventRecord& record, const char* host, AlarmTexts& texts)
{
    std::string_view server = record.server;
    while (!server.empty() && server.front() == '\\')
        server.remove_prefix(1);
    texts.serverText = AnsiAsUtf8(texts.server, server.empty() ? std::string_view(host) : server);
    texts.computerText = WideAsUtf8(texts.computer, record.computer);
    texts.userText = WideAsUtf8(texts.user, record.user);
    texts.pathText = WideAsUtf8(texts.path, record.path);
    texts.ruleText = AnsiAsUtf8(texts.rule, record.rule);
    texts.lineText = AnsiAsUtf8(texts.text, record.text);
}

// A line of the Slack message or a fact of the Teams card: left out when empty.
void PutFact(Writer& writer, WebhookFormat format, std::string_view name, std::string_view value,
             std::size_t budget, bool* first)
{
    if (value.empty())
        return;
    if (format == WebhookFormat::Teams) {
        Put(writer, *first ? "{\"name\":\"" : ",{\"name\":\"");
        Put(writer, name);
        Put(writer, "\",\"value\":");
        PutJsonString(writer, value, budget);
        Put(writer, "}");
    } else {
        // Inside the Slack message's one text: a line break and "Name: value".
        Put(writer, "\\n");
        Put(writer, name);
        Put(writer, ": ");
        PutJsonText(writer, value, budget, true);
    }
    *first = false;
}

struct AlarmSlot {
    std::array<char, kWebhookBodyCapacity> body;
    std::size_t length;
    ULONGLONG queuedAt;  // the pacing clock's
};

struct Notice {
    std::array<char, kNoticeCapacity> text;
};

struct Webhook {
    std::array<char, kWebhookUrlCapacity> url;
    std::array<char, 256> host;
    WebhookFormat format;
    WebhookTiming timing;
    HANDLE thread;
    HANDLE wake;
    std::atomic<bool> running;
    std::atomic<bool> stopping;
    RequestRing<AlarmSlot, kWebhookQueueCapacity> alarms;
    RequestRing<Notice, kNoticeCount> notices;
    std::atomic<uint64_t> delivered;
    std::atomic<uint64_t> attempts;
    std::atomic<uint64_t> dropped;
    std::atomic<uint64_t> lostInQueue;  // the engine's thread counts, the webhook's thread tells
};

Webhook webhook;

void PutNotice(const char* text)
{
    Notice* notice = NextRequestPlace(webhook.notices);
    if (!notice)
        return;  // the engine's thread is behind: a notice is worth less than the memory
    CopyText(notice->text, text);
    PutRequest(webhook.notices);
}

void DropAlarm(const char* why)
{
    DropOldestRequest(webhook.alarms);
    webhook.dropped.fetch_add(1);
    std::array<char, kNoticeCapacity> text{};
    FormatText(text, "Alarm webhook: an alarm was dropped: %s", why);
    PutNotice(text.data());
}

DWORD WINAPI WebhookThread(void*)
{
    DWORD backoff = webhook.timing.firstRetryMs;
    ULONGLONG nextTry = 0;
    uint32_t tries = 0;  // of the oldest alarm
    while (!webhook.stopping.load()) {
        const uint64_t lost = webhook.lostInQueue.exchange(0);
        if (lost > 0) {
            std::array<char, kNoticeCapacity> text{};
            FormatText(text, "Alarm webhook: %u alarms dropped, too many were waiting", static_cast<unsigned>(lost));
            PutNotice(text.data());
        }
        const AlarmSlot* alarm = OldestRequest(webhook.alarms);
        const ULONGLONG now = PacingMillisecondsNow();
        if (!alarm || now < nextTry) {
            WaitForSingleObject(webhook.wake, alarm ? static_cast<DWORD>(std::min<ULONGLONG>(nextTry - now, 1000)) : 1000);
            continue;
        }
        DWORD status = 0;
        std::array<char, kNoticeCapacity> what{};
        webhook.attempts.fetch_add(1);
        ++tries;
        const WebhookResult result = PostWebhook(webhook.url.data(), std::string_view(alarm->body.data(), alarm->length),
                                                 webhook.timing.requestMs, &status, what);
        if (result == WebhookResult::Delivered) {
            DropOldestRequest(webhook.alarms);
            webhook.delivered.fetch_add(1);
            backoff = webhook.timing.firstRetryMs;
            nextTry = 0;
            tries = 0;
        } else if (result != WebhookResult::Retry) {
            std::array<char, kNoticeCapacity> why{};
            FormatText(why, "the receiver refused it (%s)", what.data());
            DropAlarm(why.data());
            tries = 0;
        } else if (PacingMillisecondsNow() - alarm->queuedAt >= webhook.timing.giveUpMs) {
            std::array<char, kNoticeCapacity> why{};
            FormatText(why, "the receiver did not take it in %u tries (%s)", tries, what.data());
            DropAlarm(why.data());
            tries = 0;
        } else {
            nextTry = PacingMillisecondsNow() + backoff;
            backoff = std::min(backoff * 2, webhook.timing.longestRetryMs);
        }
    }
    return 0;
}

struct HttpHandles {
    const WinHttpApi& api;
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    ~HttpHandles()
    {
        if (request)
            api.closeHandle(request);
        if (connection)
            api.closeHandle(connection);
        if (session)
            api.closeHandle(session);
    }
};

// Both TLS 1.2 and 1.3 asked for: WinHTTP's defaults leave 1.2 out on Windows 7, 2008 R2
// and 2012. A system without 1.3 refuses the pair, and is asked for 1.2 alone.
constexpr DWORD kTls12 = 0x00000800;  // WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2
constexpr DWORD kTls13 = 0x00002000;  // WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
constexpr DWORD kNeverRedirect = 0;   // WINHTTP_OPTION_REDIRECT_POLICY_NEVER

struct WebhookTarget {
    std::array<wchar_t, 256> host;
    std::array<wchar_t, kWebhookUrlCapacity * 2> path;  // with its query
    INTERNET_PORT port;
    bool secure;
};

bool CrackWebhookUrl(const WinHttpApi& api, const char* url, WebhookTarget* target)
{
    std::array<wchar_t, kWebhookUrlCapacity> wideUrl{};
    WideFromAnsi(wideUrl, url);
    std::array<wchar_t, kWebhookUrlCapacity> path{};
    std::array<wchar_t, kWebhookUrlCapacity> extra{};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = target->host.data();
    parts.dwHostNameLength = static_cast<DWORD>(target->host.size());
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    parts.lpszExtraInfo = extra.data();
    parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!api.crackUrl(wideUrl.data(), 0, 0, &parts) || target->host[0] == L'\0')
        return false;
    const std::size_t length = CopyWideText(target->path, path[0] ? path.data() : L"/");
    CopyWideText(std::span<wchar_t>(target->path).subspan(length), extra.data());
    target->port = parts.nPort;
    target->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

// The session with its protocols and times, and a POST that follows no redirect: a
// receiver that answers with one has not taken the alarm.
bool OpenWebhookRequest(const WinHttpApi& api, const WebhookTarget& target, DWORD requestMs, HttpHandles& http)
{
    http.session = api.open(L"Quorvel", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (!http.session)
        return false;
    DWORD protocols = kTls12 | kTls13;
    if (!api.setOption(http.session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = kTls12;
        api.setOption(http.session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    const int timeout = static_cast<int>(std::min<DWORD>(requestMs, 0x7FFFFFFF));
    api.setTimeouts(http.session, timeout, timeout, timeout, timeout);
    http.connection = api.connect(http.session, target.host.data(), target.port, 0);
    if (http.connection)
        http.request = api.openRequest(http.connection, L"POST", target.path.data(), nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!http.request)
        return false;
    DWORD never = kNeverRedirect;
    api.setOption(http.request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS;
    api.setOption(http.request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    return true;
}

// What failed, by its stage: the name, the connection, or TLS.
void DescribeSendFailure(DWORD error, std::span<char> text)
{
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: CopyText(text, "name: the receiver's host is unknown"); break;
    case ERROR_WINHTTP_CANNOT_CONNECT: CopyText(text, "connection: refused"); break;
    case ERROR_WINHTTP_TIMEOUT: CopyText(text, "connection: timed out"); break;
    case ERROR_WINHTTP_CONNECTION_ERROR: CopyText(text, "connection: broken"); break;
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        CopyText(text, "TLS: the receiver's certificate is not trusted");
        break;
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        CopyText(text, "TLS: the receiver and this computer share no protocol (TLS 1.2 or 1.3)");
        break;
    case ERROR_WINHTTP_SECURE_FAILURE: CopyText(text, "TLS: the secure connection failed"); break;
    default: FormatText(text, "connection: no answer (error %lu)", error); break;
    }
}

// A 2xx is delivered; a redirect is not followed, and is a failure for good, as a 4xx
// other than 408 and 429 is; anything else is tried again.
WebhookResult ResultOfStatus(DWORD code, std::span<char> text)
{
    if (code >= 300 && code < 400) {
        FormatText(text, "HTTP %u: a redirect, which an alarm does not follow", static_cast<unsigned>(code));
        return WebhookResult::Refused;
    }
    FormatText(text, "HTTP %u", static_cast<unsigned>(code));
    if (code >= 200 && code < 300)
        return WebhookResult::Delivered;
    if (code >= 400 && code < 500 && code != 408 && code != 429)
        return WebhookResult::Refused;
    return WebhookResult::Retry;
}

}  // namespace

bool IsWebhookUrl(const char* url)
{
    const std::string_view text(url ? url : "");
    for (const std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (text.size() > scheme.size() && EndsWithIgnoringAsciiCase(text.substr(0, scheme.size()), scheme) &&
            text[scheme.size()] != '/' && text[scheme.size()] != ':')
            // No blank and no control character: the pipe refuses them too, and a header could hide behind one.
            return std::none_of(text.begin(), text.end(), [](char c) { return c == ' ' || IsControlCharacter(c); });
    }
    return false;
}

namespace {

// The body with the kind's name given: an event's, or the test's.
std::size_t FormatAlarmBody(std::span<char> dest, WebhookFormat format, const char* kindName,
                            const EventRecord& record, const char* host)
{
    Writer writer{dest.first(std::min(dest.size(), kWebhookBodyCapacity)), 0};
    AlarmTexts texts{};
    ConvertTexts(record, host ? host : "", texts);
    const std::array<char, 32> time = FormatSyslogTime(record.utc);
    if (format == WebhookFormat::Teams || format == WebhookFormat::Slack) {
        // The title names the server the alarm is about (its name is cut to kNameBudget).
        std::array<char, kNameBudget * 2> title{};
        Writer titleWriter{title, 0};
        Put(titleWriter, "Quorvel: ");
        Put(titleWriter, kindName);
        Put(titleWriter, " on ");
        Put(titleWriter, texts.serverText);
        const std::string_view titleText(title.data(), titleWriter.length);
        bool first = true;
        if (format == WebhookFormat::Teams) {
            Put(writer, "{\"@type\":\"MessageCard\",\"@context\":\"https://schema.org/extensions\",\"summary\":");
            PutJsonString(writer, titleText, kNameBudget * 2);
            Put(writer, ",\"themeColor\":\"D83B01\",\"title\":");
            PutJsonString(writer, titleText, kNameBudget * 2);
            Put(writer, ",\"text\":");
            PutJsonString(writer, texts.lineText, kTextBudget);
            Put(writer, ",\"sections\":[{\"facts\":[");
        } else {
            Put(writer, "{\"text\":\"*");
            PutJsonText(writer, titleText, kNameBudget * 2, true);
            Put(writer, "*");
            first = false;
            PutFact(writer, format, "Event", texts.lineText, kTextBudget, &first);
        }
        PutFact(writer, format, "Time", time.data(), 64, &first);
        PutFact(writer, format, "Computer", texts.computerText, kNameBudget, &first);
        PutFact(writer, format, "User", texts.userText, kNameBudget, &first);
        PutFact(writer, format, "Path", texts.pathText, kPathBudget, &first);
        PutFact(writer, format, "Rule", texts.ruleText, kNameBudget, &first);
        Put(writer, format == WebhookFormat::Teams ? "]}]}" : "\"}");
        return writer.length;
    }
    Put(writer, "{");
    PutField(writer, "kind", kindName, kNameBudget, true);
    PutField(writer, "time", time.data(), 64);
    PutField(writer, "host", host ? host : "", kNameBudget);
    PutField(writer, "server", texts.serverText, kNameBudget);
    PutField(writer, "computer", texts.computerText, kNameBudget);
    PutField(writer, "user", texts.userText, kNameBudget);
    PutField(writer, "path", texts.pathText, kPathBudget);
    PutField(writer, "rule", texts.ruleText, kNameBudget);
    PutField(writer, "text", texts.lineText, kTextBudget);
    Put(writer, "}");
    return writer.length;
}

}  // namespace

std::size_t FormatWebhookBody(std::span<char> dest, WebhookFormat format, const EventRecord& record,
                              const char* host)
{
    return FormatAlarmBody(dest, format, SyslogKindOf(record.kind).name, record, host);
}

WebhookResult TestWebhook(const char* url, WebhookFormat format, DWORD requestMs, std::span<char> result)
{
    const SyslogOrigin origin = MakeSyslogOrigin(kDefaultSyslogFacility);
    const EventRecord record{EventKind::Connection, LocalTimeNow(), UniversalTimeNow(), {}, {}, {}, {}, 0, {},
                             "Quorvel test alarm: the webhook works"};
    std::array<char, kWebhookBodyCapacity> body{};
    const std::size_t length = FormatAlarmBody(body, format == WebhookFormat::Unknown ? WebhookFormat::Json : format,
                                               "test", record, origin.host.data());
    DWORD status = 0;
    std::array<char, 128> what{};
    const WebhookResult outcome = PostWebhook(url, std::string_view(body.data(), length), requestMs, &status, what);
    switch (outcome) {
    case WebhookResult::Delivered: FormatText(result, "The receiver took the test alarm (%s).", what.data()); break;
    case WebhookResult::Refused: FormatText(result, "The receiver refused the test alarm (%s).", what.data()); break;
    case WebhookResult::BadUrl: FormatText(result, "The test alarm was not sent: %s.", what.data()); break;
    case WebhookResult::Retry: FormatText(result, "The test alarm did not reach the receiver: %s.", what.data()); break;
    }
    return outcome;
}

WebhookResult PostWebhook(const char* url, std::string_view body, DWORD requestMs, DWORD* status,
                          std::span<char> text)
{
    *status = 0;
    if (!IsWebhookUrl(url)) {
        CopyText(text, "the address is not http:// or https://");
        return WebhookResult::BadUrl;
    }
    const WinHttpApi* api = WinHttp();
    if (!api) {
        CopyText(text, "WinHTTP cannot be loaded from the system folder");
        return WebhookResult::Retry;
    }
    WebhookTarget target{};
    if (!CrackWebhookUrl(*api, url, &target)) {
        CopyText(text, "the address cannot be read");
        return WebhookResult::BadUrl;
    }
    HttpHandles http{*api};
    if (!OpenWebhookRequest(*api, target, requestMs, http)) {
        CopyText(text, http.session ? "the request cannot be made" : "WinHTTP cannot start");
        return WebhookResult::Retry;
    }
    constexpr wchar_t kHeaders[] = L"Content-Type: application/json; charset=utf-8\r\n";
    const DWORD bodyLength = static_cast<DWORD>(body.size());
    if (!api->sendRequest(http.request, kHeaders, static_cast<DWORD>(-1L), const_cast<char*>(body.data()),
                          bodyLength, bodyLength, 0) ||
        !api->receiveResponse(http.request, nullptr)) {
        DescribeSendFailure(GetLastError(), text);
        return WebhookResult::Retry;
    }
    DWORD code = 0;
    DWORD size = sizeof code;
    api->queryHeaders(http.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &code, &size, WINHTTP_NO_HEADER_INDEX);
    *status = code;
    // The answer's body is read and thrown away, up to a limit, so that the
    // connection ends cleanly.
    std::array<char, 4096> drain{};
    std::size_t drained = 0;
    DWORD read = 0;
    while (drained < kResponseDrainBytes &&
           api->readData(http.request, drain.data(), static_cast<DWORD>(drain.size()), &read) && read > 0)
        drained += read;
    return ResultOfStatus(code, text);
}

bool StartWebhook(const char* url, WebhookFormat format, const char* host, const WebhookTiming& timing)
{
    if (webhook.running.load() || !IsWebhookUrl(url))
        return false;
    // A thread that did not end when asked still reads the queue.
    if (webhook.thread) {
        if (WaitForSingleObject(webhook.thread, 0) != WAIT_OBJECT_0)
            return false;
        CloseHandle(webhook.thread);
        webhook.thread = nullptr;
    }
    CopyText(webhook.url, url);
    CopyText(webhook.host, host ? host : "");
    webhook.format = format == WebhookFormat::Unknown ? WebhookFormat::Json : format;
    webhook.timing = timing;
    webhook.stopping.store(false);
    webhook.alarms.head.store(0);
    webhook.alarms.tail.store(0);
    webhook.lostInQueue.store(0);
    webhook.delivered.store(0);
    webhook.attempts.store(0);
    webhook.dropped.store(0);
    if (!webhook.wake)
        webhook.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    webhook.thread = CreateThread(nullptr, 0, WebhookThread, nullptr, 0, nullptr);
    webhook.running.store(webhook.thread != nullptr);
    return webhook.thread != nullptr;
}

void StopWebhook(DWORD waitMs)
{
    if (!webhook.running.load())
        return;
    webhook.running.store(false);
    webhook.stopping.store(true);
    SetEvent(webhook.wake);
    // A POST under way ends within its own time limit; a thread still in one keeps
    // its handle, and the next start waits for it.
    if (WaitForSingleObject(webhook.thread, waitMs) == WAIT_OBJECT_0) {
        CloseHandle(webhook.thread);
        webhook.thread = nullptr;
    }
}

bool WebhookThreadEnded()
{
    return !webhook.thread || WaitForSingleObject(webhook.thread, 0) == WAIT_OBJECT_0;
}

bool QueueWebhookAlarm(const EventRecord& record)
{
    if (!webhook.running.load())
        return false;
    AlarmSlot* slot = NextRequestPlace(webhook.alarms);
    if (!slot) {
        webhook.lostInQueue.fetch_add(1);
        webhook.dropped.fetch_add(1);
        return false;
    }
    slot->length = FormatWebhookBody(slot->body, webhook.format, record, webhook.host.data());
    slot->queuedAt = PacingMillisecondsNow();
    PutRequest(webhook.alarms);
    SetEvent(webhook.wake);
    return true;
}

bool TakeWebhookNotice(std::span<char> text)
{
    const Notice* notice = OldestRequest(webhook.notices);
    if (!notice)
        return false;
    CopyText(text, notice->text.data());
    DropOldestRequest(webhook.notices);
    return true;
}

WebhookCounters WebhookCountersNow()
{
    return {webhook.delivered.load(), webhook.attempts.load(), webhook.dropped.load()};
}
