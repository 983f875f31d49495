// The host-facing slots of driver objects made here, seen as a host and the
// display see them: start and stop with and without a display, suspension,
// the cell writes and the init texts. The display is the simulated USB one
// (calls made inside OnData: integration/driver_host_cable_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/driver_on_bus.h"

namespace {

using DriverHost = testenv::DriverOnBus;

// Runs a host call on a thread of its own that then ends.
template <typename F>
void OnOtherThread(F&& call) {
    std::thread(call).join();
}

// Counts left from an earlier run do not make a missing display look present;
// a failed start leaves no thread, window or handle and keeps nothing given.
TEST_F(DriverHost, InitializeWithoutDisplayFailsAndLeavesNothingRunning) {
    ASSERT_EQ(1, Start("a", "b"));  // 40 cells
    driver.Terminate();
    bus.Unplug(device);
    for (const char* port : {"COM250", "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(port ? port : "(null)");
        const DWORD start = GetTickCount();
        EXPECT_EQ(0, driver.Initialize(port, &host, "c", "d"));
        EXPECT_LT(GetTickCount() - start, 10000u);
        EXPECT_TRUE(WorkerGone());
        EXPECT_TRUE(testenv::KeyWindows().empty());
        EXPECT_EQ(0u, bus.OpenHandleCount());
        EXPECT_EQ(0, driver.GetTextCellCount());
        EXPECT_EQ(0, driver.GetTotalCellCount());
    }
    char text[8] = "xxxxxxx";
    driver.GetInitString1(text, sizeof text);
    EXPECT_STRNE("c", text);
    EXPECT_EQ(nullptr, driver.SetHost(nullptr));
    driver.Terminate();  // nothing to stop
}

// A worker that never reports its queue ready: Initialize gives up after 5 s
// and the thread, once it runs, ends by itself instead of living on as a
// second worker. New threads cannot start while this thread holds the loader lock.
TEST_F(DriverHost, InitializeAbandonsAWorkerThatNeverGetsReady) {
    using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
    using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto lockLoader = reinterpret_cast<LockFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    auto unlockLoader =
        reinterpret_cast<UnlockFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    if (!lockLoader || !unlockLoader) GTEST_SKIP() << "no loader lock entry points";

    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    ASSERT_EQ(0, lockLoader(0, &disposition, &cookie));
    const DWORD start = GetTickCount();
    const int32_t result = Start();
    const DWORD took = GetTickCount() - start;
    unlockLoader(0, cookie);

    EXPECT_EQ(0, result);
    EXPECT_GE(took, 4500u);
    EXPECT_LT(took, 15000u);
    EXPECT_TRUE(WorkerGone());
    EXPECT_TRUE(testenv::KeyWindows().empty());
    EXPECT_EQ(0u, bus.OpenHandleCount());
    // The driver starts normally afterwards, with one worker.
    ASSERT_EQ(1, Start());
    EXPECT_EQ(1u, NewThreads().size());
}

// Terminate stops the worker, closes the display and the key window, once;
// suspensions while stopped are refused and keep no flag; Initialize while
// running restarts instead of leaking the running driver.
TEST_F(DriverHost, TerminateStopsOnceAndStartsAgain) {
    driver.Terminate();  // before any Initialize: nothing at all
    ASSERT_EQ(1, Start());
    ASSERT_EQ(1u, NewThreads().size());
    HWND first = KeyWindow();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(2u, bus.OpenHandleCount());  // the output and the input handle of one connection
    driver.Terminate();
    EXPECT_TRUE(WorkerGone());
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(0u, bus.OpenHandleCount());
    driver.Terminate();  // again: finds nothing

    EXPECT_EQ(0, driver.Suspend(1));
    EXPECT_EQ(0, driver.Suspend(1));  // the refused suspension left no flag
    EXPECT_EQ(1, driver.Suspend(0));
    EXPECT_TRUE(testenv::KeyWindows().empty());

    ASSERT_EQ(1, Start());
    const std::vector<DWORD> second = NewThreads();
    HWND secondWindow = KeyWindow();
    ASSERT_EQ(1, Start());
    EXPECT_TRUE(testenv::WaitUntil([&] { return NewThreads().size() == 1 && NewThreads() != second; }, 5000));
    EXPECT_FALSE(IsWindow(secondWindow));
    EXPECT_NE(nullptr, KeyWindow());
    EXPECT_EQ(2u, bus.OpenHandleCount());
}

TEST_F(DriverHost, InitializeKeepsTheTextsAndKeysComeToThisThread) {
    std::string first(300, 'a');
    first[254] = 'y';
    first[255] = 'z';  // beyond the 255 characters kept
    ASSERT_EQ(1, Start(first.c_str(), "hello"));
    EXPECT_EQ(40, driver.GetTextCellCount());
    EXPECT_EQ(0, driver.GetStatusCellCount());
    EXPECT_EQ(40, driver.GetTotalCellCount());
    EXPECT_NE(nullptr, KeyWindow());

    char text[400];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(255, driver.GetInitString1(text, sizeof text));
    // Exactly `size` bytes written: the text, then zeros to the end.
    EXPECT_EQ(first.substr(0, 255) + std::string(145, '\0'), std::string(text, sizeof text));
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(9, driver.GetInitString1(text, 10));
    EXPECT_EQ(std::string(9, 'a') + '\0' + std::string(390, 'x'), std::string(text, sizeof text));
    // The size the host gives, the length returned and its 8-byte buffer after
    // the call, which was all 'x' before it.
    const struct {
        int32_t size;
        int32_t length;
        std::string buffer;
    } cases[] = {{3, 2, std::string("he\0xxxxx", 8)},
                 {1, 0, std::string("\0xxxxxxx", 8)},
                 {0, 0, "xxxxxxxx"},
                 {-5, 0, "xxxxxxxx"},
                 {8, 5, std::string("hello\0\0\0", 8)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::memset(text, 'x', 8);
        EXPECT_EQ(c.length, driver.GetInitString2(text, c.size));
        EXPECT_EQ(c.buffer, std::string(text, 8));
    }

    bus.QueueKey(device, kFunctionReport, 58);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() > 0; }, 5000));
    EXPECT_EQ("SLF10", host.Keys()[0].name);
    EXPECT_EQ(GetCurrentThreadId(), host.Keys()[0].thread);
    EXPECT_EQ(&host, driver.SetHost(nullptr));
}

// A suspension closes the display and refuses writes; a flag equal to the
// last one changes nothing, any other is carried out as given; a resume opens
// the display again (a new hello). The key window stays on this thread
// whichever thread suspends and resumes, and a key read before a change is
// dropped even when it is dispatched after it.
TEST_F(DriverHost, SuspendAndResume) {
    ASSERT_EQ(1, Start());
    HWND window = KeyWindow();
    bus.QueueKey(device, kFunctionReport, 1);
    MSG msg;  // waited for without pumping: posted to the window, not yet dispatched
    for (int i = 0; i < 1000 && !PeekMessageA(&msg, window, 0, 0, PM_NOREMOVE); ++i) Sleep(5);

    const struct {
        int32_t flag;
        size_t handles;  // open on the bus afterwards
        size_t hellos;   // so far
    } steps[] = {{1, 0, 1}, {1, 0, 1}, {2, 0, 1}, {0, 2, 2}, {0, 2, 2}, {-1, 0, 2}, {0, 2, 3}};
    const uint8_t cells[1] = {0xFF};
    for (const auto& step : steps) {
        SCOPED_TRACE("Suspend(" + std::to_string(step.flag) + ")");
        OnOtherThread([&] { EXPECT_EQ(1, driver.Suspend(step.flag)); });
        EXPECT_EQ(step.handles, bus.OpenHandleCount());
        EXPECT_EQ(step.hellos, bus.HelloCount(device));
        EXPECT_EQ(window, KeyWindow());
        const int32_t written = step.flag ? 0 : 1;
        EXPECT_EQ(written, driver.WriteTextCells(cells, 1));
        EXPECT_EQ(written, driver.WriteAllCells(cells, 1));
        EXPECT_EQ(written, driver.ClearCells());
    }
    bus.QueueKey(device, kFunctionReport, 4);
    bus.QueueKey(device, kRoutingReport, 7);
    EXPECT_EQ((Keys{{"F4", 0}, {"Routing", 7}}), KeysAfter(2));
}

// Writes are copies (the host reuses its buffer at once) and reach the display
// in the order made; refused writes send nothing.
TEST_F(DriverHost, WritesReachTheDisplayAsCopies) {
    const uint8_t cells[2] = {1, 2};
    EXPECT_EQ(0, driver.WriteTextCells(cells, 2));  // not started
    EXPECT_EQ(0, driver.ClearCells());
    ASSERT_EQ(1, Start());
    uint8_t buffer[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(1, driver.WriteTextCells(buffer, 3));
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_TRUE(Shows({0x11, 0x22, 0x33, 0x00}));
    buffer[0] = 0x55;
    EXPECT_EQ(1, driver.WriteAllCells(buffer, 1));
    EXPECT_TRUE(Shows({0x55, 0x22, 0x33}));
    const size_t frames = bus.Frames(device).size();
    EXPECT_EQ(0, driver.WriteTextCells(nullptr, 2));
    EXPECT_EQ(0, driver.WriteAllCells(buffer, 0));
    EXPECT_EQ(0, driver.WriteTextCells(buffer, -1));
    testenv::Pump(300);
    EXPECT_EQ(frames, bus.Frames(device).size());
    EXPECT_EQ(1, driver.ClearCells());
    EXPECT_TRUE(Shows(std::vector<uint8_t>(40, 0)));
}

}  // namespace
