// Scenario text -> timed events. Parsing never fails as a whole: a bad line is reported
// with its number and skipped, and the rest is served.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nsim {

constexpr size_t kMaxLineBytes = 65536;
constexpr size_t kMaxFileBytes = 64u * 1024u * 1024u;
// Enough for a soak of hundreds of computers and tens of thousands of opens; bounds memory.
constexpr size_t kMaxEvents = 500000;
// Lines visited plus turns taken while expanding repeats. Bounds the parse when repeats make
// few or no events (a bad line, an empty block) and the event bound never comes.
constexpr size_t kMaxExpandSteps = 4 * kMaxEvents;
constexpr int kMaxRepeatDepth = 4;
constexpr int64_t kMaxTimeMs = 1000000000LL * 1000;  // 10^9 seconds
constexpr int64_t kForever = INT64_MAX;
// A server's answer delay: a real call to an unreachable server gives up after 20 s or so;
// an hour is far past that and still bounds how long a call can be held.
constexpr int64_t kMaxServerDelayMs = 3600 * 1000;

enum class Op : uint8_t {
    Connect,
    Disconnect,
    Open,
    Close,
    Lock,
    Touch,
    Use,
    Share,
    Unshare,
    Uses,
    Refuse,
    NextId,
    Reconnect,
    Note,
    Server,
    Permissions,
    Account,
};

// What a refusal applies to.
enum : uint32_t {
    kSessionEnum = 1,
    kFileEnum = 2,
    kShareEnum = 4,
    kSessionDel = 8,
    kFileClose = 16,
    kShareDel = 32,
    kShareInfo = 64,
    kShareSet = 128,
    kUserInfo = 256,
    kAllEnums = kSessionEnum | kFileEnum | kShareEnum,
    kAllDeletes = kSessionDel | kFileClose | kShareDel,
    kAllTargets = kAllEnums | kAllDeletes | kShareInfo | kShareSet | kUserInfo,
};
constexpr int kTargetCount = 9;

// One event. Generic fields keep it small (a soak holds hundreds of thousands); what each
// means for an op is set in one place, parse_command in scenario.cpp:
//   connect     who=computer user text=cltype value2=session flags
//   disconnect  who user flag=user given          touch: the same
//   open        who user path value=perm value2=locks text=via share
//   close       who user path                     lock: value=lock count
//   use         who user text=share
//   share       who=name value=type path text=remark value2=max uses value3=current uses
//               blob=security descriptor (self-relative bytes)
//   permissions who=share blob=security descriptor
//   account     user blob=SID
//   unshare     who=name                          uses: who=name value=count
//   refuse      value=targets value2=code value3=every value4=page span_ms=length (kForever)
//   next-id     value=id
//   reconnect   who span_ms=delay (-1 = off) flag=reopen
//   note        text
//   server      who=name span_ms=answer delay value=the code a down server fails with (0: up)
// `server` is the remote server an "on <name>" line is aimed at; empty for the local server.
struct Event {
    int64_t at_ms = 0;
    uint32_t line = 0;
    Op op = Op::Note;
    bool flag = false;
    std::wstring server;
    std::wstring who;
    std::wstring user;
    std::wstring path;
    std::wstring text;
    std::string blob;
    uint32_t value = 0;
    uint32_t value2 = 0;
    uint32_t value3 = 0;
    uint32_t value4 = 0;
    int64_t span_ms = 0;
};

struct Diagnostic {
    uint32_t line = 0;
    bool warning = false;  // warnings keep the line (e.g. a name was cut)
    std::string reason;
};

struct Scenario {
    std::vector<Event> events;  // sorted by time, file order kept for equal times
    std::vector<Diagnostic> diags;
};

Scenario parse_scenario(std::string_view utf8);

// Parses "12", "12.5", "0.001"; millisecond resolution, further digits dropped.
bool parse_seconds(std::wstring_view s, int64_t& ms);

}  // namespace nsim
