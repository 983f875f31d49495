// The serial link against a scripted port: the frames on the wire, the
// decoder, the held display frame, the acknowledgement and its time-outs,
// the identification and the search.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "device/protocol.h"
#include "device/serial_decoder.h"
#include "support/fake_serial.h"

using Bytes = std::vector<uint8_t>;
using namespace serialwire;  // Frame, Hex and the control frames
using State = CSerialDecoder::State;

namespace {

const Bytes kKeyF5 = {0x01, 0x02, 0x10, 0x01, 0x03, 0x05, 0x4E, 0xAA};

// Feeds a frame: it must come out at its last byte and only there, as sent.
void ExpectDecoded(CSerialDecoder& decoder, const Bytes& f) {
    for (size_t i = 0; i + 1 < f.size(); ++i) ASSERT_EQ(nullptr, decoder.Feed(f[i])) << Hex(f) << " byte " << i;
    const CSerialFrame* frame = decoder.Feed(f.back());
    ASSERT_NE(nullptr, frame) << Hex(f);
    EXPECT_EQ(Hex(f), Hex(Frame(frame->command, Bytes(frame->data, frame->data + frame->length))));
    EXPECT_EQ(State::Idle, decoder.CurrentState());
}
// Feeds bytes that must not complete a frame.
void ExpectNothing(CSerialDecoder& decoder, const Bytes& bytes) {
    for (uint8_t b : bytes) ASSERT_EQ(nullptr, decoder.Feed(b)) << Hex(bytes);
}

// ---------------------------------------------------------------- frames and the decoder

TEST(SerialFrames, EncodedAsTheDisplayReadsThemAndDecodedBack) {
    uint8_t out[protocol::kMaxFrameData + protocol::kFrameOverhead];
    auto encode = [&](uint8_t command, const Bytes& data) {
        return Bytes(out, out + EncodeSerialFrame(command, static_cast<uint8_t>(data.size()), data.data(), out));
    };
    EXPECT_EQ(Hex(kIdentifyRequest), Hex(encode(protocol::kCmdIdentify, {})));
    EXPECT_EQ(Hex(kAck), Hex(encode(protocol::kCmdAck, {})));
    EXPECT_EQ(Hex(kIdentifyDone), Hex(encode(protocol::kCmdIdentifyDone, {0})));
    EXPECT_EQ(Hex(Concat({{0x01, 0x02, 0x00, 0x2A, 0x03}, Bytes(42, 0x00), {0x7A, 0xAA}})),
              Hex(encode(protocol::kCmdDisplay, Bytes(42, 0))));

    CSerialDecoder decoder;
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        Bytes data(round == 0 ? 0 : random() % (protocol::kMaxFrameData + 1));
        for (auto& b : data) b = static_cast<uint8_t>(random());
        Bytes f = encode(static_cast<uint8_t>(random()), data);
        ASSERT_EQ(Hex(Frame(f[2], data)), Hex(f));
        ASSERT_NO_FATAL_FAILURE(ExpectDecoded(decoder, f));
        // One bit of a data or checksum byte flipped: dropped.
        f[5 + random() % (f.size() - 5)] ^= static_cast<uint8_t>(1u << (random() % 8));
        ASSERT_NO_FATAL_FAILURE(ExpectNothing(decoder, f));
        ASSERT_EQ(State::Idle, decoder.CurrentState());
    }
}

TEST(SerialFrames, MalformedFramesAreDroppedAndTheNextOneIsTaken) {
    auto changed = [](size_t at, uint8_t flip) {
        Bytes b = kKeyF5;
        b[at] ^= flip;
        return b;
    };
    const Bytes cases[] = {
        changed(7, 0x01),                // checksum high
        changed(6, 0x80),                // checksum low
        changed(5, 0x03),                // data
        {0x01, 0x02, 0x10, 0xC8, 0x04},  // no ETX: the 200 bytes are not waited for
        Concat({{0x01}, kKeyF5}),        // a second SOH where STX belongs
    };
    for (const Bytes& bad : cases) {
        CSerialDecoder decoder;
        ASSERT_NO_FATAL_FAILURE(ExpectNothing(decoder, bad));
        EXPECT_EQ(State::Idle, decoder.CurrentState()) << Hex(bad);
        ASSERT_NO_FATAL_FAILURE(ExpectDecoded(decoder, kKeyF5));
    }
    // The stream ends after CMD: the decoder waits for LEN.
    CSerialDecoder decoder;
    ExpectNothing(decoder, {0x01, 0x02, 0x10});
    EXPECT_EQ(State::Length, decoder.CurrentState());
}

// A frame swallows at most 255 data bytes and its checksum: after that the
// decoder is back in step with the stream, whatever came before.
TEST(SerialFrames, ValidFrameAfterGarbageIsDecoded) {
    const Bytes typed = Frame(protocol::kCmdCharacterKey, {'z', 0x00});
    std::mt19937 random(99);
    CSerialDecoder decoder;
    for (int round = 0; round < 50; ++round) {
        Bytes garbage(random() % 300);
        for (auto& b : garbage) b = static_cast<uint8_t>(random());
        if (round % 3 == 0 && garbage.size() > 4) {  // a frame started inside the garbage
            garbage[garbage.size() - 4] = protocol::kSoh;
            garbage[garbage.size() - 3] = protocol::kStx;
        }
        for (uint8_t b : garbage) decoder.Feed(b);
        for (int copy = 0; copy < 40; ++copy)
            for (uint8_t b : typed) decoder.Feed(b);
        ASSERT_NO_FATAL_FAILURE(ExpectDecoded(decoder, typed)) << "round " << round;
    }
}

}  // namespace
