#include "core/product.h"

#include <shlobj.h>

#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "core/text.h"

namespace {

bool DocumentsFolder(std::span<char> folder)
{
    std::array<char, MAX_PATH> path{};
    if (!SHGetSpecialFolderPathA(nullptr, path.data(), CSIDL_PERSONAL, FALSE) || path[0] == '\0')
        return false;
    CopyText(folder, path.data());
    return true;
}

}  // namespace

PathText ProgramFolderPath()
{
    std::array<char, kModulePathCapacity> path{};
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.back() = '\0';
    std::string_view text(path.data(), length < path.size() ? length : path.size() - 1);
    const std::size_t slash = text.find_last_of('\\');
    PathText folder{};
    CopyText(folder, slash == std::string_view::npos ? std::string_view() : text.substr(0, slash + 1));
    return folder;
}

PathText UserFilesFolder()
{
    PathText folder{};
    if (DocumentsFolder(folder))
        return folder;
    // No documents folder: keep settings and logs beside the program rather than nowhere.
    folder = ProgramFolderPath();
    const std::size_t length = strlen(folder.data());
    if (length > 0)
        folder[length - 1] = '\0';
    return folder;
}
