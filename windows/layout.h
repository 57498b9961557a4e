// The pages' shared layout: lists stretched to the page's edges, a top row of
// buttons anchored to the right edge 5 pixels apart.
#pragma once

#include <windows.h>

#include <initializer_list>

constexpr int kButtonGap = 5;

// Every page, when created, moves itself to the page origin without resizing.
void PlacePageAtOrigin(HWND page);

// Widens a control to the right edge of the client area and, when asked, to the bottom.
void StretchToEdges(HWND page, int control, bool toBottom);
// Places the controls from the right edge leftwards, each keeping its top and size.
void AnchorRowToRight(HWND page, std::initializer_list<int> controlsFromTheRight);

// Locks the page's window updates while it is the current page, for the layout's length.
struct LayoutLock {
    explicit LayoutLock(HWND page);
    ~LayoutLock();
    LayoutLock(const LayoutLock&) = delete;
    LayoutLock& operator=(const LayoutLock&) = delete;
    bool locked;
};
