// The worker thread and its command channel, driven on driver objects made
// here: the worker is started the way Initialize starts it, and commands are
// posted with PostCommand.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "support/test_env.h"

namespace {

// Committed private memory of the process, summed over its address space.
long long CommittedPrivateBytes() {
    long long total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* address = nullptr;
    while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += static_cast<long long>(info.RegionSize);
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= address) break;
        address = next;
    }
    return total;
}

HANDLE Duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

// Starts the worker as Initialize does: a fresh manual-reset event, the thread,
// and the wait for its queue-ready signal.
void StartWorker(CBrailleSampleDriver& driver) {
    driver.commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, driver.commandDone);
    ASSERT_EQ(1, driver.StartWorkerThread());
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(driver.commandDone, 5000));
}

void StopWorker(CBrailleSampleDriver& driver) {
    driver.StopWorker();
    if (driver.commandDone) CloseHandle(driver.commandDone);
    driver.commandDone = nullptr;
}

// A driver whose worker runs for the whole test; `thread` is a handle of its own to it.
class RunningWorker : public ::testing::Test {
protected:
    void SetUp() override {
        StartWorker(driver);
        thread = Duplicate(driver.workerThread);
    }
    void TearDown() override {
        CloseHandle(thread);
        StopWorker(driver);
    }
    CBrailleSampleDriver driver;
    HANDLE thread = nullptr;
};

TEST(WorkerCommands, PostingWithoutAWorkerDoesNothing) {
    CBrailleSampleDriver driver;
    driver.commandDone = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const char name[] = "COM1";
    const DWORD start = GetTickCount();
    EXPECT_EQ(0, driver.PostCommand(CMD_OPEN, name, 4, 1));
    EXPECT_EQ(0, driver.PostCommand(CMD_CLEAR, nullptr, 0, 0));
    EXPECT_LT(GetTickCount() - start, 1000u);  // no wait without a worker
    // Nothing was posted, so the completion signal was not even reset.
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(driver.commandDone, 0));
    CloseHandle(driver.commandDone);
    driver.commandDone = nullptr;
    // Nor after the worker has been stopped.
    StartWorker(driver);
    StopWorker(driver);
    EXPECT_EQ(nullptr, driver.workerThread);
    EXPECT_EQ(0, driver.PostCommand(CMD_SYNC, nullptr, 0, 1));
}

// The command message itself, caught in this thread's queue in place of the worker's.
class CommandMessage : public ::testing::Test {
protected:
    void SetUp() override {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue exists
        // Only "a worker exists" matters when not waiting: the event stands in for it.
        driver.workerThread = driver.commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        driver.workerThreadId = GetCurrentThreadId();
    }
    void TearDown() override {
        MSG msg;
        while (Take(&msg)) driver.DispatchCommand(CMD_SYNC, reinterpret_cast<void*>(msg.wParam), 0);
        driver.workerThread = nullptr;
        CloseHandle(driver.commandDone);
        driver.commandDone = nullptr;
    }
    bool Take(MSG* msg) {
        return PeekMessageA(msg, reinterpret_cast<HWND>(-1), WM_DRIVER_COMMAND, WM_DRIVER_COMMAND + CMD_TICK,
                            PM_REMOVE) != 0;
    }
    CBrailleSampleDriver driver;
};

TEST_F(CommandMessage, PayloadIsACopyWithATrailingZero) {
    char name[4] = {'C', 'O', 'M', '7'};  // not terminated
    ASSERT_NE(0, driver.PostCommand(CMD_OPEN, name, 4, 0));
    name[3] = '8';  // the caller may reuse its buffer at once
    MSG msg;
    ASSERT_TRUE(Take(&msg));
    EXPECT_EQ(nullptr, msg.hwnd);
    EXPECT_EQ(static_cast<UINT>(1026 + 2), msg.message);
    EXPECT_EQ(4, msg.lParam);
    const char* payload = reinterpret_cast<const char*>(msg.wParam);
    ASSERT_NE(nullptr, payload);
    EXPECT_NE(static_cast<const void*>(name), static_cast<const void*>(payload));
    EXPECT_EQ(0, std::memcmp(payload, "COM7", 5));  // four bytes and the added zero
    // The worker releases it after the command ran.
    EXPECT_TRUE(driver.DispatchCommand(CMD_SYNC, reinterpret_cast<void*>(msg.wParam), 4));
}

TEST_F(CommandMessage, NoPayloadWithoutDataOrLength) {
    const char cells[3] = {1, 2, 3};
    ASSERT_NE(0, driver.PostCommand(CMD_TEXT_CELLS, cells, 0, 0));
    ASSERT_NE(0, driver.PostCommand(CMD_SUSPEND, nullptr, 0xFFFFFFFFu, 0));
    ASSERT_NE(0, driver.PostCommand(CMD_CLEAR, nullptr, 0, 0));
    // The length is zero-extended into the parameter.
    const struct {
        UINT message;
        unsigned long long parameter;
    } expected[] = {{1031, 0}, {1030, 0xFFFFFFFFull}, {1033, 0}};
    MSG msg;
    for (const auto& e : expected) {
        ASSERT_TRUE(Take(&msg)) << e.message;
        EXPECT_EQ(e.message, msg.message);
        EXPECT_EQ(0u, msg.wParam) << e.message;
        EXPECT_EQ(e.parameter, static_cast<unsigned long long>(msg.lParam)) << e.message;
    }
    EXPECT_FALSE(Take(&msg));
}

TEST_F(RunningWorker, PayloadsAreReleasedWhetherOrNotThePostSucceeds) {
    const size_t kBlock = 1u << 20;
    const int kPosts = 256;  // 256 MB if every block were kept
    std::vector<char> block(kBlock, 'x');

    const long long before = CommittedPrivateBytes();
    for (int i = 0; i < kPosts; ++i)
        ASSERT_NE(0, driver.PostCommand(CMD_SYNC, block.data(), static_cast<uint32_t>(kBlock), 0));
    // The stop command queues behind all of them: once the thread is gone, all ran.
    ASSERT_NE(0, driver.PostCommand(CMD_STOP, nullptr, 0, 0));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 10000));
    EXPECT_LT(CommittedPrivateBytes() - before, 64ll << 20);
    StopWorker(driver);
    // A thread that is gone: every post fails, and the block must not stay behind.
    DWORD goneId = 0;
    std::thread([&] { goneId = GetCurrentThreadId(); }).join();
    ASSERT_FALSE(PostThreadMessageA(goneId, WM_NULL, 0, 0));
    driver.workerThread = driver.commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    driver.workerThreadId = goneId;
    const long long beforeFailed = CommittedPrivateBytes();
    for (int i = 0; i < kPosts; ++i)
        ASSERT_EQ(0, driver.PostCommand(CMD_SYNC, block.data(), static_cast<uint32_t>(kBlock), 0));
    EXPECT_LT(CommittedPrivateBytes() - beforeFailed, 64ll << 20);
    driver.workerThread = nullptr;  // the stand-in event goes in TearDown
}

TEST(WorkerCommands, QueuedWritesRunInOrderBeforeTheNextTick) {
    CBrailleSampleDriver driver;  // no display: the writes reach only the cell image
    StartWorker(driver);
    ASSERT_TRUE(testenv::WaitUntil([&] { return driver.tickCounter > 0; }, 3000)) << "no tick";
    HANDLE thread = Duplicate(driver.workerThread);
    // Hold the worker while the writes queue up and the timer falls due.
    ASSERT_NE(static_cast<DWORD>(-1), SuspendThread(thread));
    const uint32_t ticks = driver.tickCounter;
    for (int k = 0; k < 5; ++k) {
        const std::vector<uint8_t> cells(5, static_cast<uint8_t>(1u << k));
        ASSERT_EQ(1, driver.WriteTextCells(cells.data(), 5 - k));  // each write covers less
    }
    ASSERT_NE(0, driver.PostCommand(CMD_STOP, nullptr, 0, 0));
    testenv::Pump(300);  // three timer periods pass
    ASSERT_NE(static_cast<DWORD>(-1), ResumeThread(thread));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 5000));
    // No tick came between the writes and the stop, and the last write is on top.
    EXPECT_EQ(ticks, driver.tickCounter);
    const uint8_t expected[5] = {driver.TranslateDots(0x10), driver.TranslateDots(0x08), driver.TranslateDots(0x04),
                                 driver.TranslateDots(0x02), driver.TranslateDots(0x01)};
    EXPECT_EQ(0, std::memcmp(expected, driver.cellImage, 5));
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0u, code);
    CloseHandle(thread);
    StopWorker(driver);
}

TEST_F(RunningWorker, QuitAndStrayMessagesDoNotEndTheWorker) {
    const DWORD id = driver.workerThreadId;
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 77, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, WM_DRIVER_COMMAND + 9, 0, 0));  // past the last command
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 1, 0));
    EXPECT_EQ(1, driver.PostCommand(CMD_SYNC, nullptr, 0, 1));
    const uint32_t ticks = driver.tickCounter;
    EXPECT_TRUE(testenv::WaitUntil([&] { return driver.tickCounter >= ticks + 2; }, 3000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 0));
}

TEST_F(RunningWorker, StopEndsTheThreadAndItsTimer) {
    ASSERT_TRUE(testenv::WaitUntil([&] { return driver.tickCounter > 0; }, 3000));
    EXPECT_EQ(1, driver.PostCommand(CMD_STOP, nullptr, 0, 1));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 5000));
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0u, code);
    const uint32_t ticks = driver.tickCounter;
    testenv::Pump(300);
    EXPECT_EQ(ticks, driver.tickCounter);
    // A caller that still thinks a worker exists is not left waiting for ever:
    // the post fails and the wait notices that the thread has ended.
    const DWORD start = GetTickCount();
    EXPECT_EQ(0, driver.PostCommand(CMD_SYNC, "x", 1, 1));
    EXPECT_LT(GetTickCount() - start, 15000u);
}

std::atomic<DWORD> g_sinkThread{0};

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER + 7) {
        g_sinkThread = GetCurrentThreadId();
        return 42;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(RunningWorker, WaitingCallerStillHandlesMessagesSentToItsThread) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DriverWorkerTestSink";
    RegisterClassA(&wc);
    HWND sink = CreateWindowExA(0, "DriverWorkerTestSink", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, sink);
    g_sinkThread = 0;

    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL sent = FALSE;
    DWORD_PTR answer = 0;
    // The worker is held, so the command cannot complete before the sent
    // message has been handled by this thread inside its wait.
    std::thread other([&] {
        WaitForSingleObject(go, 5000);
        sent = SendMessageTimeoutA(sink, WM_USER + 7, 0, 0, SMTO_NORMAL, 5000, &answer) != 0;
        ResumeThread(thread);
    });
    ASSERT_NE(static_cast<DWORD>(-1), SuspendThread(thread));
    SetEvent(go);
    EXPECT_EQ(1, driver.PostCommand(CMD_SYNC, nullptr, 0, 1));
    other.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(42u, answer);
    EXPECT_EQ(GetCurrentThreadId(), g_sinkThread.load());
    CloseHandle(go);
    DestroyWindow(sink);
}

}  // namespace
