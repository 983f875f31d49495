// The host contract as a screen reader meets it, through the loaded DLL: other
// threads, calls inside callbacks, nested waits, unload, write floods.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
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
// driver stops, and the module goes at the last FreeLibrary. Then a Terminate
// inside OnData and FreeLibrary before this thread pumps: the key window is
// closed before the worker lets the module go, so the pump afterwards runs
// nothing of the unmapped DLL. A copy of the DLL has a reference count of its own.
TEST_F(HostContract, UnloadCrashesNothing) {
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

    auto third = load();
    ASSERT_EQ(1, third.second->Initialize(cable.driverEnd.c_str(), &host, "", ""));
    HANDLE stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    host.onData = [&] { third.second->Terminate(), SetEvent(stopped); };
    display.SendScanCode(kDataScanCode);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(stopped, 5000));
    FreeLibrary(third.first);
    for (int i = 0; i < 500 && GetModuleHandleA(copy.c_str()); ++i) Sleep(10);  // no pump meanwhile
    EXPECT_EQ(nullptr, GetModuleHandleA(copy.c_str())) << "the worker let the module go";
    testenv::Pump(300);
    EXPECT_EQ(nullptr, FindWindowA("KVR", nullptr));
    CloseHandle(stopped);
    DeleteFileA(copy.c_str());
}

// Two other threads stop the driver at once while Initialize opens it. Either
// order is fine, but the end is one of them: a running driver was started by
// an Initialize that said 1, a stopped one keeps no host and no key window
// (and when the stops returned first, Initialize's answer is the truth). The
// worker's handle is closed once: a second close could shut another handle.
TEST_F(HostContract, TwoTerminatesRacingInitialize) {
    ASSERT_TRUE(Start() && testenv::AllocationsCounted());
    const double restart = probes::Timed([&] { driver->Terminate(), Start(); });
    const uint64_t failedCloses = probes::FailedHandleCloses();
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> stopped{0};
        auto stop = [&] { Sleep(static_cast<DWORD>(restart * round / 16)), driver->Terminate(), ++stopped; };
        std::thread a(stop), b(stop);
        const int32_t started = driver->Initialize(cable.driverEnd.c_str(), &host, "", "");
        const bool stoppedFirst = stopped == 2;
        testenv::WaitUntil([&] { return stopped == 2; }, 15000);
        a.join(), b.join();
        const uint8_t cell = 1;
        const int32_t running = driver->WriteTextCells(&cell, 1);
        EXPECT_TRUE(running ? started : !driver->SetHost(nullptr) && !FindWindowA("KVR", nullptr));
        EXPECT_TRUE(!stoppedFirst || started == running);
        driver->Terminate();
    }
    EXPECT_EQ(failedCloses, probes::FailedHandleCloses()) << "a handle closed twice";
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

// A host that does OnData's work on its own thread (SendMessageTimeout, as a
// host marshalling callbacks to its UI thread does) while that thread
// restarts, swaps hosts and terminates: each call serves the send and returns
// at once. Then that work stops the driver inside a resume's wait: the outer
// call ends with the worker, and a posted message and WM_QUIT stay queued.
std::function<void()> g_sentWork;
LRESULT CALLBACK RunSentWork(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == WM_APP ? (g_sentWork(), 1) : DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(HostContract, OnDataSentToTheHostThreadDuringEveryWait) {
    ASSERT_TRUE(Start());
    HWND here = CreateWindowExA(0, "STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetWindowLongPtrA(here, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RunSentWork));
    auto sendWork = [&](std::function<void()> work) {
        DWORD_PTR answer = 0;
        g_sentWork = std::move(work);
        return SendMessageTimeoutA(here, WM_APP, 0, 0, SMTO_NORMAL, 10000, &answer) != 0;
    };
    HANDLE inData = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    int served = 0;
    host.onData = [&] { SetEvent(inData), served += sendWork([] {}); };
    testenv::CRecordingHost other;
    other.onData = host.onData;
    const std::function<void()> calls[] = {
        [&] { EXPECT_EQ(1, driver->Initialize(cable.driverEnd.c_str(), &host, "", "")); },
        [&] { EXPECT_EQ(&host, driver->SetHost(&other)); },
        [&] { EXPECT_EQ(&other, driver->SetHost(&host)); },
        [&] { driver->Terminate(); },
    };
    for (const auto& call : calls) {
        display.SendScanCode(kDataScanCode);
        ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(inData, 5000));
        EXPECT_LT(probes::Timed(call), 2500.0) << "a call waited out OnData's send";
    }
    EXPECT_EQ(4, served);
    host.onData = nullptr;
    ASSERT_TRUE(Start() && driver->Suspend(1));
    display.SetAnswerIdentify(false);
    std::thread work([&] { Sleep(300), sendWork([&] { driver->Terminate(); }); });
    PostMessageA(here, WM_USER + 5, 0, 0);
    PostQuitMessage(7);
    // The unanswered identification holds the worker about 3 s; the resume's own bound is 30 s.
    EXPECT_LT(probes::Timed([&] { driver->Suspend(0); }), 10000.0) << "the outer wait ended with the worker";
    work.join();
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, here, WM_USER + 5, WM_USER + 5, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
    DestroyWindow(here);
    CloseHandle(inData);
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
// the newest image reaches the display as soon as the writing stops. After
// that and thousands of writes at a screen reader's pace, a write from this
// thread still returns at once: the count of writes the worker has not taken
// goes down as it takes them, so the 20 ms back-off never starts.
TEST_F(HostContract, AWriteFloodDelaysNoKey) {
    ASSERT_TRUE(Start());
    DWORD pressed = 0, slowest = 0;
    host.onKey = [&] { slowest = std::max(slowest, GetTickCount() - pressed); };
    std::vector<uint8_t> text(40);
    // A second without a pause: the worker's queue never runs dry, and each
    // acknowledgement is still taken between the writes, not at the next tick
    // (10 frames a second at most).
    const uint32_t framesBefore = display.GetCounters().displayFrames;
    const DWORD floodStart = GetTickCount();
    for (uint32_t w = 0; GetTickCount() - floodStart < 1000; ++w) {
        text[w % 40] = static_cast<uint8_t>(w);
        driver->WriteTextCells(text.data(), 40);
    }
    const double frameRate =
        (display.GetCounters().displayFrames - framesBefore) * 1000.0 / (GetTickCount() - floodStart);
    EXPECT_GT(frameRate, 25.0) << "the acknowledgements waited for the tick";
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
    double slowestWrite = 0;
    for (uint32_t w = 0; w < 3000 && slowestWrite < 15; ++w) {
        text[w % 40] = static_cast<uint8_t>(w);
        slowestWrite = std::max(slowestWrite, probes::Timed([&] { driver->WriteTextCells(text.data(), 40); }));
        if (w % 10 == 9) testenv::Pump(1);
    }
    EXPECT_TRUE(Shows(text, 2000));
    EXPECT_LT(probes::Timed([&] { driver->WriteTextCells(text.data(), 40); }), 10.0);
}

}  // namespace
