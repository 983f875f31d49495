// The serial link itself, on the memory port: the display's bytes reach it in
// polls of 1 to 80 bytes, the clock moving between polls (so that outstanding
// reads also end empty), all as the input says; first the input as it is, then
// read as a script of noise and frames as frame_stream.h does. Once the link
// runs it writes nothing but acknowledgements (no cells are sent here, so no
// frame awaits the display's and no time-out can send anything); every valid
// frame fed to a waiting receiver is acknowledged exactly once, with its last
// byte (an acknowledgement never is), a key's before its one key event; and a
// port that never fails is never given up.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "device/serial_link.h"
#include "frame_stream.h"

namespace memport {  // stand_in/memory_port.cpp
void Reset();
void Deliver(const uint8_t* bytes, size_t count);
void Advance(DWORD ms);
extern std::function<void(const uint8_t* bytes, size_t count)> onWrite;
}  // namespace memport

namespace {

using fuzzkit::Require;

const std::vector<uint8_t> kAck = fuzzkit::Encode({0x7F, {}});
size_t acks = 0;

struct Events final : ILinkEvents {
    size_t keys = 0, acksAtKey = 0;
    void OnFunctionKey(uint8_t) override { Key(); }
    void OnRoutingKey(uint8_t) override { Key(); }
    void OnCellKey(uint8_t) override { Require(false, "no cell keys on serial"); }
    void OnCharacter(uint16_t) override { Key(); }
    void OnScanCode(uint16_t) override { Key(); }
    void OnLost() override { Require(false, "a port that never fails is never given up"); }
    const uint8_t* CellImage() override { abort(); }
    void Key() {
        ++keys;
        acksAtKey = acks;
    }
};

struct Platform final : IPlatform {};

bool IsKey(uint8_t command) { return command == 0x10 || command == 0x11 || command == 0x13 || command == 0x14; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    memport::Reset();
    Platform platform;
    Events events;
    CSerialLink link(platform, events);  // its own port maker: CSerial, here the memory port
    link.SetPortName("COM1");
    memport::onWrite = [](const uint8_t* bytes, size_t count) {
        const std::vector<uint8_t> identity = fuzzkit::Encode({0x25, {40, 0, 0, 0, 5, 7}});
        if (std::vector<uint8_t>(bytes, bytes + count) == fuzzkit::Encode({0x24, {}}))
            memport::Deliver(identity.data(), identity.size());
    };
    Require(link.Open(1000) == LinkOpen::Answered, "the display answers at open");
    acks = 0;
    memport::onWrite = [](const uint8_t* bytes, size_t count) {
        Require(count == kAck.size() && std::equal(kAck.begin(), kAck.end(), bytes), "only acknowledgements written");
        ++acks;
    };
    auto poll = [&](const uint8_t* bytes, size_t count, DWORD advanceMs) {
        memport::Advance(advanceMs);
        memport::Deliver(bytes, count);
        link.Poll();
    };

    for (size_t at = 0, n; at < size; at += n) {
        n = std::min<size_t>(1 + data[at] % 80, size - at);
        poll(data + at, n, data[at + n - 1] * data[at + n - 1]);
    }

    FuzzedDataProvider script(data, size);
    // Returns the acknowledgements written before the last poll.
    auto feed = [&](const std::vector<uint8_t>& bytes) {
        size_t before = acks;
        for (size_t at = 0, n; at < bytes.size(); at += n) {
            before = acks;
            n = std::min<size_t>(script.ConsumeIntegralInRange<size_t>(1, 80), bytes.size() - at);
            const uint8_t clock = script.ConsumeIntegral<uint8_t>();
            poll(bytes.data() + at, n, clock * clock);
        }
        return before;
    };
    for (size_t f = 0; f < fuzzkit::kMaxScriptedFrames && script.remaining_bytes() > 0; ++f) {
        feed(script.ConsumeBytes<uint8_t>(script.ConsumeIntegralInRange<size_t>(0, 64)));
        feed(std::vector<uint8_t>(fuzzkit::kFlush, 0));
        fuzzkit::Frame sent;
        sent.command = script.ConsumeIntegral<uint8_t>();
        sent.data = script.ConsumeBytes<uint8_t>(script.ConsumeIntegralInRange<size_t>(0, 255));
        const size_t acksBefore = acks, keysBefore = events.keys;
        Require(feed(fuzzkit::Encode(sent)) == acksBefore, "nothing is acknowledged before a frame's last byte");
        Require(acks == acksBefore + (sent.command != 0x7F), "a valid frame is acknowledged once");
        Require(events.keys == keysBefore + IsKey(sent.command), "a key frame gives one key");
        Require(!IsKey(sent.command) || events.acksAtKey == acks, "a key is acknowledged before it is acted on");
    }
    return 0;
}
