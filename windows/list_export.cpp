#include "windows/list_export.h"

#include <commdlg.h>

#include <cstring>

#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/text.h"

bool AskExportFileName(const char* filter, const char* title, std::span<char> name)
{
    CopyText(name, "");
    OPENFILENAMEA dialog{};
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    dialog.hwndOwner = windowState.mainWindow;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(std::min(name.size(), kExportNameCapacity));
    dialog.lpstrTitle = title;
    return GetSaveFileNameA(&dialog) != FALSE;
}

void AddExportExtension(std::span<char> name, std::string_view extension)
{
    const std::string_view chosen(name.data(), strnlen(name.data(), name.size()));
    if (!EndsWithIgnoringAsciiCase(chosen, extension))
        AppendText(name, extension);
}

HANDLE CreateExportFile(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void WriteText(HANDLE file, std::string_view text)
{
    DWORD written = 0;
    if (file && !text.empty())
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
