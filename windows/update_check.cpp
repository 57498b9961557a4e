#include "windows/update_check.h"

#include <shellapi.h>
#include <wininet.h>

#include <array>

#include "core/system_library.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/text.h"
#include "version.h"

namespace {

constexpr DWORD kReceiveCapacity = 4096;
constexpr char kUpdateAgent[] = "Quorvel";

// WinINet from the system folder (core/system_library.h says why).
struct WinInetApi {
    decltype(&InternetOpenA) open;
    decltype(&InternetOpenUrlA) openUrl;
    decltype(&InternetReadFile) readFile;
    decltype(&InternetCloseHandle) closeHandle;
};

WinInetApi BindWinInet()
{
    const HMODULE library = LoadSystemLibrary(L"wininet.dll");
    return {SystemFunction<decltype(&InternetOpenA)>(library, "InternetOpenA"),
            SystemFunction<decltype(&InternetOpenUrlA)>(library, "InternetOpenUrlA"),
            SystemFunction<decltype(&InternetReadFile)>(library, "InternetReadFile"),
            SystemFunction<decltype(&InternetCloseHandle)>(library, "InternetCloseHandle")};
}

const WinInetApi& WinInet()
{
    static const WinInetApi api = BindWinInet();
    return api;
}

struct InternetHandle {
    explicit InternetHandle(HINTERNET opened) : handle(opened) {}
    ~InternetHandle()
    {
        if (handle)
            WinInet().closeHandle(handle);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET handle;
};

}  // namespace

const char* UpdateAddress()
{
    return "http://" QUORVEL_WEB_HOST "/update/quorvel.php?ver=4";
}

const char* WebSiteAddress()
{
    return "http://" QUORVEL_WEB_HOST "/";
}

int ReadNewestUpdate(const char* address)
{
    std::array<char, kReceiveCapacity> received{};  // zero-filled: what is read is always terminated
    const WinInetApi& api = WinInet();
    if (!api.open || !api.openUrl || !api.readFile || !api.closeHandle)
        return 0;
    InternetHandle session(api.open(kUpdateAgent, INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY, nullptr,
                                         nullptr, 0));
    if (!session.handle)
        return 0;
    InternetHandle request(api.openUrl(session.handle, address, nullptr, 0, 0, 0));
    if (!request.handle)
        return 0;
    DWORD read = 0;
    api.readFile(request.handle, received.data(), kReceiveCapacity - 1, &read);
    return ParseLeadingInt(std::string_view(received.data(), std::min<DWORD>(read, kReceiveCapacity - 1)));
}

bool IsNewerUpdate(int newest)
{
    return newest > kUpdateNumber;
}

void CheckForUpdateAt(const char* address)
{
    // The question waits on this thread only: monitoring goes on meanwhile.
    if (IsNewerUpdate(ReadNewestUpdate(address)) &&
        MessageBoxA(windowState.mainWindow, kUpdateOffer, "Quorvel", MB_YESNO) == IDYES)
        ShellExecuteA(nullptr, "open", WebSiteAddress(), nullptr, nullptr, SW_SHOWNORMAL);
}

DWORD WINAPI CheckForUpdate(LPVOID)
{
    CheckForUpdateAt(UpdateAddress());
    return 0;
}

void StartUpdateCheck()
{
    if (HANDLE thread = CreateThread(nullptr, 0, CheckForUpdate, nullptr, 0, nullptr))
        CloseHandle(thread);
}
