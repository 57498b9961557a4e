#include "scenario.h"

#include <windows.h>
#include <lm.h>

#include <algorithm>
#include <set>
#include <utility>

#include "security.h"
#include "text.h"

namespace nsim {
namespace {

constexpr size_t npos = std::wstring::npos;

struct Token {
    std::wstring text;
    size_t eq = npos;  // first '=' outside quotes: this token may be key=value
    bool quoted = false;
};

struct Line {
    uint32_t number = 0;
    bool bad = false;
    bool has_brace = false;
    std::wstring text;
    std::vector<Token> tokens;
};

// A line, or a repeat block with its body.
struct Item {
    size_t line = 0;
    bool block = false;
    std::vector<Item> body;
};

using Vars = std::vector<std::pair<std::wstring, uint32_t>>;

struct Ctx {
    std::vector<Line>* lines = nullptr;
    Scenario* out = nullptr;
    std::set<uint64_t> reported;  // one error and one warning per line is enough
    size_t steps = 0;             // against kMaxExpandSteps
    bool stop = false;
};

void report(Ctx& c, uint32_t line, std::string reason, bool warning = false) {
    const uint64_t key = (uint64_t{line} << 1) | (warning ? 1u : 0u);
    if (!c.reported.insert(key).second) return;
    c.out->diags.push_back(Diagnostic{line, warning, std::move(reason)});
}

// For messages: the offending text, short and printable.
std::string clip(std::wstring_view s) {
    std::string u = wide_to_utf8(s.substr(0, 40));
    for (auto& ch : u)
        if (static_cast<unsigned char>(ch) < 0x20) ch = '?';
    if (s.size() > 40) u += "...";
    return "'" + u + "'";
}

bool tokenize(std::wstring_view s, std::vector<Token>& out, std::string& err) {
    out.clear();
    size_t i = 0;
    for (;;) {
        while (i < s.size() && (s[i] == L' ' || s[i] == L'\t')) ++i;
        if (i >= s.size() || s[i] == L'#') return true;
        Token t;
        bool in_quotes = false;
        while (i < s.size()) {
            const wchar_t c = s[i];
            if (in_quotes) {
                if (c == L'"') {
                    if (i + 1 < s.size() && s[i + 1] == L'"') {
                        t.text.push_back(L'"');
                        i += 2;
                        continue;
                    }
                    in_quotes = false;
                    ++i;
                    continue;
                }
                t.text.push_back(c);
                ++i;
                continue;
            }
            if (c == L' ' || c == L'\t') break;
            if (c == L'"') {
                in_quotes = true;
                t.quoted = true;
                ++i;
                continue;
            }
            if (c == L'=' && t.eq == npos) t.eq = t.text.size();
            t.text.push_back(c);
            ++i;
        }
        if (in_quotes) {
            err = "unterminated quote";
            return false;
        }
        out.push_back(std::move(t));
    }
}

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool parse_u32(std::wstring_view s, uint32_t& v) {
    uint64_t acc = 0;
    if (s.size() > 2 && s[0] == L'0' && (s[1] == L'x' || s[1] == L'X')) {
        for (size_t i = 2; i < s.size(); ++i) {
            const wchar_t c = fold(s[i]);
            uint32_t d = 0;
            if (is_digit(c))
                d = static_cast<uint32_t>(c - L'0');
            else if (c >= L'a' && c <= L'f')
                d = static_cast<uint32_t>(c - L'a' + 10);
            else
                return false;
            acc = acc * 16 + d;
            if (acc > 0xFFFFFFFFull) return false;
        }
    } else {
        if (s.empty()) return false;
        for (wchar_t c : s) {
            if (!is_digit(c)) return false;
            acc = acc * 10 + static_cast<uint32_t>(c - L'0');
            if (acc > 0xFFFFFFFFull) return false;
        }
    }
    v = static_cast<uint32_t>(acc);
    return true;
}

bool parse_time(const Token& t, int64_t base, int64_t prev, int64_t& at, std::string& err) {
    std::wstring_view s = t.text;
    const bool relative = !s.empty() && s[0] == L'+';
    if (relative) s.remove_prefix(1);
    int64_t ms = 0;
    if (!parse_seconds(s, ms)) {
        err = "bad time " + clip(t.text) + " (seconds, e.g. 12 or 12.5 or +3)";
        return false;
    }
    at = (relative ? prev : base) + ms;
    if (at > kMaxTimeMs) {
        err = "time past 1000000000 seconds";
        return false;
    }
    return true;
}

bool parse_perm(std::wstring_view s, uint32_t& v) {
    if (!s.empty() && is_digit(s[0])) return parse_u32(s, v);
    if (s.empty()) return false;
    v = 0;
    for (wchar_t c : s) {
        switch (fold(c)) {
            case L'r': v |= PERM_FILE_READ; break;
            case L'w': v |= PERM_FILE_WRITE; break;
            case L'c': v |= PERM_FILE_CREATE; break;
            default: return false;
        }
    }
    return true;
}

bool parse_share_type(std::wstring_view s, uint32_t& v) {
    if (!s.empty() && is_digit(s[0])) return parse_u32(s, v);
    v = 0;
    bool have_base = false;
    while (!s.empty()) {
        const size_t plus = s.find(L'+');
        const std::wstring_view part = s.substr(0, plus);
        if (iequal(part, L"special")) {
            v |= STYPE_SPECIAL;
        } else if (iequal(part, L"temporary")) {
            v |= STYPE_TEMPORARY;
        } else {
            uint32_t base = 0;
            if (iequal(part, L"disk"))
                base = STYPE_DISKTREE;
            else if (iequal(part, L"print"))
                base = STYPE_PRINTQ;
            else if (iequal(part, L"device"))
                base = STYPE_DEVICE;
            else if (iequal(part, L"ipc"))
                base = STYPE_IPC;
            else
                return false;
            if (have_base) return false;
            have_base = true;
            v |= base;
        }
        if (plus == npos) break;
        s.remove_prefix(plus + 1);
        if (s.empty()) return false;
    }
    return have_base;
}

struct NamedCode {
    const wchar_t* name;
    uint32_t code;
};
const NamedCode kCodes[] = {
    {L"denied", ERROR_ACCESS_DENIED},
    {L"more-data", ERROR_MORE_DATA},
    {L"not-supported", ERROR_NOT_SUPPORTED},
    {L"no-memory", ERROR_NOT_ENOUGH_MEMORY},
    {L"invalid-parameter", ERROR_INVALID_PARAMETER},
    {L"bad-netpath", ERROR_BAD_NETPATH},
    {L"net-error", ERROR_UNEXP_NET_ERR},
    {L"server-not-started", NERR_ServerNotStarted},
    {L"rpc-unavailable", RPC_S_SERVER_UNAVAILABLE},
};

const NamedCode kTargets[] = {
    {L"sessions", kSessionEnum},      {L"files", kFileEnum},          {L"shares", kShareEnum},
    {L"enum", kAllEnums},             {L"session-del", kSessionDel},  {L"file-close", kFileClose},
    {L"share-del", kShareDel},        {L"del", kAllDeletes},          {L"share-info", kShareInfo},
    {L"share-set", kShareSet},        {L"user-info", kUserInfo},      {L"all", kAllTargets},
};

bool lookup(const NamedCode* table, size_t n, std::wstring_view s, uint32_t& v) {
    for (size_t i = 0; i < n; ++i)
        if (iequal(s, table[i].name)) {
            v = table[i].code;
            return true;
        }
    return false;
}

bool parse_targets(std::wstring_view s, uint32_t& v) {
    v = 0;
    for (;;) {
        const size_t comma = s.find(L',');
        uint32_t bits = 0;
        if (!lookup(kTargets, std::size(kTargets), s.substr(0, comma), bits)) return false;
        v |= bits;
        if (comma == npos) return true;
        s.remove_prefix(comma + 1);
    }
}

struct Syntax {
    const wchar_t* name;
    Op op;
    size_t min_pos;
    size_t max_pos;
    const char* usage;
    std::vector<const wchar_t*> flags;
    std::vector<const wchar_t*> options;
};

const std::vector<Syntax>& command_table() {
    static const std::vector<Syntax> table = {
        {L"connect", Op::Connect, 2, 2, "<computer> <user> [guest] [noencrypt] [cltype=<text>]",
         {L"guest", L"noencrypt"}, {L"cltype"}},
        {L"disconnect", Op::Disconnect, 1, 2, "<computer> [<user>]", {}, {}},
        {L"open", Op::Open, 3, 3, "<computer> <user> <path> [perm=rwc] [locks=<n>] [via=<share>]", {},
         {L"perm", L"locks", L"via"}},
        {L"close", Op::Close, 3, 3, "<computer> <user> <path>", {}, {}},
        {L"lock", Op::Lock, 4, 4, "<computer> <user> <path> <locks>", {}, {}},
        {L"touch", Op::Touch, 1, 2, "<computer> [<user>]", {}, {}},
        {L"use", Op::Use, 3, 3, "<computer> <user> <share>", {}, {}},
        {L"share", Op::Share, 3, 3, "<name> <type> <path> [remark=<text>] [uses=<n>] [max=<n>] [sd=<SDDL>]", {},
         {L"remark", L"uses", L"max", L"sd"}},
        {L"unshare", Op::Unshare, 1, 1, "<name>", {}, {}},
        {L"uses", Op::Uses, 2, 2, "<share> <count>", {}, {}},
        {L"refuse", Op::Refuse, 3, 3, "<what> <code> <seconds|forever> [every=<n>] [page=<n>]", {},
         {L"every", L"page"}},
        {L"next-id", Op::NextId, 1, 1, "<id>", {}, {}},
        {L"reconnect", Op::Reconnect, 2, 2, "<computer> <delay-seconds|off> [reopen]", {L"reopen"}, {}},
        {L"note", Op::Note, 1, 1000000, "<text>", {}, {}},
        {L"server", Op::Server, 1, 1, "<name> [delay=<seconds>] [down[=<code>]]", {L"down"}, {L"delay", L"down"}},
        {L"permissions", Op::Permissions, 2, 2, "<share> <SDDL>", {}, {}},
        {L"account", Op::Account, 2, 2, "<user> <SID>", {}, {}},
    };
    return table;
}

bool in_list(const std::vector<const wchar_t*>& list, std::wstring_view s) {
    for (const wchar_t* w : list)
        if (iequal(s, w)) return true;
    return false;
}

struct Args {
    std::vector<const Token*> pos;
    std::vector<std::wstring> flags;
    std::vector<std::pair<std::wstring, std::wstring>> options;

    bool has(const wchar_t* f) const {
        for (const auto& x : flags)
            if (iequal(x, f)) return true;
        return false;
    }
    const std::wstring* option(const wchar_t* key) const {
        for (const auto& kv : options)
            if (iequal(kv.first, key)) return &kv.second;
        return nullptr;
    }
};

// The arguments are t[first...].
bool split_args(const std::vector<Token>& t, size_t first, const Syntax& syntax, Args& a, std::string& err) {
    auto is_flag = [&](const Token& k) { return !k.quoted && k.eq == npos && in_list(syntax.flags, k.text); };
    auto is_option = [&](const Token& k) {
        return k.eq != npos && in_list(syntax.options, std::wstring_view(k.text).substr(0, k.eq));
    };
    size_t i = first;
    while (i < t.size() && a.pos.size() < syntax.min_pos) a.pos.push_back(&t[i++]);
    while (i < t.size() && a.pos.size() < syntax.max_pos && !is_flag(t[i]) && !is_option(t[i]))
        a.pos.push_back(&t[i++]);
    for (; i < t.size(); ++i) {
        const Token& k = t[i];
        if (is_flag(k)) {
            a.flags.push_back(k.text);
        } else if (is_option(k)) {
            std::wstring key = k.text.substr(0, k.eq);
            if (a.option(key.c_str())) {
                err = "option " + clip(key) + " given twice";
                return false;
            }
            a.options.emplace_back(std::move(key), k.text.substr(k.eq + 1));
        } else if (k.eq != npos && !syntax.options.empty()) {
            err = "unknown option " + clip(std::wstring_view(k.text).substr(0, k.eq));
            return false;
        } else {
            err = "unexpected argument " + clip(k.text);
            return false;
        }
    }
    if (a.pos.size() < syntax.min_pos) {
        err = wide_to_utf8(syntax.name) + " needs " + syntax.usage;
        return false;
    }
    return true;
}

// Copies a name, cutting it at kMaxText with a warning.
void take_text(const std::wstring& in, std::wstring& out, const char* what, std::vector<std::string>& warns) {
    out = in;
    if (bound_text(out)) warns.push_back(std::string(what) + " cut to 1024 characters");
}

// A computer or server name: leading backslashes are not part of it.
bool take_name(const Token& t, std::wstring& out, const char* what, std::vector<std::string>& warns,
               std::string& err) {
    take_text(std::wstring(strip_unc(t.text)), out, what, warns);
    if (out.empty()) {
        err = std::string("empty ") + what;
        return false;
    }
    return true;
}

bool take_computer(const Token& t, std::wstring& out, std::vector<std::string>& warns, std::string& err) {
    return take_name(t, out, "computer name", warns, err);
}

bool take_number(const std::wstring* s, uint32_t& v, const char* what, std::string& err) {
    if (!s) return true;
    if (!parse_u32(*s, v)) {
        err = std::string("bad ") + what + " " + clip(*s);
        return false;
    }
    return true;
}

// SDDL -> a self-relative descriptor's bytes, as the system converts it.
bool take_descriptor(const std::wstring& sddl, std::string& bytes, std::string& err) {
    std::string why;
    if (sd_from_sddl(sddl, bytes, why)) return true;
    err = "bad SDDL " + clip(sddl) + " (" + why + ")";
    return false;
}

bool is_word(const Token& t, const wchar_t* word) { return !t.quoted && iequal(t.text, word); }

bool parse_command(const std::vector<Token>& t, Event& e, std::vector<std::string>& warns, std::string& err) {
    if (t.size() < 2) {
        err = "missing command after the time";
        return false;
    }
    // "on <server> <command> ..." aims the command at a remote server.
    size_t first = 1;
    if (is_word(t[1], L"on")) {
        if (t.size() < 4) {
            err = "on needs <server> <command> ...";
            return false;
        }
        if (!take_name(t[2], e.server, "server name", warns, err)) return false;
        first = 3;
        if (is_word(t[first], L"on")) {
            err = "on given twice";
            return false;
        }
        if (is_word(t[first], L"repeat")) {
            err = "a repeat cannot be aimed with on; aim the lines inside it";
            return false;
        }
    }
    const Syntax* syntax = nullptr;
    for (const auto& s : command_table())
        if (iequal(t[first].text, s.name)) syntax = &s;
    if (!syntax) {
        err = "unknown command " + clip(t[first].text);
        return false;
    }
    Args a;
    if (!split_args(t, first + 1, *syntax, a, err)) return false;
    e.op = syntax->op;
    const auto& p = a.pos;
    switch (syntax->op) {
        case Op::Connect:
            if (!take_computer(*p[0], e.who, warns, err)) return false;
            take_text(p[1]->text, e.user, "user name", warns);
            if (a.has(L"guest")) e.value2 |= SESS_GUEST;
            if (a.has(L"noencrypt")) e.value2 |= SESS_NOENCRYPTION;
            if (const auto* s = a.option(L"cltype")) take_text(*s, e.text, "cltype", warns);
            return true;
        case Op::Disconnect:
        case Op::Touch:
            if (!take_computer(*p[0], e.who, warns, err)) return false;
            e.flag = p.size() > 1;
            if (e.flag) take_text(p[1]->text, e.user, "user name", warns);
            return true;
        case Op::Open:
        case Op::Close:
        case Op::Lock:
            if (!take_computer(*p[0], e.who, warns, err)) return false;
            take_text(p[1]->text, e.user, "user name", warns);
            take_text(p[2]->text, e.path, "path", warns);
            if (e.path.empty()) {
                err = "empty path";
                return false;
            }
            if (syntax->op == Op::Lock) return take_number(&p[3]->text, e.value, "lock count", err);
            if (syntax->op == Op::Open) {
                e.value = PERM_FILE_READ;
                if (const auto* s = a.option(L"perm"); s && !parse_perm(*s, e.value)) {
                    err = "bad perm " + clip(*s) + " (letters r, w, c or a number)";
                    return false;
                }
                if (!take_number(a.option(L"locks"), e.value2, "lock count", err)) return false;
                if (const auto* s = a.option(L"via")) take_text(*s, e.text, "share name", warns);
            }
            return true;
        case Op::Use:
            if (!take_computer(*p[0], e.who, warns, err)) return false;
            take_text(p[1]->text, e.user, "user name", warns);
            take_text(p[2]->text, e.text, "share name", warns);
            if (e.text.empty()) {
                err = "empty share name";
                return false;
            }
            return true;
        case Op::Share:
            take_text(p[0]->text, e.who, "share name", warns);
            if (e.who.empty()) {
                err = "empty share name";
                return false;
            }
            if (!parse_share_type(p[1]->text, e.value)) {
                err = "bad share type " + clip(p[1]->text) +
                      " (disk, print, device, ipc, with +special or +temporary, or a number)";
                return false;
            }
            take_text(p[2]->text, e.path, "path", warns);
            if (const auto* s = a.option(L"remark")) take_text(*s, e.text, "remark", warns);
            e.value2 = SHI_USES_UNLIMITED;
            if (!take_number(a.option(L"max"), e.value2, "max", err)) return false;
            if (!take_number(a.option(L"uses"), e.value3, "uses", err)) return false;
            if (const auto* s = a.option(L"sd")) return take_descriptor(*s, e.blob, err);
            e.blob = default_share_sd();
            return true;
        case Op::Unshare:
        case Op::Uses:
            take_text(p[0]->text, e.who, "share name", warns);
            if (e.who.empty()) {
                err = "empty share name";
                return false;
            }
            if (syntax->op == Op::Uses) return take_number(&p[1]->text, e.value, "count", err);
            return true;
        case Op::Refuse: {
            if (!parse_targets(p[0]->text, e.value)) {
                err = "bad target " + clip(p[0]->text) +
                      " (sessions, files, shares, enum, session-del, file-close, share-del, del, share-info, "
                      "share-set, user-info, all)";
                return false;
            }
            if (!lookup(kCodes, std::size(kCodes), p[1]->text, e.value2) && !parse_u32(p[1]->text, e.value2)) {
                err = "bad error code " + clip(p[1]->text);
                return false;
            }
            if (e.value2 == 0) {
                err = "error code 0 is success; nothing to refuse";
                return false;
            }
            if (iequal(p[2]->text, L"forever")) {
                e.span_ms = kForever;
            } else if (!parse_seconds(p[2]->text, e.span_ms) || e.span_ms == 0) {
                err = "bad duration " + clip(p[2]->text) + " (seconds > 0, or forever)";
                return false;
            }
            const bool more = e.value2 == ERROR_MORE_DATA;
            if (more && (e.value & ~static_cast<uint32_t>(kAllEnums))) {
                err = "more-data only applies to enumerations";
                return false;
            }
            e.value3 = 1;
            if (!take_number(a.option(L"every"), e.value3, "every", err)) return false;
            if (e.value3 == 0) {
                err = "every must be at least 1";
                return false;
            }
            e.value4 = more ? 1 : 0;
            if (const auto* s = a.option(L"page")) {
                if (!more) {
                    err = "page only applies to more-data";
                    return false;
                }
                if (!take_number(s, e.value4, "page", err)) return false;
                if (e.value4 == 0) {
                    err = "page must be at least 1";
                    return false;
                }
            }
            return true;
        }
        case Op::NextId:
            return take_number(&p[0]->text, e.value, "id", err);
        case Op::Reconnect:
            if (!take_computer(*p[0], e.who, warns, err)) return false;
            e.flag = a.has(L"reopen");
            if (iequal(p[1]->text, L"off")) {
                e.span_ms = -1;
                if (e.flag) {
                    err = "reopen makes no sense with off";
                    return false;
                }
            } else if (!parse_seconds(p[1]->text, e.span_ms)) {
                err = "bad delay " + clip(p[1]->text) + " (seconds, or off)";
                return false;
            }
            return true;
        case Op::Note:
            for (size_t i = 0; i < p.size(); ++i) {
                if (i) e.text.push_back(L' ');
                e.text += p[i]->text;
            }
            take_text(std::wstring(e.text), e.text, "note", warns);
            return true;
        case Op::Server: {
            if (!e.server.empty()) {
                err = "server names the server itself; it is not aimed with on";
                return false;
            }
            if (!take_name(*p[0], e.who, "server name", warns, err)) return false;
            if (const auto* s = a.option(L"delay");
                s && (!parse_seconds(*s, e.span_ms) || e.span_ms > kMaxServerDelayMs)) {
                err = "bad delay " + clip(*s) + " (seconds, 0 to 3600)";
                return false;
            }
            const std::wstring* code = a.option(L"down");
            if (code && a.has(L"down")) {
                err = "down given twice";
                return false;
            }
            if (a.has(L"down")) e.value = RPC_S_SERVER_UNAVAILABLE;
            if (code) {
                if (!lookup(kCodes, std::size(kCodes), *code, e.value) && !parse_u32(*code, e.value)) {
                    err = "bad error code " + clip(*code);
                    return false;
                }
                if (e.value == NERR_Success || e.value == ERROR_MORE_DATA) {
                    err = "a down server fails every call; its code cannot be 0 or more-data";
                    return false;
                }
            }
            return true;
        }
        case Op::Permissions:
            take_text(p[0]->text, e.who, "share name", warns);
            if (e.who.empty()) {
                err = "empty share name";
                return false;
            }
            return take_descriptor(p[1]->text, e.blob, err);
        case Op::Account:
            take_text(p[0]->text, e.user, "user name", warns);
            if (e.user.empty()) {
                err = "the anonymous user has no account";
                return false;
            }
            if (!sid_from_string(p[1]->text, e.blob)) {
                err = "bad SID " + clip(p[1]->text) + " (S-1-5-21-...)";
                return false;
            }
            return true;
    }
    err = "unknown command";
    return false;
}

bool is_end(const Line& l) {
    return !l.tokens.empty() && !l.tokens[0].quoted && iequal(l.tokens[0].text, L"end");
}

bool is_repeat(const Line& l) {
    return l.tokens.size() >= 2 && !l.tokens[1].quoted && iequal(l.tokens[1].text, L"repeat");
}

std::wstring substitute(const std::wstring& text, const Vars& vars) {
    std::wstring out;
    out.reserve(text.size() + 8);
    size_t i = 0;
    while (i < text.size()) {
        const size_t open = text.find(L'{', i);
        if (open == npos) break;
        const size_t close = text.find(L'}', open + 1);
        if (close == npos) break;
        out.append(text, i, open - i);
        const std::wstring_view name(text.data() + open + 1, close - open - 1);
        bool done = false;
        for (auto it = vars.rbegin(); it != vars.rend(); ++it)  // innermost wins
            if (it->first == name) {
                out += std::to_wstring(it->second);
                done = true;
                break;
            }
        if (done) {
            i = close + 1;
        } else {
            out.push_back(L'{');
            i = open + 1;
        }
    }
    out.append(text, i, npos);
    return out;
}

bool valid_var(std::wstring_view v) {
    if (v.empty() || v.size() > 32) return false;
    for (size_t i = 0; i < v.size(); ++i) {
        const wchar_t c = fold(v[i]);
        const bool ok = (c >= L'a' && c <= L'z') || c == L'_' || (i > 0 && is_digit(c));
        if (!ok) return false;
    }
    return true;
}

bool parse_repeat(const std::vector<Token>& t, uint32_t& count, int64_t& interval, std::wstring& var,
                  std::string& err) {
    if (t.size() < 4 || t.size() > 5) {
        err = "repeat needs <count> <interval-seconds> [<name>]";
        return false;
    }
    if (!parse_u32(t[2].text, count) || count > 1000000) {
        err = "bad repeat count " + clip(t[2].text) + " (0 to 1000000)";
        return false;
    }
    if (!parse_seconds(t[3].text, interval)) {
        err = "bad repeat interval " + clip(t[3].text);
        return false;
    }
    var = t.size() == 5 ? t[4].text : L"i";
    if (!valid_var(var)) {
        err = "bad repeat name " + clip(var) + " (letters, digits, _)";
        return false;
    }
    return true;
}

// Counts a line visited or a turn taken; past the bound the rest of the scenario is ignored.
bool step(Ctx& c, uint32_t line) {
    if (++c.steps <= kMaxExpandSteps) return true;
    report(c, line, "repeats run more than 2000000 lines and turns; the rest of the scenario is ignored");
    c.stop = true;
    return false;
}

// `dry` only checks lines: a block's body is then checked once, not once per turn.
void expand(Ctx& c, const std::vector<Item>& items, int64_t base, Vars& vars, bool dry) {
    int64_t prev = base;
    for (const Item& it : items) {
        if (c.stop) return;
        Line& l = (*c.lines)[it.line];
        if (!step(c, l.number)) return;
        std::vector<Token> own;
        const std::vector<Token>* toks = &l.tokens;
        std::string err;
        if (l.has_brace && !vars.empty()) {
            if (!tokenize(substitute(l.text, vars), own, err) || own.empty()) {
                report(c, l.number, err.empty() ? "nothing left after substitution" : err);
                continue;
            }
            toks = &own;
        }
        int64_t at = 0;
        if (!parse_time((*toks)[0], base, prev, at, err)) {
            report(c, l.number, err);
            if (it.block) expand(c, it.body, base, vars, true);
            continue;
        }
        prev = at;
        if (it.block) {
            uint32_t count = 0;
            int64_t interval = 0;
            std::wstring var;
            if (!parse_repeat(*toks, count, interval, var, err)) {
                report(c, l.number, err + "; block skipped");
                expand(c, it.body, at, vars, true);
                continue;
            }
            vars.emplace_back(var, 1);
            if (count == 0 || dry) {
                expand(c, it.body, at, vars, true);  // still check its lines
                vars.pop_back();
                continue;
            }
            for (uint32_t k = 0; k < count && !c.stop; ++k) {
                if (k > 0 && !step(c, l.number)) break;
                const int64_t start = at + interval * int64_t{k};
                if (start > kMaxTimeMs) {
                    report(c, l.number, "repeat runs past 1000000000 seconds; cut short");
                    break;
                }
                vars.back().second = k + 1;
                expand(c, it.body, start, vars, dry);
            }
            vars.pop_back();
            continue;
        }
        Event e;
        std::vector<std::string> warns;
        if (!parse_command(*toks, e, warns, err)) {
            report(c, l.number, err);
            continue;
        }
        for (auto& w : warns) report(c, l.number, std::move(w), true);
        if (dry) continue;
        if (c.out->events.size() >= kMaxEvents) {
            report(c, l.number, "more than 500000 events; the rest of the scenario is ignored");
            c.stop = true;
            return;
        }
        e.at_ms = at;
        e.line = l.number;
        c.out->events.push_back(std::move(e));
    }
}

}  // namespace

bool parse_seconds(std::wstring_view s, int64_t& ms) {
    int64_t whole = 0;
    int64_t frac = 0;
    int whole_digits = 0;
    int frac_digits = 0;
    bool any_frac = false;
    size_t i = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) {
        if (++whole_digits > 10) return false;
        whole = whole * 10 + (s[i] - L'0');
    }
    if (i < s.size() && s[i] == L'.') {
        for (++i; i < s.size() && is_digit(s[i]); ++i) {
            any_frac = true;
            if (frac_digits < 3) {
                frac = frac * 10 + (s[i] - L'0');
                ++frac_digits;
            }
        }
    }
    if (i != s.size() || (whole_digits == 0 && !any_frac)) return false;
    for (; frac_digits < 3; ++frac_digits) frac *= 10;
    if (whole > 1000000000) return false;
    ms = whole * 1000 + frac;
    return true;
}

Scenario parse_scenario(std::string_view text) {
    Scenario out;
    Ctx c;
    c.out = &out;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (text.size() > kMaxFileBytes) {
        report(c, 0, "scenario larger than 64 MiB; the rest is ignored");
        text = text.substr(0, kMaxFileBytes);
        const size_t nl = text.rfind('\n');
        text = text.substr(0, nl == std::string_view::npos ? 0 : nl);
    }

    std::vector<Line> lines;
    c.lines = &lines;
    size_t pos = 0;
    uint32_t number = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view raw = text.substr(pos, nl - pos);
        pos = nl + 1;
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        Line l;
        l.number = number;
        std::string err;
        bool good = false;
        if (raw.size() > kMaxLineBytes)
            err = "line longer than 65536 bytes";
        else if (raw.find('\0') != std::string_view::npos)
            err = "line contains a NUL byte";
        else if (!utf8_to_wide(raw, l.text))
            err = "line is not valid UTF-8";
        else
            good = tokenize(l.text, l.tokens, err);
        if (!good) {
            report(c, number, err);
            l.bad = true;
            l.text.clear();
            l.tokens.clear();
        }
        l.has_brace = l.text.find(L'{') != npos;
        lines.push_back(std::move(l));
    }

    // Pair repeat/end first so a body can be played many times.
    struct Frame {
        size_t line;
        bool dropped;
        std::vector<Item> items;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{0, false, {}});
    auto flatten_into_top = [&](std::vector<Item>& items) {
        for (auto& x : items) stack.back().items.push_back(std::move(x));
    };
    for (size_t li = 0; li < lines.size(); ++li) {
        const Line& l = lines[li];
        if (l.bad || l.tokens.empty()) continue;
        if (is_end(l)) {
            if (l.tokens.size() > 1) report(c, l.number, "end takes no arguments");
            if (stack.size() == 1) {
                report(c, l.number, "end without repeat");
                continue;
            }
            Frame f = std::move(stack.back());
            stack.pop_back();
            if (f.dropped) {
                flatten_into_top(f.items);
            } else {
                Item block;
                block.line = f.line;
                block.block = true;
                block.body = std::move(f.items);
                stack.back().items.push_back(std::move(block));
            }
            continue;
        }
        if (is_repeat(l)) {
            const bool drop = stack.size() - 1 >= static_cast<size_t>(kMaxRepeatDepth);
            if (drop) report(c, l.number, "repeat nested deeper than 4; its lines run once");
            stack.push_back(Frame{li, drop, {}});
            continue;
        }
        Item item;
        item.line = li;
        stack.back().items.push_back(std::move(item));
    }
    while (stack.size() > 1) {
        Frame f = std::move(stack.back());
        stack.pop_back();
        if (!f.dropped) report(c, lines[f.line].number, "repeat without end; its lines run once");
        flatten_into_top(f.items);
    }

    Vars vars;
    expand(c, stack.back().items, 0, vars, false);

    std::stable_sort(out.events.begin(), out.events.end(),
                     [](const Event& a, const Event& b) { return a.at_ms < b.at_ms; });
    std::stable_sort(out.diags.begin(), out.diags.end(),
                     [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
    return out;
}

}  // namespace nsim
