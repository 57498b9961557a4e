#include "support/dialog_template.h"

#include <cstring>

namespace {

// Reads DLGTEMPLATEEX fields in order from the resource's bytes.
struct Reader {
    const BYTE* at;

    template <typename T>
    T Take()
    {
        T value{};
        std::memcpy(&value, at, sizeof(T));
        at += sizeof(T);
        return value;
    }
    // A string or ordinal field: 0x0000 empty, 0xFFFF followed by an ordinal, else text.
    void SkipNameOrOrdinal()
    {
        const WORD first = Take<WORD>();
        if (first == 0xFFFF)
            Take<WORD>();
        else if (first != 0)
            SkipText();
    }
    void SkipText()
    {
        while (Take<WORD>() != 0) {
        }
    }
    void AlignToDword(const BYTE* base)
    {
        while ((at - base) % 4)
            ++at;
    }
};

}  // namespace

std::vector<TemplateItem> ReadDialogTemplate(int dialogId)
{
    std::vector<TemplateItem> items;
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(dialogId), MAKEINTRESOURCEA(5));  // RT_DIALOG
    if (!found)
        return items;
    const auto* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader reader{base};
    reader.Take<WORD>();  // version
    if (reader.Take<WORD>() != 0xFFFF)
        return items;  // not an extended template
    reader.Take<DWORD>();
    reader.Take<DWORD>();
    const DWORD style = reader.Take<DWORD>();
    const WORD count = reader.Take<WORD>();
    reader.at += 4 * sizeof(short);
    reader.SkipNameOrOrdinal();  // menu
    reader.SkipNameOrOrdinal();  // class
    reader.SkipText();           // title
    if (style & (DS_SETFONT | DS_SHELLFONT)) {
        reader.at += 2 * sizeof(WORD) + 2;
        reader.SkipText();
    }
    for (WORD i = 0; i < count; ++i) {
        reader.AlignToDword(base);
        TemplateItem item;
        reader.Take<DWORD>();  // help id
        reader.Take<DWORD>();  // extended style
        item.style = reader.Take<DWORD>();
        item.x = reader.Take<short>();
        item.y = reader.Take<short>();
        item.cx = reader.Take<short>();
        item.cy = reader.Take<short>();
        item.id = reader.Take<DWORD>();
        reader.SkipNameOrOrdinal();  // class
        reader.SkipNameOrOrdinal();  // title
        reader.at += reader.Take<WORD>();
        items.push_back(item);
    }
    return items;
}
