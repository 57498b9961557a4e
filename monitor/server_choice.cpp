#include "monitor/server_choice.h"

#include <array>

#include "core/app_state.h"
#include "core/text.h"
#include "monitor/monitoring_page.h"
#include "monitor/remote_servers.h"
#include "monitor/shares_page.h"
#include "resources/resource.h"
#include "ui/main_window.h"

namespace {

constexpr char kThisComputer[] = "This computer";

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

void FillChoice(HWND page, int32_t shown)
{
    HWND box = GetDlgItem(page, IDC_SERVER_SELECT);
    if (!box)
        return;
    SendMessageA(box, CB_RESETCONTENT, 0, 0);
    int32_t selected = 0;
    SendMessageA(box, CB_SETITEMDATA, SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kThisComputer)), 0);
    bool any = false;
    for (int32_t index = 0; index < kMaxRemoteServers; ++index) {
        const RemoteServer* server = WatchedServer(index);
        if (!server)
            continue;
        any = true;
        std::array<char, kServerNameUnits * 2 + 32> text{};
        FormatText(text, "%s%s", server->tag.data(), StateWords(static_cast<ServerState>(server->state.load())));
        const auto item = SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.data()));
        SendMessageA(box, CB_SETITEMDATA, static_cast<WPARAM>(item), index + 1);
        if (shown == index + 1)
            selected = static_cast<int32_t>(item);
    }
    SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    ShowWindow(box, any ? SW_SHOW : SW_HIDE);
}

void ClearMonitoringLists()
{
    ClearSnapshot(appState.sessionsSnapshot);
    ClearSnapshot(appState.filesSnapshot);
    SendMessageA(appState.sessionsList, LVM_SETITEMCOUNT, 0, 0);
    SendMessageA(appState.filesList, LVM_SETITEMCOUNT, 0, 0);
}

}  // namespace

void UpdateServerChoices()
{
    for (int32_t index = 0; index < kMaxRemoteServers; ++index) {
        const RemoteServer* server = WatchedServer(index);
        shownWatched[static_cast<std::size_t>(index)] = server != nullptr;
        shownStates[static_cast<std::size_t>(index)] = server ? server->state.load() : 0;
    }
    FillChoice(appState.pages[MonitoringPage], appState.shownServer);
    FillChoice(appState.pages[SharesPageIndex], appState.shownSharesServer);
}

void UpdateServerChoicesIfChanged()
{
    for (int32_t index = 0; index < kMaxRemoteServers; ++index) {
        const RemoteServer* server = WatchedServer(index);
        if (shownWatched[static_cast<std::size_t>(index)] != (server != nullptr) ||
            (server && shownStates[static_cast<std::size_t>(index)] != server->state)) {
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

void ShowServerOnMonitoringPage(int32_t shown)
{
    appState.shownServer = (shown > 0 && WatchedServer(shown - 1)) ? shown : 0;
    FillChoice(appState.pages[MonitoringPage], appState.shownServer);
    // Another server's rows are other records: the lists start again from its own.
    ClearMonitoringLists();
    RefreshSessions();
    RefreshOpenFiles();
}

void ShowServerOnSharesPage(int32_t shown)
{
    appState.shownSharesServer = (shown > 0 && WatchedServer(shown - 1)) ? shown : 0;
    FillChoice(appState.pages[SharesPageIndex], appState.shownSharesServer);
    ShowShares({});
    RefreshShares();
}
