// Driver objects made here on the driver's end of a virtual cable: the display
// found again by the search on either link, an open that blocks, and starts
// after a suspended stop or a failed start (the serial link on its own is in
// serial_link_cable_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display_sim.h"
#include "driver/driver.h"
#include "support/cable_end.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

using Bytes = std::vector<uint8_t>;
using namespace serialwire;  // Frame, Hex and the control frames
using testenv::CRecordingHost;

namespace {

// ---------------------------------------------------------------- the search on both links

// A resume that finds no display looks for it once a second on both links, USB
// first, whichever link it had before, and resumes the link when the display
// answers; the image written meanwhile is shown.
TEST(ConnectionProbe, ResumeWithoutADisplayLooksOnBothLinks) {
    REQUIRE_CABLE(cable, 0);
    CFakeHidPlatform bus;
    const int usb = bus.AddDevice();
    bus.Unplug(usb);
    CBrailleSampleDriver driver(bus);
    testenv::CCableEnd display(cable.displayEnd);
    ASSERT_TRUE(display.IsOpen());
    EXPECT_EQ(0, driver.OpenDevice(cable.driverEnd.c_str()));  // names the port; nobody answers
    driver.CarryOutSuspend(1);
    driver.CarryOutSuspend(0);  // the host's resume finds no display: the search runs
    display.Drain(300);         // the unanswered identifications

    const Bytes text(40, 0x10);
    driver.SendTextCells(text.data(), 40);
    bus.Plug(usb);
    bus.Advance(1000);
    driver.PollTick();
    ASSERT_EQ(1u, bus.Frames(usb).size()) << "the USB display was not found, or not shown the image";
    EXPECT_TRUE(bus.LastFrameShows(usb, text));

    bus.SetAutoAdvance(0);
    bus.Unplug(usb);
    driver.PollTick();  // the USB link finds its display gone
    const Bytes later(40, 0x20);
    driver.SendTextCells(later.data(), 40);
    bus.Advance(999);
    driver.PollTick();
    EXPECT_EQ("", Hex(display.Receive(1, 200))) << "asked before a second had passed";
    bus.Advance(1);
    driver.PollTick();
    EXPECT_EQ(Hex(kIdentifyRequest), Hex(display.Receive(kIdentifyRequest.size(), 3000)));

    // The serial link's search, identification and acknowledgements on a cable
    // are in serial_link_cable_test.cpp; here the newest image is shown.
    display.Send(kIdentity40);
    const Bytes expected = Concat({kAck, kIdentifyDone, Frame(0x00, Concat({DisplayDots(later), {0, 0}}))});
    Bytes got;
    EXPECT_TRUE(testenv::TickUntil(
        driver,
        [&] {
            Append(got, display.Receive(expected.size() - got.size(), 10));
            return got.size() >= expected.size();
        },
        3000));
    EXPECT_EQ(Hex(expected), Hex(got));
    driver.CloseDevice();
    EXPECT_EQ(0u, bus.OpenHandleCount());
}

// An open that blocks for 10 s (a Bluetooth port with the display off) holds
// neither Suspend nor Terminate: a resume leaves the open to the search, which
// takes the port once the open returns.
TEST(ConnectionSlowOpen, BlockedOpenHoldsNeitherSuspendNorTerminate) {
    REQUIRE_CABLE(cable, 0);
    testenv::CSlowOpen platform;
    CBrailleSampleDriver driver(platform);
    CRecordingHost host;
    sim::CSimDisplay display;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    ASSERT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    ResetEvent(platform.released);
    for (int round = 0; round < 2; ++round) {
        EXPECT_LT(probes::Timed([&] { EXPECT_EQ(1, driver.Suspend(1)); }), 1000.0);
        EXPECT_LT(probes::Timed([&] { EXPECT_EQ(1, driver.Suspend(0)); }), 2000.0);
        EXPECT_TRUE(testenv::WaitUntil([&] { return platform.blocked > 0; }, 3000));
    }
    display.ClearHistory();
    SetEvent(platform.released);
    EXPECT_TRUE(display.WaitForIdentifyDone(1, 5000)) << "the search never took the port";
    EXPECT_LT(probes::Timed([&] { EXPECT_EQ(1, driver.Suspend(1)); }), 1000.0);
    ResetEvent(platform.released);
    EXPECT_LT(probes::Timed([&] { EXPECT_EQ(1, driver.Suspend(0)); }), 2000.0);
    EXPECT_LT(probes::Timed([&] { driver.Terminate(); }), 1500.0);
    display.Close();
}

// ---------------------------------------------------------------- serial display on a cable

class DriverOnCable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_CABLE(cable, 0); }
    void TearDown() override {
        driver.Terminate();
        display.Close();
    }
    testenv::Cable cable;
    sim::CSimDisplay display;
    CBrailleSampleDriver driver;
    CRecordingHost host;
};

TEST_F(DriverOnCable, StartsAgainAfterTerminateWhileSuspended) {
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    ASSERT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    EXPECT_EQ(1, driver.Suspend(1));
    driver.Terminate();
    display.ClearHistory();
    ASSERT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    EXPECT_GE(display.GetCounters().identifyRequests, 1u);
    EXPECT_EQ(42, driver.GetTotalCellCount());
    const uint8_t cells[1] = {0x01};
    EXPECT_EQ(1, driver.WriteTextCells(cells, 1));
    EXPECT_TRUE(display.WaitFor([&] { return display.HostTextCells()[0] == 0x01; }, 3000));
}

// A display that answers with no text cells fails Initialize; the port it
// opened is released, so the next start finds it free.
TEST_F(DriverOnCable, FailedStartReleasesThePort) {
    sim::CSimDisplay::Options noCells;
    noCells.textCells = 0;
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str(), noCells));
    EXPECT_EQ(0, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    EXPECT_EQ(0, driver.GetTextCellCount());
    EXPECT_TRUE(testenv::KeyWindows().empty());
    display.Close();
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    EXPECT_EQ(1, driver.Initialize(cable.driverEnd.c_str(), &host, "", ""));
    EXPECT_EQ(40, driver.GetTextCellCount());
}

}  // namespace
