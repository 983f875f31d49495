// The simulated display's device behaviour over a virtual cable, seen from a
// plain Win32 port at the driver's end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "display_sim.h"
#include "support/cable_end.h"
#include "support/fake_serial.h"
#include "support/probes.h"
#include "support/test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace serialwire;  // Concat and the control frames

class DisplaySimCable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_CABLE(cable, 0);
        driver = std::make_unique<testenv::CCableEnd>(cable.driverEnd);
        ASSERT_TRUE(driver->IsOpen()) << cable.driverEnd;
    }
    void Open(const sim::CSimDisplay::Options& options = sim::CSimDisplay::Options()) {
        ASSERT_TRUE(display.Open(cable.displayEnd.c_str(), options)) << cable.displayEnd;
    }

    testenv::Cable cable;
    std::unique_ptr<testenv::CCableEnd> driver;
    sim::CSimDisplay display;
};

TEST_F(DisplaySimCable, IdentifyAndDisplayFrameAreAcknowledgedAndShown) {
    Open();
    ASSERT_TRUE(driver->Send(kIdentifyRequest));
    EXPECT_EQ(driver->Receive(kAck.size() + kIdentity40.size(), 3000), Concat({kAck, kIdentity40}));
    EXPECT_TRUE(display.WaitForIdentifyRequests(1, 1000));

    ASSERT_TRUE(driver->Send(sim::EncodeFrame(0x26, Bytes{0x00})));
    EXPECT_EQ(driver->Receive(kAck.size(), 3000), kAck);

    // "ab" then dots 7-8 in host order, status cells 1 and 2 carrying dot 1 and dot 2.
    const Bytes image = DisplayDots(Concat({{0x01, 0x02, 0x01, 0x03}, Bytes(37, 0), {0xC0}}));
    ASSERT_TRUE(driver->Send(sim::EncodeFrame(0x00, image)));
    EXPECT_EQ(driver->Receive(kAck.size(), 3000), kAck);
    ASSERT_TRUE(display.WaitForDisplayFrames(1, 1000));

    std::string expected = "\u2801\u2802\u2801\u2803";
    for (int i = 0; i < 37; ++i) expected += "\u2800";
    expected += "\u28C0";
    EXPECT_EQ(display.RenderLine(), expected);
    EXPECT_EQ(display.HostTextCells()[1], 0x03);

    ASSERT_TRUE(display.WaitForAcksSent(3, 1000));  // counted just after the write
    sim::Counters n = display.GetCounters();        // frames, display frames, 0x26 and its byte, acks, identities
    EXPECT_EQ((std::vector<int64_t>{3, 1, 1, 0, 3, 1}),
              (std::vector<int64_t>{n.framesReceived, n.displayFrames, n.identifyDone, n.lastIdentifyDoneByte,
                                    n.acksSent, n.identityReplies}));
    std::vector<sim::ReceivedFrame> log = display.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].frame.command, 0x00);
    EXPECT_LE(log[0].receivedMs, log[2].receivedMs);
}

TEST_F(DisplaySimCable, KeysGoOutAndTheDriversAckClearsTheWait) {
    Open();
    ASSERT_TRUE(display.PressFunctionKey(5));
    ASSERT_TRUE(display.PressRoutingKey(0x83));
    ASSERT_TRUE(display.TypeCharacter(0x0106));
    ASSERT_TRUE(display.SendScanCode(0xE01F));
    EXPECT_EQ(driver->Receive(8 + 8 + 9 + 9, 3000), Concat({{0x01, 0x02, 0x10, 0x01, 0x03, 0x05, 0x4E, 0xAA},
                                                            sim::EncodeFrame(0x11, Bytes{0x83}),
                                                            sim::EncodeFrame(0x13, Bytes{0x06, 0x01}),
                                                            sim::EncodeFrame(0x14, Bytes{0x1F, 0xE0})}));
    EXPECT_TRUE(display.KeyAckOutstanding());
    EXPECT_EQ(display.GetCounters().keyFramesSent, 4u);

    // An ack is never acknowledged; an unknown command is.
    ASSERT_TRUE(driver->Send(kAck));
    EXPECT_TRUE(display.WaitFor([&] { return !display.KeyAckOutstanding(); }, 2000));
    ASSERT_TRUE(driver->Send(sim::EncodeFrame(0x55, Bytes{1, 2, 3})));
    EXPECT_EQ(driver->Receive(kAck.size() + 1, 400), kAck);
    sim::Counters n = display.GetCounters();
    EXPECT_EQ((std::vector<uint32_t>{1, 1, 1}), (std::vector<uint32_t>{n.acksReceived, n.acksSent, n.otherFrames}));
}

TEST_F(DisplaySimCable, GarbageAndBadChecksumsAreCountedNotAnswered) {
    Open();
    Bytes bad = kIdentifyRequest;
    bad[5] ^= 0x01;
    ASSERT_TRUE(driver->Send(Concat({{0x00, 0xFF, 0x01}, bad, kIdentifyRequest})));
    // Only the good request is answered: ack then identity reply, nothing for the rest.
    EXPECT_EQ(driver->Receive(kAck.size() + kIdentity40.size() + 1, 500), Concat({kAck, kIdentity40}));
    sim::Counters n = display.GetCounters();
    EXPECT_EQ((std::vector<uint32_t>{1, 1, 3}),
              (std::vector<uint32_t>{n.badChecksums, n.identifyRequests, n.discardedBytes}));
}

TEST_F(DisplaySimCable, AckPoliciesAndSilence) {
    sim::CSimDisplay::Options options;
    options.textCells = 20;
    options.version[0] = 1;
    options.version[1] = 2;
    options.ack = sim::AckPolicy::Never;
    Open(options);
    Bytes blank = sim::EncodeFrame(0x00, Bytes(42, 0));

    // Never: the identity reply still comes, without an ack in front; it carries 20 cells.
    ASSERT_TRUE(driver->Send(kIdentifyRequest));
    EXPECT_EQ(driver->Receive(13 + 1, 1000), sim::EncodeFrame(0x25, Bytes{20, 0, 0, 0, 1, 2}));
    EXPECT_EQ(display.GetCounters().acksDropped, 1u);

    // Corrupted checksum: the frame shape of an ack with one checksum byte off.
    display.SetAckPolicy(sim::AckPolicy::CorruptChecksum);
    ASSERT_TRUE(driver->Send(blank));
    Bytes corrupt = driver->Receive(7, 2000);
    ASSERT_EQ(corrupt.size(), 7u);
    EXPECT_EQ(Bytes(corrupt.begin(), corrupt.begin() + 5), Bytes(kAck.begin(), kAck.begin() + 5));
    EXPECT_NE(corrupt, kAck);
    sim::CFrameDecoder check;
    EXPECT_TRUE(check.FeedBytes(corrupt.data(), corrupt.size()).empty());
    EXPECT_EQ(check.BadChecksums(), 1u);
    // A 20-cell display shows its status cells and the first 20 text cells of the frame.
    ASSERT_TRUE(display.WaitForDisplayFrames(1, 1000));
    EXPECT_EQ(display.HostTextCells().size(), 20u);
    EXPECT_EQ(display.RenderLine().size(), 22u * 3);

    // Every second acknowledgement is left out.
    display.SetAckPolicy(sim::AckPolicy::DropEveryNth, 0, 2);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(driver->Send(blank));
    ASSERT_TRUE(display.WaitForDisplayFrames(5, 2000));
    EXPECT_EQ(driver->Receive(2 * 7 + 1, 500), Concat({kAck, kAck}));

    // Delayed: the ack arrives no sooner than the delay (generous bound below it).
    display.SetAckPolicy(sim::AckPolicy::Delayed, 200);
    double sent = sim::NowMs();
    ASSERT_TRUE(driver->Send(blank));
    EXPECT_EQ(driver->Receive(7, 3000), kAck);
    EXPECT_GE(sim::NowMs() - sent, 150.0);

    // Silent: neither ack nor identity reply; counting goes on.
    display.SetAckPolicy(sim::AckPolicy::Immediate);
    display.SetSilent(true);
    ASSERT_TRUE(driver->Send(kIdentifyRequest));
    ASSERT_TRUE(display.WaitForIdentifyRequests(2, 2000));
    EXPECT_TRUE(driver->Receive(1, 300).empty());
    display.SetSilent(false);
    display.SetAnswerIdentify(false);
    ASSERT_TRUE(driver->Send(kIdentifyRequest));
    EXPECT_EQ(driver->Receive(7 + 1, 500), kAck);
}

TEST_F(DisplaySimCable, DisplayCallbackAndBoundedClose) {
    Open();
    std::atomic<int> calls{0};
    std::atomic<uint8_t> firstCell{0};
    display.SetDisplayCallback([&](const std::array<uint8_t, sim::kImageCells>& cells) {
        firstCell = cells[2];
        ++calls;
    });
    // A short display frame: the cells it does not carry are blank.
    ASSERT_TRUE(driver->Send(sim::EncodeFrame(0x00, Bytes{0, 0, 0x08})));
    ASSERT_TRUE(display.WaitFor([&] { return calls.load() == 1; }, 2000));
    EXPECT_EQ(firstCell.load(), 0x08);
    EXPECT_TRUE(display.WaitForText(0));
    EXPECT_EQ(display.HostTextCells()[0], 0x01);

    // The reader is blocked in a pending read; Close must still come back promptly.
    EXPECT_LT(probes::Timed([&] { display.Close(); }), 3000.0);
    EXPECT_FALSE(display.IsOpen());
    display.Close();
    EXPECT_FALSE(display.PressFunctionKey(1));
    // The port can be opened again by a new session.
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    ASSERT_TRUE(driver->Send(kIdentifyRequest));
    EXPECT_EQ(driver->Receive(7 + 13, 3000).size(), 20u);
}

}  // namespace
