// Driver objects made here on the driver's end of a virtual cable, seen as a
// host sees them: the serial display's routing and status keys reaching
// OnKey, and host calls made inside OnData. Keystrokes go to the test clock,
// never to the desktop.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "display_sim.h"
#include "driver/driver.h"
#include "support/fake_serial.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

// The serial display's routing keys: codes 1 and 2 are status keys, from 3 on
// cells (value code - 2); bit 7 is the second row. F63 and F64 switch the first
// row's names to the second row's and back.
TEST(SerialKeyDelivery, RoutingAndStatusKeysByRow) {
    REQUIRE_CABLE(cable, 0);
    sim::CSimDisplay display;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    CTestClock clock;
    clock.UseRealClock(true);
    CBrailleSampleDriver driver(clock);
    testenv::CRecordingHost host;
    ASSERT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    auto pressed = [&](const std::vector<uint8_t>& codes) {
        for (uint8_t code : codes) display.PressRoutingKey(code);
        testenv::WaitUntil([&] { return host.KeyCount() >= codes.size(); }, 5000);
        testenv::Pump(150);
        auto keys = host.KeyPairs();
        host.Clear();
        return keys;
    };
    using Keys = std::vector<std::pair<std::string, int32_t>>;
    const Keys normal = {{"Routing", -2}, {"STATUS1", 0},   {"STATUS2", 0},   {"Routing", 1},
                         {"Routing", 38}, {"Routing", 125}, {"Routing2", -2}, {"STATUS3", 0},
                         {"STATUS4", 0},  {"Routing2", 1},  {"Routing2", 125}};
    EXPECT_EQ(normal, pressed({0, 1, 2, 3, 40, 0x7F, 0x80, 0x81, 0x82, 0x83, 0xFF}));
    display.PressFunctionKey(63);
    const Keys alternate = {{"Routing2", -2}, {"STATUS3", 0}, {"STATUS4", 0}, {"Routing2", 1}, {"Routing2", 125},
                            {"Routing2", -2}, {"STATUS3", 0}, {"STATUS4", 0}, {"Routing2", 1}};
    EXPECT_EQ(alternate, pressed({0, 1, 2, 3, 0x7F, 0x80, 0x81, 0x82, 0x83}));
    display.PressFunctionKey(64);
    EXPECT_EQ((Keys{{"STATUS1", 0}, {"Routing", 1}}), pressed({1, 3}));
    driver.Terminate();
    display.Close();
}

// Host calls made inside OnData, on the worker: a suspension and a stop are
// taken down and carried out once the current command has run; none of them
// waits for the worker's own signal nor touches the host's key window, and
// Initialize refuses to run there.
TEST(DriverHostOnData, CallsOnTheWorkerNeverWait) {
    REQUIRE_CABLE(cable, 0);
    sim::CSimDisplay display;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    CTestClock clock;  // keystrokes recorded, never typed
    clock.UseRealClock(true);
    CBrailleSampleDriver driver(clock);
    testenv::CRecordingHost host;
    const std::vector<HWND> before = testenv::KeyWindows();
    ASSERT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    const DWORD hostThread = GetCurrentThreadId();
    HWND window = nullptr;  // the start's own
    for (HWND w : testenv::KeyWindows())
        if (std::find(before.begin(), before.end(), w) == before.end()) window = w;
    int32_t suspended = -1, written = -1, started = -1;
    double took = -1;
    bool windowKept = false;
    host.onData = [&] {
        const uint8_t cell = 1;
        took = probes::Timed([&] {
            suspended = driver.Suspend(1);
            written = driver.WriteTextCells(&cell, 1);  // not suspended while the command runs
            started = driver.Initialize(cable.driverEnd.c_str(), &host, "", "");
            driver.Terminate();
        });
        windowKept = IsWindow(window) && GetWindowThreadProcessId(window, nullptr) == hostThread;
    };
    display.SendScanCode(0x14);  // the scan code the host hears of through OnData
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.DataCount() == 1; }, 5000));
    EXPECT_EQ(1, suspended);
    EXPECT_EQ(1, written);
    EXPECT_EQ(0, started);
    EXPECT_LT(took, 2000.0);
    EXPECT_TRUE(windowKept);
    // Then the stop is carried out: the window goes and writes are refused.
    EXPECT_TRUE(testenv::WaitUntil([&] { return !IsWindow(window); }, 5000));
    EXPECT_EQ(0, driver.WriteTextCells(reinterpret_cast<const unsigned char*>("x"), 1));
    driver.Terminate();
    display.Close();
}

}  // namespace
