// The check every serial frame decoder goes through, whatever its interface. A
// decoder is handed over as a function that takes one byte and says whether a
// frame with a valid checksum ended with it (its command and data in *frame),
// and one that says whether it waits for the start of a frame.
//
// The input is fed twice: once as it is (the seed corpus holds real frames, so
// the mutations reach every command), then read as a script of noise, each
// followed by a frame with a valid checksum. Every frame reported must be the
// bytes just fed, checksum included; a waiting decoder leaves waiting only for
// an SOH; zeros end any frame in progress; and every scripted frame fed to a
// waiting decoder, whatever the noise before, is reported exactly once, on its
// last byte.
#ifndef BRL_FUZZ_FRAME_STREAM_H
#define BRL_FUZZ_FRAME_STREAM_H

#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace fuzzkit {

struct Frame {
    uint8_t command = 0;
    std::vector<uint8_t> data;
};

inline void Require(bool holds, const char* what) {
    if (holds) return;
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

// 01 02 CMD LEN 03 DATA CHK-low CHK-high, written here once more so that a
// decoder's mistake cannot hide behind the same mistake in its own encoder.
inline std::vector<uint8_t> Encode(const Frame& frame) {
    std::vector<uint8_t> bytes = {0x01, 0x02, frame.command, static_cast<uint8_t>(frame.data.size()), 0x03};
    uint16_t sum = static_cast<uint16_t>(0x02 + frame.command + frame.data.size() + 0x03);
    for (uint8_t b : frame.data) sum = static_cast<uint16_t>(sum + b);
    bytes.insert(bytes.begin() + 5, frame.data.begin(), frame.data.end());
    sum ^= 0xAA55;
    bytes.push_back(static_cast<uint8_t>(sum & 0xFF));
    bytes.push_back(static_cast<uint8_t>(sum >> 8));
    return bytes;
}

// Zeros enough to end any frame in progress (the longest has 262); 00 never starts one.
constexpr size_t kFlush = 262;
constexpr size_t kMaxScriptedFrames = 8;

template <class FeedByte, class Idle>  // bool (uint8_t byte, Frame* frame), bool ()
class CStreamCheck {
public:
    CStreamCheck(FeedByte feed, Idle idle) : feed(feed), idle(idle) {}

    bool Feed(uint8_t byte, Frame* frame) {
        if (recent.size() >= 4 * kFlush) recent.erase(recent.begin(), recent.end() - kFlush);
        recent.push_back(byte);
        const bool waiting = idle();
        const bool taken = feed(byte, frame);
        Require(!waiting || byte == 0x01 || idle(), "only an SOH starts a frame");
        if (!taken) return false;
        Require(frame->data.size() <= 255, "a frame's length fits its length byte");
        const std::vector<uint8_t> wire = Encode(*frame);
        Require(wire.size() <= recent.size() && std::equal(wire.begin(), wire.end(), recent.end() - wire.size()),
                "a frame reported is the bytes just fed, checksum included");
        return true;
    }

    void Run(const uint8_t* data, size_t size) {
        Frame got;
        for (size_t i = 0; i < size; ++i) Feed(data[i], &got);

        FuzzedDataProvider script(data, size);
        for (size_t n = 0; n < kMaxScriptedFrames && script.remaining_bytes() > 0; ++n) {
            for (uint8_t b : script.ConsumeBytes<uint8_t>(script.ConsumeIntegralInRange<size_t>(0, 64))) Feed(b, &got);
            for (size_t i = 0; !idle(); ++i) {
                Require(i < kFlush, "zeros end the frame in progress");
                Feed(0x00, &got);
            }
            Frame sent;
            sent.command = script.ConsumeIntegral<uint8_t>();
            sent.data = script.ConsumeBytes<uint8_t>(script.ConsumeIntegralInRange<size_t>(0, 255));
            const std::vector<uint8_t> wire = Encode(sent);
            for (size_t i = 0; i < wire.size(); ++i)
                Require(Feed(wire[i], &got) == (i + 1 == wire.size()), "a valid frame is taken once, on its last byte");
            Require(got.command == sent.command && got.data == sent.data, "the frame taken is the frame sent");
        }
    }

private:
    FeedByte feed;
    Idle idle;
    std::vector<uint8_t> recent;
};

template <class FeedByte, class Idle>
void CheckFrameStream(const uint8_t* data, size_t size, FeedByte feed, Idle idle) {
    CStreamCheck<FeedByte, Idle>(feed, idle).Run(data, size);
}

}  // namespace fuzzkit

#endif
