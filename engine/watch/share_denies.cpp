#include "engine/watch/share_denies.h"

#include <lm.h>

#include <atomic>
#include <cstring>
#include <cwchar>

#include "core/clock.h"
#include "core/output_file.h"
#include "core/reserved_store.h"
#include "core/server_api.h"
#include "core/text.h"
#include "core/utf8.h"

namespace {

constexpr char kJournalHeader[] = "quorvel-denies 1";
constexpr std::size_t kAsks = 64;
constexpr std::size_t kNotices = 64;
constexpr DWORD kRoundMs = 2000;  // new shares looked for, failed restores tried again
constexpr DWORD kStopWaitMs = 5000;
// A journal line: a share's two descriptors as hex, and its names.
constexpr std::size_t kJournalLineBytes = kShareDescriptorBytes * 4 + 2048;

enum class AskKind { Deny, Release };

struct Ask {
    AskKind kind;
    std::array<wchar_t, kDenyServerUnits> server;
    std::array<wchar_t, kBlockUserUnits> user;
    int64_t untilUtc;
};

// What the engine's thread sees: per account slot, its user and how many shares deny it.
struct DenyView {
    std::array<std::array<wchar_t, kBlockUserUnits>, kMaxDeniedAccounts> users;
    std::array<int32_t, kMaxDeniedAccounts> shares;
    std::array<int32_t, kMaxDeniedAccounts> inUse;
};

struct ShareDenies {
    CRITICAL_SECTION lock;  // the asks, the notices and the view; never held over a server call
    bool lockMade;
    HANDLE wake;
    HANDLE thread;
    std::atomic<bool> stopping;
    std::atomic<bool> busy;
    std::array<Ask, kAsks> asks;
    std::size_t askCount;
    std::array<ShareDenyNotice, kNotices> notices;
    std::size_t noticeHead;
    std::size_t noticeCount;
    DenyView view;
    // The thread's own: the tables as the journal holds them.
    DenyJournal journal;
    PathText path;
    AccountSid self;
};

ShareDenies denies;

struct Locked {
    Locked() { EnterCriticalSection(&denies.lock); }
    ~Locked() { LeaveCriticalSection(&denies.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

int64_t UtcNow()
{
    const SYSTEMTIME now = UniversalTimeNow();
    FILETIME file{};
    SystemTimeToFileTime(&now, &file);
    return static_cast<int64_t>((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
}

const wchar_t* ServerArgument(const DeniedAccount& account)
{
    return account.server[0] ? account.server.data() : nullptr;
}

std::array<char, 300> ServerText(const DeniedAccount& account)
{
    std::array<char, 300> text{};
    if (account.server[0])
        AnsiFromWide(text, account.server.data());
    else
        CopyText(text, "this computer");
    return text;
}

bool Recorded(ShareDenyNoticeKind kind)
{
    return kind == ShareDenyNoticeKind::Denied || kind == ShareDenyNoticeKind::Restored;
}

// The ring is full (the lock held): the oldest line that records nothing gives way, so
// that a deny or a restore always reaches the history, the collector and the event
// log; with none such, the oldest goes for a deny or a restore, and a mere line is not kept.
bool MakeRoomForNotice(ShareDenyNoticeKind kind)
{
    std::size_t victim = 0;
    while (victim < denies.noticeCount && Recorded(denies.notices[(denies.noticeHead + victim) % kNotices].kind))
        ++victim;
    if (victim == denies.noticeCount) {
        if (!Recorded(kind))
            return false;
        victim = 0;
    }
    for (std::size_t k = victim; k + 1 < denies.noticeCount; ++k)
        denies.notices[(denies.noticeHead + k) % kNotices] = denies.notices[(denies.noticeHead + k + 1) % kNotices];
    --denies.noticeCount;
    return true;
}

void Tell(ShareDenyNoticeKind kind, const DeniedAccount* account, const char* format, auto... values)
{
    ShareDenyNotice notice{};
    notice.kind = kind;
    if (account) {
        AnsiFromWide(notice.server, account->server.data());
        notice.user = account->user;
    }
    FormatText(notice.text, format, values...);
    Locked held;
    if (denies.noticeCount == kNotices && !MakeRoomForNotice(kind))
        return;
    denies.notices[(denies.noticeHead + denies.noticeCount) % kNotices] = notice;
    ++denies.noticeCount;
}

void Say(const char* format, auto... values)
{
    Tell(ShareDenyNoticeKind::Said, nullptr, format, values...);
}

void ErrorText(DWORD error, std::span<char> text)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        CopyText(text, "access denied");
        return;
    case NERR_NetNameNotFound:
        CopyText(text, "no such share");
        return;
    case ERROR_BAD_NETPATH:
        CopyText(text, "the server cannot be reached");
        return;
    case ERROR_INVALID_PARAMETER:
        CopyText(text, "the server refused the permissions");
        return;
    default:
        FormatText(text, "error %lu", static_cast<unsigned long>(error));
    }
}

void Publish()
{
    Locked held;
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a) {
        const DeniedAccount& account = denies.journal.accounts[a];
        denies.view.inUse[a] = account.inUse;
        denies.view.users[a] = account.user;
        denies.view.shares[a] = account.inUse ? account.shares : 0;
    }
}

bool SaveJournal()
{
    if (SaveDenyJournal(denies.path.data(), denies.journal))
        return true;
    Say("The share denies' journal %s could not be written (error %lu).", denies.path.data(),
        static_cast<unsigned long>(GetLastError()));
    return false;
}

void CountShares(DeniedAccount& account, std::size_t slot)
{
    account.shares = 0;
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
        const DeniedShare& share = denies.journal.shares[k];
        account.shares += share.state == static_cast<int32_t>(ShareDenyState::Denied) &&
                          share.account == static_cast<int32_t>(slot);
    }
}

DeniedShare* FindShare(std::size_t account, const wchar_t* name)
{
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
        DeniedShare& share = denies.journal.shares[k];
        if (share.state != static_cast<int32_t>(ShareDenyState::Free) && share.account == static_cast<int32_t>(account) &&
            EqualsIgnoringAsciiCase(share.share.data(), name))
            return &share;
    }
    return nullptr;
}

DeniedShare* NewShare()
{
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k)
        if (denies.journal.shares[k].state == static_cast<int32_t>(ShareDenyState::Free))
            return &denies.journal.shares[k];
    return AddJournalShare(denies.journal);
}

// A share's descriptor as the server gives it now.
DWORD ReadDescriptor(const DeniedAccount& account, const wchar_t* share, ShareDescriptor* descriptor)
{
    descriptor->length = 0;
    SHARE_INFO_502* info = nullptr;
    const DWORD status = ReadShareInfo(share, &info, ServerArgument(account));
    if (status != NERR_Success)
        return status;
    // The protocol sends the descriptor's length beside it: where a server's library
    // passes it on, nothing beyond it is read.
    const std::size_t given = info->shi502_reserved;
    // A share with no descriptor lets everyone in: denied, and put back, as one with no list.
    const bool copied = info->shi502_security_descriptor
                            ? CopyShareDescriptor(info->shi502_security_descriptor, descriptor,
                                                  given >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) ? given : kShareDescriptorBytes)
                            : EveryoneInDescriptor(descriptor);
    ReleaseServerBuffer(info);
    return copied ? NERR_Success : ERROR_INVALID_SECURITY_DESCR;
}

bool DeniableShare(const SHARE_INFO_502& share)
{
    // Disk shares only: the special ones (C$, ADMIN$, IPC$) are the administrators'.
    if (!share.shi502_netname || !share.shi502_netname[0] || (share.shi502_type & STYPE_SPECIAL) != 0 ||
        (share.shi502_type & 0xFF) != STYPE_DISKTREE || wcslen(share.shi502_netname) >= kShareNameUnits)
        return false;
    for (const wchar_t* c = share.shi502_netname; *c; ++c)
        if (*c < 32)
            return false;  // no name the journal's lines could not hold
    return true;
}

// Records the deny of every deniable share not denied yet: what each holds now, and what
// it will hold. Nothing is written to a share here.
int32_t PlanDenies(std::size_t slot)
{
    DeniedAccount& account = denies.journal.accounts[slot];
    Enumeration<SHARE_INFO_502> shares;
    EnumerateShares(&shares, ServerArgument(account));
    int32_t planned = 0;
    for (const SHARE_INFO_502& found : shares.Records()) {
        if (denies.stopping.load())
            break;
        if (!DeniableShare(found) || FindShare(slot, found.shi502_netname))
            continue;
        DeniedShare* share = NewShare();
        if (!share) {
            Say("The share %ws of %s was not changed: too many shares are denied already.", found.shi502_netname,
                ServerText(account).data());
            break;
        }
        share->account = static_cast<int32_t>(slot);
        CopyWideText(share->share, found.shi502_netname);
        const DWORD status = ReadDescriptor(account, found.shi502_netname, &share->original);
        if (status != NERR_Success || !AddDenyEntry(share->original, account.sid, &share->written)) {
            std::array<char, 64> why{};
            ErrorText(status == NERR_Success ? ERROR_INVALID_SECURITY_DESCR : status, why);
            Tell(ShareDenyNoticeKind::NotChanged, &account,
                 "The share %ws of %s was not changed: its permissions cannot be read (%s).", found.shi502_netname,
                 ServerText(account).data(), why.data());
            share->state = static_cast<int32_t>(ShareDenyState::Refused);  // not tried again this trip
            continue;
        }
        share->state = static_cast<int32_t>(ShareDenyState::Denying);
        ++planned;
    }
    return planned;
}

// Writes what the journal says each share being denied holds.
int32_t CarryOutDenies(std::size_t slot)
{
    DeniedAccount& account = denies.journal.accounts[slot];
    int32_t denied = 0;
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
        DeniedShare& share = denies.journal.shares[k];
        if (share.account != static_cast<int32_t>(slot) || share.state != static_cast<int32_t>(ShareDenyState::Denying))
            continue;
        if (denies.stopping.load())
            break;  // the journal says what is left: the next start does it
        // Started again after a stop: what the share holds now decides.
        ShareDescriptor now{};
        DWORD status = NERR_Success;
        if (ReadDescriptor(account, share.share.data(), &now) == NERR_Success && !SameDescriptor(now, share.original) &&
            !SameDescriptor(now, share.written)) {
            if (HoldsDenyEntry(now, account.sid)) {
                share.written = now;  // denied already, and changed since: the release takes our entry out
            } else {
                share.original = now;
                if (!AddDenyEntry(now, account.sid, &share.written))
                    status = ERROR_INVALID_SECURITY_DESCR;  // nothing written that was made for other permissions
            }
        }
        if (status == NERR_Success)
            status = SameDescriptor(now, share.written)
                         ? NERR_Success
                         : WriteSharePermissions(share.share.data(), share.written.bytes.data(), ServerArgument(account));
        if (status == NERR_Success) {
            share.state = static_cast<int32_t>(ShareDenyState::Denied);
            ++denied;
            continue;
        }
        std::array<char, 64> why{};
        ErrorText(status, why);
        Tell(ShareDenyNoticeKind::NotChanged, &account, "The share %ws of %s could not be changed (%s): %ws is not denied there.",
             share.share.data(), ServerText(account).data(), why.data(), account.user.data());
        share.state = static_cast<int32_t>(ShareDenyState::Refused);
    }
    return denied;
}

void DenyNewShares(std::size_t slot)
{
    DeniedAccount& account = denies.journal.accounts[slot];
    if (PlanDenies(slot) == 0 || denies.stopping.load())
        return;
    if (!SaveJournal()) {
        for (std::size_t k = 0; k < denies.journal.shareCount; ++k)
            if (denies.journal.shares[k].account == static_cast<int32_t>(slot) &&
                denies.journal.shares[k].state == static_cast<int32_t>(ShareDenyState::Denying))
                denies.journal.shares[k] = {};
        return;
    }
    const int32_t denied = CarryOutDenies(slot);
    CountShares(account, slot);
    SaveJournal();
    Publish();
    if (denied == 0)
        return;
    // Whatever reconnected before the entries were in place goes now.
    DeleteServerSession(nullptr, account.user.data(), ServerArgument(account));
    Tell(ShareDenyNoticeKind::Denied, &account, "%ws is denied at %d share%s of %s.", account.user.data(), account.shares,
         account.shares == 1 ? "" : "s", ServerText(account).data());
}

// Puts one share back: exactly as it was when it holds what the deny wrote; when someone
// changed it meanwhile, only the deny's entry is taken out. False when it must be tried again.
bool RestoreShare(const DeniedAccount& account, DeniedShare& share)
{
    ShareDescriptor now{};
    const DWORD read = ReadDescriptor(account, share.share.data(), &now);
    if (read == NERR_NetNameNotFound || (read == NERR_Success && SameDescriptor(now, share.original)))
        return true;  // gone, and its permissions with it; or put back already
    std::array<char, 64> why{};
    const ShareDescriptor* put = &share.original;
    ShareDescriptor without{};
    if (read == NERR_Success && !SameDescriptor(now, share.written)) {
        if (!HoldsDenyEntry(now, account.sid)) {
            Say("The permissions of the share %ws of %s no longer deny %ws: they were changed during the trip, and are "
                "left as they are.", share.share.data(), ServerText(account).data(), account.user.data());
            return true;
        }
        if (!RemoveDenyEntry(now, account.sid, &without)) {
            if (!share.told) {
                share.told = 1;
                Tell(ShareDenyNoticeKind::NotChanged, &account,
                     "The permissions of the share %ws of %s still deny %ws: the entry cannot be taken out of them, "
                     "and it is tried again.", share.share.data(), ServerText(account).data(), account.user.data());
            }
            return false;
        }
        put = &without;
        Say("The permissions of the share %ws of %s were changed during the trip: only the entry that denied %ws was "
            "taken out.", share.share.data(), ServerText(account).data(), account.user.data());
    }
    const DWORD status =
        read == NERR_Success ? WriteSharePermissions(share.share.data(), put->bytes.data(), ServerArgument(account)) : read;
    if (status == NERR_Success)
        return true;
    if (share.told)
        return false;
    share.told = 1;
    ErrorText(status, why);
    Tell(ShareDenyNoticeKind::NotChanged, &account,
         "The permissions of the share %ws of %s could not be put back yet (%s): they still deny %ws, and are tried again.",
         share.share.data(), ServerText(account).data(), why.data(), account.user.data());
    return false;
}

// A release not carried out: what is not put back yet stays denied, as the journal says.
void KeepDenied(std::size_t slot)
{
    DeniedAccount& account = denies.journal.accounts[slot];
    account.releasing = 0;
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
        DeniedShare& share = denies.journal.shares[k];
        if (share.account == static_cast<int32_t>(slot) && share.state == static_cast<int32_t>(ShareDenyState::Restoring)) {
            share.state = static_cast<int32_t>(ShareDenyState::Denied);
            share.told = 0;
        }
    }
    CountShares(account, slot);
}

void Restore(std::size_t slot)
{
    DeniedAccount& account = denies.journal.accounts[slot];
    if (!account.releasing) {
        account.releasing = 1;
        for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
            DeniedShare& share = denies.journal.shares[k];
            if (share.account != static_cast<int32_t>(slot) || share.state == static_cast<int32_t>(ShareDenyState::Free))
                continue;
            if (share.state == static_cast<int32_t>(ShareDenyState::Refused))
                share = {};
            else
                share.state = static_cast<int32_t>(ShareDenyState::Restoring);
        }
        if (!SaveJournal()) {
            KeepDenied(slot);  // not begun: the file still says denied, and the next round tries again
            return;
        }
    }
    int32_t restored = 0;
    int32_t left = 0;
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
        DeniedShare& share = denies.journal.shares[k];
        if (share.account != static_cast<int32_t>(slot) || share.state == static_cast<int32_t>(ShareDenyState::Free))
            continue;
        if (share.state == static_cast<int32_t>(ShareDenyState::Refused)) {
            share = {};
            continue;
        }
        if (denies.stopping.load()) {
            ++left;  // the journal says what is left: the next start does it
            continue;
        }
        if (RestoreShare(account, share)) {
            share = {};
            ++restored;
        } else {
            ++left;
        }
    }
    if (restored > 0)
        Tell(ShareDenyNoticeKind::Restored, &account, "The permissions of %d share%s of %s are as before the trip of %ws.",
             restored, restored == 1 ? "" : "s", ServerText(account).data(), account.user.data());
    if (left == 0)
        account = {};
    else
        CountShares(account, slot);
    SaveJournal();
    Publish();
}

std::size_t FindAccount(const wchar_t* server, const wchar_t* user)
{
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a) {
        const DeniedAccount& account = denies.journal.accounts[a];
        if (account.inUse && EqualsIgnoringAsciiCase(account.server.data(), server) &&
            EqualsIgnoringAsciiCase(account.user.data(), user))
            return a;
    }
    return kMaxDeniedAccounts;
}

// Whether the account holds a share being denied, denied or being put back.
bool HoldsPending(std::size_t slot)
{
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k) {
        const int32_t state = denies.journal.shares[k].state;
        if (denies.journal.shares[k].account == static_cast<int32_t>(slot) &&
            state != static_cast<int32_t>(ShareDenyState::Free) && state != static_cast<int32_t>(ShareDenyState::Refused))
            return true;
    }
    return false;
}

void FreeRefused(std::size_t slot)
{
    for (std::size_t k = 0; k < denies.journal.shareCount; ++k)
        if (denies.journal.shares[k].account == static_cast<int32_t>(slot) &&
            denies.journal.shares[k].state == static_cast<int32_t>(ShareDenyState::Refused))
            denies.journal.shares[k] = {};
}

void Deny(const Ask& ask)
{
    std::size_t slot = FindAccount(ask.server.data(), ask.user.data());
    if (slot < kMaxDeniedAccounts && denies.journal.accounts[slot].releasing) {
        // Tripped again before its release ended: what is not put back yet stays denied,
        // and the rest is denied again below.
        KeepDenied(slot);
        SaveJournal();
    }
    if (slot == kMaxDeniedAccounts) {
        for (slot = 0; slot < kMaxDeniedAccounts && denies.journal.accounts[slot].inUse; ++slot) {
        }
        if (slot == kMaxDeniedAccounts) {
            Say("%ws is not denied at the shares: too many accounts are denied already.", ask.user.data());
            return;
        }
        DeniedAccount& fresh = denies.journal.accounts[slot];
        fresh = {};
        fresh.server = ask.server;
        fresh.user = ask.user;
        fresh.untilUtc = ask.untilUtc;
        std::array<BYTE, SECURITY_MAX_SID_SIZE> sid{};
        SID_NAME_USE use = SidTypeUnknown;
        const DWORD error = LookUpServerAccount(ask.user.data(), sid.data(), static_cast<DWORD>(sid.size()), &use,
                                                ServerArgument(fresh));
        if (error != 0 || !CopyAccountSid(sid.data(), &fresh.sid)) {
            Say("%ws is not denied at the shares of %s: the server does not know the account (error %lu).",
                ask.user.data(), ServerText(fresh).data(), static_cast<unsigned long>(error));
            fresh = {};
            return;
        }
        if (!MayDenyAccount(fresh.sid, use, denies.self)) {
            Say("%ws is never denied at the shares: it is not a user's own account, or it is the system's, an "
                "administrator's or this program's.", ask.user.data());
            fresh = {};
            return;
        }
        fresh.inUse = 1;
    }
    DeniedAccount& account = denies.journal.accounts[slot];
    // The longest trip decides; one until released by hand outlasts any.
    if (account.untilUtc != 0 && (ask.untilUtc == 0 || ask.untilUtc > account.untilUtc))
        account.untilUtc = ask.untilUtc;
    DenyNewShares(slot);
    if (account.inUse && account.shares == 0 && !HoldsPending(slot)) {
        FreeRefused(slot);
        account = {};
    }
    Publish();
}

void Release(const Ask& ask)
{
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a)
        if (denies.journal.accounts[a].inUse && EqualsIgnoringAsciiCase(denies.journal.accounts[a].user.data(), ask.user.data()))
            Restore(a);
}

// What a stop left: a deny under way is completed, a release under way too.
void FinishJournal()
{
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a) {
        DeniedAccount& account = denies.journal.accounts[a];
        if (!account.inUse)
            continue;
        if (account.releasing) {
            Restore(a);
            continue;
        }
        CarryOutDenies(a);
        CountShares(account, a);
    }
    SaveJournal();
    Publish();
}

void Round()
{
    const int64_t now = UtcNow();
    for (std::size_t a = 0; a < kMaxDeniedAccounts && !denies.stopping.load(); ++a) {
        DeniedAccount& account = denies.journal.accounts[a];
        if (!account.inUse)
            continue;
        if (account.releasing || (account.untilUtc != 0 && account.untilUtc <= now))
            Restore(a);
        else
            DenyNewShares(a);
    }
}

bool TakeAsk(Ask* ask)
{
    Locked held;
    if (denies.askCount == 0)
        return false;
    *ask = denies.asks[0];
    memmove(denies.asks.data(), denies.asks.data() + 1, (denies.askCount - 1) * sizeof(Ask));
    --denies.askCount;
    return true;
}

DWORD WINAPI ShareDenyThread(void*)
{
    FinishJournal();
    while (!denies.stopping.load()) {
        denies.busy.store(false);
        WaitForSingleObject(denies.wake, kRoundMs);
        denies.busy.store(true);
        Ask ask{};
        while (!denies.stopping.load() && TakeAsk(&ask)) {
            if (ask.kind == AskKind::Deny)
                Deny(ask);
            else
                Release(ask);
        }
        if (!denies.stopping.load())
            Round();
    }
    return 0;
}

// Into the waiting asks (the lock held), one per user and server: a deny asked again
// keeps the longer trip; a release takes the user's waiting denies away, since what they
// would deny it releases. False when there is no room.
bool Merge(AskKind kind, const wchar_t* server, const wchar_t* user, int64_t untilUtc)
{
    std::size_t kept = 0;
    for (std::size_t k = 0; k < denies.askCount; ++k) {
        Ask& waiting = denies.asks[k];
        const bool sameUser = EqualsIgnoringAsciiCase(waiting.user.data(), user);
        if (sameUser && kind == AskKind::Deny && waiting.kind == AskKind::Deny &&
            EqualsIgnoringAsciiCase(waiting.server.data(), server)) {
            if (waiting.untilUtc != 0 && (untilUtc == 0 || untilUtc > waiting.untilUtc))
                waiting.untilUtc = untilUtc;
            return true;
        }
        if (sameUser && kind == AskKind::Release)
            continue;  // its denies and a release waiting already: this one stands for them
        denies.asks[kept++] = waiting;
    }
    denies.askCount = kept;
    if (denies.askCount == kAsks)
        return false;
    Ask& ask = denies.asks[denies.askCount++];
    ask = {};
    ask.kind = kind;
    CopyWideText(ask.server, server);
    CopyWideText(ask.user, user);
    ask.untilUtc = untilUtc;
    return true;
}

void Put(AskKind kind, const wchar_t* server, const wchar_t* user, int64_t untilUtc)
{
    if (!user || !*user)
        return;
    for (const wchar_t* c = user; *c; ++c)
        if (*c < 32)
            return;
    bool full = false;
    {
        Locked held;
        full = !Merge(kind, server ? server : L"", user, untilUtc);
        if (full && kind == AskKind::Release) {
            // A release is never lost for want of room: the newest deny waiting gives way, and is said.
            std::size_t newest = denies.askCount;
            while (newest > 0 && denies.asks[newest - 1].kind != AskKind::Deny)
                --newest;
            if (newest > 0) {
                const Ask dropped = denies.asks[newest - 1];
                memmove(denies.asks.data() + newest - 1, denies.asks.data() + newest,
                        (denies.askCount - newest) * sizeof(Ask));
                --denies.askCount;
                Say("%ws was not denied at the shares: too much is waiting.", dropped.user.data());
                full = !Merge(kind, L"", user, untilUtc);
            }
        }
    }
    if (full)
        Say("%ws was not %s at the shares: too much is waiting.", user, kind == AskKind::Deny ? "denied" : "put back");
    SetEvent(denies.wake);
}

void ReadOwnSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    std::array<BYTE, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE> room{};
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, room.data(), static_cast<DWORD>(room.size()), &size))
        CopyAccountSid(reinterpret_cast<TOKEN_USER*>(room.data())->User.Sid, &denies.self);
    CloseHandle(token);
}

}  // namespace

bool StartShareDenies(const char* journal)
{
    if (denies.thread)
        return true;
    if (!denies.lockMade) {
        InitializeCriticalSection(&denies.lock);
        denies.lockMade = true;
    }
    denies.askCount = 0;
    denies.noticeCount = 0;
    CopyText(denies.path, journal ? journal : "");
    {
        Locked held;
        denies.view = {};
    }
    ReadOwnSid();
    const bool read = LoadDenyJournal(denies.path.data(), &denies.journal);
    if (!read) {
        // Kept as it was before the first save writes the journal again without those lines.
        const SYSTEMTIME now = LocalTimeNow();
        PathText aside{};
        FormatText(aside, "%s.unread-%04u%02u%02u-%02u%02u%02u", denies.path.data(), now.wYear, now.wMonth, now.wDay,
                   now.wHour, now.wMinute, now.wSecond);
        const bool kept = CopyFileA(denies.path.data(), aside.data(), TRUE) != FALSE;
        Say("The share denies' journal %s is damaged: the lines that could not be read were left out%s%s.",
            denies.path.data(), kept ? "; it is kept as it was in " : "", kept ? aside.data() : "");
    }
    if (!denies.wake)
        denies.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    denies.stopping.store(false);
    denies.busy.store(true);
    denies.thread = CreateThread(nullptr, 0, ShareDenyThread, nullptr, 0, nullptr);
    return read;
}

bool StartShareDeniesBeside(const char* settingsFile)
{
    PathText path{};
    CopyText(path, settingsFile ? settingsFile : "");
    const std::string_view file(path.data());
    const std::size_t slash = file.find_last_of("\\/");
    path[slash == std::string_view::npos ? 0 : slash + 1] = '\0';
    AppendText(path, kDenyJournalName);
    return StartShareDenies(path.data());
}

void StopShareDenies()
{
    if (!denies.thread)
        return;
    denies.stopping.store(true);
    SetEvent(denies.wake);
    // A call to a server that does not answer ends within its own limit; the exit does
    // not wait longer than this for it, since the journal holds what is left to do.
    if (WaitForSingleObject(denies.thread, kStopWaitMs) != WAIT_OBJECT_0)
        return;
    CloseHandle(denies.thread);
    denies.thread = nullptr;
}

void DenyAtShares(const wchar_t* server, const wchar_t* user, int32_t minutes)
{
    constexpr int64_t kUnitsPerMinute = 60LL * 10000000;  // of 100 ns
    if (denies.thread)
        Put(AskKind::Deny, server, user, minutes > 0 ? UtcNow() + minutes * kUnitsPerMinute : 0);
}

void ReleaseShareDenies(const wchar_t* user)
{
    if (denies.thread)
        Put(AskKind::Release, nullptr, user, 0);
}

int32_t DeniedShareCount(const wchar_t* user)
{
    if (!denies.lockMade || !user)
        return 0;
    Locked held;
    int32_t count = 0;
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a)
        if (denies.view.inUse[a] && EqualsIgnoringAsciiCase(denies.view.users[a].data(), user))
            count += denies.view.shares[a];
    return count;
}

std::size_t DeniedUsers(std::span<std::array<wchar_t, kBlockUserUnits>> users)
{
    if (!denies.lockMade)
        return 0;
    Locked held;
    std::size_t count = 0;
    for (std::size_t a = 0; a < kMaxDeniedAccounts && count < users.size(); ++a) {
        if (!denies.view.inUse[a])
            continue;
        bool seen = false;
        for (std::size_t k = 0; k < count && !seen; ++k)
            seen = EqualsIgnoringAsciiCase(users[k].data(), denies.view.users[a].data());
        if (!seen)
            users[count++] = denies.view.users[a];
    }
    return count;
}

bool HoldsShareDenies(const wchar_t* user)
{
    if (!denies.lockMade || !user)
        return false;
    Locked held;
    for (std::size_t k = 0; k < denies.askCount; ++k)
        if (EqualsIgnoringAsciiCase(denies.asks[k].user.data(), user))
            return true;
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a)
        if (denies.view.inUse[a] && EqualsIgnoringAsciiCase(denies.view.users[a].data(), user))
            return true;
    return false;
}

bool ShareDeniesIdle()
{
    if (!denies.thread)
        return true;
    Locked held;
    return denies.askCount == 0 && !denies.busy.load();
}

bool TakeShareDenyNotice(ShareDenyNotice* notice)
{
    if (!denies.lockMade)
        return false;
    Locked held;
    if (denies.noticeCount == 0)
        return false;
    *notice = denies.notices[denies.noticeHead];
    denies.noticeHead = (denies.noticeHead + 1) % kNotices;
    --denies.noticeCount;
    return true;
}

// ---- the journal ---------------------------------------------------------------------

namespace {

// The file is written whole beside the journal, flushed to the disk, and then put in
// its place, so that a stop at any moment leaves the old journal or the new one, never
// part of either.
void PutField(OutputFile& writer, std::string_view text)
{
    WriteOutput(writer, "\t");
    WriteOutput(writer, text);
}

void PutWide(OutputFile& writer, const wchar_t* text)
{
    std::array<char, Utf8Room(kDenyServerUnits)> utf8{};
    Utf8FromWide(utf8, text);
    PutField(writer, utf8.data());
}

void PutHex(OutputFile& writer, const BYTE* bytes, uint32_t length)
{
    static std::array<char, kShareDescriptorBytes * 2 + 1> hex;  // the journal's thread alone
    HexOf(std::span<const BYTE>(bytes, length), hex);
    PutField(writer, hex.data());
}

// The journal's numbers are never negative.
void PutNumber(OutputFile& writer, long long value)
{
    std::array<char, 20> digits{};
    PutField(writer, DecimalText(static_cast<uint64_t>(value < 0 ? 0 : value), digits));
}

// Splits a line at its tabs; false when it has not exactly `count` fields.
template <std::size_t Count>
bool Fields(std::string_view line, std::array<std::string_view, Count>& fields)
{
    std::size_t k = 0;
    while (k < Count) {
        const std::size_t tab = line.find('\t');
        fields[k++] = line.substr(0, tab);
        if (tab == std::string_view::npos)
            break;
        line.remove_prefix(tab + 1);
    }
    return k == Count && line.find('\t') == std::string_view::npos;
}

bool NumberIn(std::string_view text, long long lowest, long long highest, long long* value)
{
    if (text.empty() || text.size() > 20)
        return false;
    long long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || result > (highest - (c - '0')) / 10)
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return result >= lowest;
}

template <std::size_t Size>
bool WideIn(std::string_view text, std::array<wchar_t, Size>& wide)
{
    if (text.size() >= Size * 3)
        return false;
    WideFromUtf8(wide, text);
    for (wchar_t c : wide) {
        if (c == 0)
            break;
        if (c < 32)
            return false;
    }
    return true;
}

bool ReadAccount(std::string_view line, DenyJournal* journal)
{
    std::array<std::string_view, 7> f{};
    long long slot = 0, until = 0, releasing = 0;
    if (!Fields(line, f) || !NumberIn(f[1], 0, kMaxDeniedAccounts - 1, &slot) || !NumberIn(f[5], 0, INT64_MAX, &until) ||
        !NumberIn(f[6], 0, 1, &releasing))
        return false;
    DeniedAccount account{};
    // Only an account a trip could have denied: never one the program would refuse now.
    if (!WideIn(f[2], account.server) || !WideIn(f[3], account.user) || account.user[0] == 0 ||
        !BytesOfHex(f[4], account.sid.bytes, &account.sid.length) || account.sid.length < 8 ||
        !IsValidSid(account.sid.bytes.data()) || GetLengthSid(account.sid.bytes.data()) != account.sid.length ||
        !MayDenyAccount(account.sid, SidTypeUser, denies.self))
        return false;
    DeniedAccount& into = journal->accounts[static_cast<std::size_t>(slot)];
    if (into.inUse)
        return false;
    account.inUse = 1;
    account.untilUtc = until;
    account.releasing = static_cast<int32_t>(releasing);
    into = account;
    return true;
}

// Whether a share's two descriptors are what a deny of `sid` makes: both whole within
// their bytes; one being written is the other with the entry first; one written holds the
// entry. So a journal line never has the program write permissions it did not make.
bool WrittenByUs(const AccountSid& sid, ShareDenyState state, const ShareDescriptor& original,
                 const ShareDescriptor& written)
{
    // HoldsDenyEntry reads only a descriptor whole within its bytes.
    if (SelfRelativeExtent(original.bytes.data(), original.length) == 0 || !HoldsDenyEntry(written, sid))
        return false;
    if (state != ShareDenyState::Denying)
        return true;
    static ShareDescriptor made;  // the journal's thread alone
    return AddDenyEntry(original, sid, &made) && SameDescriptor(made, written);
}

bool ReadShare(std::string_view line, DenyJournal* journal)
{
    std::array<std::string_view, 6> f{};
    long long account = 0, state = 0;
    if (!Fields(line, f) || !NumberIn(f[1], 0, kMaxDeniedAccounts - 1, &account) ||
        !NumberIn(f[2], static_cast<long long>(ShareDenyState::Denying), static_cast<long long>(ShareDenyState::Restoring),
                  &state) ||
        !journal->accounts[static_cast<std::size_t>(account)].inUse)
        return false;
    DeniedShare* room = AddJournalShare(*journal);
    if (!room)
        return false;
    DeniedShare& share = *room;
    if (!WideIn(f[3], share.share) || share.share[0] == 0 ||
        !BytesOfHex(f[4], share.original.bytes, &share.original.length) ||
        !BytesOfHex(f[5], share.written.bytes, &share.written.length) ||
        !WrittenByUs(journal->accounts[static_cast<std::size_t>(account)].sid, static_cast<ShareDenyState>(state),
                     share.original, share.written)) {
        share = {};
        return false;
    }
    share.account = static_cast<int32_t>(account);
    share.state = static_cast<int32_t>(state);
    return true;
}

}  // namespace

DeniedShare* AddJournalShare(DenyJournal& journal)
{
    if (!journal.store.base && !ReserveStore(journal.store, kMaxDeniedShares * sizeof(DeniedShare)))
        return nullptr;
    journal.shares = reinterpret_cast<DeniedShare*>(journal.store.base);
    if (journal.shareCount >= kMaxDeniedShares || !CommitArray<DeniedShare>(journal.store, journal.shareCount + 1))
        return nullptr;
    DeniedShare* share = &journal.shares[journal.shareCount++];
    *share = {};
    return share;
}

bool SaveDenyJournal(const char* path, const DenyJournal& journal)
{
    PathText fresh{};
    FormatText(fresh, "%s.new", path);
    static OutputFile writer;  // the journal's thread alone
    if (!CreateOutputFile(writer, fresh.data()))
        return false;
    WriteOutput(writer, kJournalHeader);
    WriteOutput(writer, "\r\n");
    for (std::size_t a = 0; a < kMaxDeniedAccounts; ++a) {
        const DeniedAccount& account = journal.accounts[a];
        if (!account.inUse)
            continue;
        WriteOutput(writer, "account");
        PutNumber(writer, static_cast<long long>(a));
        PutWide(writer, account.server.data());
        PutWide(writer, account.user.data());
        PutHex(writer, account.sid.bytes.data(), account.sid.length);
        PutNumber(writer, account.untilUtc);
        PutNumber(writer, account.releasing ? 1 : 0);
        WriteOutput(writer, "\r\n");
    }
    for (std::size_t k = 0; k < journal.shareCount; ++k) {
        const DeniedShare& share = journal.shares[k];
        if (share.state == static_cast<int32_t>(ShareDenyState::Free) ||
            share.state == static_cast<int32_t>(ShareDenyState::Refused))
            continue;
        WriteOutput(writer, "share");
        PutNumber(writer, share.account);
        PutNumber(writer, share.state);
        PutWide(writer, share.share.data());
        PutHex(writer, share.original.bytes.data(), share.original.length);
        PutHex(writer, share.written.bytes.data(), share.written.length);
        WriteOutput(writer, "\r\n");
    }
    const bool written = CloseOutputFile(writer, true);
    if (!written || !MoveFileExA(fresh.data(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileA(fresh.data());
        SetLastError(error);
        return false;
    }
    return true;
}

bool LoadDenyJournal(const char* path, DenyJournal* journal)
{
    journal->accounts = {};
    journal->shareCount = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    static std::array<char, kJournalLineBytes> line;  // the journal's thread alone
    std::array<char, 65536> chunk{};
    std::size_t length = 0;
    bool overlong = false;
    bool sound = true;  // no line left out
    bool known = false;  // the header is this journal's
    bool first = true;
    auto take = [&](std::string_view text) {
        while (!text.empty() && (text.back() == '\r'))
            text.remove_suffix(1);
        if (first) {
            first = false;
            known = text == kJournalHeader;
            sound = known;
            return;
        }
        if (!known || text.empty())
            return;
        const bool read = text.rfind("account\t", 0) == 0 ? ReadAccount(text, journal)
                          : text.rfind("share\t", 0) == 0 ? ReadShare(text, journal)
                                                           : false;
        sound = sound && read;
    };
    DWORD got = 0;
    while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got > 0) {
        for (DWORD k = 0; k < got; ++k) {
            const char c = chunk[k];
            if (c == '\n') {
                if (overlong)
                    sound = false;
                else
                    take(std::string_view(line.data(), length));
                length = 0;
                overlong = false;
            } else if (length < line.size()) {
                line[length++] = c;
            } else {
                overlong = true;
            }
        }
    }
    if (length > 0 && !overlong)
        take(std::string_view(line.data(), length));
    CloseHandle(file);
    return sound && !first;
}
