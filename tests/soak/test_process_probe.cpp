// The soak's measurements must move when the objects they count do, or a leak
// would pass unseen: checked on this process, where the objects are known.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "soak/process_probe.h"

namespace {

ProcessSample SampleSelf()
{
    return SampleProcess(GetCurrentProcess(), GetCurrentProcessId());
}

}  // namespace

TEST(ProcessProbe, TheHandleCountFollowsHandlesOpenedAndClosed)
{
    SampleSelf();  // the first sample loads what sampling needs
    const ProcessSample before = SampleSelf();
    ASSERT_GT(before.handlesTable, 0);
    std::vector<HANDLE> events;
    for (int k = 0; k < 50; ++k)
        events.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const ProcessSample during = SampleSelf();
    EXPECT_EQ(during.handlesTable, before.handlesTable + 50);
    if (before.handles > 0) {
        EXPECT_EQ(during.handles, before.handles + 50);
    }
    for (HANDLE event : events)
        CloseHandle(event);
    EXPECT_EQ(SampleSelf().handlesTable, before.handlesTable);
}

TEST(ProcessProbe, TheGdiTableCountFollowsObjectsMadeAndDeleted)
{
    const long long before = CountGdiTableEntries(GetCurrentProcess());
    ASSERT_GE(before, 0) << "the handle table cannot be read";
    std::vector<HGDIOBJ> objects;
    for (int k = 0; k < 20; ++k) {
        objects.push_back(CreateSolidBrush(RGB(k, 0, 0)));
        objects.push_back(CreateRectRgn(0, 0, k + 1, k + 1));
    }
    EXPECT_EQ(CountGdiTableEntries(GetCurrentProcess()), before + 40);
    for (HGDIOBJ object : objects)
        DeleteObject(object);
    EXPECT_EQ(CountGdiTableEntries(GetCurrentProcess()), before);
    std::printf("GetGuiResources here: GDI %lu, USER %lu; GDI table %lld\n",
                GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS),
                GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS), before);
}

TEST(ProcessProbe, TheWindowCountFollowsWindowsMadeAndDestroyed)
{
    // A thread's first window brings a helper window of the platform's own, for as long as it has one.
    HWND first = CreateWindowExA(0, "STATIC", "first", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    const long long before = CountProcessWindows(GetCurrentProcessId());
    HWND top = CreateWindowExA(0, "STATIC", "probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(top, nullptr);
    for (int k = 0; k < 5; ++k)
        CreateWindowExA(0, "BUTTON", "b", WS_CHILD, 0, 0, 10, 10, top, nullptr, nullptr, nullptr);
    HWND hidden = CreateWindowExA(0, "STATIC", "m", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_EQ(CountProcessWindows(GetCurrentProcessId()), before + 7);
    DestroyWindow(top);
    DestroyWindow(hidden);
    EXPECT_EQ(CountProcessWindows(GetCurrentProcessId()), before);
    DestroyWindow(first);
}

TEST(ProcessProbe, PrivateMemoryFollowsCommittedAndTouchedPages)
{
    const long long before = PrivateMemoryOf(SampleSelf());
    ASSERT_GT(before, 0);
    constexpr SIZE_T kSize = 32 << 20;
    auto* block = static_cast<char*>(VirtualAlloc(nullptr, kSize, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    for (SIZE_T at = 0; at < kSize; at += 4096)
        block[at] = 1;
    const long long during = PrivateMemoryOf(SampleSelf());
    VirtualFree(block, 0, MEM_RELEASE);
    EXPECT_GE(during - before, static_cast<long long>(kSize) * 9 / 10);
    EXPECT_LT(PrivateMemoryOf(SampleSelf()) - before, static_cast<long long>(kSize) / 4);
}
