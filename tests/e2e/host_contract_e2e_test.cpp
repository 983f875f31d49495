// The host contract as a screen reader meets it: calls from other threads and
// from inside the callbacks, nested waits, a quit message, an unload without
// Terminate, a stalled host and a host that writes without pause. The DLL is
// loaded as a host loads it, the display is the simulator on a virtual cable.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "brailledriver.h"
#include "display_sim.h"
#include "e2e/loaded_driver.h"
#include "support/test_env.h"

namespace {

constexpr uint16_t kDataScanCode = 0x14;  // the scan code that the host hears of through OnData

// A host whose callbacks run a scenario's own code; keys are recorded with the
// time (ms) and thread they arrived on.
class CScriptedHost : public IBrailleHost {
public:
    std::function<void(const char*)> onKey;
    std::function<void()> onData;
    std::vector<std::string> keys;
    std::vector<DWORD> keyThreads, keyTimes;
    std::atomic<int> dataCalls{0};
    int32_t BRL_CALL OnKey(IBrailleDriver*, const char* name, int32_t) override {
        keys.emplace_back(name);
        keyThreads.push_back(GetCurrentThreadId());
        keyTimes.push_back(GetTickCount());
        if (onKey) onKey(name);
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char*, int32_t) override {
        ++dataCalls;
        if (onData) onData();
        return 0;
    }
};

double Seconds(DWORD since) { return (GetTickCount() - since) / 1000.0; }

class HostContract : public ::testing::Test {
protected:
    void SetUp() override {
        cable = testenv::CableAt(0);
        if (cable.driverEnd.empty()) GTEST_SKIP() << "no virtual cable";
        driver = LoadDriver();
        ASSERT_NE(nullptr, driver);
        ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    }
    void TearDown() override {
        if (driver) driver->Terminate();
        display.Close();
    }
    bool Start(IBrailleDriver* d = nullptr) {
        return (d ? d : driver)->Initialize(cable.driverEnd.c_str(), &host, "", "") == 1;
    }
    bool TextArrives(uint8_t seed) {
        std::vector<uint8_t> text(40, seed);
        return driver->WriteTextCells(text.data(), 40) == 1 &&
               display.WaitFor([&] { return display.HostTextCells() == text; }, 5000);
    }
    // Sends a message to this thread from another one after `ms`, which wakes a
    // waiting call so that it handles this thread's queue.
    std::thread WakeThisThreadAfter(DWORD ms, const std::function<void()>& before) {
        HWND target = CreateWindowExA(0, "STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        return std::thread([target, ms, before] {
            Sleep(ms);
            before();
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(target, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer);
            PostMessageA(target, WM_CLOSE, 0, 0);
        });
    }
    testenv::Cable cable;
    IBrailleDriver* driver = nullptr;
    sim::CSimDisplay display;
    CScriptedHost host;
};

// A host that unloads the DLL without Terminate: the worker keeps the module
// (keys still arrive, nothing runs in unmapped code). Loaded again, the same
// driver stops, and the module goes at the last FreeLibrary. A copy of the DLL
// has a reference count of its own.
TEST_F(HostContract, UnloadWithoutTerminateCrashesNothing) {
    char path[MAX_PATH];
    GetModuleFileNameA(GetModuleHandleA("brailledriver.dll"), path, MAX_PATH);
    const std::string copy = std::string(path) + ".unload.dll";
    ASSERT_TRUE(CopyFileA(path, copy.c_str(), FALSE));
    auto load = [&] {
        HMODULE dll = LoadLibraryA(copy.c_str());
        auto get = reinterpret_cast<GetBrailleInterfaceFn>(
            reinterpret_cast<void*>(GetProcAddress(dll, "GetBrailleInterface")));
        return std::make_pair(dll, get ? get(nullptr) : nullptr);
    };
    auto first = load();
    ASSERT_NE(nullptr, first.second);
    ASSERT_TRUE(Start(first.second));
    FreeLibrary(first.first);
    display.PressFunctionKey(1);
    EXPECT_TRUE(testenv::WaitUntil([&] { return host.keys.size() == 1; }, 3000)) << "keys go on after the unload";
    auto again = load();
    EXPECT_EQ(first.second, again.second) << "the worker held the module";
    again.second->Terminate();
    FreeLibrary(again.first);
    EXPECT_EQ(nullptr, GetModuleHandleA(copy.c_str()));
    EXPECT_EQ(nullptr, FindWindowA("KVR", nullptr));
    DeleteFileA(copy.c_str());
}

// Suspend and resume from a short-lived thread, Terminate from a thread while
// the owner does not pump: the key window stays on the thread that called
// Initialize and goes with Terminate, and the call keeps its bound.
TEST_F(HostContract, CallsFromOtherThreadsLeaveTheKeyWindowOnItsOwner) {
    ASSERT_TRUE(Start());
    std::thread([&] {
        EXPECT_EQ(1, driver->Suspend(1));
        EXPECT_EQ(1, driver->Suspend(0));
    }).join();
    display.PressFunctionKey(2);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.keys.size() == 1; }, 3000));
    EXPECT_EQ(GetCurrentThreadId(), host.keyThreads[0]);
    HWND window = FindWindowA("KVR", nullptr);
    ASSERT_NE(nullptr, window);
    const DWORD start = GetTickCount();
    std::thread([&] { driver->Terminate(); }).join();  // this thread does not pump meanwhile
    EXPECT_LT(Seconds(start), 8.0);
    testenv::WaitUntil([&] { return !IsWindow(window); }, 2000);
    EXPECT_FALSE(IsWindow(window)) << "the window closes once its owner pumps";
}

// Suspend(1) inside OnData is carried out after the current command and stays
// (the once-a-second search does not undo it); Terminate inside OnData stops
// the driver: writes are refused afterwards and no callback follows.
TEST_F(HostContract, CallsFromInsideOnDataAreCarriedOutAfterTheCommand) {
    ASSERT_TRUE(Start());
    int32_t result = -1;
    host.onData = [&] { result = driver->Suspend(1); };
    display.SendScanCode(kDataScanCode);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.dataCalls == 1; }, 3000));
    testenv::WaitUntil([] { return false; }, 1500);
    EXPECT_EQ(1, result);
    const uint8_t cell = 1;
    EXPECT_EQ(0, driver->WriteTextCells(&cell, 1)) << "still suspended after the search interval";
    ASSERT_EQ(1, driver->Suspend(0));
    host.onData = [&] { driver->Terminate(); };
    display.SendScanCode(kDataScanCode);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.dataCalls == 2; }, 3000));
    EXPECT_TRUE(testenv::WaitUntil([&] { return driver->WriteTextCells(&cell, 1) == 0; }, 2000));
    display.SendScanCode(kDataScanCode);
    display.PressFunctionKey(3);
    testenv::WaitUntil([] { return false; }, 500);
    EXPECT_EQ(2, host.dataCalls);
    EXPECT_TRUE(host.keys.empty());
}

// Terminate from an OnKey dispatched inside a resume's wait (a key read while
// the display identifies itself): the outer call returns as soon as the worker
// has gone. A WM_QUIT taken from the queue during the wait is posted again.
TEST_F(HostContract, NestedTerminateAndQuitDuringAWait) {
    ASSERT_TRUE(Start());
    ASSERT_EQ(1, driver->Suspend(1));
    host.onKey = [&](const char*) { driver->Terminate(); };
    display.SetAnswerIdentify(false);
    std::thread wake = WakeThisThreadAfter(200, [&] {
        display.PressFunctionKey(1);
        Sleep(300);  // read by the identification, which is then answered
        display.SetAnswerIdentify(true);
    });
    PostQuitMessage(7);
    const DWORD start = GetTickCount();
    driver->Suspend(0);
    wake.join();
    EXPECT_LT(Seconds(start), 5.0) << "the outer wait ended with the worker";
    EXPECT_EQ(1u, host.keys.size());
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
}

// SetHost from another thread returns only once the old host's OnData has
// returned; after Terminate the old host hears nothing of the next run.
TEST_F(HostContract, AWithdrawnHostGetsNoCallback) {
    ASSERT_TRUE(Start());
    std::atomic<DWORD> dataLeft{0};
    host.onData = [&] {
        Sleep(300);
        dataLeft = GetTickCount();
    };
    display.SendScanCode(kDataScanCode);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.dataCalls == 1; }, 3000));
    CScriptedHost next;
    DWORD setHostReturned = 0;
    std::thread([&] {
        EXPECT_EQ(&host, driver->SetHost(&next));
        setHostReturned = GetTickCount();
    }).join();
    EXPECT_NE(0u, dataLeft.load()) << "SetHost returned while the old host's OnData ran";
    EXPECT_GE(setHostReturned, dataLeft.load());
    driver->Terminate();
    EXPECT_EQ(nullptr, driver->SetHost(nullptr)) << "Terminate withdraws the host";
}

// A waiting call returns when its own command has run: a Suspend(1) posted
// while the worker is inside a long tick finds the link closed when it returns,
// and the resume that follows shows the text again (the sequence that once
// left the driver suspended after its own resume).
TEST_F(HostContract, ASuspensionReturnsWhenItsOwnCommandRan) {
    ASSERT_TRUE(Start());
    for (int round = 0; round < 3; ++round) {
        host.onData = [] { Sleep(150); };
        display.SendScanCode(kDataScanCode);
        ASSERT_TRUE(testenv::WaitUntil([&] { return host.dataCalls == round + 1; }, 3000));
        const sim::Counters before = display.GetCounters();
        ASSERT_EQ(1, driver->Suspend(1));
        ASSERT_EQ(1, driver->Suspend(1));
        ASSERT_EQ(1, driver->Suspend(0));
        EXPECT_GT(display.GetCounters().identifyRequests, before.identifyRequests) << round;
        EXPECT_TRUE(TextArrives(static_cast<uint8_t>(0x10 + round))) << round;
    }
}

// A host writing as fast as it can: keys still arrive within a tick or so and
// the newest image reaches the display as soon as the writing stops.
TEST_F(HostContract, AWriteFloodDelaysNoKey) {
    ASSERT_TRUE(Start());
    std::vector<DWORD> pressed;
    std::atomic<bool> flooding{true};
    std::thread keys([&] {
        for (int i = 0; i < 8; ++i) {
            Sleep(250);
            pressed.push_back(GetTickCount());
            display.PressFunctionKey(1);
        }
        flooding = false;
    });
    std::vector<uint8_t> text(40);
    for (uint32_t n = 0; flooding; ++n) {
        text[n % 40] = static_cast<uint8_t>(n);
        driver->WriteTextCells(text.data(), 40);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    keys.join();
    testenv::WaitUntil([&] { return host.keys.size() == pressed.size(); }, 3000);
    ASSERT_EQ(pressed.size(), host.keys.size());
    DWORD slowest = 0;
    for (size_t i = 0; i < pressed.size(); ++i) slowest = std::max(slowest, host.keyTimes[i] - pressed[i]);
    EXPECT_LT(slowest, 1000u) << "a key waited behind the writes";
    EXPECT_TRUE(display.WaitFor([&] { return display.HostTextCells() == text; }, 2000));
}

}  // namespace
