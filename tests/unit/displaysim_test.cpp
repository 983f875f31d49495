// The simulated display's own frame codec and dot order (its device behaviour
// over a cable is in integration/displaysim_cable_test.cpp).
#include <gtest/gtest.h>

#include "display_sim.h"
#include "support/fake_serial.h"

#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using namespace serialwire;  // Concat and the control frames typed out byte by byte

TEST(DisplaySimFrames, EncodesKnownFramesByteExact) {
    EXPECT_EQ(sim::EncodeFrame(0x24, nullptr, 0), kIdentifyRequest);
    EXPECT_EQ(sim::EncodeFrame(0x7F, nullptr, 0), kAck);
    EXPECT_EQ(sim::EncodeFrame(0x26, Bytes{0x00}), kIdentifyDone);
    EXPECT_EQ(sim::EncodeFrame(0x25, Bytes{0x28, 0, 0, 0, 5, 7}), kIdentity40);
    EXPECT_EQ(sim::EncodeFrame(0x10, Bytes{0x05}), (Bytes{0x01, 0x02, 0x10, 0x01, 0x03, 0x05, 0x4E, 0xAA}));
    EXPECT_EQ(sim::EncodeFrame(0x00, Bytes(42, 0)),
              Concat({{0x01, 0x02, 0x00, 0x2A, 0x03}, Bytes(42, 0), {0x7A, 0xAA}}));
}

TEST(DisplaySimFrames, ChecksumWrapsAndOversizeIsRefused) {
    // 255 bytes of FF push the sum well past 16 bits' low byte; the frame must still decode.
    Bytes full(255, 0xFF);
    Bytes frame = sim::EncodeFrame(0x42, full);
    ASSERT_EQ(frame.size(), 262u);
    EXPECT_EQ(frame[3], 0xFF);
    sim::CFrameDecoder decoder;
    std::vector<sim::Frame> got = decoder.FeedBytes(frame.data(), frame.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, full);

    EXPECT_TRUE(sim::EncodeFrame(0x00, Bytes(256, 1)).empty());
    EXPECT_TRUE(sim::EncodeFrame(0x00, nullptr, 3).empty());
}

TEST(DisplaySimDecoder, FrameSplitAcrossFeedsComesOutOnce) {
    sim::CFrameDecoder decoder;
    Bytes frame = sim::EncodeFrame(0x13, Bytes{0x41, 0x01});
    sim::Frame out;
    int completed = 0;
    for (size_t i = 0; i < frame.size(); ++i) {
        EXPECT_EQ(decoder.InFrame(), i != 0);
        if (decoder.Feed(frame[i], &out)) {
            ++completed;
            EXPECT_EQ(i, frame.size() - 1);
        }
    }
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(out.command, 0x13);
    EXPECT_EQ(out.data, (Bytes{0x41, 0x01}));
    EXPECT_FALSE(decoder.InFrame());
    EXPECT_EQ(decoder.DiscardedBytes(), 0u);
}

TEST(DisplaySimDecoder, GluedFramesAndGarbageResynchronise) {
    Bytes key = sim::EncodeFrame(0x11, Bytes{0x83});
    Bytes display = sim::EncodeFrame(0x00, Bytes(42, 0x5A));
    Bytes stream = Concat({
        {0xFF, 0x00, 0x03},  // line noise: 3 discarded
        kAck,
        key,                             // glued
        {0x01, 0x07},                    // broken STX: 2 discarded
        {0x01, 0x02, 0x10, 0x01, 0x09},  // broken ETX (0x09): 5 discarded
        {0x01},                          // SOH directly before the next frame's SOH: 1 discarded
        display,
    });
    sim::CFrameDecoder decoder;
    std::vector<sim::Frame> frames = decoder.FeedBytes(stream.data(), stream.size());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].command, 0x7F);
    EXPECT_TRUE(frames[0].data.empty());
    EXPECT_EQ(frames[1].command, 0x11);
    EXPECT_EQ(frames[1].data, Bytes{0x83});
    EXPECT_EQ(frames[2].command, 0x00);
    EXPECT_EQ(frames[2].data, Bytes(42, 0x5A));
    EXPECT_EQ(decoder.DiscardedBytes(), 11u);
    EXPECT_EQ(decoder.BadChecksums(), 0u);
}

TEST(DisplaySimDecoder, BadChecksumIsCountedAndTheNextFrameStillDecodes) {
    Bytes bad = sim::EncodeFrame(0x10, Bytes{0x05});
    bad[6] ^= 0x01;  // high checksum byte
    Bytes badLow = kIdentifyRequest;
    badLow[5] ^= 0x80;
    Bytes stream = Concat({bad, badLow, kIdentifyRequest});
    sim::CFrameDecoder decoder;
    std::vector<sim::Frame> frames = decoder.FeedBytes(stream.data(), stream.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].command, 0x24);
    EXPECT_EQ(decoder.BadChecksums(), 2u);
    EXPECT_FALSE(decoder.InFrame());
}

TEST(DisplaySimDots, KnownPatternsAndRoundTripOfAllBytes) {
    const std::pair<uint8_t, uint8_t> known[] = {{0x00, 0x00}, {0x01, 0x08}, {0x08, 0x80}, {0x40, 0x01},
                                                 {0x80, 0x10}, {0x3F, 0xEE}, {0xFF, 0xFF}};
    for (const auto& k : known) EXPECT_EQ(sim::HostToDeviceDots(k.first), k.second) << int(k.first);
    bool seen[256] = {};
    for (int b = 0; b < 256; ++b) {
        uint8_t device = sim::HostToDeviceDots(static_cast<uint8_t>(b));
        EXPECT_FALSE(seen[device]) << "two host bytes give device byte " << int(device);
        seen[device] = true;
        EXPECT_EQ(sim::DeviceToHostDots(device), b);
    }
}

TEST(DisplaySimDots, UnicodeBrailleIsUtf8OfHostOrder) {
    Bytes cells{0x00, 0x01, 0x3F, 0xC0, 0xFF};
    EXPECT_EQ(sim::CellsToUnicodeBraille(cells), "\u2800\u2801\u283F\u28C0\u28FF");
    EXPECT_EQ(sim::CellsToUnicodeBraille(nullptr, 0), "");
}

}  // namespace
