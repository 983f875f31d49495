// The driver's serial receiver and its frame encoder.
#include <vector>

#include "device/serial_decoder.h"
#include "frame_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CSerialDecoder decoder;
    fuzzkit::CheckFrameStream(
        data, size,
        [&](uint8_t byte, fuzzkit::Frame* got) {
            const CSerialFrame* frame = decoder.Feed(byte);
            if (!frame) return false;
            got->command = frame->command;
            got->data.assign(frame->data, frame->data + frame->length);
            // The driver's encoder gives the same bytes back, into a buffer of just that size.
            std::vector<uint8_t> wire(frame->length + 7u);
            fuzzkit::Require(
                EncodeSerialFrame(frame->command, frame->length, frame->data, wire.data()) == wire.size() &&
                    wire == fuzzkit::Encode(*got),
                "the driver's encoder writes the frame it decoded");
            return true;
        },
        [&] { return decoder.CurrentState() == CSerialDecoder::State::Idle; });
    return 0;
}
