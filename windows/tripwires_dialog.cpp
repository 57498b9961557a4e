#include "windows/tripwires_dialog.h"

#include <array>

#include "rules/tripwires.h"
#include "engine/watch/engine_state.h"
#include "windows/window_state.h"
#include "core/product.h"
#include "core/text.h"
#include "windows/monitoring_page.h"
#include "resources/resource.h"
#include "windows/engine_link.h"

namespace {

constexpr std::size_t kNumberTextCapacity = 16;

// The rules as the dialog shows them until OK.
TripwireRules editing;

struct NumberField {
    int control;
    int32_t TripwireRules::*field;
    int32_t lowest;
    int32_t highest;
};

constexpr std::array<NumberField, 3> kNumberFields = {{
    {IDC_BURST_FILES, &TripwireRules::burstFiles, 0, kMaxBurstFiles},
    {IDC_BURST_SECONDS, &TripwireRules::burstSeconds, 1, kMaxBurstSeconds},
    {IDC_TRIP_MINUTES, &TripwireRules::blockMinutes, 0, INT32_MAX / kTicksPerMinute},
}};

void ShowBaitPatterns(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_BAIT_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (int32_t i = 0; i < editing.baitCount; ++i) {
        std::array<char, kBaitPatternUnits * 2> text{};
        AnsiFromWide(text, editing.baits[static_cast<std::size_t>(i)].data());
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.data()));
    }
}

void InitTripwiresDialog(HWND dialog)
{
    editing = engineState.rules.tripwires;
    CheckDlgButton(dialog, IDC_TRIP_ENABLED, editing.enabled ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageA(dialog, IDC_BAIT_EDIT, EM_LIMITTEXT, kBaitPatternUnits - 1, 0);
    ShowBaitPatterns(dialog);
    for (const NumberField& field : kNumberFields) {
        SendDlgItemMessageA(dialog, field.control, EM_LIMITTEXT, kNumberTextCapacity - 1, 0);
        SetDlgItemInt(dialog, field.control, static_cast<UINT>(editing.*field.field), FALSE);
    }
    CheckDlgButton(dialog, IDC_TRIP_DENY_SHARES, editing.denyShares ? BST_CHECKED : BST_UNCHECKED);
    std::array<char, kNeverDeniedTextUnits> names{};
    NeverDeniedText(editing, names);
    SendDlgItemMessageA(dialog, IDC_TRIP_NEVER_DENIED, EM_LIMITTEXT, names.size() - 1, 0);
    SetDlgItemTextA(dialog, IDC_TRIP_NEVER_DENIED, names.data());
}

void OnAddBait(HWND dialog)
{
    std::array<char, kBaitPatternUnits + 1> pattern{};
    GetDlgItemTextA(dialog, IDC_BAIT_EDIT, pattern.data(), static_cast<int>(pattern.size()));
    if (!AddBaitPattern(editing, pattern.data())) {
        MessageBoxA(dialog, kInvalidPatternMessage, kMessageCaption, MB_OK);
        SetFocus(GetDlgItem(dialog, IDC_BAIT_EDIT));
        return;
    }
    SetDlgItemTextA(dialog, IDC_BAIT_EDIT, "");
    ShowBaitPatterns(dialog);
}

void OnRemoveBait(HWND dialog)
{
    const auto selected = static_cast<int32_t>(SendDlgItemMessageA(dialog, IDC_BAIT_LIST, LB_GETCURSEL, 0, 0));
    RemoveBaitPattern(editing, selected);
    ShowBaitPatterns(dialog);
}

// The numbers as typed, read like every number the program takes; the first that is
// not a number in its range is refused with the program's message.
bool ReadNumbers(HWND dialog)
{
    for (const NumberField& field : kNumberFields) {
        std::array<char, kNumberTextCapacity> text{};
        GetDlgItemTextA(dialog, field.control, text.data(), static_cast<int>(text.size()));
        int32_t value = 0;
        if (!ReadNumber(text.data(), field.lowest, field.highest, &value)) {
            MessageBoxA(dialog, kInvalidNumberMessage, kMessageCaption, MB_OK);
            SetFocus(GetDlgItem(dialog, field.control));
            return false;
        }
        editing.*field.field = value;
    }
    return true;
}

void OnTripwiresOk(HWND dialog)
{
    if (!ReadNumbers(dialog))
        return;
    editing.enabled = IsDlgButtonChecked(dialog, IDC_TRIP_ENABLED) == BST_CHECKED ? 1 : 0;
    editing.denyShares = IsDlgButtonChecked(dialog, IDC_TRIP_DENY_SHARES) == BST_CHECKED ? 1 : 0;
    std::array<char, kNeverDeniedTextUnits> names{};
    GetDlgItemTextA(dialog, IDC_TRIP_NEVER_DENIED, names.data(), static_cast<int>(names.size()));
    SetNeverDenied(editing, names.data());
    ChangeTripwireRules(editing);
    EndDialog(dialog, IDOK);
}

void OnTripwiresCommand(HWND dialog, WORD command)
{
    // Enter in the pattern box adds the pattern, as the Add button would.
    if (command == IDOK && GetFocus() == GetDlgItem(dialog, IDC_BAIT_EDIT) &&
        GetWindowTextLengthA(GetDlgItem(dialog, IDC_BAIT_EDIT)) > 0)
        command = IDC_BAIT_ADD;
    switch (command) {
    case IDOK: OnTripwiresOk(dialog); break;
    case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
    case IDC_BAIT_ADD: OnAddBait(dialog); break;
    case IDC_BAIT_REMOVE: OnRemoveBait(dialog); break;
    }
}

}  // namespace

INT_PTR CALLBACK TripwiresDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: InitTripwiresDialog(dialog); break;
    case WM_COMMAND: OnTripwiresCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); break;
    }
    return 0;
}
