#include "core/event_log.h"

#include <atomic>

#include "core/text.h"

namespace {

constexpr char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvel";
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

WORD TypeOf(DWORD id)
{
    switch (id >> 30) {
    case STATUS_SEVERITY_ERROR: return EVENTLOG_ERROR_TYPE;
    case STATUS_SEVERITY_WARNING: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

void WriteToApplicationLog(const ProductEvent& event)
{
    // Opened for each event: events are few, and a handle kept would outlive a
    // source registered or removed meanwhile.
    HANDLE source = RegisterEventSourceA(nullptr, kEventSourceName);
    if (!source)
        return;
    std::array<const char*, kEventStrings> strings{};
    for (int32_t k = 0; k < event.count; ++k)
        strings[static_cast<std::size_t>(k)] = event.strings[static_cast<std::size_t>(k)].data();
    ReportEventA(source, event.type, 0, event.id, nullptr, static_cast<WORD>(event.count), 0, strings.data(), nullptr);
    DeregisterEventSource(source);
}

std::atomic<EventWriter> writer{WriteToApplicationLog};

// The message file the registered source names; empty when there is none.
std::array<char, MAX_PATH * 2> RegisteredMessageFile()
{
    std::array<char, MAX_PATH * 2> file{};
    DWORD size = static_cast<DWORD>(file.size() - 1);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kSourceKey, "EventMessageFile", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                     RRF_NOEXPAND, nullptr, file.data(), &size) != ERROR_SUCCESS)
        file[0] = '\0';
    return file;
}

}  // namespace

void ReportProductEvent(DWORD id, std::initializer_list<const char*> strings)
{
    ProductEvent event{id, TypeOf(id), 0, {}};
    for (const char* text : strings) {
        if (static_cast<std::size_t>(event.count) == kEventStrings)
            break;
        auto& place = event.strings[static_cast<std::size_t>(event.count++)];
        CopyText(place, text ? text : "");
        ReplaceControlCharacters(place);
    }
    writer.load()(event);
}

void InstallEventWriter(EventWriter replacement)
{
    writer.store(replacement ? replacement : WriteToApplicationLog);
}

DWORD RegisterProductEventSource(const char* messageFile)
{
    if (RegisteredMessageFile()[0] != '\0')
        return ERROR_SUCCESS;
    HKEY key = nullptr;
    DWORD result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    const auto length = static_cast<DWORD>(lstrlenA(messageFile) + 1);
    result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(messageFile),
                            length);
    if (result == ERROR_SUCCESS)
        result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kTypesSupported),
                                sizeof(kTypesSupported));
    RegCloseKey(key);
    return result;
}

DWORD RemoveProductEventSource(const char* onlyNaming)
{
    if (onlyNaming && lstrcmpiA(RegisteredMessageFile().data(), onlyNaming) != 0)
        return ERROR_SUCCESS;
    const LSTATUS result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSourceKey);
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(result);
}
