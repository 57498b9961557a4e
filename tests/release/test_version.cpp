// The built quorvel.exe carries the build's one version everywhere Windows and the
// user read it: the version resource, the manifest, and the product name it shows.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "core/product.h"
#include "engine/watch/day_logs.h"
#include "release/version_resources.h"

namespace {

struct Version {
    int major = -1, minor = -1, patch = -1;
};

Version BuildVersion()
{
    Version v;
    char rest = 0;
    // Exactly three numbers: a fourth would make the manifest's a.b.c.0 wrong.
    if (std::sscanf(QUORVEL_PROJECT_VERSION, "%d.%d.%d%c", &v.major, &v.minor, &v.patch, &rest) != 3)
        v = {};
    return v;
}

std::string Exe()
{
    return NativePath(QUORVEL_EXE);
}

std::string ServiceExe()
{
    return NativePath(QUORVEL_SERVICE_EXE);
}

// Every "Quorvel <digit>..." in the UTF-16 text of a resource, as 8-bit text up to
// the first character that is neither a digit nor a dot.
std::vector<std::string> ShownVersions(const std::string& bytes)
{
    std::wstring text(bytes.size() / 2, L'\0');
    memcpy(text.data(), bytes.data(), text.size() * 2);
    std::vector<std::string> found;
    const std::wstring name = L"Quorvel ";
    for (std::size_t at = text.find(name); at != std::wstring::npos; at = text.find(name, at + 1)) {
        std::size_t end = at + name.size();
        if (end >= text.size() || !iswdigit(text[end]))
            continue;
        while (end < text.size() && (iswdigit(text[end]) || text[end] == L'.'))
            ++end;
        std::string version;
        for (std::size_t i = at + name.size(); i < end; ++i)
            version += static_cast<char>(text[i]);
        found.push_back(version);
    }
    return found;
}

}  // namespace

TEST(Version, TheBuildsVersionIsThreeNumbers)
{
    EXPECT_GE(BuildVersion().major, 0) << QUORVEL_PROJECT_VERSION;
}

TEST(Version, TheVersionResourcesCarryTheBuildsVersion)
{
    const Version v = BuildVersion();
    const std::string four = std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
                             std::to_string(v.patch) + ".0";
    for (const std::string& exe : {Exe(), ServiceExe()}) {
        const VersionResource resource = ReadVersionResource(exe);
        ASSERT_TRUE(resource.found) << exe << ": no version resource";
        EXPECT_EQ(resource.fixedFileVersion, four) << exe;
        EXPECT_EQ(resource.fixedProductVersion, four) << exe;
        EXPECT_EQ(resource.fileVersion, QUORVEL_PROJECT_VERSION) << exe;
        EXPECT_EQ(resource.productVersion, QUORVEL_PROJECT_VERSION) << exe;
        EXPECT_EQ(resource.productName, "Quorvel") << exe;
    }
}

// The service runs as LocalSystem: its manifest asks for nothing more than it is given.
TEST(Version, TheServicesManifestFitsAService)
{
    const std::string manifest = ReadManifest(ServiceExe());
    ASSERT_FALSE(manifest.empty()) << ServiceExe() << ": no manifest resource 1";
    EXPECT_EQ(XmlAttribute(manifest, "assemblyIdentity", "name"), "Quorvel.Service");
    EXPECT_EQ(XmlAttribute(manifest, "assemblyIdentity", "version"), std::string(QUORVEL_PROJECT_VERSION) + ".0");
    EXPECT_EQ(XmlAttribute(manifest, "requestedExecutionLevel", "level"), "asInvoker");
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos) << "a service draws no window";
}

// Event Viewer shows an event by the text its source's message file holds for its id:
// every id of the message script, in both exes, with its strings put in.
TEST(Version, BothExesCarryEveryEventsText)
{
    std::ifstream script(NativePath(QUORVEL_EVENT_MESSAGES));
    ASSERT_TRUE(script.good()) << QUORVEL_EVENT_MESSAGES;
    std::vector<DWORD> ids;
    std::vector<int> severities;
    for (std::string line; std::getline(script, line);) {
        if (line.rfind("MessageId=", 0) == 0)
            ids.push_back(static_cast<DWORD>(std::stoul(line.substr(10))));
        else if (line.rfind("Severity=", 0) == 0)
            severities.push_back(line.find("Error") != std::string::npos     ? 3
                                 : line.find("Warning") != std::string::npos ? 2
                                                                             : 1);
    }
    ASSERT_GE(ids.size(), 15u);
    ASSERT_EQ(ids.size(), severities.size());
    for (const std::string& exe : {Exe(), ServiceExe()}) {
        const HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << exe;
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const DWORD id = ids[k] | static_cast<DWORD>(severities[k]) << 30;
            std::array<char, 2048> text{};
            std::array<char, 8> first{"first"}, second{"second"}, third{"third"}, fourth{"fourth"};
            std::array<DWORD_PTR, 4> strings = {reinterpret_cast<DWORD_PTR>(first.data()),
                                                reinterpret_cast<DWORD_PTR>(second.data()),
                                                reinterpret_cast<DWORD_PTR>(third.data()),
                                                reinterpret_cast<DWORD_PTR>(fourth.data())};
            const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                                                0, text.data(), static_cast<DWORD>(text.size()),
                                                reinterpret_cast<va_list*>(strings.data()));
            EXPECT_GT(length, 0u) << exe << ": no text for event " << ids[k];
            EXPECT_NE(std::string(text.data()).find("first"), std::string::npos) << exe << " " << ids[k] << ": "
                                                                                  << text.data();
        }
        FreeLibrary(module);
    }
}

TEST(Version, TheManifestCarriesTheBuildsVersionAndAsksForAdministratorRights)
{
    const std::string manifest = ReadManifest(Exe());
    ASSERT_FALSE(manifest.empty()) << Exe() << ": no manifest resource 1";
    EXPECT_EQ(XmlAttribute(manifest, "assemblyIdentity", "name"), "Quorvel");
    EXPECT_EQ(XmlAttribute(manifest, "assemblyIdentity", "version"), std::string(QUORVEL_PROJECT_VERSION) + ".0");
    EXPECT_EQ(XmlAttribute(manifest, "requestedExecutionLevel", "level"), "requireAdministrator");
}

// The title and the CSV header name the release by its first two numbers; they are
// written out by hand, so a version change that forgets them shows here.
TEST(Version, TheNameTheProgramShowsMatchesTheBuildsVersion)
{
    const Version v = BuildVersion();
    const std::string shown = std::to_string(v.major) + "." + std::to_string(v.minor);
    EXPECT_EQ(std::string(kProductTitle), "Quorvel " + shown);
    EXPECT_EQ(std::string(kCsvLogHeader), "#File generated by Quorvel " + shown + "\r\n");

    const std::vector<std::string> dialogs = ReadResources(Exe(), MAKEINTRESOURCEA(5));  // RT_DIALOG
    ASSERT_FALSE(dialogs.empty());
    int named = 0;
    for (const std::string& dialog : dialogs)
        for (const std::string& version : ShownVersions(dialog)) {
            EXPECT_EQ(version, shown) << "a dialog says Quorvel " << version;
            ++named;
        }
    EXPECT_GE(named, 2) << "the main window's caption and the About box";
}
