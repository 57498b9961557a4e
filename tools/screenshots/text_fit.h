// What text_fit_probe.dll, inside the program's process, tells text_fit_check.exe of
// a dialog's texts: one record per text measured, then one that ends the answer.
// Both are built from this header, so the records' layout is the same on both sides.
#pragma once

#include <windows.h>

// The message the check sends to the dialog; the probe's hook sees it in the dialog's
// thread before the dialog does. wParam: the check's window, which gets the records.
constexpr char kTextFitMessageName[] = "Quorvel.TextFit.Measure";
// The probe's hook procedure (WH_CALLWNDPROC), exported by name.
constexpr char kTextFitHookName[] = "TextFitCallWndProc";
constexpr char kTextFitProbeFile[] = "text_fit_probe.dll";

// COPYDATASTRUCT::dwData of the records.
constexpr ULONG_PTR kTextFitRecord = 0x51540001;
constexpr ULONG_PTR kTextFitEnd = 0x51540002;

enum TextFitKind : int {
    kStaticText = 1,   // a static control's text
    kCheckBoxText = 2, // the text beside a check box
    kRadioText = 3,    // the text beside a radio button
    kGroupCaption = 4, // a group box's caption
};

constexpr int kTextFitMaxText = 512;
constexpr int kTextFitMaxFace = 32;

// One control's text. Sizes are in pixels, from the control's left edge: the width
// includes what the control draws left of the text (the box of a check box, the
// indent of a caption).
struct TextFitRecord {
    int id;
    int kind;
    int left, top;     // the control's top-left corner in the dialog's client area
    int neededWidth;   // how far right the text's ink reaches, drawn as the control draws it
    int neededHeight;  // the height of the lines the text is laid out in
    int layoutWidth;   // how far right the text reaches by its font's advance widths
    int clientWidth, clientHeight;
    int fontHeight;  // the control's font: its character height (tmHeight) and face
    char fontFace[kTextFitMaxFace];
    char text[kTextFitMaxText];
};

// The end of an answer: how many records came before it and the dialog's own font.
struct TextFitEnd {
    int records;
    int fontHeight;  // the font's character height (tmHeight), in pixels
    char fontFace[kTextFitMaxFace];
};
