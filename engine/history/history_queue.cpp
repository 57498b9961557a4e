#include "engine/history/history_queue.h"

#include <algorithm>
#include <cstring>

namespace {

// What a record in the ring starts with; its texts follow, the UTF-16 ones first.
struct RecordHead {
    uint32_t size;  // the whole record, a multiple of 8; kWrapMark: go on at the ring's start
    int32_t kind;
    SYSTEMTIME local;
    SYSTEMTIME utc;
    DWORD permissions;
    uint16_t serverBytes;
    uint16_t computerUnits;
    uint16_t userUnits;
    uint16_t pathUnits;
    uint16_t ruleBytes;
};
constexpr uint32_t kWrapMark = 0xFFFFFFFFu;
constexpr std::size_t kWord = 8;

constexpr std::size_t RoundUp(std::size_t bytes)
{
    return (bytes + kWord - 1) / kWord * kWord;
}

template <typename Text>
Text Cut(Text text, std::size_t most)
{
    return text.substr(0, std::min(text.size(), most));
}

// A record's texts as the queue keeps them, each cut to its room.
struct QueuedTexts {
    std::string_view server;
    std::wstring_view computer;
    std::wstring_view user;
    std::wstring_view path;
    std::string_view rule;

    std::size_t Bytes() const
    {
        return (computer.size() + user.size() + path.size()) * sizeof(wchar_t) + server.size() + rule.size();
    }
};

QueuedTexts TextsOf(const EventRecord& record)
{
    return {Cut(record.server, kQueuedServerBytes), Cut(record.computer, kQueuedNameUnits),
            Cut(record.user, kQueuedNameUnits), Cut(record.path, kQueuedPathUnits), Cut(record.rule, kQueuedRuleBytes)};
}

// The record's head, then its wide texts, then its narrow ones, at `place`.
void WriteRecord(char* place, std::size_t size, const EventRecord& record, const QueuedTexts& texts)
{
    RecordHead headOf{static_cast<uint32_t>(size),
                      static_cast<int32_t>(record.kind),
                      record.local,
                      record.utc,
                      record.permissions,
                      static_cast<uint16_t>(texts.server.size()),
                      static_cast<uint16_t>(texts.computer.size()),
                      static_cast<uint16_t>(texts.user.size()),
                      static_cast<uint16_t>(texts.path.size()),
                      static_cast<uint16_t>(texts.rule.size())};
    memcpy(place, &headOf, sizeof(headOf));
    char* text = place + sizeof(headOf);
    // An empty view may hold no pointer at all, which memcpy may not be given.
    for (const std::wstring_view wide : {texts.computer, texts.user, texts.path}) {
        if (!wide.empty())
            memcpy(text, wide.data(), wide.size() * sizeof(wchar_t));
        text += wide.size() * sizeof(wchar_t);
    }
    for (const std::string_view bytes : {texts.server, texts.rule}) {
        if (!bytes.empty())
            memcpy(text, bytes.data(), bytes.size());
        text += bytes.size();
    }
}

}  // namespace

bool MakeHistoryQueue(HistoryQueue& queue, std::size_t capacity, HANDLE wake)
{
    queue.capacity = capacity / kWord * kWord;
    queue.bytes = queue.capacity < sizeof(RecordHead) * 4 ? nullptr
                                                         : static_cast<char*>(VirtualAlloc(
                                                               nullptr, queue.capacity, MEM_RESERVE | MEM_COMMIT,
                                                               PAGE_READWRITE));
    queue.head = 0;
    queue.tail = 0;
    queue.missed = 0;
    queue.lost = 0;
    queue.queued = 0;
    queue.released = 0;
    InitializeSRWLock(&queue.putting);
    queue.wake = wake;
    return queue.bytes != nullptr;
}

void FreeHistoryQueue(HistoryQueue& queue)
{
    if (queue.bytes)
        VirtualFree(queue.bytes, 0, MEM_RELEASE);
    queue.bytes = nullptr;
    queue.capacity = 0;
}

bool PutHistoryEvent(HistoryQueue& queue, const EventRecord& record)
{
    if (!queue.bytes)
        return false;
    const QueuedTexts texts = TextsOf(record);
    const std::size_t size = RoundUp(sizeof(RecordHead) + texts.Bytes());

    AcquireSRWLockExclusive(&queue.putting);
    const uint64_t head = queue.head.load(std::memory_order_relaxed);
    const uint64_t tail = queue.tail.load(std::memory_order_acquire);
    const std::size_t at = static_cast<std::size_t>(head % queue.capacity);
    const std::size_t padding = queue.capacity - at < size ? queue.capacity - at : 0;
    const uint64_t used = head - tail;
    // What the day's text log holds comes back from it: a burst of opens leaves the
    // queue's last part to what the program did, which no log gives back.
    const bool fromTheLog = record.kind == EventKind::Connection || record.kind == EventKind::FileOpen;
    const std::size_t room = fromTheLog ? queue.capacity - std::min(queue.capacity / 2, kActionReserveBytes)
                                        : queue.capacity;
    if (used + padding + size > room) {
        ReleaseSRWLockExclusive(&queue.putting);
        (fromTheLog ? queue.missed : queue.lost).fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (padding) {
        uint32_t mark = kWrapMark;
        memcpy(queue.bytes + at, &mark, sizeof(mark));
    }
    WriteRecord(queue.bytes + (padding ? 0 : at), size, record, texts);
    queue.head.store(head + padding + size, std::memory_order_release);
    queue.queued.fetch_add(1, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(&queue.putting);
    // The writer looks in often anyway; a ring half full wakes it at once. Not sooner:
    // in a burst the more a transaction stores, the fewer index pages per event it writes.
    const uint64_t half = queue.capacity / 2;
    if (used < half && used + padding + size >= half && queue.wake)
        SetEvent(queue.wake);
    return true;
}

bool PeekHistoryEvent(const HistoryQueue& queue, uint64_t& position, uint64_t end, QueuedEvent* event)
{
    while (position < end) {
        const std::size_t at = static_cast<std::size_t>(position % queue.capacity);
        uint32_t size = 0;
        memcpy(&size, queue.bytes + at, sizeof(size));
        if (size == kWrapMark) {
            position += queue.capacity - at;
            continue;
        }
        RecordHead head{};
        memcpy(&head, queue.bytes + at, sizeof(head));
        const char* text = queue.bytes + at + sizeof(head);
        const auto wide = [&text](uint16_t units) {
            // The ring keeps UTF-16 texts on even offsets: the head's size is even.
            const std::wstring_view view(reinterpret_cast<const wchar_t*>(text), units);
            text += units * sizeof(wchar_t);
            return view;
        };
        const auto bytes = [&text](uint16_t count) {
            const std::string_view view(text, count);
            text += count;
            return view;
        };
        event->kind = static_cast<EventKind>(head.kind);
        event->local = head.local;
        event->utc = head.utc;
        event->permissions = head.permissions;
        event->computer = wide(head.computerUnits);
        event->user = wide(head.userUnits);
        event->path = wide(head.pathUnits);
        event->server = bytes(head.serverBytes);
        event->rule = bytes(head.ruleBytes);
        position += head.size;
        return true;
    }
    return false;
}

void ReleaseHistoryEvents(HistoryQueue& queue, uint64_t position, uint64_t count)
{
    queue.released.fetch_add(count, std::memory_order_relaxed);
    queue.tail.store(position, std::memory_order_release);
}
