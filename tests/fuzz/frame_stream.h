// The check every serial frame decoder goes through, whatever its interface. A
// decoder is handed over as a function that takes one byte and says whether a
// frame with a valid checksum ended with it (its command and data in *frame).
//
// The input is fed twice: once as it is (the seed corpus holds real frames, so
// the mutations reach every command), then read as a script of noise, each
// followed by a frame with a valid checksum. Every frame reported must be the
// bytes just fed, checksum included; every scripted frame must be reported
// exactly once, on its last byte, however wild the noise before it.
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

// Enough bytes to end any frame in progress (the longest has 262), and 00
// never starts one.
constexpr size_t kFlush = 262;
constexpr size_t kMaxScriptedFrames = 8;

template <class FeedByte>  // bool (uint8_t byte, Frame* frame)
class CStreamCheck {
public:
    explicit CStreamCheck(FeedByte feed) : feed(feed) {}

    bool Feed(uint8_t byte, Frame* frame) {
        if (recent.size() >= 4 * kFlush) recent.erase(recent.begin(), recent.end() - kFlush);
        recent.push_back(byte);
        if (!feed(byte, frame)) return false;
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
            for (size_t i = 0; i < kFlush; ++i) Feed(0x00, &got);
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
    std::vector<uint8_t> recent;
};

template <class FeedByte>
void CheckFrameStream(const uint8_t* data, size_t size, FeedByte feed) {
    CStreamCheck<FeedByte>(feed).Run(data, size);
}

}  // namespace fuzzkit

#endif
