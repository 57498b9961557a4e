#include "windows/layout.h"

#include "windows/window_state.h"

namespace {

RECT RectInParent(HWND page, HWND control)
{
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

}  // namespace

void PlacePageAtOrigin(HWND page)
{
    SetWindowPos(page, nullptr, windowState.pageOrigin.x, windowState.pageOrigin.y, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void StretchToEdges(HWND page, int control, bool toBottom)
{
    HWND child = GetDlgItem(page, control);
    RECT client{};
    GetClientRect(page, &client);
    const RECT rect = RectInParent(page, child);
    const int height = toBottom ? client.bottom - rect.top : rect.bottom - rect.top;
    SetWindowPos(child, nullptr, 0, 0, client.right - rect.left, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AnchorRowToRight(HWND page, std::initializer_list<int> controlsFromTheRight)
{
    RECT client{};
    GetClientRect(page, &client);
    int right = client.right;
    for (int control : controlsFromTheRight) {
        HWND child = GetDlgItem(page, control);
        const RECT rect = RectInParent(page, child);
        const int width = rect.right - rect.left;
        SetWindowPos(child, nullptr, right - width, rect.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        right -= width + kButtonGap;
    }
}

LayoutLock::LayoutLock(HWND page) : locked(windowState.currentPage == page && page != nullptr)
{
    if (locked)
        LockWindowUpdate(page);
}

LayoutLock::~LayoutLock()
{
    if (locked)
        LockWindowUpdate(nullptr);
}
