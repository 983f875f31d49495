// The worker as a host meets it, on a driver object started here against the
// simulated USB display: writes made while it is held reach the display in
// the order made, stray thread messages do not end it, and a host call waiting
// for it still serves messages sent to the host's thread. The worker is the
// one thread the start added; it is held by suspending that thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/driver_on_bus.h"

namespace {

class Worker : public testenv::DriverOnBus {
protected:
    void SetUp() override {
        DriverOnBus::SetUp();
        ASSERT_EQ(1, Start());
        const std::vector<DWORD> started = NewThreads();
        ASSERT_EQ(1u, started.size());
        id = started[0];
        thread = OpenThread(SYNCHRONIZE | THREAD_SUSPEND_RESUME, FALSE, id);
        ASSERT_NE(nullptr, thread);
    }
    void TearDown() override {
        CloseHandle(thread);
        DriverOnBus::TearDown();
    }
    // The driver still works: a write reaches the display, a key the host.
    void ExpectRunning(uint32_t seed) {
        const std::vector<uint8_t> cells = testenv::Pattern(seed);
        EXPECT_EQ(1, driver.WriteTextCells(cells.data(), 40));
        EXPECT_TRUE(Shows(cells));
        bus.QueueKey(device, kFunctionReport, 2);
        EXPECT_EQ((Keys{{"F2", 0}}), KeysAfter(1));
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
    }
    DWORD id = 0;
    HANDLE thread = nullptr;
};

TEST_F(Worker, WritesMadeWhileItIsHeldShowInTheOrderMade) {
    ASSERT_NE(static_cast<DWORD>(-1), SuspendThread(thread));
    for (int k = 0; k < 5; ++k) {
        const std::vector<uint8_t> cells(5, static_cast<uint8_t>(1u << k));
        ASSERT_EQ(1, driver.WriteTextCells(cells.data(), 5 - k));  // each write covers less
    }
    testenv::Pump(300);  // three poll periods fall due
    ASSERT_NE(static_cast<DWORD>(-1), ResumeThread(thread));
    EXPECT_TRUE(Shows({0x10, 0x08, 0x04, 0x02, 0x01}));
}

TEST_F(Worker, QuitAndStrayMessagesDoNotEndIt) {
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 77, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, WM_APP + 1, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 1, 0));
    testenv::Pump(300);
    ExpectRunning(1);
}

std::atomic<DWORD> g_sinkThread{0};

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER + 7) {
        g_sinkThread = GetCurrentThreadId();
        return 42;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The worker is held, so the suspension cannot be carried out before the sent
// message has been handled by this thread inside its wait.
TEST_F(Worker, AWaitingCallServesMessagesSentToItsThread) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DriverWorkerTestSink";
    RegisterClassA(&wc);
    HWND sink = CreateWindowExA(0, wc.lpszClassName, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(nullptr, sink);
    g_sinkThread = 0;
    BOOL sent = FALSE;
    DWORD_PTR answer = 0;
    ASSERT_NE(static_cast<DWORD>(-1), SuspendThread(thread));
    std::thread other([&] {
        sent = SendMessageTimeoutA(sink, WM_USER + 7, 0, 0, SMTO_NORMAL, 5000, &answer) != 0;
        ResumeThread(thread);
    });
    EXPECT_EQ(1, driver.Suspend(1));
    other.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(42u, answer);
    EXPECT_EQ(GetCurrentThreadId(), g_sinkThread.load());
    EXPECT_EQ(0u, bus.OpenHandleCount());
    DestroyWindow(sink);
    EXPECT_EQ(1, driver.Suspend(0));
    ExpectRunning(2);
}

}  // namespace
