// Reads what an executable says about itself: its version resource and its manifest.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Unix paths the build hands over become Wine's Z: paths; Windows paths stay.
std::string NativePath(const std::string& path);

struct VersionResource {
    bool found = false;
    std::string fixedFileVersion;     // a.b.c.d from VS_FIXEDFILEINFO
    std::string fixedProductVersion;  // a.b.c.d
    std::string fileVersion;          // the StringFileInfo texts of the first translation
    std::string productVersion;
    std::string productName;
};
VersionResource ReadVersionResource(const std::string& exePath);

// The manifest the loader reads (RT_MANIFEST, id 1); empty when there is none.
std::string ReadManifest(const std::string& exePath);
// The value of attribute `name` in the first `<element` tag of an XML text; empty when absent.
std::string XmlAttribute(const std::string& xml, const std::string& element, const std::string& name);

// The raw bytes of every resource of one type.
std::vector<std::string> ReadResources(const std::string& exePath, LPCSTR type);
