// The Forwarding dialog, reached from the Settings dialog of the real main window.
#include <winsock2.h>
#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "core/settings.h"
#include "engine/forward/forwarder.h"
#include "engine/forward/forwarding_control.h"
#include "resources/resource.h"
#include "support/dialog_driver.h"
#include "support/test_support.h"
#include "windows/settings_dialog.h"
#include "windows/window_state.h"

namespace {

class ForwardingDialogTest : public MainWindowTest {
protected:
    static std::string Stored(const char* key)
    {
        std::array<char, 1100> text{};
        ReadSettingText(kForwardSection, key, "<none>", text);
        return text.data();
    }
    static std::string Text(HWND dialog, int control)
    {
        std::array<char, 600> text{};
        GetDlgItemTextA(dialog, control, text.data(), static_cast<int>(text.size()));
        return text.data();
    }
    static int Row(HWND dialog, int control)
    {
        return static_cast<int>(SendDlgItemMessageA(dialog, control, CB_GETCURSEL, 0, 0));
    }
    static void Choose(HWND dialog, int control, int row)
    {
        SendDlgItemMessageA(dialog, control, CB_SETCURSEL, static_cast<WPARAM>(row), 0);
    }
    // Waits for a condition on the dialog's state, read from the driver's thread.
    static bool Within(DWORD ms, const std::function<bool()>& condition)
    {
        const DWORD start = GetTickCount();
        while (!condition()) {
            if (GetTickCount() - start > ms)
                return false;
            Sleep(10);
        }
        return true;
    }
    // The Settings dialog, its Forwarding... button pressed, `drive` run on the
    // Forwarding dialog from the driver's thread; both dialogs end when it returns.
    void RunForwardingDialog(const std::function<void(HWND)>& drive)
    {
        DialogDriver driver([&] {
            HWND settings = WaitForDialog("Settings", 5000);
            if (!settings)
                return;
            PostMessageA(settings, WM_COMMAND, IDM_FORWARDING, 0);
            HWND dialog = WaitForDialog("Forwarding", 5000);
            if (dialog) {
                drive(dialog);
                if (IsWindow(dialog))
                    PressButton(dialog, IDCANCEL);
                WaitUntilGone(dialog);
            }
            PressButton(settings, IDCANCEL);
        });
        DialogBoxParamA(windowState.instance, MAKEINTRESOURCEA(IDD_SETTINGS), window, SettingsDialogProc, 0);
    }
    // OK pressed: the message box's text and the box that has the focus after it, or
    // "" when the dialog took the settings and ended.
    struct Refusal {
        std::string message;
        int focus = 0;
    };
    // `expectFocus`: the box that should have the focus after the message; the dialog's
    // manager first gives it back to whichever had it, so the test waits for the one asked.
    static Refusal PressOk(HWND dialog, int expectFocus = 0)
    {
        Refusal refusal;
        PressButton(dialog, IDOK);
        HWND box = WaitForMessageBoxOf(dialog);
        if (!box)
            return refusal;
        refusal.message = MessageBoxText(box);
        PressButton(box, IDOK);
        WaitUntilGone(box);
        // The focus belongs to the dialog's thread: asked of it, not of this one.
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        Within(2000, [&] {
            GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
            return info.hwndFocus && GetParent(info.hwndFocus) == dialog && GetDlgCtrlID(info.hwndFocus) == expectFocus;
        });
        refusal.focus = info.hwndFocus ? GetDlgCtrlID(info.hwndFocus) : 0;
        return refusal;
    }
};

}  // namespace

// The dialog shows the settings file's [forward]; each bad box is refused with its own
// message and gets the focus, nothing is saved; sound settings are saved in their
// words and put in force at once.
TEST_F(ForwardingDialogTest, OkRefusesEachBadBoxWithItsMessageThenSavesAndAppliesSoundSettings)
{
    WriteSettingText(kForwardSection, "transport", "carrier-pigeon");  // hand-edited: none of the words
    WriteSettingText(kForwardSection, "host", "logs.example");
    WriteSettingText(kForwardSection, "facility", "4");
    struct Bad {
        int control;
        const char* text;
        int expectFocus;
        const char* message;
    };
    const std::vector<Bad> bads = {
        {IDC_FWD_HOST, "", IDC_FWD_HOST, "Enter the collector's host name or address."},
        {IDC_FWD_PORT, "70000", IDC_FWD_PORT, "The port must be a number from 1 to 65535 (0 for the transport's usual port)."},
        {IDC_FWD_PORT, "x1", IDC_FWD_PORT, "The port must be a number from 1 to 65535 (0 for the transport's usual port)."},
        {IDC_FWD_FACILITY, "24", IDC_FWD_FACILITY, "The facility must be a number from 0 to 23."},
        {IDC_FWD_SPOOL, "0", IDC_FWD_SPOOL, "The spool's size must be from 1 to 4096 MB."},
        {IDC_FWD_WEBHOOK, "ftp://hooks.example/x", IDC_FWD_WEBHOOK,
         "The webhook's address must start with http:// or https:// and name a host."},
        {IDC_FWD_HOST, "bad host name", IDC_FWD_HOST, "The collector's host bad host name is unknown."},
    };
    std::vector<std::string> shown;
    std::vector<std::string> refused;
    int transportRow = -2;
    RunForwardingDialog([&](HWND dialog) {
        shown = {Text(dialog, IDC_FWD_HOST), Text(dialog, IDC_FWD_PORT), Text(dialog, IDC_FWD_FACILITY),
                 Text(dialog, IDC_FWD_SPOOL), Text(dialog, IDC_FWD_WHOSE)};
        transportRow = Row(dialog, IDC_FWD_TRANSPORT);
        CheckDlgButton(dialog, IDC_FWD_ENABLED, BST_CHECKED);
        // The word the file holds is none of the rows: OK names the box.
        const Refusal unknown = PressOk(dialog, IDC_FWD_TRANSPORT);
        refused.push_back(unknown.message + " @" + std::to_string(unknown.focus == IDC_FWD_TRANSPORT));
        Choose(dialog, IDC_FWD_TRANSPORT, 2);
        for (const Bad& bad : bads) {
            const std::string good = Text(dialog, bad.control);
            SetDlgItemTextA(dialog, bad.control, bad.text);
            const Refusal refusal = PressOk(dialog, bad.expectFocus);
            refused.push_back(refusal.message + " @" + std::to_string(refusal.focus == bad.expectFocus));
            if (refusal.message.empty())
                return;  // taken: the dialog ended
            SetDlgItemTextA(dialog, bad.control, good.c_str());
        }
        SetDlgItemTextA(dialog, IDC_FWD_HOST, "127.0.0.1");
        SetDlgItemTextA(dialog, IDC_FWD_PORT, "5514");
        SetDlgItemTextA(dialog, IDC_FWD_SPOOL, "16");
        Choose(dialog, IDC_FWD_MINIMUM, 1);
        SetDlgItemTextA(dialog, IDC_FWD_WEBHOOK, "http://127.0.0.1:9/hook");
        Choose(dialog, IDC_FWD_WEBHOOK_FORMAT, 1);
        const Refusal taken = PressOk(dialog);
        refused.push_back(taken.message);
    });
    EXPECT_EQ(shown, (std::vector<std::string>{"logs.example", "0", "4", "64",
                                               "This program's settings: it forwards while it watches by itself."}));
    EXPECT_EQ(transportRow, CB_ERR) << "a word that is none of the rows selects none";
    std::vector<std::string> expected = {"The transport must be udp, tcp or relp. @1"};
    for (const Bad& bad : bads)
        expected.push_back(std::string(bad.message) + " @1");
    expected.push_back("");
    EXPECT_EQ(refused, expected);

    EXPECT_EQ(Stored("enabled"), "1");
    EXPECT_EQ(Stored("host"), "127.0.0.1");
    EXPECT_EQ(Stored("port"), "5514");
    EXPECT_EQ(Stored("transport"), "relp");
    EXPECT_EQ(Stored("facility"), "4");
    EXPECT_EQ(Stored("minimum"), "actions");
    EXPECT_EQ(Stored("spoolmb"), "16");
    EXPECT_EQ(Stored("webhook"), "http://127.0.0.1:9/hook");
    EXPECT_EQ(Stored("webhookformat"), "teams");
    const ForwardSettings& inForce = ForwardingSettingsInForce();
    EXPECT_EQ(inForce.port, 5514) << "in force at once";
    EXPECT_EQ(inForce.transport, ForwardTransport::Relp);
    EXPECT_TRUE(ForwardingRunning());
    EndForwarding();
}

// The Test buttons send from a thread of their own: while a collector keeps the
// connection without answering, the dialog answers at once and says it is sending;
// then it says what happened, in the dialog.
TEST_F(ForwardingDialogTest, TestButtonsSendOffTheDialogsThreadAndSayWhatHappened)
{
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int length = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    std::string whileSending;
    bool buttonDisabled = false;
    bool answered = false;
    std::string syslogResult;
    std::string webhookResult;
    RunForwardingDialog([&](HWND dialog) {
        SetDlgItemTextA(dialog, IDC_FWD_HOST, "127.0.0.1");
        SetDlgItemTextA(dialog, IDC_FWD_PORT, port.c_str());
        Choose(dialog, IDC_FWD_TRANSPORT, 2);  // RELP waits for the collector's answer
        PressButton(dialog, IDC_FWD_TEST_SYSLOG);
        SOCKET accepted = accept(listener, nullptr, nullptr);  // the test's connection, never answered
        whileSending = Text(dialog, IDC_FWD_SYSLOG_RESULT);
        buttonDisabled = !IsWindowEnabled(GetDlgItem(dialog, IDC_FWD_TEST_SYSLOG));
        DWORD_PTR ignored = 0;
        answered = SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 200, &ignored) != 0;
        closesocket(accepted);  // the collector goes: the test ends
        Within(10000, [&] { return Text(dialog, IDC_FWD_SYSLOG_RESULT) != "Sending..."; });
        syslogResult = Text(dialog, IDC_FWD_SYSLOG_RESULT);

        SetDlgItemTextA(dialog, IDC_FWD_WEBHOOK, "");
        SetDlgItemTextA(dialog, IDC_FWD_WEBHOOK_RESULT, "");  // a result of an earlier test is shown until then
        PressButton(dialog, IDC_FWD_TEST_WEBHOOK);
        Within(10000, [&] {
            const std::string text = Text(dialog, IDC_FWD_WEBHOOK_RESULT);
            return !text.empty() && text != "Sending...";
        });
        webhookResult = Text(dialog, IDC_FWD_WEBHOOK_RESULT);
    });
    closesocket(listener);
    WSACleanup();
    EXPECT_EQ(whileSending, "Sending...");
    EXPECT_TRUE(buttonDisabled) << "one test at a time";
    EXPECT_TRUE(answered) << "the dialog's thread is not the one waiting";
    EXPECT_EQ(syslogResult.rfind("Sending to 127.0.0.1:" + port + " (relp) failed", 0), 0u) << syslogResult;
    EXPECT_EQ(webhookResult.rfind("The test alarm was not sent", 0), 0u) << webhookResult;
}
