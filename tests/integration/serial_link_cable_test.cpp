// The serial link on the driver's end of a virtual cable, the display played
// by hand at the other end: identified and carrying frames both ways, given
// up when silent and found again by the search, and an open that blocks (a
// Bluetooth port connecting) carried over to the search.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "device/serial_link.h"
#include "support/cable_end.h"
#include "support/fake_serial.h"
#include "support/link_events.h"
#include "support/probes.h"
#include "support/test_env.h"

using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;
using namespace serialwire;  // Frame, Hex and the control frames

namespace {

class SerialLinkOnCable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_CABLE(cable, 0);
        display = std::make_unique<testenv::CCableEnd>(cable.displayEnd);
        ASSERT_TRUE(display->IsOpen());
        // The real clock: the steps of the identification take their time, so
        // the relay has carried every request before a close purges the port.
        clock.UseRealClock(true);
    }
    Bytes Image() const { return Bytes(events.image, events.image + protocol::kFrameCells); }

    testenv::Cable cable;
    std::unique_ptr<testenv::CCableEnd> display;
    CTestClock clock;
    CRecordingLinkEvents events;
    CSerialLink link{clock, events};
};

TEST_F(SerialLinkOnCable, DisplayIsIdentifiedAndFramesGoBothWays) {
    Bytes request, afterReply;
    std::thread device([&] {
        request = display->Receive(kIdentifyRequest.size(), 5000);
        if (request != kIdentifyRequest) return;
        display->Send(kIdentity40);
        afterReply = display->Receive(kAck.size() + kIdentifyDone.size(), 5000);
    });
    std::string lower = cable.driverEnd;  // the port's name in any case
    CharLowerA(&lower[0]);
    ASSERT_TRUE(link.SetPortName(lower.c_str()));
    const LinkOpen opened = link.Open(5000);
    device.join();
    ASSERT_EQ(LinkOpen::Answered, opened);
    EXPECT_EQ(cable.driverEnd, link.PortName());
    EXPECT_EQ(Hex(kIdentifyRequest), Hex(request));
    EXPECT_EQ(Hex(Concat({kAck, kIdentifyDone})), Hex(afterReply));
    EXPECT_EQ(40, link.TextCells());
    EXPECT_EQ(std::stoi(cable.driverEnd.substr(3)), link.PortNumber());

    events.image[2] = 0x08;
    link.SendCells(events.image);
    EXPECT_EQ(Hex(Frame(0x00, Image())), Hex(display->Receive(49, 3000)));
    display->Send(Concat({kAck, Frame(0x10, {5})}));
    // The arrival signals the link's event, a poll takes it (maybe in parts); nothing stale after.
    for (int i = 0; i < 4 && events.log.empty(); ++i) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(link.InputEvent(), 3000));
        link.Poll();
    }
    EXPECT_EQ(Log{"function 5"}, events.log);
    EXPECT_EQ(Hex(kAck), Hex(display->Receive(kAck.size(), 3000)));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(link.InputEvent(), 200));
    EXPECT_LT(probes::Timed([&] { link.Close(); }), 500.0);  // the outstanding read ends, bounded
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(nullptr, link.InputEvent());
}

// A silent display gets four requests and nothing is left open. The search
// opens the port once due and asks again a second later on the same port;
// the identity is acknowledged like any frame before the identification is
// completed, and the image follows.
TEST_F(SerialLinkOnCable, SilentDisplayIsGivenUpAndFoundByTheSearch) {
    link.SetPortName(cable.driverEnd.c_str());
    EXPECT_EQ(LinkOpen::Silent, link.Open(5000));
    EXPECT_FALSE(link.IsOpen());
    Bytes four;
    for (int i = 0; i < 4; ++i) Append(four, kIdentifyRequest);
    EXPECT_EQ(Hex(four), Hex(display->Receive(four.size() + 1, 1000)));

    EXPECT_FALSE(link.Search(true));
    EXPECT_EQ(Hex(kIdentifyRequest), Hex(display->Receive(kIdentifyRequest.size(), 3000)));
    EXPECT_FALSE(link.Search(true));
    EXPECT_EQ(Hex(kIdentifyRequest), Hex(display->Receive(kIdentifyRequest.size(), 3000)));
    display->Send(kIdentity40);
    ASSERT_TRUE(testenv::WaitUntil([&] { return link.Search(false); }, 3000));
    events.image[0] = 0x5A;
    link.ShowImageAgain();
    const Bytes expected = Concat({kAck, kIdentifyDone, Frame(0x00, Image())});
    EXPECT_EQ(Hex(expected), Hex(display->Receive(expected.size(), 3000)));
    EXPECT_TRUE(link.IsOpen());
}

// An open still on its way after its bound is kept for the search, which
// never waits for it and takes the port once the open has returned.
TEST_F(SerialLinkOnCable, BlockedOpenIsCarriedOverToTheSearch) {
    testenv::CSlowOpen platform;
    CSerialLink slow(platform, events);
    slow.SetPortName(cable.driverEnd.c_str());
    ResetEvent(platform.released);
    EXPECT_LT(probes::Timed([&] { EXPECT_EQ(LinkOpen::Absent, slow.Open(50)); }), 1000.0);
    EXPECT_FALSE(slow.IsOpen());
    slow.CloseForSearch();
    EXPECT_LT(probes::Timed([&] { EXPECT_FALSE(slow.Search(true)); }), 1000.0);
    SetEvent(platform.released);
    DWORD lastDue = GetTickCount();
    EXPECT_TRUE(testenv::WaitUntil(
        [&] {
            const bool due = GetTickCount() - lastDue >= 1000;
            if (due) lastDue = GetTickCount();
            if (slow.Search(due)) return true;
            if (!display->Drain(20).empty()) display->Send(kIdentity40);  // answers any request
            return false;
        },
        5000));
    EXPECT_TRUE(slow.IsOpen());
    slow.Close();
}

}  // namespace
