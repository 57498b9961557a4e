#include "windows/forwarding_dialog.h"

#include <array>
#include <atomic>

#include "core/product.h"
#include "core/text.h"
#include "engine/forward/forwarder.h"
#include "engine/forward/webhook.h"
#include "resources/resource.h"
#include "windows/engine_link.h"
#include "windows/window_state.h"

namespace {

constexpr std::size_t kNumberTextCapacity = 16;
constexpr std::size_t kResultCapacity = 512;
constexpr DWORD kWebhookTestMs = 5000;

constexpr char kProgramsSettings[] = "This program's settings: it forwards while it watches by itself.";
constexpr char kServicesSettings[] =
    "The protection service's settings: it forwards while it watches, and saves them on OK.";
constexpr char kTestUnderWay[] = "Sending...";
constexpr char kNotToldYet[] =
    "The protection service has not told its forwarding settings yet. Try again in a moment.";
constexpr char kServiceUnreachable[] =
    "The protection service could not be reached, and its forwarding settings were not changed.";

// The lists' rows, in the order of the settings' values.
constexpr std::array<const char*, 3> kTransportRows = {"udp", "tcp", "relp"};
constexpr std::array<const char*, 2> kMinimumRows = {"All events", "Only trips, blocks and actions"};
constexpr std::array<const char*, 3> kFormatRows = {"Plain JSON", "Teams", "Slack"};

struct FieldBox {
    ForwardField field;
    int control;
};
constexpr std::array<FieldBox, 8> kFieldBoxes = {{
    {ForwardField::Host, IDC_FWD_HOST},
    {ForwardField::Port, IDC_FWD_PORT},
    {ForwardField::Transport, IDC_FWD_TRANSPORT},
    {ForwardField::Facility, IDC_FWD_FACILITY},
    {ForwardField::Minimum, IDC_FWD_MINIMUM},
    {ForwardField::Spool, IDC_FWD_SPOOL},
    {ForwardField::Webhook, IDC_FWD_WEBHOOK},
    {ForwardField::WebhookFormat, IDC_FWD_WEBHOOK_FORMAT},
}};

struct NumberBox {
    int control;
    int32_t ForwardSettings::*field;
};
constexpr std::array<NumberBox, 3> kNumberBoxes = {{
    {IDC_FWD_PORT, &ForwardSettings::port},
    {IDC_FWD_FACILITY, &ForwardSettings::facility},
    {IDC_FWD_SPOOL, &ForwardSettings::spoolMegabytes},
}};

// A Test button's send, on a thread of its own so that the dialog stays live for the
// seconds an unanswering collector takes. `underWay` is set by the dialog's thread
// and cleared by the sender once `result` is written: the dialog reads the result
// only while no send is under way, and starts one only then.
struct TestRun {
    int button;
    int resultBox;
    ForwardSettings settings;
    std::array<char, kResultCapacity> result;
    std::atomic<bool> underWay;
};
TestRun syslogTest{IDC_FWD_TEST_SYSLOG, IDC_FWD_SYSLOG_RESULT, {}, {}, {}};
TestRun webhookTest{IDC_FWD_TEST_WEBHOOK, IDC_FWD_WEBHOOK_RESULT, {}, {}, {}};
// The dialog shown now, told when a send ends; nullptr while none is.
std::atomic<HWND> shownDialog{nullptr};
// The settings the dialog was opened with: what it has no box for (RELP's reply time)
// is kept as it was.
ForwardSettings openedWith;

void FillList(HWND dialog, int control, std::span<const char* const> rows, int32_t selected)
{
    HWND list = GetDlgItem(dialog, control);
    for (const char* row : rows)
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row));
    // A value that is none of the rows (a hand-edited word) selects nothing: OK names it.
    const bool known = selected >= 0 && selected < static_cast<int32_t>(rows.size());
    SendMessageA(list, CB_SETCURSEL, known ? static_cast<WPARAM>(selected) : static_cast<WPARAM>(-1), 0);
}

int32_t SelectedRow(HWND dialog, int control, int32_t none)
{
    const LRESULT row = SendDlgItemMessageA(dialog, control, CB_GETCURSEL, 0, 0);
    return row == CB_ERR ? none : static_cast<int32_t>(row);
}

ForwardSettings SettingsInBoxes(HWND dialog)
{
    ForwardSettings settings = openedWith;
    settings.enabled = IsDlgButtonChecked(dialog, IDC_FWD_ENABLED) == BST_CHECKED ? 1 : 0;
    GetDlgItemTextA(dialog, IDC_FWD_HOST, settings.host.data(), static_cast<int>(settings.host.size()));
    GetDlgItemTextA(dialog, IDC_FWD_WEBHOOK, settings.webhook.data(), static_cast<int>(settings.webhook.size()));
    for (const NumberBox& box : kNumberBoxes) {
        std::array<char, kNumberTextCapacity> text{};
        GetDlgItemTextA(dialog, box.control, text.data(), static_cast<int>(text.size()));
        if (!ReadNumber(text.data(), INT32_MIN, INT32_MAX, &(settings.*box.field)))
            settings.*box.field = -1;  // out of every range: the check names the box
    }
    settings.transport = static_cast<ForwardTransport>(
        SelectedRow(dialog, IDC_FWD_TRANSPORT, static_cast<int32_t>(ForwardTransport::Unknown)));
    settings.minimum =
        static_cast<ForwardMinimum>(SelectedRow(dialog, IDC_FWD_MINIMUM, static_cast<int32_t>(ForwardMinimum::Unknown)));
    settings.webhookFormat = static_cast<WebhookFormat>(
        SelectedRow(dialog, IDC_FWD_WEBHOOK_FORMAT, static_cast<int32_t>(WebhookFormat::Unknown)));
    return settings;
}

void ShowTestState(HWND dialog, const TestRun& run)
{
    const bool underWay = run.underWay.load(std::memory_order_acquire);
    EnableWindow(GetDlgItem(dialog, run.button), underWay ? FALSE : TRUE);
    SetDlgItemTextA(dialog, run.resultBox, underWay ? kTestUnderWay : run.result.data());
}

void InitForwardingDialog(HWND dialog, const ForwardSettings* settings)
{
    shownDialog.store(dialog);
    openedWith = *settings;
    SetDlgItemTextA(dialog, IDC_FWD_WHOSE, LogGatesAreTheServices() ? kServicesSettings : kProgramsSettings);
    CheckDlgButton(dialog, IDC_FWD_ENABLED, settings->enabled ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageA(dialog, IDC_FWD_HOST, EM_LIMITTEXT, settings->host.size() - 1, 0);
    SetDlgItemTextA(dialog, IDC_FWD_HOST, settings->host.data());
    SendDlgItemMessageA(dialog, IDC_FWD_WEBHOOK, EM_LIMITTEXT, settings->webhook.size() - 1, 0);
    SetDlgItemTextA(dialog, IDC_FWD_WEBHOOK, settings->webhook.data());
    for (const NumberBox& box : kNumberBoxes) {
        SendDlgItemMessageA(dialog, box.control, EM_LIMITTEXT, kNumberTextCapacity - 1, 0);
        std::array<char, kNumberTextCapacity> text{};
        FormatText(text, "%d", static_cast<int>(settings->*box.field));
        SetDlgItemTextA(dialog, box.control, text.data());
    }
    FillList(dialog, IDC_FWD_TRANSPORT, kTransportRows, static_cast<int32_t>(settings->transport));
    FillList(dialog, IDC_FWD_MINIMUM, kMinimumRows, static_cast<int32_t>(settings->minimum));
    FillList(dialog, IDC_FWD_WEBHOOK_FORMAT, kFormatRows, static_cast<int32_t>(settings->webhookFormat));
    for (const TestRun* run : {&syslogTest, &webhookTest})
        ShowTestState(dialog, *run);
}

void EndTestRun(TestRun& run)
{
    run.underWay.store(false, std::memory_order_release);
    if (HWND dialog = shownDialog.load())
        PostMessageA(dialog, WM_FORWARD_TEST_DONE, static_cast<WPARAM>(run.button), 0);
}

DWORD WINAPI SyslogTestThread(LPVOID)
{
    TestForwarding(syslogTest.settings, syslogTest.result);
    EndTestRun(syslogTest);
    return 0;
}

DWORD WINAPI WebhookTestThread(LPVOID)
{
    TestWebhook(webhookTest.settings.webhook.data(), webhookTest.settings.webhookFormat, kWebhookTestMs,
                webhookTest.result);
    EndTestRun(webhookTest);
    return 0;
}

// What is typed now is tried, saved or not.
void StartTest(HWND dialog, TestRun& run, LPTHREAD_START_ROUTINE send)
{
    if (run.underWay.load(std::memory_order_acquire))
        return;
    run.settings = SettingsInBoxes(dialog);
    run.result = {};
    run.underWay.store(true, std::memory_order_release);
    ShowTestState(dialog, run);
    HANDLE thread = CreateThread(nullptr, 0, send, nullptr, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
        return;
    }
    CopyText(run.result, "The test could not start: no thread could be made.");
    run.underWay.store(false, std::memory_order_release);
    ShowTestState(dialog, run);
}

void FocusBox(HWND dialog, ForwardField field)
{
    for (const FieldBox& box : kFieldBoxes) {
        if (box.field == field) {
            SetFocus(GetDlgItem(dialog, box.control));
            SendDlgItemMessageA(dialog, box.control, EM_SETSEL, 0, -1);
            return;
        }
    }
}

void OnForwardingOk(HWND dialog)
{
    const ForwardSettings settings = SettingsInBoxes(dialog);
    std::array<char, kResultCapacity> message{};
    ForwardField field = ForwardField::None;
    if (!CheckForwardSettings(settings, message, &field)) {
        MessageBoxA(dialog, message.data(), kMessageCaption, MB_OK | MB_ICONWARNING);
        FocusBox(dialog, field);
        return;
    }
    if (!ChangeForwardSettings(settings)) {
        MessageBoxA(dialog, kServiceUnreachable, kMessageCaption, MB_OK | MB_ICONWARNING);
        return;
    }
    EndDialog(dialog, IDOK);
}

void OnForwardingCommand(HWND dialog, WORD command)
{
    switch (command) {
    case IDOK: OnForwardingOk(dialog); break;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    case IDC_FWD_TEST_SYSLOG: StartTest(dialog, syslogTest, SyslogTestThread); break;
    case IDC_FWD_TEST_WEBHOOK: StartTest(dialog, webhookTest, WebhookTestThread); break;
    }
}

void OnTestDone(HWND dialog, WPARAM button)
{
    for (const TestRun* run : {&syslogTest, &webhookTest})
        if (static_cast<WPARAM>(run->button) == button)
            ShowTestState(dialog, *run);
}

}  // namespace

INT_PTR CALLBACK ForwardingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: InitForwardingDialog(dialog, reinterpret_cast<const ForwardSettings*>(lParam)); break;
    case WM_COMMAND: OnForwardingCommand(dialog, LOWORD(wParam)); break;
    case WM_FORWARD_TEST_DONE: OnTestDone(dialog, wParam); break;
    case WM_DESTROY: shownDialog.store(nullptr); break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); break;
    }
    return 0;
}

void OpenForwardingDialog(HWND parent)
{
    static ForwardSettings settings;
    if (!CurrentForwardSettings(&settings)) {
        MessageBoxA(parent, kNotToldYet, kMessageCaption, MB_OK);
        return;
    }
    DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_FORWARDING), parent, ForwardingDialogProc,
                    reinterpret_cast<LPARAM>(&settings));
}
