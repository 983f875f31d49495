// A USB display driven through the whole driver (Initialize, the worker thread,
// its 100 ms poll, the key window) on the simulated HID bus.
#include <gtest/gtest.h>

#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

class HidLink : public ::testing::Test {
protected:
    void SetUp() override { display = bus.AddDevice(); }
    void TearDown() override {
        driver.Terminate();
        EXPECT_EQ(0u, bus.OpenHandleCount());
        EXPECT_EQ(0u, bus.Misuses()) << (bus.MisuseLog().empty() ? "" : bus.MisuseLog()[0]);
    }

    CFakeHidPlatform bus;
    int display = 0;
    CBrailleSampleDriver driver{bus};
    testenv::CRecordingHost host;
};

// Forty text cells and no status cells; text goes out as six reports per frame.
TEST_F(HidLink, OpensWithFortyTextCellsSentAsSixReportsPerFrame) {
    ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    EXPECT_EQ(40, driver.GetTextCellCount());
    EXPECT_EQ(0, driver.GetStatusCellCount());
    EXPECT_EQ(1u, bus.HelloCount(display));
    EXPECT_EQ(1, driver.usingHid);
    bus.ClearOutputs(display);
    const std::vector<uint8_t> text = SeededCells(1);
    ASSERT_EQ(1, driver.WriteTextCells(text.data(), 40));
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, text); }, 3000));
    EXPECT_EQ(6u, bus.Outputs(display).size());
    // Text starts at the first cell; the two cells after the 40 are blank.
    EXPECT_EQ(0, bus.Frames(display).back()[40]);
    EXPECT_EQ(0, bus.Frames(display).back()[41]);
    // A burst of writes: every frame is six reports and the last one shows the newest text.
    std::vector<uint8_t> last;
    for (int i = 0; i < 20; ++i) {
        last = SeededCells(static_cast<uint8_t>(i * 3));
        ASSERT_EQ(1, driver.WriteTextCells(last.data(), 40));
    }
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, last); }, 5000));
    EXPECT_EQ(0u, bus.Outputs(display).size() % 6);
}

TEST_F(HidLink, MissingAcknowledgementReopensAndResendsTheImage) {
    ASSERT_EQ(1, driver.Initialize("COM3", &host, "", ""));
    const std::vector<uint8_t> text = SeededCells(9);
    ASSERT_EQ(1, driver.WriteTextCells(text.data(), 40));
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, text); }, 3000));
    // The display stops acknowledging; a blank is written and stays unacknowledged.
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.ack = FakeAck::Manual; });
    ASSERT_EQ(1, driver.ClearCells());
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, std::vector<uint8_t>(40, 0)); }, 3000));
    const size_t opens = bus.OpenCount(display);
    bus.ClearOutputs(display);
    bus.SetAutoAdvance(0);
    bus.Advance(1001);
    // Recovery: closed, found again, and the image from before the blank re-sent.
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, text); }, 3000));
    EXPECT_GT(bus.OpenCount(display), opens);
    EXPECT_EQ(0u, bus.HelloCount(display));  // a re-found display gets no second hello
}

TEST_F(HidLink, PulledDisplayIsFoundAgainWhenPutBack) {
    ASSERT_EQ(1, driver.Initialize("COM3", &host, "", ""));
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.ack = FakeAck::Manual; });
    const std::vector<uint8_t> text = SeededCells(4);
    ASSERT_EQ(1, driver.WriteTextCells(text.data(), 40));
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, text); }, 3000));
    bus.Unplug(display);
    bus.SetAutoAdvance(0);
    bus.Advance(1001);
    ASSERT_TRUE(testenv::WaitUntil([&] { return driver.hidHandle == nullptr; }, 3000));
    testenv::WaitUntil([] { return false; }, 300);  // a few ticks look for it in vain
    EXPECT_EQ(nullptr, driver.hidHandle);
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.ack = FakeAck::Auto; });
    bus.Plug(display);
    // Looked for once a second of the display's clock.
    ASSERT_TRUE(testenv::WaitUntil(
        [&] {
            bus.Advance(50);
            return driver.hidHandle != nullptr;
        },
        3000));
    // Back in use: writes and keys work again.
    const std::vector<uint8_t> again = SeededCells(77);
    ASSERT_EQ(1, driver.WriteTextCells(again.data(), 40));
    EXPECT_TRUE(testenv::WaitUntil([&] { return bus.LastFrameShows(display, again); }, 3000));
    bus.QueueKey(display, 0xFE, 2);
    ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() > 0; }, 3000));
    EXPECT_EQ("F2", host.Keys()[0].name);
}

// A display that stops taking reports, where cancelling a write has no effect
// (Wine 8): host calls keep their bounds, the newest image arrives once the
// display takes reports again, and a write held for good neither holds
// Terminate nor stops the next Initialize.
TEST_F(HidLink, HeldWritesKeepHostCallsBounded) {
    ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    auto hold = [&](bool on) {
        bus.Configure(display, [on](FakeHidDeviceConfig& c) { c.stallWrites = c.ignoresCancel = on; });
    };
    hold(true);
    ASSERT_EQ(1, driver.WriteTextCells(SeededCells(4).data(), 40));
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.PendingReadCount() > 0; }, 3000));
    const std::vector<uint8_t> newest = SeededCells(5);
    ASSERT_EQ(1, driver.WriteTextCells(newest.data(), 40));
    EXPECT_LT(probes::Timed([&] { EXPECT_EQ(1, driver.Suspend(1)); }), 1500);
    EXPECT_LT(probes::Timed([&] { EXPECT_EQ(1, driver.Suspend(0)); }), 1500);
    hold(false);
    bus.ReleaseWrites(display);
    EXPECT_TRUE(testenv::WaitUntil([&] { return bus.Advance(50), bus.LastFrameShows(display, newest); }, 3000));

    hold(true);
    ASSERT_EQ(1, driver.WriteTextCells(SeededCells(6).data(), 40));
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.PendingReadCount() > 0; }, 3000));
    EXPECT_LT(probes::Timed([&] { driver.Terminate(); }), 3000);
    hold(false);
    EXPECT_EQ(1, driver.Initialize("COM250", &host, "", ""));
}

TEST_F(HidLink, SilentUsbDisplayFailsTheOpenWithoutTryingTheSerialPort) {
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.answersHello = false; });
    EXPECT_EQ(0, driver.Initialize("COM250", &host, "", ""));
    EXPECT_EQ(0, driver.GetTextCellCount());
    EXPECT_EQ(nullptr, driver.serial);
    EXPECT_EQ(nullptr, driver.workerThread);
}

}  // namespace
