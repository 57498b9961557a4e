// text_fit_check: is every text of a shown dialog whole, or is one cut by its control?
//
//   text_fit_check [--list] <window title>
//
// Finds the visible dialog (window class #32770) of that exact title, waiting up to
// 10 s for it, and has text_fit_probe.dll (beside this program) measure its texts from
// inside the dialog's own process: the static texts, the texts beside check boxes and
// radio buttons, and the group boxes' captions, of the dialog and of the child dialogs
// in it, each with its control's font against its control's client rectangle (see
// text_fit_probe.cpp). Prints each cut text, naming the dialog, the control's id and
// its text, with what it needs and what it has; each tight one (drawn whole, but
// wider than its control by its font's advance widths, which a platform drawing by
// those widths would cut); with --list, every text measured.
//
// Exit status: 0 every text fits, 1 a text is cut, 2 the dialog could not be measured
// (no such window, the probe not loaded into its process, no answer).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/screenshots/text_fit.h"

namespace {

constexpr char kDialogClass[] = "#32770";
constexpr char kReplyClass[] = "QuorvelTextFitReply";
constexpr DWORD kFindTimeoutMs = 10000;
constexpr DWORD kAnswerTimeoutMs = 15000;

struct Replies {
    std::vector<TextFitRecord> records;
    bool ended = false;
    TextFitEnd end{};
    int malformed = 0;
};

Replies replies;

LRESULT CALLBACK ReplyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != WM_COPYDATA)
        return DefWindowProcA(window, message, wParam, lParam);
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (copy->dwData == kTextFitRecord && copy->cbData == sizeof(TextFitRecord)) {
        TextFitRecord record{};
        std::memcpy(&record, copy->lpData, sizeof(record));
        record.text[kTextFitMaxText - 1] = '\0';
        replies.records.push_back(record);
    } else if (copy->dwData == kTextFitEnd && copy->cbData == sizeof(TextFitEnd)) {
        std::memcpy(&replies.end, copy->lpData, sizeof(replies.end));
        replies.end.fontFace[kTextFitMaxFace - 1] = '\0';
        replies.ended = true;
    } else {
        ++replies.malformed;
    }
    return TRUE;
}

struct Search {
    const char* title;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<Search*>(parameter);
    char kind[64] = {};
    char title[256] = {};
    GetClassNameA(window, kind, static_cast<int>(sizeof(kind)));
    GetWindowTextA(window, title, static_cast<int>(sizeof(title)));
    if (!IsWindowVisible(window) || std::strcmp(kind, kDialogClass) != 0 || std::strcmp(title, search->title) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND WaitForDialog(const char* title)
{
    const ULONGLONG deadline = GetTickCount64() + kFindTimeoutMs;
    Search search{title, nullptr};
    for (;;) {
        EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount64() >= deadline)
            return search.found;
        Sleep(50);
    }
}

// text_fit_probe.dll in this program's own folder.
std::string ProbePath()
{
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    std::string folder(path, length);
    folder.erase(folder.find_last_of("\\/") + 1);
    return folder + kTextFitProbeFile;
}

const char* KindName(int kind)
{
    switch (kind) {
    case kStaticText: return "static text";
    case kCheckBoxText: return "check box";
    case kRadioText: return "radio button";
    case kGroupCaption: return "group box";
    default: return "control";
    }
}

// The text on one line, its line breaks and tabs shown as \n and \t.
std::string Quoted(const char* text)
{
    std::string quoted = "\"";
    for (const char* at = text; *at; ++at) {
        if (*at == '\n')
            quoted += "\\n";
        else if (*at == '\r')
            quoted += "\\r";
        else if (*at == '\t')
            quoted += "\\t";
        else
            quoted += *at;
    }
    return quoted + "\"";
}

bool IsCut(const TextFitRecord& record)
{
    return record.neededWidth > record.clientWidth || record.neededHeight > record.clientHeight;
}

int Fail(const char* title, const char* why)
{
    std::fprintf(stderr, "text_fit_check: \"%s\": %s\n", title, why);
    return 2;
}

int Check(const char* title, bool list)
{
    const HWND dialog = WaitForDialog(title);
    if (!dialog)
        return Fail(title, "no visible dialog of that title within 10 s");

    WNDCLASSA replyClass{};
    replyClass.lpfnWndProc = ReplyWindowProc;
    replyClass.hInstance = GetModuleHandleA(nullptr);
    replyClass.lpszClassName = kReplyClass;
    RegisterClassA(&replyClass);
    const HWND reply = CreateWindowExA(0, kReplyClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       replyClass.hInstance, nullptr);
    if (!reply)
        return Fail(title, "cannot make the window that receives the measures");

    const std::string probePath = ProbePath();
    const HMODULE probe = LoadLibraryA(probePath.c_str());
    if (!probe)
        return Fail(title, ("cannot load " + probePath).c_str());
    const auto hook = reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(GetProcAddress(probe, kTextFitHookName)));
    if (!hook)
        return Fail(title, "the probe exports no hook procedure");

    const DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    const HHOOK installed = SetWindowsHookExA(WH_CALLWNDPROC, hook, probe, thread);
    if (!installed)
        return Fail(title, "cannot hook the dialog's thread");
    const UINT measure = RegisterWindowMessageA(kTextFitMessageName);
    DWORD_PTR result = 0;
    const bool answered = SendMessageTimeoutA(dialog, measure, reinterpret_cast<WPARAM>(reply), 0,
                                              SMTO_NORMAL | SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &result) != 0;
    UnhookWindowsHookEx(installed);
    DestroyWindow(reply);

    if (!answered)
        return Fail(title, "the dialog did not answer within 15 s");
    if (!replies.ended)
        return Fail(title, "the probe did not measure inside the dialog's process (was the hook DLL loaded there?)");
    if (replies.malformed > 0 || replies.end.records != static_cast<int>(replies.records.size()))
        return Fail(title, "the probe's answer is incomplete or from another build");

    int cut = 0;
    for (TextFitRecord& record : replies.records) {
        record.fontFace[kTextFitMaxFace - 1] = '\0';
        const std::string where = std::string("\"") + title + "\": control " + std::to_string(record.id) + " (" +
                                  KindName(record.kind) + " at " + std::to_string(record.left) + "," +
                                  std::to_string(record.top) + ")";
        if (IsCut(record)) {
            ++cut;
            std::printf("Cut text in %s: %s needs %dx%d pixels, has %dx%d\n", where.c_str(), Quoted(record.text).c_str(),
                        record.neededWidth, record.neededHeight, record.clientWidth, record.clientHeight);
        } else if (record.layoutWidth > record.clientWidth) {
            std::printf("Tight text in %s: %s is drawn in %d of its %d pixels, but its font's advance widths take %d\n",
                        where.c_str(), Quoted(record.text).c_str(), record.neededWidth, record.clientWidth,
                        record.layoutWidth);
        } else if (list) {
            std::printf("Fits in %s, %s %d px: %s needs %dx%d pixels (%d by advance widths), has %dx%d\n",
                        where.c_str(), record.fontFace, record.fontHeight, Quoted(record.text).c_str(),
                        record.neededWidth, record.neededHeight, record.layoutWidth, record.clientWidth,
                        record.clientHeight);
        }
    }
    if (cut > 0) {
        std::printf("\"%s\": %d of %d texts cut\n", title, cut, static_cast<int>(replies.records.size()));
        return 1;
    }
    std::printf("\"%s\": all %d texts fit (%s, %d pixels high)\n", title, static_cast<int>(replies.records.size()),
                replies.end.fontFace, replies.end.fontHeight);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool list = false;
    std::vector<const char*> titles;
    for (int at = 1; at < argc; ++at) {
        if (std::strcmp(argv[at], "--list") == 0)
            list = true;
        else
            titles.push_back(argv[at]);
    }
    if (titles.size() != 1) {
        std::fprintf(stderr, "usage: text_fit_check [--list] <window title>\n");
        return 2;
    }
    const int status = Check(titles.front(), list);
    std::fflush(stdout);
    return status;
}
