#include "windows/server_choice.h"

#include <array>

#include "core/text.h"
#include "windows/engine_link.h"
#include "resources/resource.h"
#include "windows/window_state.h"

namespace {

constexpr char kThisComputerText[] = "This computer";

// What the boxes show, so that a second's update changes them only when it must.
std::array<LONG, kMaxRemoteServers> shownStates;
std::array<int32_t, kMaxRemoteServers> shownWatched;

const char* StateWords(ServerState state)
{
    switch (state) {
    case ServerNotAnswering: return " (not answering)";
    case ServerAccessDenied: return " (access denied)";
    case ServerStarting: return " (connecting)";
    default: return "";
    }
}

}  // namespace

void FillServerChoice(HWND page, ServerId shown)
{
    HWND box = GetDlgItem(page, IDC_SERVER_SELECT);
    if (!box)
        return;
    SendMessageA(box, CB_RESETCONTENT, 0, 0);
    int32_t selected = 0;
    SendMessageA(box, CB_SETITEMDATA, SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kThisComputerText)), 0);
    bool any = false;
    for (ServerId id = 1; id <= kMaxRemoteServers; ++id) {
        ShownServer server{};
        if (!FindShownServer(id, &server))
            continue;
        any = true;
        std::array<char, kServerNameUnits * 2 + 32> text{};
        FormatText(text, "%s%s", server.tag, StateWords(server.state));
        const auto item = SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.data()));
        SendMessageA(box, CB_SETITEMDATA, static_cast<WPARAM>(item), id);
        if (shown == id)
            selected = static_cast<int32_t>(item);
    }
    SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    ShowWindow(box, any ? SW_SHOW : SW_HIDE);
}


void UpdateServerChoices()
{
    for (ServerId id = 1; id <= kMaxRemoteServers; ++id) {
        ShownServer server{};
        const bool watched = FindShownServer(id, &server);
        shownWatched[static_cast<std::size_t>(id - 1)] = watched;
        shownStates[static_cast<std::size_t>(id - 1)] = watched ? server.state : 0;
    }
    FillServerChoice(windowState.pages[MonitoringPage], windowState.shownServer);
    FillServerChoice(windowState.pages[SharesPageIndex], windowState.shownSharesServer);
}

void UpdateServerChoicesIfChanged()
{
    for (ServerId id = 1; id <= kMaxRemoteServers; ++id) {
        ShownServer server{};
        const bool watched = FindShownServer(id, &server);
        if (shownWatched[static_cast<std::size_t>(id - 1)] != watched ||
            (watched && shownStates[static_cast<std::size_t>(id - 1)] != server.state)) {
            UpdateServerChoices();
            return;
        }
    }
}

int32_t ChosenServer(HWND page)
{
    HWND box = GetDlgItem(page, IDC_SERVER_SELECT);
    const auto item = SendMessageA(box, CB_GETCURSEL, 0, 0);
    if (item < 0)
        return 0;
    return static_cast<int32_t>(SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(item), 0));
}

