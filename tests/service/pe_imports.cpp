#include "service/pe_imports.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// Every read is checked against the file's size: a damaged file gives a fault, not a crash.
struct Image {
    std::vector<char> bytes;
    std::vector<IMAGE_SECTION_HEADER> sections;

    template <typename Record>
    bool Read(std::size_t offset, Record* record) const
    {
        if (offset > bytes.size() || bytes.size() - offset < sizeof(Record))
            return false;
        std::memcpy(record, bytes.data() + offset, sizeof(Record));
        return true;
    }
    // The file offset of a virtual address; false when no section holds it.
    bool OffsetOf(DWORD address, std::size_t* offset) const
    {
        for (const IMAGE_SECTION_HEADER& section : sections) {
            const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (address >= section.VirtualAddress && address - section.VirtualAddress < size) {
                *offset = section.PointerToRawData + (address - section.VirtualAddress);
                return true;
            }
        }
        return false;
    }
    std::string TextAt(DWORD address) const
    {
        std::size_t offset = 0;
        if (!OffsetOf(address, &offset) || offset >= bytes.size())
            return {};
        const char* start = bytes.data() + offset;
        const void* end = std::memchr(start, '\0', bytes.size() - offset);
        return end ? std::string(start, static_cast<const char*>(end)) : std::string();
    }
};

}  // namespace

ImportTable ReadImportTable(const std::string& exePath)
{
    ImportTable table;
    Image image;
    std::ifstream in(exePath, std::ios::binary);
    image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 nt{};
    if (!image.Read(0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        !image.Read(static_cast<std::size_t>(dos.e_lfanew), &nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        table.fault = exePath + " is not a 64-bit executable";
        return table;
    }
    const std::size_t sectionsAt = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                   nt.FileHeader.SizeOfOptionalHeader;
    for (WORD k = 0; k < nt.FileHeader.NumberOfSections; ++k) {
        IMAGE_SECTION_HEADER section{};
        if (!image.Read(sectionsAt + k * sizeof(section), &section)) {
            table.fault = "its section table is cut short";
            return table;
        }
        image.sections.push_back(section);
    }
    table.delayLoads = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size != 0;
    const IMAGE_DATA_DIRECTORY imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::size_t at = 0;
    if (imports.Size == 0)
        return table;
    if (!image.OffsetOf(imports.VirtualAddress, &at)) {
        table.fault = "its import directory lies in no section";
        return table;
    }
    for (IMAGE_IMPORT_DESCRIPTOR library{}; image.Read(at, &library) && library.Name != 0; at += sizeof(library)) {
        const std::string name = image.TextAt(library.Name);
        std::size_t thunkAt = 0;
        const DWORD thunks = library.OriginalFirstThunk ? library.OriginalFirstThunk : library.FirstThunk;
        if (!image.OffsetOf(thunks, &thunkAt)) {
            table.fault = "the functions of " + name + " lie in no section";
            return table;
        }
        for (ULONGLONG thunk = 0; image.Read(thunkAt, &thunk) && thunk != 0; thunkAt += sizeof(thunk)) {
            if (thunk & IMAGE_ORDINAL_FLAG64)
                table.functions.push_back({name, "#" + std::to_string(thunk & 0xFFFF)});
            else
                table.functions.push_back({name, image.TextAt(static_cast<DWORD>(thunk) + sizeof(WORD))});
        }
    }
    return table;
}
