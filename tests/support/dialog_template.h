// The controls of a dialog template as the resource holds them, before any window
// exists: what the template says, not what a control made of itself.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct TemplateItem {
    DWORD id = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
};

// The items of extended dialog template `dialogId` in this program's resources.
std::vector<TemplateItem> ReadDialogTemplate(int dialogId);
