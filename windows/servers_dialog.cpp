#include "windows/servers_dialog.h"

#include <algorithm>
#include <array>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/product.h"
#include "core/text.h"
#include "engine/watch/server_workers.h"
#include "engine/watch/watches.h"
#include "resources/resource.h"
#include "windows/engine_link.h"
#include "windows/monitoring_page.h"
#include "windows/server_choice.h"
#include "windows/shares_page.h"

namespace {

// The list as the dialog shows it until OK.
ServerList editing;

void ShowServers(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_SERVER_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (int32_t i = 0; i < editing.count; ++i) {
        std::array<char, kServerNameUnits + 2> text{};
        FormatText(text, "\\\\%s", editing.names[static_cast<std::size_t>(i)].data());
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.data()));
    }
}

void InitServersDialog(HWND dialog)
{
    CurrentServerList(editing);
    SendDlgItemMessageA(dialog, IDC_SERVER_EDIT, EM_LIMITTEXT, kServerNameUnits - 1, 0);
    ShowServers(dialog);
}

void OnAddServer(HWND dialog)
{
    std::array<char, kServerNameUnits + 2> typed{};
    GetDlgItemTextA(dialog, IDC_SERVER_EDIT, typed.data(), static_cast<int>(typed.size()));
    std::array<char, kServerNameUnits> name{};
    if (editing.count >= kMaxRemoteServers || !UsableServerName(typed.data(), name) || IsThisComputer(name.data())) {
        MessageBoxA(dialog, kInvalidServerNameMessage, kMessageCaption, MB_OK);
        SetFocus(GetDlgItem(dialog, IDC_SERVER_EDIT));
        return;
    }
    const bool listed = std::any_of(editing.names.begin(), editing.names.begin() + editing.count,
                                    [&](const auto& other) { return lstrcmpiA(other.data(), name.data()) == 0; });
    if (!listed)
        editing.names[static_cast<std::size_t>(editing.count++)] = name;
    SetDlgItemTextA(dialog, IDC_SERVER_EDIT, "");
    ShowServers(dialog);
}

void OnRemoveServer(HWND dialog)
{
    const auto selected = static_cast<int32_t>(SendDlgItemMessageA(dialog, IDC_SERVER_LIST, LB_GETCURSEL, 0, 0));
    if (selected < 0 || selected >= editing.count)
        return;
    for (auto i = static_cast<std::size_t>(selected); i + 1 < static_cast<std::size_t>(editing.count); ++i)
        editing.names[i] = editing.names[i + 1];
    --editing.count;
    ShowServers(dialog);
}

// A page that showed a server no longer watched goes back to this computer.
void OnServersOk(HWND dialog)
{
    ChangeServerList(editing);
    ShownServer shown{};
    if (!FindShownServer(windowState.shownServer, &shown))
        ShowServerOnMonitoringPage(kThisComputer);
    if (!FindShownServer(windowState.shownSharesServer, &shown))
        ShowServerOnSharesPage(kThisComputer);
    UpdateServerChoices();
    EndDialog(dialog, IDOK);
}

void OnServersCommand(HWND dialog, WORD command)
{
    // Enter in the name box adds the server, as the Add button would.
    if (command == IDOK && GetFocus() == GetDlgItem(dialog, IDC_SERVER_EDIT) &&
        GetWindowTextLengthA(GetDlgItem(dialog, IDC_SERVER_EDIT)) > 0)
        command = IDC_SERVER_ADD;
    switch (command) {
    case IDOK: OnServersOk(dialog); break;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    case IDC_SERVER_ADD: OnAddServer(dialog); break;
    case IDC_SERVER_REMOVE: OnRemoveServer(dialog); break;
    }
}

}  // namespace

INT_PTR CALLBACK ServersDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitServersDialog(dialog); break;
    case WM_COMMAND: OnServersCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); break;
    }
    return 0;
}
