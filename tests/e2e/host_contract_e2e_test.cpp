// The host contract as a screen reader meets it, through the loaded DLL: other
// threads, calls inside callbacks, nested waits, unload, write floods.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "brailledriver.h"
#include "support/dll_on_cable.h"

namespace {

constexpr uint16_t kDataScanCode = 0x14;  // the scan code that the host hears of through OnData

using HostContract = testenv::DllOnCable;

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
    ASSERT_EQ(1, first.second->Initialize(cable.driverEnd.c_str(), &host, "", ""));
    FreeLibrary(first.first);
    display.PressFunctionKey(1);
    EXPECT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() == 1; }, 3000)) << "keys go on after the unload";
    auto again = load();
    EXPECT_EQ(first.second, again.second) << "the worker held the module";
    again.second->Terminate();
    FreeLibrary(again.first);
    EXPECT_EQ(nullptr, GetModuleHandleA(copy.c_str()));
    EXPECT_EQ(nullptr, FindWindowA("KVR", nullptr));
    DeleteFileA(copy.c_str());
}

// Calls from other threads: SetHost returns only once the old host's OnData
// has returned; a suspend and resume from a short-lived thread leave the key
// window on the thread that called Initialize; Terminate from a thread while
// that thread does not pump keeps its bound, withdraws the host, and the window
// closes when its owner next pumps.
TEST_F(HostContract, CallsFromOtherThreads) {
    ASSERT_TRUE(Start());
    std::atomic<DWORD> dataLeft{0};
    host.onData = [&] { Sleep(300), dataLeft = GetTickCount(); };
    display.SendScanCode(kDataScanCode);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.DataCount() == 1; }, 3000));
    testenv::CRecordingHost next;
    std::thread([&] {
        EXPECT_EQ(&host, driver->SetHost(&next));
        EXPECT_NE(0u, dataLeft.load()) << "SetHost returned while the old host's OnData ran";
        EXPECT_EQ(&next, driver->SetHost(&host));
        EXPECT_EQ(1, driver->Suspend(1));
        EXPECT_EQ(1, driver->Suspend(0));
    }).join();
    display.PressFunctionKey(2);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() == 1; }, 3000));
    EXPECT_EQ(GetCurrentThreadId(), host.Keys()[0].thread);
    HWND window = FindWindowA("KVR", nullptr);
    EXPECT_LT(probes::Timed([&] { std::thread([&] { driver->Terminate(); }).join(); }), 8000.0);
    EXPECT_EQ(nullptr, driver->SetHost(nullptr)) << "Terminate withdraws the host";
    EXPECT_TRUE(testenv::WaitUntil([&] { return !IsWindow(window); }, 2000));
}

// Suspend(1) inside OnData is carried out after the current command and stays
// (the once-a-second search does not undo it); Terminate inside OnData stops
// the driver: writes are refused afterwards and no callback follows.
TEST_F(HostContract, CallsFromInsideOnDataAreCarriedOutAfterTheCommand) {
    ASSERT_TRUE(Start());
    int32_t result = -1;
    host.onData = [&] { result = driver->Suspend(1); };
    display.SendScanCode(kDataScanCode);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.DataCount() == 1; }, 3000));
    testenv::Pump(1500);
    EXPECT_EQ(1, result);
    const uint8_t cell = 1;
    EXPECT_EQ(0, driver->WriteTextCells(&cell, 1)) << "still suspended after the search interval";
    ASSERT_EQ(1, driver->Suspend(0));
    host.onData = [&] { driver->Terminate(); };
    display.SendScanCode(kDataScanCode);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.DataCount() == 2; }, 3000));
    EXPECT_TRUE(testenv::WaitUntil([&] { return driver->WriteTextCells(&cell, 1) == 0; }, 2000));
    display.SendScanCode(kDataScanCode);
    display.PressFunctionKey(3);
    testenv::Pump(500);
    EXPECT_EQ(2, host.DataCount());
    EXPECT_EQ(0u, host.KeyCount());
}

// Terminate from an OnKey dispatched inside a resume's wait (a key read while
// the display identifies itself): the outer call returns as soon as the worker
// has gone. A WM_QUIT taken from the queue during the wait is posted again.
TEST_F(HostContract, NestedTerminateAndQuitDuringAWait) {
    ASSERT_TRUE(Start());
    ASSERT_EQ(1, driver->Suspend(1));
    host.onKey = [&] { driver->Terminate(); };
    display.SetAnswerIdentify(false);
    // A message sent to this thread wakes the waiting call, which then handles this thread's queue.
    HWND target = CreateWindowExA(0, "STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::thread wake([&] {
        Sleep(200);
        display.PressFunctionKey(1);
        Sleep(300);  // read by the identification, which is then answered
        display.SetAnswerIdentify(true);
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(target, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer);
        PostMessageA(target, WM_CLOSE, 0, 0);
    });
    PostQuitMessage(7);
    EXPECT_LT(probes::Timed([&] { driver->Suspend(0), wake.join(); }), 5000.0)
        << "the outer wait ended with the worker";
    EXPECT_EQ(1u, host.KeyCount());
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
}

// A waiting call returns when its own command has run: with the worker inside
// a long tick, Suspend(1), Suspend(1), Suspend(0) ends with the display asked
// to identify itself again and the text shown (the sequence that once returned
// early and left the driver suspended after its own resume).
TEST_F(HostContract, ASuspensionReturnsWhenItsOwnCommandRan) {
    ASSERT_TRUE(Start());
    for (size_t round = 0; round < 3; ++round) {
        host.onData = [] { Sleep(150); };
        display.SendScanCode(kDataScanCode);
        ASSERT_TRUE(testenv::WaitUntil([&] { return host.DataCount() == round + 1; }, 3000));
        const sim::Counters before = display.GetCounters();
        ASSERT_EQ(1, driver->Suspend(1));
        ASSERT_EQ(1, driver->Suspend(1));
        ASSERT_EQ(1, driver->Suspend(0));
        EXPECT_GT(display.GetCounters().identifyRequests, before.identifyRequests) << round;
        const std::vector<uint8_t> text(40, static_cast<uint8_t>(0x10 + round));
        ASSERT_EQ(1, driver->WriteTextCells(text.data(), 40));
        EXPECT_TRUE(Shows(text, 5000)) << round;
    }
}

// A host writing as fast as it can: keys still arrive within a tick or so and
// the newest image reaches the display as soon as the writing stops.
TEST_F(HostContract, AWriteFloodDelaysNoKey) {
    ASSERT_TRUE(Start());
    DWORD pressed = 0, slowest = 0;
    host.onKey = [&] { slowest = std::max(slowest, GetTickCount() - pressed); };
    std::vector<uint8_t> text(40);
    for (uint32_t n = 0; n < 8; ++n) {  // a key every 250 ms, the host writing flat out
        pressed = GetTickCount();
        display.PressFunctionKey(1);
        for (uint32_t w = 0; GetTickCount() - pressed < (host.KeyCount() > n ? 250u : 3000u); ++w) {
            text[w % 40] = static_cast<uint8_t>(w);
            driver->WriteTextCells(text.data(), 40);
            testenv::Pump(0);  // the messages waiting now
        }
    }
    EXPECT_EQ(8u, host.KeyCount());
    EXPECT_LT(slowest, 1000u) << "a key waited behind the writes";
    EXPECT_TRUE(Shows(text, 2000));
}

}  // namespace
