#include "server.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "journal.h"
#include "layout.h"
#include "security.h"
#include "text.h"

namespace nsim {
namespace {

struct Session {
    uint64_t serial = 0;
    std::wstring computer;
    std::wstring user;
    std::wstring cltype;
    DWORD flags = 0;
    int64_t connected_ms = 0;
    int64_t active_ms = 0;
    DWORD opens = 0;
    std::vector<std::wstring> uses;  // shares this session is connected to
};

struct OpenFile {
    DWORD id = 0;
    uint64_t session = 0;
    std::wstring path;
    DWORD perm = 0;
    DWORD locks = 0;
    std::wstring share;  // the share it was opened through, if known
};

struct Share {
    std::wstring name;
    std::wstring path;
    std::wstring remark;
    DWORD type = 0;
    DWORD max_uses = SHI_USES_UNLIMITED;
    DWORD base_uses = 0;  // set by the scenario; sessions using the share add to it
    std::string sd;       // self-relative descriptor, as given; empty: none, all allowed
};

// An account the scenario declared on a server, with the SID that server gives it.
struct Account {
    std::wstring name;
    std::string sid;
};

struct Refusal {
    uint64_t key = 0;
    uint32_t targets = 0;
    uint32_t code = 0;
    uint32_t every = 1;
    uint32_t page = 0;
    uint32_t line = 0;
    int64_t until_ms = 0;
    uint32_t calls[kTargetCount] = {};
};

struct Policy {
    std::wstring computer;
    int64_t delay_ms = 0;
    bool reopen = false;
};

struct FileSnap {
    std::wstring path;
    std::wstring share;
    DWORD perm = 0;
    DWORD locks = 0;
};

struct SessionSnap {
    std::wstring computer;
    std::wstring user;
    std::wstring cltype;
    DWORD flags = 0;
    std::vector<std::wstring> uses;
    std::vector<FileSnap> files;
};

enum class PendingKind { Reconnect, RefusalEnd };

struct Server;

struct Pending {
    Server* server = nullptr;
    PendingKind kind = PendingKind::Reconnect;
    std::vector<SessionSnap> sessions;
    uint64_t refusal = 0;
};

struct Guard {
    explicit Guard(CRITICAL_SECTION* c) : cs(c) { EnterCriticalSection(cs); }
    ~Guard() { LeaveCriticalSection(cs); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    CRITICAL_SECTION* cs;
};

// One server's tables. The local server has an empty name; a remote one is declared by the
// scenario and reached by its name.
struct Server {
    std::wstring name;      // as first declared
    int64_t delay_ms = 0;   // every call to it answers this much later (scenario ms)
    DWORD down_code = 0;    // not 0: every call fails with it, after the delay

    std::map<uint64_t, Session> sessions;  // by serial: connection order
    std::unordered_map<std::wstring, uint64_t> session_index;
    uint64_t next_serial = 1;

    std::map<uint64_t, OpenFile> files;  // by open order
    std::unordered_map<DWORD, uint64_t> file_by_id;
    std::unordered_map<std::wstring, std::vector<uint64_t>> file_index;  // session + path
    uint64_t next_file_seq = 1;
    DWORD next_id = 1;

    std::vector<Share> shares;
    std::vector<Refusal> refusals;
    uint64_t next_refusal = 1;
    std::vector<Policy> policies;
    std::vector<Account> accounts;
};

}  // namespace

struct Sim {
    CRITICAL_SECTION lock;
    SimOptions opt;
    LARGE_INTEGER qpc_freq{};
    int64_t manual_ms = 0;
    int64_t last_ms = 0;
    int64_t call_ms = 0;       // scenario time of the call being served
    int64_t call_real_ms = 0;  // real time of it, for the wall-clock stamp
    Journal journal;

    Scenario scenario;
    size_t cursor = 0;

    Server local;
    std::map<std::wstring, Server> remotes;  // by folded name; a Server never moves
    std::vector<std::wstring> local_names;   // folded: these names reach the local server too

    std::multimap<std::pair<int64_t, uint64_t>, Pending> pending;
    uint64_t next_pending = 1;

    std::unordered_set<void*> buffers;

    // Share permissions that outlast the process: by server and share, folded.
    std::map<std::wstring, std::string> kept;
};

namespace {

// ---- time and journal -------------------------------------------------------------------

int64_t real_ms(Sim* s) {
    if (s->opt.manual_clock) return s->manual_ms;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    int64_t d = now.QuadPart - s->opt.qpc_start.QuadPart;
    if (d < 0) d = 0;
    const int64_t f = s->qpc_freq.QuadPart;
    return d / f * 1000 + (d % f) * 1000 / f;
}

int64_t to_real(Sim* s, int64_t sim_ms) {
    if (s->opt.manual_clock) return sim_ms;
    return static_cast<int64_t>(static_cast<double>(sim_ms) / s->opt.speed);
}

SYSTEMTIME wall_at(Sim* s, int64_t real) {
    ULARGE_INTEGER u;
    u.LowPart = s->opt.wall_start.dwLowDateTime;
    u.HighPart = s->opt.wall_start.dwHighDateTime;
    u.QuadPart += static_cast<uint64_t>(real) * 10000u;
    FILETIME utc;
    utc.dwLowDateTime = u.LowPart;
    utc.dwHighDateTime = u.HighPart;
    FILETIME local;
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) GetLocalTime(&st);
    return st;
}

void jline_at(Sim* s, int64_t sim_ms, int64_t real, const std::string& body) {
    journal_write(s->journal, wall_at(s, real), sim_ms, body);
}

void jcall(Sim* s, const std::string& body) { jline_at(s, s->call_ms, s->call_real_ms, "call " + body); }

std::string kv(const char* key, std::wstring_view v) { return std::string(" ") + key + "=" + quote(v); }

// An event line. One of a remote server names it right after what happened; the local
// server's lines have no server field.
void jevent(Sim* s, std::wstring_view server, int64_t at, std::string body) {
    if (!server.empty()) body.insert(std::min(body.find(' '), body.size()), kv("server", server));
    jline_at(s, at, to_real(s, at), "event " + body);
}

void jevent(Sim* s, const Server& v, int64_t at, const std::string& body) { jevent(s, v.name, at, body); }

std::string kvn(const char* key, uint64_t v) { return std::string(" ") + key + "=" + std::to_string(v); }

std::string kvx(const char* key, uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return std::string(" ") + key + "=" + buf;
}

std::string kvp(const char* key, const void* p) {
    if (!p) return std::string(" ") + key + "=null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return std::string(" ") + key + "=" + buf;
}

std::string line_tail(const Event& e) { return kvn("line", e.line); }

std::string targets_text(uint32_t bits) {
    static const char* names[kTargetCount] = {"sessions",   "files",     "shares",    "session-del", "file-close",
                                              "share-del",  "share-info", "share-set", "user-info"};
    std::string out;
    for (int i = 0; i < kTargetCount; ++i)
        if (bits & (1u << i)) {
            if (!out.empty()) out.push_back(',');
            out += names[i];
        }
    return out;
}

// ---- caller arguments -------------------------------------------------------------------

enum class Arg { Null, Ok, Bad };

struct CallerString {
    Arg state = Arg::Null;
    std::wstring text;
};

CallerString read_arg(const wchar_t* p) {
    CallerString r;
    if (!p) return r;
    size_t n = 0;
    while (n <= kMaxArg && p[n]) ++n;
    if (n > kMaxArg) {
        r.state = Arg::Bad;
        return r;
    }
    r.state = Arg::Ok;
    r.text.assign(p, n);
    return r;
}

std::string kvarg(const char* key, const CallerString& a) {
    if (a.state == Arg::Null) return std::string(" ") + key + "=null";
    if (a.state == Arg::Bad) return std::string(" ") + key + "=<too-long>";
    if (a.text.size() <= kMaxText) return kv(key, a.text);
    return kv(key, std::wstring_view(a.text).substr(0, kMaxText)) + "<cut>";
}

// ---- state helpers ----------------------------------------------------------------------

std::wstring session_key(std::wstring_view computer, std::wstring_view user) {
    std::wstring k = folded(computer);
    k.push_back(L'\n');
    k += folded(user);
    return k;
}

std::wstring file_key(uint64_t serial, std::wstring_view path) {
    std::wstring k = std::to_wstring(serial);
    k.push_back(L'|');
    k += folded(path);
    return k;
}

Session* find_session(Server& v, std::wstring_view computer, std::wstring_view user) {
    const auto it = v.session_index.find(session_key(computer, user));
    if (it == v.session_index.end()) return nullptr;
    return &v.sessions.at(it->second);
}

Session& add_session(Server& v, const std::wstring& computer, const std::wstring& user, DWORD flags,
                     const std::wstring& cltype, int64_t at) {
    Session ses;
    ses.serial = v.next_serial++;
    ses.computer = computer;
    ses.user = user;
    ses.flags = flags;
    ses.cltype = cltype;
    ses.connected_ms = at;
    ses.active_ms = at;
    v.session_index[session_key(computer, user)] = ses.serial;
    return v.sessions.emplace(ses.serial, std::move(ses)).first->second;
}

Share* find_share(Server& v, std::wstring_view name) {
    for (auto& sh : v.shares)
        if (iequal(sh.name, name)) return &sh;
    return nullptr;
}

bool is_disk(DWORD type) { return (type & ~(STYPE_SPECIAL | STYPE_TEMPORARY)) == STYPE_DISKTREE; }

// The share a client most likely opened a path through: the longest disk share path that is
// a whole-component prefix. Special shares (C$) only when the scenario says so with via=.
std::wstring share_for_path(Server& v, std::wstring_view path) {
    const Share* best = nullptr;
    for (const auto& sh : v.shares) {
        if (!is_disk(sh.type) || (sh.type & STYPE_SPECIAL) || sh.path.empty()) continue;
        if (!istarts_with(path, sh.path)) continue;
        const bool boundary =
            path.size() == sh.path.size() || sh.path.back() == L'\\' || path[sh.path.size()] == L'\\';
        if (boundary && (!best || sh.path.size() > best->path.size())) best = &sh;
    }
    return best ? best->name : std::wstring();
}

DWORD current_uses(const Server& v, const Share& sh) {
    uint64_t n = sh.base_uses;
    for (const auto& [serial, ses] : v.sessions)
        for (const auto& u : ses.uses)
            if (iequal(u, sh.name)) ++n;
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(n);
}

// The descriptor in the journal: its bytes, and the system's SDDL of them.
std::string sd_fields(const std::string& sd) {
    if (sd.empty()) return " sdhex=null sd=null";
    const std::string sddl = sd_to_sddl(sd);
    return " sdhex=" + hex(sd) + (sddl.empty() ? std::string(" sd=<unreadable>") : " sd=" + quote_utf8(sddl));
}

Account* find_account(Server& v, std::wstring_view name) {
    for (auto& a : v.accounts)
        if (iequal(a.name, name)) return &a;
    return nullptr;
}

// The SID this server gives the user: as declared, else derived from the name. The anonymous
// user has none.
std::string user_sid(Server& v, std::wstring_view user) {
    if (user.empty()) return {};
    if (const Account* a = find_account(v, user)) return a->sid;
    return derived_sid(user);
}

// Whether the share's DACL gives the user the rights asked (perm bits r 1, w 2, c 4).
bool share_allows(Server& v, const Share& sh, std::wstring_view user, DWORD asked, std::string& why) {
    std::vector<std::string> sids{everyone_sid()};
    if (!user.empty()) {
        sids.push_back(authenticated_users_sid());
        sids.push_back(user_sid(v, user));
    }
    return sd_grants(sh.sd, sids, asked, why);
}

std::string denied_fields(const std::string& why) {
    return kvn("refused", ERROR_ACCESS_DENIED) + " reason=" + quote_utf8(why);
}

// Ids grow like a real server's: one counter for every open, never an id still in use, never 0.
DWORD take_id(Server& v) {
    DWORD id = v.next_id;
    while (id == 0 || v.file_by_id.count(id)) ++id;
    v.next_id = id + 1;
    return id;
}

void open_file(Sim* s, Server& v, Session& ses, const std::wstring& path, DWORD perm, DWORD locks,
               const std::wstring& share, int64_t at, const std::string& tail) {
    OpenFile f;
    f.id = take_id(v);
    f.session = ses.serial;
    f.path = path;
    f.perm = perm;
    f.locks = locks;
    f.share = share;
    const uint64_t seq = v.next_file_seq++;
    v.file_by_id[f.id] = seq;
    v.file_index[file_key(ses.serial, path)].push_back(seq);
    ++ses.opens;
    ses.active_ms = at;
    jevent(s, v, at,
           "open" + kvn("id", f.id) + kv("computer", ses.computer) + kv("user", ses.user) + kv("path", path) +
               kvn("perm", perm) + kvn("locks", locks) + kv("share", share) + tail);
    v.files.emplace(seq, std::move(f));
}

// An open through a share is checked against its permissions; one that no share holds is not.
void open_checked(Sim* s, Server& v, Session& ses, const std::wstring& path, DWORD perm, DWORD locks,
                  const std::wstring& share, int64_t at, const std::string& tail) {
    const Share* sh = share.empty() ? nullptr : find_share(v, share);
    std::string why;
    if (sh && !share_allows(v, *sh, ses.user, perm, why)) {
        ses.active_ms = at;
        jevent(s, v, at,
               "open" + kv("computer", ses.computer) + kv("user", ses.user) + kv("path", path) + kvn("perm", perm) +
                   kvn("locks", locks) + kv("share", share) + denied_fields(why) + tail);
        return;
    }
    open_file(s, v, ses, path, perm, locks, share, at, tail);
}

void close_file(Sim* s, Server& v, uint64_t seq, int64_t at, const std::string& tail) {
    auto it = v.files.find(seq);
    if (it == v.files.end()) return;
    OpenFile& f = it->second;
    auto sit = v.sessions.find(f.session);
    std::wstring computer, user;
    if (sit != v.sessions.end()) {
        computer = sit->second.computer;
        user = sit->second.user;
        if (sit->second.opens) --sit->second.opens;
    }
    jevent(s, v, at,
           "close" + kvn("id", f.id) + kv("computer", computer) + kv("user", user) + kv("path", f.path) + tail);
    v.file_by_id.erase(f.id);
    const std::wstring key = file_key(f.session, f.path);
    auto xit = v.file_index.find(key);
    if (xit != v.file_index.end()) {
        auto& seqs = xit->second;
        seqs.erase(std::remove(seqs.begin(), seqs.end(), seq), seqs.end());
        if (seqs.empty()) v.file_index.erase(xit);
    }
    v.files.erase(it);
}

// Oldest open of `path` by this session.
uint64_t find_open(Server& v, const Session& ses, std::wstring_view path) {
    const auto it = v.file_index.find(file_key(ses.serial, path));
    return (it == v.file_index.end() || it->second.empty()) ? 0 : it->second.front();
}

// Ends a session with its open files; returns how many files went with it.
size_t end_session(Sim* s, Server& v, uint64_t serial, int64_t at, const std::string& tail, SessionSnap* snap) {
    auto it = v.sessions.find(serial);
    if (it == v.sessions.end()) return 0;
    std::vector<uint64_t> seqs;
    for (const auto& [seq, f] : v.files)
        if (f.session == serial) seqs.push_back(seq);
    if (snap) {
        snap->computer = it->second.computer;
        snap->user = it->second.user;
        snap->cltype = it->second.cltype;
        snap->flags = it->second.flags;
        snap->uses = it->second.uses;
        for (uint64_t q : seqs) {
            const OpenFile& f = v.files.at(q);
            snap->files.push_back(FileSnap{f.path, f.share, f.perm, f.locks});
        }
    }
    for (uint64_t q : seqs) close_file(s, v, q, at, tail);
    jevent(s, v, at,
           "end-session" + kv("computer", it->second.computer) + kv("user", it->second.user) +
               kvn("files", seqs.size()) + tail);
    v.session_index.erase(session_key(it->second.computer, it->second.user));
    v.sessions.erase(it);
    return seqs.size();
}

size_t remove_share(Sim* s, Server& v, Share* sh, int64_t at, const std::string& tail) {
    const std::wstring name = sh->name;
    std::vector<uint64_t> seqs;
    for (const auto& [seq, f] : v.files)
        if (iequal(f.share, name)) seqs.push_back(seq);
    for (uint64_t q : seqs) close_file(s, v, q, at, tail);
    for (auto& [serial, ses] : v.sessions)
        ses.uses.erase(std::remove_if(ses.uses.begin(), ses.uses.end(),
                                      [&](const std::wstring& u) { return iequal(u, name); }),
                       ses.uses.end());
    v.shares.erase(v.shares.begin() + (sh - v.shares.data()));
    return seqs.size();
}

Policy* find_policy(Server& v, std::wstring_view computer) {
    for (auto& p : v.policies)
        if (iequal(p.computer, computer)) return &p;
    return nullptr;
}

void schedule(Sim* s, int64_t at, Pending p) {
    s->pending.emplace(std::make_pair(at, s->next_pending++), std::move(p));
}

// Which refusal, if any, answers this call. Every matching rule counts the call, so
// "every=3" means the 3rd, 6th, ... call inside the window fails.
const Refusal* refused(Server& v, uint32_t target) {
    int index = 0;
    while ((1u << index) != target) ++index;
    const Refusal* hit = nullptr;
    for (auto& r : v.refusals) {
        if (!(r.targets & target)) continue;
        const uint32_t n = ++r.calls[index];
        if (!hit && n % r.every == 0) hit = &r;
    }
    return hit;
}

// ---- permissions kept across processes -------------------------------------------

std::wstring kept_key(const Server& v, std::wstring_view share) {
    return folded(v.name) + L"\n" + folded(share);
}

// One line a share: server (empty: the local one), share, the descriptor as hex.
void save_kept(Sim* s) {
    if (s->opt.kept_path.empty()) return;
    std::string text;
    for (const auto& [key, sd] : s->kept) {
        const size_t cut = key.find(L'\n');
        text += wide_to_utf8(key.substr(0, cut)) + "\t" + wide_to_utf8(key.substr(cut + 1)) + "\t" + hex(sd) + "\n";
    }
    const std::wstring fresh = s->opt.kept_path + L".new";
    HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    const bool whole = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (whole) MoveFileExW(fresh.c_str(), s->opt.kept_path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void load_kept(Sim* s) {
    if (s->opt.kept_path.empty()) return;
    HANDLE file = CreateFileW(s->opt.kept_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (text.size() < kMaxFileBytes && ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t a = line.find('\t');
        const size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        std::wstring server, share;
        const std::string digits = line.substr(b + 1);
        if (!utf8_to_wide(line.substr(0, a), server) || !utf8_to_wide(line.substr(a + 1, b - a - 1), share) ||
            digits.size() % 2 != 0)
            continue;
        std::string sd;
        bool sound = true;
        for (size_t k = 0; k + 1 < digits.size() && sound; k += 2) {
            const int high = hex_digit(digits[k]), low = hex_digit(digits[k + 1]);
            sound = high >= 0 && low >= 0;
            sd.push_back(static_cast<char>(high * 16 + low));
        }
        if (sound) s->kept[folded(server) + L"\n" + folded(share)] = sd;
    }
}

void keep(Sim* s, const Server& v, const Share& sh) {
    if (s->opt.kept_path.empty()) return;
    s->kept[kept_key(v, sh.name)] = sh.sd;
    save_kept(s);
}

// ---- playing events -------------------------------------------------------------------

const char* op_name(Op op) {
    switch (op) {
        case Op::Connect: return "connect";
        case Op::Disconnect: return "disconnect";
        case Op::Open: return "open";
        case Op::Close: return "close";
        case Op::Lock: return "lock";
        case Op::Touch: return "touch";
        case Op::Use: return "use";
        case Op::Share: return "share";
        case Op::Unshare: return "unshare";
        case Op::Uses: return "uses";
        case Op::Refuse: return "refuse";
        case Op::NextId: return "next-id";
        case Op::Reconnect: return "reconnect";
        case Op::Note: return "note";
        case Op::Server: return "server";
        case Op::Permissions: return "permissions";
        case Op::Account: return "account";
    }
    return "?";
}

Server* find_remote(Sim* s, std::wstring_view name) {
    const auto it = s->remotes.find(folded(name));
    return it == s->remotes.end() ? nullptr : &it->second;
}

// A scenario line on one server's tables.
void apply_to(Sim* s, Server& v, const Event& e) {
    const int64_t at = e.at_ms;
    const std::string tail = line_tail(e);
    switch (e.op) {
        case Op::Connect: {
            const std::string what = "connect" + kv("computer", e.who) + kv("user", e.user) + kvn("flags", e.value2);
            if (find_session(v, e.who, e.user)) {
                jevent(s, v, at, what + " skipped=\"already connected\"" + tail);
                return;
            }
            add_session(v, e.who, e.user, e.value2, e.text, at);
            jevent(s, v, at, what + tail);
            return;
        }
        case Op::Disconnect: {
            std::vector<uint64_t> serials;
            for (const auto& [serial, ses] : v.sessions)
                if (iequal(ses.computer, e.who) && (!e.flag || iequal(ses.user, e.user))) serials.push_back(serial);
            std::string what = "disconnect" + kv("computer", e.who);
            if (e.flag) what += kv("user", e.user);
            if (serials.empty()) {
                jevent(s, v, at, what + " skipped=\"no such session\"" + tail);
                return;
            }
            size_t files = 0;
            for (uint64_t q : serials) files += end_session(s, v, q, at, " cause=disconnect", nullptr);
            jevent(s, v, at, what + kvn("sessions", serials.size()) + kvn("files", files) + tail);
            return;
        }
        case Op::Open: {
            const std::string what = "open" + kv("computer", e.who) + kv("user", e.user) + kv("path", e.path);
            Session* ses = find_session(v, e.who, e.user);
            if (!ses) {
                jevent(s, v, at, what + " skipped=\"no such session\"" + tail);
                return;
            }
            std::wstring share = e.text;
            if (!share.empty()) {
                const Share* sh = find_share(v, share);
                if (!sh) {
                    jevent(s, v, at, what + " skipped=\"no such share\"" + tail);
                    return;
                }
                share = sh->name;
            } else {
                share = share_for_path(v, e.path);
            }
            open_checked(s, v, *ses, e.path, e.value, e.value2, share, at, tail);
            return;
        }
        case Op::Close:
        case Op::Lock: {
            const char* name = e.op == Op::Close ? "close" : "lock";
            const std::string what = name + kv("computer", e.who) + kv("user", e.user) + kv("path", e.path);
            Session* ses = find_session(v, e.who, e.user);
            const uint64_t seq = ses ? find_open(v, *ses, e.path) : 0;
            if (!seq) {
                jevent(s, v, at, what + (ses ? " skipped=\"file not open\"" : " skipped=\"no such session\"") + tail);
                return;
            }
            ses->active_ms = at;
            if (e.op == Op::Close) {
                close_file(s, v, seq, at, tail);
            } else {
                OpenFile& f = v.files.at(seq);
                f.locks = e.value;
                jevent(s, v, at, "lock" + kvn("id", f.id) + kv("computer", e.who) + kv("user", e.user) +
                                  kv("path", f.path) + kvn("locks", f.locks) + tail);
            }
            return;
        }
        case Op::Touch: {
            size_t n = 0;
            for (auto& [serial, ses] : v.sessions)
                if (iequal(ses.computer, e.who) && (!e.flag || iequal(ses.user, e.user))) {
                    ses.active_ms = at;
                    ++n;
                }
            std::string what = "touch" + kv("computer", e.who);
            if (e.flag) what += kv("user", e.user);
            jevent(s, v, at, what + (n ? kvn("sessions", n) : std::string(" skipped=\"no such session\"")) + tail);
            return;
        }
        case Op::Use: {
            const std::string what = "use" + kv("computer", e.who) + kv("user", e.user) + kv("share", e.text);
            Session* ses = find_session(v, e.who, e.user);
            const Share* sh = find_share(v, e.text);
            if (!ses || !sh) {
                jevent(s, v, at, what + (ses ? " skipped=\"no such share\"" : " skipped=\"no such session\"") + tail);
                return;
            }
            ses->active_ms = at;
            std::string why;
            if (!share_allows(v, *sh, ses->user, PERM_FILE_READ, why)) {
                jevent(s, v, at, what + denied_fields(why) + tail);
                return;
            }
            bool already = false;
            for (const auto& u : ses->uses) already = already || iequal(u, sh->name);
            if (!already) ses->uses.push_back(sh->name);
            jevent(s, v, at, what + (already ? " skipped=\"already in use\"" : "") + tail);
            return;
        }
        case Op::Share: {
            const std::string what = "share" + kv("name", e.who) + kvx("type", e.value) + kv("path", e.path) +
                                     kv("remark", e.text) + kvn("uses", e.value3) + sd_fields(e.blob);
            if (find_share(v, e.who)) {
                jevent(s, v, at, what + " skipped=\"already shared\"" + tail);
                return;
            }
            Share sh;
            sh.name = e.who;
            sh.type = e.value;
            sh.path = e.path;
            sh.remark = e.text;
            sh.max_uses = e.value2;
            sh.base_uses = e.value3;
            sh.sd = e.blob;
            // Set before by a caller, in this process or an earlier one: the server kept them.
            const auto kept = s->kept.find(kept_key(v, sh.name));
            const bool was_kept = kept != s->kept.end();
            if (was_kept) sh.sd = kept->second;
            v.shares.push_back(std::move(sh));
            jevent(s, v, at, what + (was_kept ? " kept=1" + sd_fields(v.shares.back().sd) : std::string()) + tail);
            return;
        }
        case Op::Unshare: {
            Share* sh = find_share(v, e.who);
            if (!sh) {
                jevent(s, v, at, "unshare" + kv("name", e.who) + " skipped=\"no such share\"" + tail);
                return;
            }
            const size_t files = remove_share(s, v, sh, at, " cause=unshare");
            jevent(s, v, at, "unshare" + kv("name", e.who) + kvn("files", files) + tail);
            return;
        }
        case Op::Uses: {
            Share* sh = find_share(v, e.who);
            if (sh) sh->base_uses = e.value;
            jevent(s, v, at,
                   "uses" + kv("name", e.who) + kvn("uses", e.value) +
                       (sh ? std::string() : std::string(" skipped=\"no such share\"")) + tail);
            return;
        }
        case Op::Refuse: {
            Refusal r;
            r.key = v.next_refusal++;
            r.targets = e.value;
            r.code = e.value2;
            r.every = e.value3 ? e.value3 : 1;
            r.page = e.value4;
            r.line = e.line;
            r.until_ms = e.span_ms == kForever ? kForever : at + e.span_ms;
            std::string what = "refuse target=" + targets_text(r.targets) + kvn("code", r.code) +
                               kvn("every", r.every) + (r.page ? kvn("page", r.page) : std::string());
            what += r.until_ms == kForever ? std::string(" until=forever") : kvn("until", static_cast<uint64_t>(r.until_ms));
            if (r.until_ms != kForever) {
                Pending p;
                p.server = &v;
                p.kind = PendingKind::RefusalEnd;
                p.refusal = r.key;
                schedule(s, r.until_ms, std::move(p));
            }
            v.refusals.push_back(r);
            jevent(s, v, at, what + tail);
            return;
        }
        case Op::NextId:
            v.next_id = e.value;
            jevent(s, v, at, "next-id" + kvn("id", e.value) + tail);
            return;
        case Op::Reconnect: {
            Policy* p = find_policy(v, e.who);
            if (e.span_ms < 0) {
                if (p) v.policies.erase(v.policies.begin() + (p - v.policies.data()));
                jevent(s, v, at, "reconnect" + kv("computer", e.who) + " delay=off" + tail);
                return;
            }
            if (!p) {
                v.policies.push_back(Policy{});
                p = &v.policies.back();
            }
            p->computer = e.who;
            p->delay_ms = e.span_ms;
            p->reopen = e.flag;
            jevent(s, v, at,
                   "reconnect" + kv("computer", e.who) + kvn("delay", static_cast<uint64_t>(e.span_ms)) +
                       kvn("reopen", e.flag ? 1 : 0) + tail);
            return;
        }
        case Op::Note:
            jevent(s, v, at, "note" + kv("text", e.text) + tail);
            return;
        case Op::Permissions: {
            // As an administrator sets them by hand: later opens and uses obey them; what is
            // open stays open.
            Share* sh = find_share(v, e.who);
            if (!sh) {
                jevent(s, v, at, "permissions" + kv("name", e.who) + " skipped=\"no such share\"" + tail);
                return;
            }
            sh->sd = e.blob;
            keep(s, v, *sh);
            jevent(s, v, at, "permissions" + kv("name", e.who) + sd_fields(sh->sd) + tail);
            return;
        }
        case Op::Account: {
            Account* a = find_account(v, e.user);
            if (!a) {
                v.accounts.push_back(Account{});
                a = &v.accounts.back();
            }
            a->name = e.user;
            a->sid = e.blob;
            jevent(s, v, at, "account" + kv("user", e.user) + " sid=" + sid_text(a->sid) + tail);
            return;
        }
        case Op::Server:
            return;  // apply_event's
    }
}

// Declares a remote server, or changes how it answers; its tables stay as they are.
void apply_server(Sim* s, const Event& e) {
    auto [it, fresh] = s->remotes.try_emplace(folded(e.who));
    Server& v = it->second;
    if (fresh) v.name = e.who;
    v.delay_ms = e.span_ms;
    v.down_code = e.value;
    jevent(s, v, e.at_ms,
           "server" + kvn("delay", static_cast<uint64_t>(v.delay_ms)) +
               (v.down_code ? " state=down" + kvn("code", v.down_code) : std::string(" state=up")) + line_tail(e));
}

void apply_event(Sim* s, const Event& e) {
    if (e.op == Op::Server) return apply_server(s, e);
    if (e.server.empty()) return apply_to(s, s->local, e);
    Server* v = find_remote(s, e.server);
    if (!v) {
        jevent(s, e.server, e.at_ms, std::string(op_name(e.op)) + " skipped=\"no such server\"" + line_tail(e));
        return;
    }
    apply_to(s, *v, e);
}

void apply_pending(Sim* s, int64_t at, Pending& p) {
    Server& v = *p.server;
    if (p.kind == PendingKind::RefusalEnd) {
        for (size_t i = 0; i < v.refusals.size(); ++i) {
            const Refusal& r = v.refusals[i];
            if (r.key != p.refusal) continue;
            jevent(s, v, at,
                   "refuse-end target=" + targets_text(r.targets) + kvn("code", r.code) + kvn("line", r.line));
            v.refusals.erase(v.refusals.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
        return;
    }
    for (const SessionSnap& snap : p.sessions) {
        const std::string what = "connect" + kv("computer", snap.computer) + kv("user", snap.user) +
                                 kvn("flags", snap.flags) + " cause=reconnect";
        const Policy* pol = find_policy(v, snap.computer);
        if (!pol) {
            jevent(s, v, at, what + " skipped=\"reconnect is off\"");
            continue;
        }
        if (find_session(v, snap.computer, snap.user)) {
            jevent(s, v, at, what + " skipped=\"already connected\"");
            continue;
        }
        // Its session comes back whatever the shares say; its uses and reopens are checked.
        Session& ses = add_session(v, snap.computer, snap.user, snap.flags, snap.cltype, at);
        jevent(s, v, at, what);
        for (const auto& u : snap.uses) {
            const Share* sh = find_share(v, u);
            if (!sh) continue;
            std::string why;
            if (share_allows(v, *sh, ses.user, PERM_FILE_READ, why))
                ses.uses.push_back(u);
            else
                jevent(s, v, at,
                       "use" + kv("computer", ses.computer) + kv("user", ses.user) + kv("share", u) +
                           denied_fields(why) + " cause=reconnect");
        }
        if (!pol->reopen) continue;
        for (const FileSnap& f : snap.files) {
            if (!f.share.empty() && !find_share(v, f.share)) continue;  // its share went away meanwhile
            open_checked(s, v, ses, f.path, f.perm, f.locks, f.share, at, " cause=reconnect");
        }
    }
}

int64_t now_ms(Sim* s, int64_t real) {
    int64_t t = s->opt.manual_clock ? s->manual_ms
                                    : static_cast<int64_t>(static_cast<double>(real) * s->opt.speed);
    if (t < s->last_ms) t = s->last_ms;
    s->last_ms = t;
    return t;
}

// Plays everything due by now, in time order; for equal times scenario lines come first.
void advance(Sim* s) {
    s->call_real_ms = real_ms(s);
    const int64_t now = now_ms(s, s->call_real_ms);
    s->call_ms = now;
    auto& ev = s->scenario.events;
    for (;;) {
        const bool have_event = s->cursor < ev.size() && ev[s->cursor].at_ms <= now;
        const bool have_pending = !s->pending.empty() && s->pending.begin()->first.first <= now;
        if (!have_event && !have_pending) break;
        if (have_event && (!have_pending || ev[s->cursor].at_ms <= s->pending.begin()->first.first)) {
            apply_event(s, ev[s->cursor]);
            ++s->cursor;
        } else {
            auto it = s->pending.begin();
            const int64_t at = it->first.first;
            Pending p = std::move(it->second);
            s->pending.erase(it);
            apply_pending(s, at, p);
        }
    }
}

// ---- enumeration plumbing ------------------------------------------------------------------

struct Out {
    LPBYTE* bufptr;
    LPDWORD read;
    LPDWORD total;
};

void clear_out(const Out& o) {
    if (o.bufptr) *o.bufptr = nullptr;
    if (o.read) *o.read = 0;
    if (o.total) *o.total = 0;
}

std::string prefmax_text(DWORD prefmaxlen) {
    return prefmaxlen == MAX_PREFERRED_LENGTH ? std::string(" prefmaxlen=max") : kvn("prefmaxlen", prefmaxlen);
}

DWORD seconds_since(int64_t now, int64_t then) {
    const int64_t d = now > then ? (now - then) / 1000 : 0;
    return d > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<DWORD>(d);
}

// Common tail of the three enumerations: plan, allocate, let `fill` write records, answer.
template <class Fill>
NET_API_STATUS deliver(Sim* s, const std::vector<size_t>& sizes, size_t record, size_t start, DWORD prefmaxlen,
                       size_t page, const Out& o, size_t& next, Fill fill) {
    const Take t = plan_entries(sizes, start, prefmaxlen, page);
    next = 0;
    if (t.count == 0) return NERR_Success;
    void* buf = HeapAlloc(GetProcessHeap(), 0, t.bytes);
    if (!buf) return ERROR_NOT_ENOUGH_MEMORY;
    Writer w;
    w.base = static_cast<BYTE*>(buf);
    w.size = t.bytes;
    w.pos = t.count * record;
    for (size_t k = 0; k < t.count; ++k) fill(w, k, start + k);
    if (w.overflow || w.pos != w.size) {
        HeapFree(GetProcessHeap(), 0, buf);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    s->buffers.insert(buf);
    *o.bufptr = static_cast<LPBYTE>(buf);
    *o.read = static_cast<DWORD>(t.count);
    *o.total = static_cast<DWORD>(sizes.size() - start);
    const size_t done = start + t.count;
    if (done < sizes.size()) {
        next = done;
        return ERROR_MORE_DATA;
    }
    return NERR_Success;
}

std::string result_text(NET_API_STATUS st, const Out& o, bool has_resume, size_t next) {
    std::string r = kvn("status", st);
    r += kvn("entries", o.read ? *o.read : 0);
    r += kvn("total", o.total ? *o.total : 0);
    r += kvp("buffer", o.bufptr ? *o.bufptr : nullptr);
    r += has_resume ? kvn("next", next) : std::string(" next=null");
    return r;
}

std::string refusal_text(const Refusal* r) { return r ? kvn("refused_by_line", r->line) : std::string(); }

// ---- single records -------------------------------------------------------------------------

// A zeroed buffer of `bytes` for one record and what follows it; false if there is no memory.
bool hand_out(size_t bytes, size_t record, Writer& w) {
    void* buf = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (!buf) return false;
    w.base = static_cast<BYTE*>(buf);
    w.size = bytes;
    w.pos = record;
    return true;
}

// Hands the filled buffer to the caller's NetApiBufferFree; frees it if the plan was wrong.
bool keep(Sim* s, Writer& w) {
    if (w.overflow || w.pos != w.size) {
        HeapFree(GetProcessHeap(), 0, w.base);
        return false;
    }
    s->buffers.insert(w.base);
    return true;
}

size_t share_record(DWORD level) {
    switch (level) {
        case 0: return sizeof(SHARE_INFO_0);
        case 1: return sizeof(SHARE_INFO_1);
        case 2: return sizeof(SHARE_INFO_2);
        case 502: return sizeof(SHARE_INFO_502);
        default: return 0;
    }
}

// A share's record and what it points to. The enumeration serves no descriptor; NetShareGetInfo
// at 502 puts one after the strings, 8-aligned.
size_t share_bytes(DWORD level, const Share& sh, bool with_sd) {
    size_t n = share_record(level) + string_bytes(sh.name);
    if (level != 0) n += string_bytes(sh.remark);
    if (level == 2 || level == 502) n += string_bytes(sh.path);
    if (level == 502 && with_sd && !sh.sd.empty()) n += aligned_bytes(n, sh.sd.size(), 8);
    return n;
}

void put_share(Writer& w, size_t k, DWORD level, const Server& v, const Share& sh, bool with_sd) {
    switch (level) {
        case 0: {
            auto* r = reinterpret_cast<SHARE_INFO_0*>(w.base) + k;
            r->shi0_netname = put_string(w, sh.name);
            break;
        }
        case 1: {
            auto* r = reinterpret_cast<SHARE_INFO_1*>(w.base) + k;
            r->shi1_netname = put_string(w, sh.name);
            r->shi1_type = sh.type;
            r->shi1_remark = put_string(w, sh.remark);
            break;
        }
        case 2: {
            auto* r = reinterpret_cast<SHARE_INFO_2*>(w.base) + k;
            r->shi2_netname = put_string(w, sh.name);
            r->shi2_type = sh.type;
            r->shi2_remark = put_string(w, sh.remark);
            r->shi2_permissions = 0;
            r->shi2_max_uses = sh.max_uses;
            r->shi2_current_uses = current_uses(v, sh);
            r->shi2_path = put_string(w, sh.path);
            r->shi2_passwd = nullptr;
            break;
        }
        default: {
            auto* r = reinterpret_cast<SHARE_INFO_502*>(w.base) + k;
            r->shi502_netname = put_string(w, sh.name);
            r->shi502_type = sh.type;
            r->shi502_remark = put_string(w, sh.remark);
            r->shi502_permissions = 0;
            r->shi502_max_uses = sh.max_uses;
            r->shi502_current_uses = current_uses(v, sh);
            r->shi502_path = put_string(w, sh.path);
            r->shi502_passwd = nullptr;
            // The protocol's SHARE_INFO_502_I carries the descriptor's length here.
            r->shi502_reserved = with_sd && !sh.sd.empty() ? static_cast<DWORD>(sh.sd.size()) : 0;
            r->shi502_security_descriptor = with_sd && !sh.sd.empty() ? put_bytes(w, sh.sd, 8) : nullptr;
            break;
        }
    }
}

// ---- reaching a server by name ---------------------------------------------------------------

// NULL or "" is the local server. Otherwise leading backslashes are dropped and the name is
// looked up, ASCII case-insensitively: a declared server first, then the local machine's own
// names. Anything else reaches no server (null).
Server* find_server(Sim* s, const CallerString& name) {
    if (name.state == Arg::Null || name.text.empty()) return &s->local;
    if (name.state == Arg::Bad) return nullptr;
    const std::wstring key = folded(strip_unc(name.text));
    if (key.empty()) return nullptr;
    if (Server* v = find_remote(s, key)) return v;
    for (const auto& n : s->local_names)
        if (n == key) return &s->local;
    return nullptr;
}

// The named server's answer delay, waited for before the call is served: with the lock free,
// so calls to other servers, from other threads, go on meanwhile. The local server answers at
// once and is not looked up here, so its calls take the lock once, as always.
int64_t wait_for_server(Sim* s, const CallerString& name) {
    if (name.state != Arg::Ok || name.text.empty()) return 0;
    int64_t delay = 0;
    {
        Guard g(&s->lock);
        advance(s);
        const Server* v = find_server(s, name);
        if (!v) return 0;
        delay = v->delay_ms;
    }
    if (delay > 0) {
        const int64_t real = std::min<int64_t>(to_real(s, delay), int64_t{INFINITE} - 1);
        Sleep(static_cast<DWORD>(real));
    }
    return delay;
}

// Which server serves the call, or why none does.
struct Route {
    Server* server = nullptr;
    NET_API_STATUS status = NERR_Success;  // when no server: the answer
    std::string tail;                      // a remote call's journal fields; empty for the local server
};

Route route(Sim* s, const CallerString& name, int64_t waited) {
    Route r;
    if (name.state == Arg::Bad) {
        r.status = ERROR_INVALID_PARAMETER;
        return r;
    }
    r.server = find_server(s, name);
    if (r.server == &s->local) return r;
    r.tail = kvn("delay", static_cast<uint64_t>(waited));
    if (!r.server) {
        // As for a name that does not resolve on a real network.
        r.status = ERROR_BAD_NETPATH;
        r.tail += " reason=\"no such server\"";
    } else if (r.server->down_code) {
        r.status = r.server->down_code;
        r.tail += " reason=\"server down\"";
        r.server = nullptr;
    }
    return r;
}

}  // namespace

// ---- lifetime ---------------------------------------------------------------------------

Sim* sim_create(const SimOptions& options) {
    Sim* s = new Sim;
    InitializeCriticalSection(&s->lock);
    s->opt = options;
    if (!(s->opt.speed > 0.0)) s->opt.speed = 1.0;
    QueryPerformanceFrequency(&s->qpc_freq);
    if (s->opt.qpc_start.QuadPart == 0) QueryPerformanceCounter(&s->opt.qpc_start);
    if (s->opt.wall_start.dwLowDateTime == 0 && s->opt.wall_start.dwHighDateTime == 0)
        GetSystemTimeAsFileTime(&s->opt.wall_start);
    for (const auto& n : options.local_names) {
        std::wstring key = folded(strip_unc(n));
        if (!key.empty()) s->local_names.push_back(std::move(key));
    }
    s->journal.capture = options.journal_to_memory;
    if (!options.journal_path.empty()) journal_open(s->journal, options.journal_path);
    load_kept(s);
    return s;
}

void sim_destroy(Sim* s) {
    if (!s) return;
    for (void* b : s->buffers) HeapFree(GetProcessHeap(), 0, b);
    journal_close(s->journal);
    DeleteCriticalSection(&s->lock);
    delete s;
}

void sim_load_text(Sim* s, std::string_view utf8, std::wstring_view origin) {
    Guard g(&s->lock);
    advance(s);
    s->scenario = parse_scenario(utf8);
    s->cursor = 0;
    // A scenario cannot act before it was loaded: what was due earlier happens now.
    for (auto& e : s->scenario.events) e.at_ms = std::max(e.at_ms, s->call_ms);
    size_t errors = 0, warnings = 0;
    for (const auto& d : s->scenario.diags) (d.warning ? warnings : errors)++;
    jline_at(s, s->call_ms, s->call_real_ms,
             "load scenario" + kv("path", origin) + kvn("events", s->scenario.events.size()) + kvn("errors", errors) +
                 kvn("warnings", warnings));
    for (const auto& d : s->scenario.diags)
        jline_at(s, s->call_ms, s->call_real_ms,
                 std::string(d.warning ? "warn" : "error") + kvn("line", d.line) + " reason=" + quote_utf8(d.reason));
}

void sim_load_file(Sim* s, const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        Guard g(&s->lock);
        advance(s);
        jline_at(s, s->call_ms, s->call_real_ms,
                 "load no-scenario" + kv("path", path) + kvn("error", err) + " reason=\"cannot open; the server is empty\"");
        return;
    }
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    // One byte past the limit is enough for the parser to say the file was cut.
    while (text.size() <= kMaxFileBytes && ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(h);
    sim_load_text(s, text, path);
}

void sim_journal_note(Sim* s, std::string_view body) {
    Guard g(&s->lock);
    advance(s);
    jline_at(s, s->call_ms, s->call_real_ms, std::string(body));
}

void sim_journal_unload(Sim* s) {
    if (!TryEnterCriticalSection(&s->lock)) return;
    const int64_t real = real_ms(s);
    jline_at(s, now_ms(s, real), real, "unload" + kvn("outstanding_buffers", s->buffers.size()));
    LeaveCriticalSection(&s->lock);
}

void sim_set_time(Sim* s, int64_t ms) {
    Guard g(&s->lock);
    if (ms > s->manual_ms) s->manual_ms = ms;
}

int64_t sim_time(Sim* s) {
    Guard g(&s->lock);
    return now_ms(s, real_ms(s));
}

std::vector<std::string> sim_journal_lines(Sim* s) {
    Guard g(&s->lock);
    return s->journal.captured;
}

std::vector<Diagnostic> sim_diagnostics(Sim* s) {
    Guard g(&s->lock);
    return s->scenario.diags;
}

size_t sim_outstanding_buffers(Sim* s) {
    Guard g(&s->lock);
    return s->buffers.size();
}

// ---- the exported functions' bodies -----------------------------------------------------

NET_API_STATUS sim_session_enum(Sim* s, LMSTR servername, LMSTR client_arg, LMSTR user_arg, DWORD level,
                                LPBYTE* bufptr, DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries,
                                LPDWORD resume_handle) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString client = read_arg(client_arg), user = read_arg(user_arg);
    const Out o{bufptr, entriesread, totalentries};
    clear_out(o);
    const size_t start_in = resume_handle ? *resume_handle : 0;
    std::string call = "NetSessionEnum" + kvarg("server", server) + kvarg("client", client) + kvarg("user", user) +
                       kvn("level", level) + prefmax_text(prefmaxlen) +
                       (resume_handle ? kvn("resume", start_in) : std::string(" resume=null"));
    size_t next = 0;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        if (resume_handle && (st == NERR_Success || st == ERROR_MORE_DATA)) *resume_handle = static_cast<DWORD>(next);
        jcall(s, call + result_text(st, o, resume_handle != nullptr, next) + refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (!bufptr || !entriesread || !totalentries) return answer(ERROR_INVALID_PARAMETER);
    if (client.state == Arg::Bad || user.state == Arg::Bad) return answer(ERROR_INVALID_PARAMETER);
    size_t record = 0;
    switch (level) {
        case 0: record = sizeof(SESSION_INFO_0); break;
        case 1: record = sizeof(SESSION_INFO_1); break;
        case 2: record = sizeof(SESSION_INFO_2); break;
        case 10: record = sizeof(SESSION_INFO_10); break;
        case 502: record = sizeof(SESSION_INFO_502); break;
        default: return answer(ERROR_INVALID_LEVEL);
    }
    size_t page = 0;
    if ((ref = refused(v, kSessionEnum)) != nullptr) {
        if (ref->code != ERROR_MORE_DATA) return answer(ref->code);
        page = ref->page;
    }
    const std::wstring_view want_client = strip_unc(client.text);
    const std::wstring_view want_user = user.text;
    std::vector<const Session*> sel;
    bool client_seen = false;
    for (const auto& [serial, ses] : v.sessions) {
        if (!want_client.empty() && !iequal(ses.computer, want_client)) continue;
        client_seen = true;
        if (!want_user.empty() && !iequal(ses.user, want_user)) continue;
        sel.push_back(&ses);
    }
    if (sel.empty() && !want_client.empty() && !client_seen) return answer(NERR_ClientNameNotFound);
    if (sel.empty() && !want_user.empty()) return answer(NERR_UserNotFound);
    const std::wstring empty;
    std::vector<size_t> sizes;
    sizes.reserve(sel.size());
    for (const Session* ses : sel) {
        size_t n = record + string_bytes(ses->computer);
        if (level != 0) n += string_bytes(ses->user);
        if (level == 2 || level == 502) n += string_bytes(ses->cltype);
        if (level == 502) n += string_bytes(empty);
        sizes.push_back(n);
    }
    const int64_t now = s->call_ms;
    const size_t start = std::min(start_in, sel.size());
    const NET_API_STATUS st =
        deliver(s, sizes, record, start, prefmaxlen, page, o, next, [&](Writer& w, size_t k, size_t index) {
            const Session& ses = *sel[index];
            const DWORD secs = seconds_since(now, ses.connected_ms);
            const DWORD idle = seconds_since(now, ses.active_ms);
            switch (level) {
                case 0: {
                    auto* r = reinterpret_cast<SESSION_INFO_0*>(w.base) + k;
                    r->sesi0_cname = put_string(w, ses.computer);
                    break;
                }
                case 1: {
                    auto* r = reinterpret_cast<SESSION_INFO_1*>(w.base) + k;
                    r->sesi1_cname = put_string(w, ses.computer);
                    r->sesi1_username = put_string(w, ses.user);
                    r->sesi1_num_opens = ses.opens;
                    r->sesi1_time = secs;
                    r->sesi1_idle_time = idle;
                    r->sesi1_user_flags = ses.flags;
                    break;
                }
                case 2: {
                    auto* r = reinterpret_cast<SESSION_INFO_2*>(w.base) + k;
                    r->sesi2_cname = put_string(w, ses.computer);
                    r->sesi2_username = put_string(w, ses.user);
                    r->sesi2_num_opens = ses.opens;
                    r->sesi2_time = secs;
                    r->sesi2_idle_time = idle;
                    r->sesi2_user_flags = ses.flags;
                    r->sesi2_cltype_name = put_string(w, ses.cltype);
                    break;
                }
                case 10: {
                    auto* r = reinterpret_cast<SESSION_INFO_10*>(w.base) + k;
                    r->sesi10_cname = put_string(w, ses.computer);
                    r->sesi10_username = put_string(w, ses.user);
                    r->sesi10_time = secs;
                    r->sesi10_idle_time = idle;
                    break;
                }
                default: {
                    auto* r = reinterpret_cast<SESSION_INFO_502*>(w.base) + k;
                    r->sesi502_cname = put_string(w, ses.computer);
                    r->sesi502_username = put_string(w, ses.user);
                    r->sesi502_num_opens = ses.opens;
                    r->sesi502_time = secs;
                    r->sesi502_idle_time = idle;
                    r->sesi502_user_flags = ses.flags;
                    r->sesi502_cltype_name = put_string(w, ses.cltype);
                    r->sesi502_transport = put_string(w, empty);
                    break;
                }
            }
        });
    return answer(st);
}

NET_API_STATUS sim_file_enum(Sim* s, LMSTR servername, LMSTR basepath, LMSTR user_arg, DWORD level, LPBYTE* bufptr,
                             DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries,
                             PDWORD_PTR resume_handle) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString base = read_arg(basepath), user = read_arg(user_arg);
    const Out o{bufptr, entriesread, totalentries};
    clear_out(o);
    const size_t start_in = resume_handle ? static_cast<size_t>(*resume_handle) : 0;
    std::string call = "NetFileEnum" + kvarg("server", server) + kvarg("basepath", base) + kvarg("user", user) +
                       kvn("level", level) + prefmax_text(prefmaxlen) +
                       (resume_handle ? kvn("resume", start_in) : std::string(" resume=null"));
    size_t next = 0;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        if (resume_handle && (st == NERR_Success || st == ERROR_MORE_DATA)) *resume_handle = next;
        jcall(s, call + result_text(st, o, resume_handle != nullptr, next) + refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (!bufptr || !entriesread || !totalentries) return answer(ERROR_INVALID_PARAMETER);
    if (base.state == Arg::Bad || user.state == Arg::Bad) return answer(ERROR_INVALID_PARAMETER);
    size_t record = 0;
    switch (level) {
        case 2: record = sizeof(FILE_INFO_2); break;
        case 3: record = sizeof(FILE_INFO_3); break;
        default: return answer(ERROR_INVALID_LEVEL);
    }
    size_t page = 0;
    if ((ref = refused(v, kFileEnum)) != nullptr) {
        if (ref->code != ERROR_MORE_DATA) return answer(ref->code);
        page = ref->page;
    }
    // "\\PC17" names a client, anything else a user.
    const bool by_client = user.text.size() >= 2 && user.text[0] == L'\\' && user.text[1] == L'\\';
    const std::wstring_view want = by_client ? strip_unc(user.text) : std::wstring_view(user.text);
    const std::wstring_view prefix = base.text;
    struct Row {
        const OpenFile* f;
        const Session* ses;
    };
    std::vector<Row> sel;
    const Session none;
    for (const auto& [seq, f] : v.files) {
        const auto sit = v.sessions.find(f.session);
        const Session& ses = sit == v.sessions.end() ? none : sit->second;
        if (!prefix.empty()) {
            if (!istarts_with(f.path, prefix)) continue;
            const bool boundary = f.path.size() == prefix.size() || prefix.back() == L'\\' ||
                                  f.path[prefix.size()] == L'\\';
            if (!boundary) continue;
        }
        if (!want.empty() && !iequal(by_client ? ses.computer : ses.user, want)) continue;
        sel.push_back(Row{&f, &ses});
    }
    std::vector<size_t> sizes;
    sizes.reserve(sel.size());
    for (const Row& r : sel)
        sizes.push_back(level == 2 ? record : record + string_bytes(r.f->path) + string_bytes(r.ses->user));
    const size_t start = std::min(start_in, sel.size());
    const NET_API_STATUS st =
        deliver(s, sizes, record, start, prefmaxlen, page, o, next, [&](Writer& w, size_t k, size_t index) {
            const Row& row = sel[index];
            if (level == 2) {
                auto* r = reinterpret_cast<FILE_INFO_2*>(w.base) + k;
                r->fi2_id = row.f->id;
                return;
            }
            auto* r = reinterpret_cast<FILE_INFO_3*>(w.base) + k;
            r->fi3_id = row.f->id;
            r->fi3_permissions = row.f->perm;
            r->fi3_num_locks = row.f->locks;
            r->fi3_pathname = put_string(w, row.f->path);
            r->fi3_username = put_string(w, row.ses->user);
        });
    return answer(st);
}

NET_API_STATUS sim_share_enum(Sim* s, LMSTR servername, DWORD level, LPBYTE* bufptr, DWORD prefmaxlen,
                              LPDWORD entriesread, LPDWORD totalentries, LPDWORD resume_handle) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const Out o{bufptr, entriesread, totalentries};
    clear_out(o);
    const size_t start_in = resume_handle ? *resume_handle : 0;
    std::string call = "NetShareEnum" + kvarg("server", server) + kvn("level", level) + prefmax_text(prefmaxlen) +
                       (resume_handle ? kvn("resume", start_in) : std::string(" resume=null"));
    size_t next = 0;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        if (resume_handle && (st == NERR_Success || st == ERROR_MORE_DATA)) *resume_handle = static_cast<DWORD>(next);
        jcall(s, call + result_text(st, o, resume_handle != nullptr, next) + refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (!bufptr || !entriesread || !totalentries) return answer(ERROR_INVALID_PARAMETER);
    const size_t record = share_record(level);
    if (!record) return answer(ERROR_INVALID_LEVEL);
    size_t page = 0;
    if ((ref = refused(v, kShareEnum)) != nullptr) {
        if (ref->code != ERROR_MORE_DATA) return answer(ref->code);
        page = ref->page;
    }
    std::vector<size_t> sizes;
    sizes.reserve(v.shares.size());
    for (const Share& sh : v.shares) sizes.push_back(share_bytes(level, sh, false));
    const size_t start = std::min(start_in, v.shares.size());
    const NET_API_STATUS st =
        deliver(s, sizes, record, start, prefmaxlen, page, o, next, [&](Writer& w, size_t k, size_t index) {
            put_share(w, k, level, v, v.shares[index], false);
        });
    return answer(st);
}

NET_API_STATUS sim_share_get_info(Sim* s, LMSTR servername, LMSTR netname, DWORD level, LPBYTE* bufptr) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString name = read_arg(netname);
    if (bufptr) *bufptr = nullptr;
    const std::string call = "NetShareGetInfo" + kvarg("server", server) + kvarg("name", name) + kvn("level", level);
    std::string sd_text;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        jcall(s, call + kvn("status", st) + kvp("buffer", bufptr ? *bufptr : nullptr) + sd_text + refusal_text(ref) +
                     to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (name.state != Arg::Ok || !bufptr) return answer(ERROR_INVALID_PARAMETER);
    if (!share_record(level)) return answer(ERROR_INVALID_LEVEL);
    if ((ref = refused(v, kShareInfo)) != nullptr) return answer(ref->code);
    const Share* sh = find_share(v, name.text);
    if (!sh) return answer(NERR_NetNameNotFound);
    Writer w;
    if (!hand_out(share_bytes(level, *sh, true), share_record(level), w)) return answer(ERROR_NOT_ENOUGH_MEMORY);
    put_share(w, 0, level, v, *sh, true);
    if (!keep(s, w)) return answer(ERROR_NOT_ENOUGH_MEMORY);
    *bufptr = w.base;
    sd_text = sd_fields(sh->sd);
    return answer(NERR_Success);
}

NET_API_STATUS sim_share_set_info(Sim* s, LMSTR servername, LMSTR netname, DWORD level, LPBYTE buf,
                                  LPDWORD parm_err) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString name = read_arg(netname);
    const std::string call = "NetShareSetInfo" + kvarg("server", server) + kvarg("name", name) + kvn("level", level);
    std::string sd_text, why;  // sd_text once the descriptor was looked at
    bool bad_sd = false;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        jcall(s, call + kvn("status", st) + sd_text +
                     (bad_sd ? kvn("parm_err", SHARE_FILE_SD_PARMNUM) : std::string()) +
                     (why.empty() ? std::string() : " reason=" + quote_utf8(why)) + refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (name.state != Arg::Ok) return answer(ERROR_INVALID_PARAMETER);
    if (level != 1501) return answer(ERROR_INVALID_LEVEL);
    if (!buf) {
        why = "no SHARE_INFO_1501";
        return answer(ERROR_INVALID_PARAMETER);
    }
    if ((ref = refused(v, kShareSet)) != nullptr) return answer(ref->code);
    Share* sh = find_share(v, name.text);
    if (!sh) return answer(NERR_NetNameNotFound);
    const void* given = reinterpret_cast<const SHARE_INFO_1501*>(buf)->shi1501_security_descriptor;
    const size_t n = sd_length(given, why);
    if (!n) {
        sd_text = given ? " sdhex=<invalid> sd=<invalid>" : " sdhex=null sd=null";
        bad_sd = true;
        if (parm_err) *parm_err = SHARE_FILE_SD_PARMNUM;
        return answer(ERROR_INVALID_PARAMETER);
    }
    sh->sd.assign(static_cast<const char*>(given), n);
    keep(s, v, *sh);
    sd_text = sd_fields(sh->sd);
    jevent(s, v, s->call_ms, "permissions" + kv("name", sh->name) + sd_text + " cause=NetShareSetInfo");
    return answer(NERR_Success);
}

NET_API_STATUS sim_user_get_info(Sim* s, LPCWSTR servername, LPCWSTR username, DWORD level, LPBYTE* bufptr) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString user = read_arg(username);
    if (bufptr) *bufptr = nullptr;
    const std::string call = "NetUserGetInfo" + kvarg("server", server) + kvarg("user", user) + kvn("level", level);
    std::string sid_field;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        jcall(s, call + kvn("status", st) + kvp("buffer", bufptr ? *bufptr : nullptr) + sid_field +
                     refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (!bufptr || user.state == Arg::Bad) return answer(ERROR_INVALID_PARAMETER);
    if (level != 23) return answer(ERROR_INVALID_LEVEL);
    if ((ref = refused(v, kUserInfo)) != nullptr) return answer(ref->code);
    // No account is anonymous, and none has a name longer than the server keeps.
    if (user.text.empty() || user.text.size() > kMaxText) return answer(NERR_UserNotFound);
    const Account* a = find_account(v, user.text);
    const std::wstring& name = a ? a->name : user.text;
    const std::string sid = a ? a->sid : derived_sid(name);
    const std::wstring empty;
    const size_t strings = sizeof(USER_INFO_23) + 2 * string_bytes(name) + string_bytes(empty);
    Writer w;
    if (!hand_out(strings + aligned_bytes(strings, sid.size(), 8), sizeof(USER_INFO_23), w))
        return answer(ERROR_NOT_ENOUGH_MEMORY);
    auto* r = reinterpret_cast<USER_INFO_23*>(w.base);
    r->usri23_name = put_string(w, name);
    r->usri23_full_name = put_string(w, name);
    r->usri23_comment = put_string(w, empty);
    r->usri23_flags = UF_NORMAL_ACCOUNT | UF_SCRIPT;
    r->usri23_user_sid = put_bytes(w, sid, 8);
    if (!keep(s, w)) return answer(ERROR_NOT_ENOUGH_MEMORY);
    *bufptr = w.base;
    sid_field = " sid=" + sid_text(sid);
    return answer(NERR_Success);
}

NET_API_STATUS sim_session_del(Sim* s, LMSTR servername, LMSTR client_arg, LMSTR user_arg) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString client = read_arg(client_arg), user = read_arg(user_arg);
    const std::string call = "NetSessionDel" + kvarg("server", server) + kvarg("client", client) + kvarg("user", user);
    size_t ended = 0, files = 0;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        jcall(s, call + kvn("status", st) + kvn("sessions", ended) + kvn("files", files) + refusal_text(ref) +
                     to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (client.state == Arg::Bad || user.state == Arg::Bad) return answer(ERROR_INVALID_PARAMETER);
    const std::wstring_view want_client = strip_unc(client.text);
    const std::wstring_view want_user = user.text;
    if (want_client.empty() && want_user.empty()) return answer(ERROR_INVALID_PARAMETER);
    if ((ref = refused(v, kSessionDel)) != nullptr) return answer(ref->code);
    std::vector<uint64_t> serials;
    bool client_seen = false;
    for (const auto& [serial, ses] : v.sessions) {
        if (!want_client.empty() && !iequal(ses.computer, want_client)) continue;
        client_seen = true;
        if (!want_user.empty() && !iequal(ses.user, want_user)) continue;
        serials.push_back(serial);
    }
    if (serials.empty())
        return answer(!want_client.empty() && !client_seen ? NERR_ClientNameNotFound : NERR_UserNotFound);
    // A blocked client that keeps reconnecting comes back after its delay, per computer.
    std::vector<std::pair<std::wstring, Pending>> back;
    for (uint64_t q : serials) {
        SessionSnap snap;
        files += end_session(s, v, q, s->call_ms, " cause=NetSessionDel", &snap);
        ++ended;
        if (!find_policy(v, snap.computer)) continue;
        auto it = std::find_if(back.begin(), back.end(), [&](const auto& b) { return iequal(b.first, snap.computer); });
        if (it == back.end()) {
            back.emplace_back(snap.computer, Pending{});
            back.back().second.server = &v;
            it = back.end() - 1;
        }
        it->second.sessions.push_back(std::move(snap));
    }
    for (auto& [computer, p] : back) {
        const int64_t due = s->call_ms + find_policy(v, computer)->delay_ms;
        jevent(s, v, s->call_ms,
               "reconnect-due" + kv("computer", computer) + kvn("at", static_cast<uint64_t>(due)) +
                   kvn("sessions", p.sessions.size()) + " cause=NetSessionDel");
        schedule(s, due, std::move(p));
    }
    return answer(NERR_Success);
}

NET_API_STATUS sim_file_close(Sim* s, LMSTR servername, DWORD fileid) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const std::string call = "NetFileClose" + kvarg("server", server) + kvn("id", fileid);
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        jcall(s, call + kvn("status", st) + refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if ((ref = refused(v, kFileClose)) != nullptr) return answer(ref->code);
    const auto it = v.file_by_id.find(fileid);
    if (it == v.file_by_id.end()) return answer(NERR_FileIdNotFound);
    close_file(s, v, it->second, s->call_ms, " cause=NetFileClose");
    return answer(NERR_Success);
}

NET_API_STATUS sim_share_del(Sim* s, LMSTR servername, LMSTR netname, DWORD reserved) {
    const CallerString server = read_arg(servername);
    const int64_t waited = wait_for_server(s, server);
    Guard g(&s->lock);
    advance(s);
    const CallerString name = read_arg(netname);
    const std::string call = "NetShareDel" + kvarg("server", server) + kvarg("name", name) + kvn("reserved", reserved);
    size_t files = 0;
    const Refusal* ref = nullptr;
    const Route to = route(s, server, waited);
    auto answer = [&](NET_API_STATUS st) {
        jcall(s, call + kvn("status", st) + kvn("files", files) + refusal_text(ref) + to.tail);
        return st;
    };
    if (!to.server) return answer(to.status);
    Server& v = *to.server;
    if (name.state != Arg::Ok || name.text.empty() || reserved != 0) return answer(ERROR_INVALID_PARAMETER);
    if ((ref = refused(v, kShareDel)) != nullptr) return answer(ref->code);
    Share* sh = find_share(v, name.text);
    if (!sh) return answer(NERR_NetNameNotFound);
    files = remove_share(s, v, sh, s->call_ms, " cause=NetShareDel");
    return answer(NERR_Success);
}

NET_API_STATUS sim_buffer_free(Sim* s, LPVOID buffer) {
    Guard g(&s->lock);
    advance(s);
    NET_API_STATUS st = NERR_Success;
    if (buffer) {
        const auto it = s->buffers.find(buffer);
        if (it == s->buffers.end()) {
            // A double free or a foreign pointer: report it instead of corrupting the heap.
            st = ERROR_INVALID_PARAMETER;
        } else {
            s->buffers.erase(it);
            HeapFree(GetProcessHeap(), 0, buffer);
        }
    }
    jcall(s, "NetApiBufferFree" + kvp("buffer", buffer) + kvn("status", st) +
                 kvn("outstanding", s->buffers.size()) +
                 (st == NERR_Success ? std::string() : std::string(" reason=\"not a buffer we handed out\"")));
    return st;
}

}  // namespace nsim
