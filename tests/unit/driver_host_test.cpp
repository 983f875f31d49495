// The host-facing slots of driver objects made here: start and stop with and
// without a display, suspension, the cell writes, the init texts and Identify.
// Where only the commands matter, a recorder thread stands in for the worker
// and keeps every command it is sent.
#include <gtest/gtest.h>

#include <process.h>

#include <cstdint>
#include <cstring>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

using testenv::CRecordingHost;

struct Command {
    int number;
    bool hasPayload;
    std::vector<uint8_t> payload;  // the parameter's count of bytes and the byte after them
    uint32_t parameter;
};

// Stands in for the worker: records each command (the host's writes, taken
// from their list at each wake-up, as the commands they stand for), releases
// its payload and completes it as the worker does; ends on the stop command.
class CCommandRecorder {
public:
    explicit CCommandRecorder(CBrailleSampleDriver& driver) : driver(driver) {
        ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        unsigned id = 0;
        thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Run, this, 0, &id));
        WaitForSingleObject(ready, 5000);
        driver.commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        driver.workerThread = copy;
        driver.workerThreadId = id;
        threadId = id;
    }
    ~CCommandRecorder() {
        if (!Ended()) PostThreadMessageA(threadId, WM_DRIVER_COMMAND + CMD_STOP, 0, 0);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        CloseHandle(ready);
        if (driver.workerThread && driver.workerThreadId == threadId) {
            CloseHandle(driver.workerThread);
            driver.workerThread = nullptr;
        }
        if (driver.commandDone) {
            CloseHandle(driver.commandDone);
            driver.commandDone = nullptr;
        }
    }
    std::vector<Command> Take() {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<Command> taken;
        taken.swap(commands);
        return taken;
    }
    // What arrives until there are `count` commands or the time is up, pumping
    // this thread's messages meanwhile.
    std::vector<Command> Collect(size_t count, DWORD timeoutMs) {
        std::vector<Command> all;
        testenv::WaitUntil(
            [&] {
                for (Command& c : Take()) all.push_back(c);
                return all.size() >= count;
            },
            timeoutMs);
        return all;
    }
    bool Ended() const { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }
    bool WaitEnded() const { return WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0; }

private:
    static unsigned __stdcall Run(void* argument) {
        auto* self = static_cast<CCommandRecorder*>(argument);
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(self->ready);
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.hwnd || msg.message < WM_DRIVER_COMMAND || msg.message > WM_DRIVER_COMMAND + CMD_TICK) continue;
            if (msg.message == WM_DRIVER_COMMAND + CMD_SYNC && !msg.wParam) {
                self->TakeWrites();  // the wake-up for the host's writes
                continue;
            }
            Command command;
            command.number = static_cast<int>(msg.message - WM_DRIVER_COMMAND);
            command.parameter = static_cast<uint32_t>(msg.lParam);
            auto* payload = reinterpret_cast<uint8_t*>(msg.wParam);
            command.hasPayload = payload != nullptr;
            if (payload) command.payload.assign(payload, payload + command.parameter + 1);
            std::free(payload);
            {
                std::lock_guard<std::mutex> hold(self->lock);
                self->commands.push_back(command);
            }
            self->driver.Complete(static_cast<uint32_t>(static_cast<uint64_t>(msg.lParam) >> 32));
            if (command.number == CMD_STOP) break;
        }
        return 0;
    }

    void TakeWrites() {
        auto* write = static_cast<CCellWrite*>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&driver.queuedWrites), nullptr));
        std::vector<Command> taken;
        while (write) {
            const bool cells = write->command != CMD_CLEAR;
            taken.insert(taken.begin(), Command{write->command, cells, {}, write->count});
            if (cells) taken.front().payload.assign(write->cells, write->cells + write->count + 1);
            CCellWrite* next = write->next;
            std::free(write);
            write = next;
        }
        std::lock_guard<std::mutex> hold(lock);
        commands.insert(commands.end(), taken.begin(), taken.end());
    }

    CBrailleSampleDriver& driver;
    HANDLE ready = nullptr;
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    std::mutex lock;
    std::vector<Command> commands;
};

// Commands as "TEXT 3: 11 22 33 00 | CLEAR 0": each one's name and parameter,
// then its payload in hex when it has one.
std::string Describe(const std::vector<Command>& commands) {
    static const char* const kNames[] = {"STOP", "SYNC", "OPEN", "CLOSE", "SUSPEND", "TEXT", "ALL", "CLEAR", "TICK"};
    std::ostringstream out;
    for (size_t i = 0; i < commands.size(); ++i) {
        const Command& c = commands[i];
        out << (i ? " | " : "") << kNames[c.number] << " " << c.parameter << (c.hasPayload ? ":" : "") << std::hex
            << std::uppercase << std::setfill('0');
        for (uint8_t b : c.payload) out << " " << std::setw(2) << int(b);
        out << std::dec;
    }
    return out.str();
}

// True when the thread with that identifier has ended (or is gone altogether).
bool ThreadEnded(DWORD id) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
    if (!thread) return true;
    bool ended = WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

HWND MakeKeyWindow(CBrailleSampleDriver& driver) {
    driver.RegisterKeyWindowClass(ModuleInstance());
    return driver.CreateKeyWindow(ModuleInstance());
}

// ---------------------------------------------------------------- start and stop

// Counts left from an earlier run do not make a missing display look present.
TEST(DriverLifecycle, InitializeWithoutDisplayFailsAndLeavesNothingRunning) {
    CBrailleSampleDriver driver;
    CRecordingHost host;
    for (const char* port : {"COM250", "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(port ? port : "(null)");
        driver.textCells = 40;
        driver.statusCells = 2;
        const DWORD start = GetTickCount();
        EXPECT_EQ(0, driver.Initialize(port, &host, "a", "b"));
        EXPECT_LT(GetTickCount() - start, 10000u);
        EXPECT_EQ(nullptr, driver.workerThread);
        EXPECT_EQ(nullptr, driver.commandDone);
        EXPECT_EQ(nullptr, driver.keyWindow);
        EXPECT_TRUE(ThreadEnded(driver.workerThreadId));
        EXPECT_EQ(0, driver.GetTextCellCount());
        EXPECT_EQ(0, driver.GetTotalCellCount());
    }
    // Nothing of the failed start was kept.
    char text[8] = "xxxxxxx";
    EXPECT_EQ(0, driver.GetInitString1(text, sizeof text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(nullptr, driver.SetHost(nullptr));
    EXPECT_EQ(0, driver.initialized);
    driver.Terminate();  // nothing to stop
    EXPECT_EQ(nullptr, driver.workerThread);
}

// A worker that never reports its queue ready: Initialize gives up after 5 s
// and the thread, once it runs, ends by itself instead of living on as a
// second worker. New threads cannot start while this thread holds the loader lock.
TEST(DriverLifecycle, InitializeAbandonsAWorkerThatNeverGetsReady) {
    using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
    using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto lockLoader = reinterpret_cast<LockFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
    auto unlockLoader =
        reinterpret_cast<UnlockFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    if (!lockLoader || !unlockLoader) GTEST_SKIP() << "no loader lock entry points";

    CBrailleSampleDriver driver;
    CRecordingHost host;
    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    ASSERT_EQ(0, lockLoader(0, &disposition, &cookie));
    const DWORD start = GetTickCount();
    const int32_t result = driver.Initialize("COM250", &host, "a", "b");
    const DWORD took = GetTickCount() - start;
    HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, driver.workerThreadId);
    unlockLoader(0, cookie);

    EXPECT_EQ(0, result);
    EXPECT_GE(took, 4500u);
    EXPECT_LT(took, 15000u);
    EXPECT_EQ(nullptr, driver.workerThread);
    EXPECT_EQ(nullptr, driver.commandDone);
    EXPECT_EQ(nullptr, driver.keyWindow);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 5000));
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0u, code);
    CloseHandle(thread);
    EXPECT_EQ(0u, driver.tickCounter);
    // The driver starts normally afterwards.
    EXPECT_EQ(0, driver.Initialize("COM250", &host, "a", "b"));
    EXPECT_EQ(nullptr, driver.workerThread);
}

// A driver with the recorder for its worker and a key window of its own.
class DriverWithRecorder : public ::testing::Test {
protected:
    void SetUp() override { driver.keyWindow = window = MakeKeyWindow(driver); }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        driver.keyWindow = nullptr;
    }
    CBrailleSampleDriver driver;
    CCommandRecorder worker{driver};
    HWND window = nullptr;
};

TEST_F(DriverWithRecorder, TerminateClosesStopsAndCleansUpOnce) {
    CBrailleSampleDriver fresh;
    fresh.Terminate();  // before any Initialize: nothing at all
    EXPECT_EQ(nullptr, fresh.workerThread);

    driver.Terminate();  // never initialized: still nothing
    EXPECT_TRUE(worker.Take().empty());
    EXPECT_TRUE(IsWindow(window));

    driver.initialized = 1;
    driver.Terminate();
    EXPECT_EQ("CLOSE 0 | STOP 0", Describe(worker.Take()));
    EXPECT_TRUE(worker.WaitEnded());
    EXPECT_EQ(nullptr, driver.workerThread);
    EXPECT_EQ(nullptr, driver.keyWindow);
    EXPECT_FALSE(IsWindow(window));
    driver.Terminate();  // again: only the clean-up, which finds nothing
    EXPECT_EQ(nullptr, driver.workerThread);
}

TEST_F(DriverWithRecorder, SecondInitializeStopsTheRunningDriverFirst) {
    driver.initialized = 1;
    EXPECT_EQ(0, driver.Initialize("COM250", nullptr, "", ""));  // no display this time
    EXPECT_EQ("CLOSE 0 | STOP 0", Describe(worker.Take()));
    EXPECT_TRUE(worker.WaitEnded());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, driver.workerThread);
}

// ---------------------------------------------------------------- with a display

class DriverWithHidDisplay : public ::testing::Test {
protected:
    void SetUp() override { device = bus.AddDevice(); }
    void TearDown() override { driver.Terminate(); }
    CFakeHidPlatform bus;
    int device = 0;
    CBrailleSampleDriver driver{bus};
    CRecordingHost host;
};

TEST_F(DriverWithHidDisplay, InitializeStoresTheHostTextsAndKeyWindow) {
    std::string first(300, 'a');
    first[254] = 'y';
    first[255] = 'z';  // beyond the 255 characters kept
    ASSERT_EQ(1, driver.Initialize("COM250", &host, first.c_str(), "second"));
    EXPECT_EQ(40, driver.GetTextCellCount());
    EXPECT_EQ(0, driver.GetStatusCellCount());
    EXPECT_EQ(40, driver.GetTotalCellCount());
    ASSERT_NE(nullptr, driver.keyWindow);
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(driver.keyWindow, nullptr));

    char text[400];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(255, driver.GetInitString1(text, sizeof text));
    // Exactly `size` bytes written: the text, then zeros to the end.
    EXPECT_EQ(first.substr(0, 255) + std::string(145, '\0'), std::string(text, sizeof text));
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(9, driver.GetInitString1(text, 10));
    EXPECT_EQ(std::string(9, 'a') + '\0' + std::string(390, 'x'), std::string(text, sizeof text));
    EXPECT_EQ(6, driver.GetInitString2(text, sizeof text));
    EXPECT_STREQ("second", text);
    // A key pressed on the display reaches the host on this thread.
    bus.QueueKey(device, 0xFE, 58);
    ASSERT_TRUE(testenv::WaitUntil([&] { return !host.Keys().empty(); }, 5000));
    EXPECT_EQ("SLF10", host.Keys()[0].name);
    EXPECT_EQ(GetCurrentThreadId(), host.Keys()[0].thread);
    EXPECT_EQ(&host, driver.SetHost(nullptr));
}

TEST_F(DriverWithHidDisplay, TerminateAndStartAgain) {
    ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    const DWORD firstWorker = driver.workerThreadId;
    HWND firstWindow = driver.keyWindow;
    driver.Terminate();
    EXPECT_TRUE(ThreadEnded(firstWorker));
    EXPECT_FALSE(IsWindow(firstWindow));
    EXPECT_EQ(nullptr, driver.keyWindow);
    EXPECT_EQ(nullptr, driver.workerThread);
    EXPECT_EQ(nullptr, driver.commandDone);
    EXPECT_EQ(0u, bus.OpenHandleCount());
    // A suspension while stopped is not carried out: 0, the flag unchanged
    // (so a repeat is refused too), and no window.
    EXPECT_EQ(0, driver.Suspend(1));
    EXPECT_EQ(0, driver.suspended);
    EXPECT_EQ(0, driver.Suspend(1));
    EXPECT_EQ(1, driver.Suspend(0));
    EXPECT_EQ(nullptr, driver.keyWindow);

    ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    const DWORD secondWorker = driver.workerThreadId;
    HWND secondWindow = driver.keyWindow;
    EXPECT_TRUE(IsWindow(secondWindow));
    // Initialize while running restarts instead of leaking the running driver.
    ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    EXPECT_TRUE(ThreadEnded(secondWorker));
    EXPECT_FALSE(IsWindow(secondWindow));
    EXPECT_TRUE(IsWindow(driver.keyWindow));
    EXPECT_EQ(2u, bus.OpenHandleCount());  // the output and the input handle of one connection
}

TEST_F(DriverWithHidDisplay, SuspendKeepsTheKeyWindowOnItsThread) {
    ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    HWND window = driver.keyWindow;
    EXPECT_EQ(1, driver.Suspend(1));
    EXPECT_EQ(window, driver.keyWindow);
    const uint8_t cells[1] = {0xFF};
    EXPECT_EQ(0, driver.WriteTextCells(cells, 1));
    EXPECT_EQ(0, driver.WriteAllCells(cells, 1));
    EXPECT_EQ(0, driver.ClearCells());
    std::thread([&] { EXPECT_EQ(1, driver.Suspend(0)); }).join();  // from a thread that then ends
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(driver.keyWindow, nullptr));
    EXPECT_EQ(1, driver.WriteTextCells(cells, 1));
    bus.QueueKey(device, 0xFD, 7);
    ASSERT_TRUE(testenv::WaitUntil([&] { return !host.Keys().empty(); }, 5000));
    EXPECT_EQ(std::make_pair(std::string("Routing"), 7), host.KeyPairs()[0]);
}

// ---------------------------------------------------------------- suspension and writes

TEST_F(DriverWithRecorder, SuspendComparesTheFlagExactlyAndKeepsTheKeyWindow) {
    // A flag equal to the last one posts nothing; any other posts it as given.
    const std::pair<int32_t, const char*> steps[] = {{1, "SUSPEND 1"}, {1, ""}, {2, "SUSPEND 2"},
                                                     {0, "SUSPEND 0"}, {0, ""}, {-1, "SUSPEND 4294967295"}};
    for (const auto& step : steps) {
        SCOPED_TRACE("Suspend(" + std::to_string(step.first) + ")");
        EXPECT_EQ(1, driver.Suspend(step.first));
        EXPECT_EQ(step.second, Describe(worker.Take()));
        EXPECT_EQ(window, driver.keyWindow);
        EXPECT_TRUE(IsWindow(window));
    }
}

// Keys queued before a suspension and during it are dropped; the key window
// stays on its thread whichever thread suspends and resumes.
TEST_F(DriverWithRecorder, SuspendDropsKeysAndResumeDeliversNewOnes) {
    CRecordingHost host;
    driver.SetHost(&host);
    std::thread([&] { driver.DeliverFunctionKey(1); }).join();  // queued, never dispatched
    std::thread([&] { EXPECT_EQ(1, driver.Suspend(1)); }).join();
    std::thread([&] { driver.DeliverFunctionKey(2); }).join();
    std::thread([&] { EXPECT_EQ(1, driver.Suspend(0)); }).join();
    EXPECT_EQ(window, driver.keyWindow);
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(window, nullptr));
    std::thread([&] { driver.DeliverFunctionKey(4); }).join();
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() > 0; }, 3000));
    testenv::Pump(100);
    EXPECT_EQ((std::vector<std::pair<std::string, int32_t>>{{"F4", 0}}), host.KeyPairs());
}

// Host calls made on the worker thread (inside OnData): a suspension and a
// stop are taken down and carried out once the current command has run; they
// never wait for the worker's own signal nor touch the host's key window, and
// Initialize refuses to run there.
TEST(DriverSuspend, OnTheWorkerThreadItNeverWaits) {
    CBrailleSampleDriver driver;
    HWND window = MakeKeyWindow(driver);
    driver.keyWindow = window;
    driver.workerThread = driver.commandDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // a worker exists
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int32_t suspendResult = -1, initResult = -1;
    DWORD took = 0, workerId = 0;
    bool queued = true;
    std::thread worker([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        workerId = GetCurrentThreadId();
        SetEvent(started);
        WaitForSingleObject(go, 5000);
        const DWORD start = GetTickCount();
        suspendResult = driver.Suspend(1);
        initResult = driver.Initialize("COM250", nullptr, "", "");
        driver.Terminate();
        took = GetTickCount() - start;
        queued = PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) != 0;
    });
    WaitForSingleObject(started, 5000);
    driver.workerThreadId = workerId;
    driver.initialized = 1;
    SetEvent(go);
    worker.join();
    EXPECT_EQ(1, suspendResult);
    EXPECT_EQ(0, initResult);
    EXPECT_LT(took, 2000u);
    EXPECT_FALSE(queued) << "a command was posted to the worker's own queue";
    EXPECT_EQ(0, driver.suspended) << "not while the current command runs";
    EXPECT_EQ(1, driver.deferredSuspend);
    EXPECT_EQ(1, driver.deferredSuspendFlag);
    EXPECT_EQ(1, driver.deferredTerminate);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(window, driver.keyWindow);
    EXPECT_EQ(driver.commandDone, driver.workerThread);  // Terminate did not run there
    DestroyWindow(window);
    driver.keyWindow = nullptr;
    driver.workerThread = nullptr;
    CloseHandle(driver.commandDone);
    driver.commandDone = nullptr;
    CloseHandle(go);
    CloseHandle(started);
}

TEST_F(DriverWithRecorder, CellsArePostedAsCopies) {
    uint8_t cells[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(1, driver.WriteTextCells(cells, 3));
    std::memset(cells, 0, sizeof cells);  // reused at once by the host
    cells[0] = 0x55;
    EXPECT_EQ(1, driver.WriteAllCells(cells, 1));
    EXPECT_EQ(1, driver.ClearCells());
    EXPECT_EQ("TEXT 3: 11 22 33 00 | ALL 1: 55 00 | CLEAR 0", Describe(worker.Collect(3, 3000)));
}

TEST(DriverWrites, RefusedCallsPostNothing) {
    CBrailleSampleDriver driver;
    const uint8_t cells[2] = {1, 2};
    EXPECT_EQ(0, driver.WriteTextCells(cells, 2));  // no worker
    EXPECT_EQ(0, driver.ClearCells());

    CCommandRecorder worker(driver);
    EXPECT_EQ(0, driver.WriteTextCells(nullptr, 2));
    EXPECT_EQ(0, driver.WriteTextCells(cells, 0));
    EXPECT_EQ(0, driver.WriteTextCells(cells, -1));
    EXPECT_EQ(0, driver.WriteAllCells(nullptr, 2));
    EXPECT_EQ(0, driver.WriteAllCells(cells, 0));
    EXPECT_EQ(0, driver.WriteAllCells(cells, INT32_MIN));
    driver.suspended = 1;
    EXPECT_EQ(0, driver.WriteTextCells(cells, 2));
    EXPECT_EQ(0, driver.WriteAllCells(cells, 2));
    EXPECT_EQ(0, driver.ClearCells());
    driver.suspended = 0;
    EXPECT_EQ(1, driver.ClearCells());  // the channel itself works
    EXPECT_EQ("CLEAR 0", Describe(worker.Collect(SIZE_MAX, 300)));
}

// A count far beyond the host's buffer is cut at the 200-byte cell image:
// nothing past those 200 bytes of the buffer is read.
TEST_F(DriverWithRecorder, HugeCountsReadNoFurtherThanTheCellImage) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    auto* region = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(nullptr, region);
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(region + page, page, PAGE_NOACCESS, &old));
    uint8_t* cells = region + page - kCellImageSize;  // the last 200 readable bytes
    for (int i = 0; i < kCellImageSize; ++i) cells[i] = static_cast<uint8_t>(i);

    EXPECT_EQ(1, driver.WriteTextCells(cells, INT32_MAX));
    EXPECT_EQ(1, driver.WriteAllCells(cells, kCellImageSize + 1));
    const std::vector<Command> commands = worker.Collect(2, 3000);
    ASSERT_GE(commands.size(), 2u);
    for (const Command& c : commands) {
        EXPECT_EQ(static_cast<uint32_t>(kCellImageSize), c.parameter);
        ASSERT_EQ(static_cast<size_t>(kCellImageSize + 1), c.payload.size());
        EXPECT_EQ(0, std::memcmp(cells, c.payload.data(), kCellImageSize));
    }
    VirtualFree(region, 0, MEM_RELEASE);
}

// ---------------------------------------------------------------- texts, host, identity

TEST(DriverTexts, CopiesAreBoundedByTheHostsSize) {
    CBrailleSampleDriver driver;
    std::memcpy(driver.initString1, "hello", 6);
    std::memcpy(driver.initString2, "hello", 6);
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
        for (int which : {1, 2}) {
            SCOPED_TRACE(testing::Message() << "GetInitString" << which << ", size " << c.size);
            char text[8];
            std::memset(text, 'x', sizeof text);
            EXPECT_EQ(c.length, which == 1 ? driver.GetInitString1(text, c.size) : driver.GetInitString2(text, c.size));
            EXPECT_EQ(c.buffer, std::string(text, 8));
        }
    }
    EXPECT_EQ(0, driver.GetInitString1(nullptr, 8));
}

TEST(DriverIdentify, ReportsMakerAndGuid) {
    const uint8_t guid[16] = {0xE8, 0xD9, 0xD2, 0xD5, 0x37, 0x46, 0x07, 0x4A,
                              0xBF, 0x46, 0x42, 0x54, 0x3A, 0x3C, 0xAA, 0xCC};
    CBrailleSampleDriver driver;
    char name[8];
    uint8_t id[17];
    // The name's size and its 8-byte buffer after the call (all 'x' before):
    // small buffers get a cut, terminated name; the GUID comes every time.
    const std::pair<int32_t, std::string> cases[] = {
        {4, std::string("KVR\0xxxx", 8)}, {2, std::string("K\0xxxxxx", 8)}, {0, "xxxxxxxx"}, {-1, "xxxxxxxx"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.first);
        std::memset(name, 'x', sizeof name);
        std::memset(id, 0x5A, sizeof id);
        EXPECT_EQ(1, driver.Identify(name, c.first, id));
        EXPECT_EQ(c.second, std::string(name, 8));
        EXPECT_EQ(0, std::memcmp(guid, id, 16));
        EXPECT_EQ(0x5A, id[16]);
    }
    // Null pointers: 0 and nothing written.
    std::memset(name, 'x', sizeof name);
    std::memset(id, 0x5A, sizeof id);
    EXPECT_EQ(0, driver.Identify(name, 8, nullptr));
    EXPECT_EQ(std::string(8, 'x'), std::string(name, 8));
    EXPECT_EQ(0, driver.Identify(nullptr, 8, id));
    EXPECT_EQ(0x5A, id[0]);
}

}  // namespace
