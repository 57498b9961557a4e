// Sessions that connect and leave while a test's clock runs: the fake server reports
// their connection times in whole seconds, as a real server does. The fixture under
// it gives `server`, `clock`, `PollTicks(count)` and `PollNow()`.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

template <typename Fixture>
class SessionScript : public Fixture {
protected:
    // A session that began `agoMs` before the current fake time (so a session that
    // connects between two scans has 0).
    void Connect(const std::wstring& client, const std::wstring& user, ULONGLONG agoMs = 0, DWORD flags = 0)
    {
        if (agoMs == 0)
            this->clock->AdvanceMilliseconds(10);  // strictly after the scan that just ran
        this->server->sessions.push_back({client, user, 0, 0, 0, flags});
        began.push_back(this->clock->milliseconds - agoMs);
    }
    // The server's connection times follow the clock, truncated to whole seconds.
    void AgeSessions()
    {
        for (std::size_t i = 0; i < this->server->sessions.size(); ++i)
            this->server->sessions[i].seconds = static_cast<DWORD>((this->clock->milliseconds - began[i]) / 1000);
    }
    // Moves the clock to the next once-a-second tick, `lateMs` late.
    void SecondTick(LONGLONG lateMs = 0)
    {
        for (int i = 0; i < 4; ++i)
            this->PollTicks(1);
        this->clock->AdvanceMilliseconds(static_cast<ULONGLONG>(200 + lateMs));
        AgeSessions();
        this->PollNow();
    }
    void Disconnect(const std::wstring& client)
    {
        for (std::size_t i = 0; i < this->server->sessions.size(); ++i)
            if (this->server->sessions[i].client == client) {
                this->server->sessions.erase(this->server->sessions.begin() + static_cast<std::ptrdiff_t>(i));
                began.erase(began.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
    }
    static int Count(const std::string& text, const std::string& what)
    {
        int found = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++found;
        return found;
    }

    std::vector<ULONGLONG> began;
};
