// The simulated display's frame decoder: what the driver writes reaches the
// display's side of every test through it.
#include "display_sim.h"
#include "frame_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::CFrameDecoder decoder;
    sim::Frame frame;
    fuzzkit::CheckFrameStream(
        data, size,
        [&](uint8_t byte, fuzzkit::Frame* got) {
            if (!decoder.Feed(byte, &frame)) return false;
            got->command = frame.command;
            got->data = frame.data;
            return true;
        },
        [&] { return !decoder.InFrame(); });
    return 0;
}
