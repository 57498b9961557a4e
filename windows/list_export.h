// Export files: the save dialog, the name rule, and writing.
#pragma once

#include <windows.h>

#include <span>
#include <string_view>

constexpr std::size_t kExportNameCapacity = 261;

// The save-file dialog in its first form, owned by the main window; false when cancelled.
bool AskExportFileName(const char* filter, const char* title, std::span<char> name);
// Appends `extension` (".txt", ".log", ".csv") unless the name already ends with it,
// compared without regard to case.
void AddExportExtension(std::span<char> name, std::string_view extension);

// A new file replacing any of that name; nullptr when it cannot be made.
HANDLE CreateExportFile(const char* path);
void WriteText(HANDLE file, std::string_view text);
