#include "release/version_resources.h"

#include <array>
#include <cstdio>

namespace {

std::string Dotted(DWORD high, DWORD low)
{
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) +
           "." + std::to_string(LOWORD(low));
}

std::string QueryText(const std::vector<char>& block, const std::string& key)
{
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
        return {};
    return std::string(value, length > 0 && value[length - 1] == '\0' ? length - 1 : length);
}

struct Module {
    explicit Module(const std::string& path)
        : handle(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }
    ~Module()
    {
        if (handle)
            FreeLibrary(handle);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    HMODULE handle;
};

std::string ResourceBytes(HMODULE module, HRSRC resource)
{
    HGLOBAL loaded = LoadResource(module, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return {};
    return std::string(static_cast<const char*>(data), SizeofResource(module, resource));
}

}  // namespace

std::string NativePath(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string native = "Z:" + path;
    for (char& c : native)
        if (c == '/')
            c = '\\';
    return native;
}

VersionResource ReadVersionResource(const std::string& exePath)
{
    VersionResource result;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(exePath.c_str(), &ignored);
    if (size == 0)
        return result;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(exePath.c_str(), 0, size, block.data()))
        return result;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        fixed->dwSignature != VS_FFI_SIGNATURE)
        return result;
    result.found = true;
    result.fixedFileVersion = Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    result.fixedProductVersion = Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS);

    WORD* translation = nullptr;
    if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                       &length) &&
        translation && length >= 2 * sizeof(WORD)) {
        std::array<char, 64> prefix{};
        std::snprintf(prefix.data(), prefix.size(), "\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
        result.fileVersion = QueryText(block, std::string(prefix.data()) + "FileVersion");
        result.productVersion = QueryText(block, std::string(prefix.data()) + "ProductVersion");
        result.productName = QueryText(block, std::string(prefix.data()) + "ProductName");
    }
    return result;
}

std::string ReadManifest(const std::string& exePath)
{
    Module module(exePath);
    if (!module.handle)
        return {};
    HRSRC resource = FindResourceA(module.handle, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    return resource ? ResourceBytes(module.handle, resource) : std::string();
}

std::string XmlAttribute(const std::string& xml, const std::string& element, const std::string& name)
{
    const std::size_t tag = xml.find("<" + element);
    if (tag == std::string::npos)
        return {};
    const std::size_t end = xml.find('>', tag);
    const std::string text = xml.substr(tag, end == std::string::npos ? std::string::npos : end - tag);
    for (const char quote : {'"', '\''}) {
        const std::string wanted = " " + name + "=" + quote;
        std::size_t at = text.find(wanted);
        if (at == std::string::npos)
            continue;
        at += wanted.size();
        const std::size_t close = text.find(quote, at);
        if (close != std::string::npos)
            return text.substr(at, close - at);
    }
    return {};
}

std::vector<std::string> ReadResources(const std::string& exePath, LPCSTR type)
{
    struct Found {
        HMODULE module;
        std::vector<std::string> bytes;
    };
    Module module(exePath);
    Found found{module.handle, {}};
    if (!module.handle)
        return {};
    EnumResourceNamesA(
        module.handle, type,
        [](HMODULE handle, LPCSTR kind, LPSTR name, LONG_PTR parameter) -> BOOL {
            auto* f = reinterpret_cast<Found*>(parameter);
            if (HRSRC resource = FindResourceA(handle, name, kind))
                f->bytes.push_back(ResourceBytes(handle, resource));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&found));
    return found.bytes;
}
