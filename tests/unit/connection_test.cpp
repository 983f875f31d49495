// The connection through the host's slots: the dot order, one cell image for
// all writes, and the host's suspension against the search. A USB display on
// the simulated bus stands in for the display; each link's own behaviour is in
// its tests, the serial display over a cable in integration/driver_cable_test.cpp.
#include <gtest/gtest.h>

#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/recording_host.h"
#include "support/test_env.h"

using Bytes = std::vector<uint8_t>;

namespace {

TEST(ConnectionDots, EveryByteFollowsTheDotOrder) {
    bool seen[256] = {};
    for (int b = 0; b < 256; ++b) {
        const uint8_t out = CBrailleSampleDriver::TranslateDots(static_cast<uint8_t>(b));
        ASSERT_EQ(serialwire::DisplayDots({static_cast<uint8_t>(b)})[0], out) << "host byte " << b;
        seen[out] = true;
    }
    for (bool s : seen) EXPECT_TRUE(s);  // a permutation: nothing lost or merged

    const struct {
        uint8_t in, out;
    } known[] = {{0x00, 0x00}, {0x01, 0x08}, {0x02, 0x04}, {0x04, 0x02}, {0x08, 0x80}, {0x10, 0x40},
                 {0x20, 0x20}, {0x40, 0x01}, {0x80, 0x10}, {0x3F, 0xEE}, {0xFF, 0xFF}};
    for (const auto& k : known) EXPECT_EQ(k.out, CBrailleSampleDriver::TranslateDots(k.in)) << int(k.in);
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        display = bus.AddDevice();
        ASSERT_EQ(1, driver.Initialize("COM250", &host, "", ""));
    }
    void TearDown() override {
        driver.Terminate();
        EXPECT_EQ(0u, bus.OpenHandleCount());
        EXPECT_EQ(0u, bus.Misuses()) << (bus.MisuseLog().empty() ? "" : bus.MisuseLog()[0]);
    }
    bool Shows(const Bytes& cells) {
        return testenv::WaitUntil([&] { return bus.LastFrameShows(display, cells); }, 3000);
    }

    CFakeHidPlatform bus;
    int display = 0;
    CBrailleSampleDriver driver{bus};
    testenv::CRecordingHost host;
};

// Every write changes one image: a status write keeps the text after it, a
// blank display keeps the image for the next write, and a count past the
// image fills it and goes no further.
TEST_F(Connection, WritesChangeOneImage) {
    const Bytes text = SeededCells(1);
    ASSERT_EQ(1, driver.WriteTextCells(text.data(), 40));
    ASSERT_TRUE(Shows(text));

    Bytes expected = text;
    expected[0] = 0x81;
    expected[1] = 0x42;
    ASSERT_EQ(1, driver.WriteAllCells(expected.data(), 2));
    ASSERT_TRUE(Shows(expected));

    ASSERT_EQ(1, driver.ClearCells());
    ASSERT_TRUE(Shows(Bytes(40, 0)));
    expected[0] = 0x18;
    ASSERT_EQ(1, driver.WriteAllCells(expected.data(), 1));
    ASSERT_TRUE(Shows(expected));

    const Bytes huge(100000, 0xC3);
    ASSERT_EQ(1, driver.WriteAllCells(huge.data(), static_cast<int32_t>(huge.size())));
    ASSERT_TRUE(Shows(Bytes(40, 0xC3)));
    const FakeFrame last = bus.Frames(display).back();
    EXPECT_EQ(CBrailleSampleDriver::TranslateDots(0xC3), last[40]);
    EXPECT_EQ(CBrailleSampleDriver::TranslateDots(0xC3), last[41]);
}

// A host that suspends the driver while it looks for its lost display wants it
// to stay suspended: the display's return must not reopen it behind the
// host's back. The resume shows the newest image.
TEST_F(Connection, SuspensionDuringTheSearchIsKeptWhenTheDisplayReturns) {
    bus.Unplug(display);
    ASSERT_TRUE(testenv::WaitUntil([&] { return bus.OpenHandleCount() == 0; }, 3000)) << "loss not seen";
    ASSERT_EQ(1, driver.Suspend(1));
    const Bytes newest = SeededCells(7);
    EXPECT_EQ(0, driver.WriteTextCells(newest.data(), 40));  // refused while suspended
    bus.Plug(display);
    const size_t opens = bus.OpenCount(display);
    testenv::WaitUntil([&] { return bus.Advance(100), false; }, 500);
    EXPECT_EQ(opens, bus.OpenCount(display));

    ASSERT_EQ(1, driver.Suspend(0));
    ASSERT_EQ(1, driver.WriteTextCells(newest.data(), 40));
    EXPECT_TRUE(Shows(newest));
}

}  // namespace
