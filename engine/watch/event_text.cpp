#include "engine/watch/event_text.h"

#include <array>

#include "core/text.h"

void FormatOpenMode(DWORD permissions, std::span<char> text)
{
    CopyText(text, "");
    if (permissions & PERM_FILE_READ)
        AppendText(text, "Read");
    if (permissions & PERM_FILE_WRITE)
        AppendText(text, "Write");
    if (permissions & PERM_FILE_CREATE)
        AppendText(text, "Create");
}

bool IsGuestSession(const SESSION_INFO_1& session)
{
    return WideOrEmpty(session.sesi1_username)[0] == L'\0' || (session.sesi1_user_flags & SESS_GUEST) != 0;
}

void FormatConnectionLine(const SESSION_INFO_1& session, const char* time, std::span<char> line)
{
    if (IsGuestSession(session))
        FormatText(line, "[%s] User Guest connected from %ws", time, WideOrEmpty(session.sesi1_cname));
    else
        FormatText(line, "[%s] User %ws connected from %ws", time, WideOrEmpty(session.sesi1_username),
                   WideOrEmpty(session.sesi1_cname));
    ReplaceControlCharacters(line);
}

void FormatFileOpenLine(const FILE_INFO_3& file, const char* time, std::span<char> line)
{
    std::array<char, 32> mode{};
    FormatOpenMode(file.fi3_permissions, mode);
    FormatText(line, "[%s] [%ws][%s] %ws", time, WideOrEmpty(file.fi3_username), mode.data(),
               WideOrEmpty(file.fi3_pathname));
    ReplaceControlCharacters(line);
}

void FormatTripwireLine(const wchar_t* user, const char* detail, const char* time, std::span<char> line)
{
    FormatText(line, "[%s] Tripwire [%ws]%s", time, WideOrEmpty(user), detail);
    ReplaceControlCharacters(line);
}

void FormatCsvRecord(const char* time, const char* kind, const wchar_t* user, const wchar_t* target,
                     std::span<char> record)
{
    FormatText(record, "\"%s\", \"%s\", \"%ws\", \"%ws\"", time, kind, WideOrEmpty(user), WideOrEmpty(target));
    ReplaceControlCharacters(record);
}
