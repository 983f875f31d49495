// The serial link against a scripted port: the frames on the wire, the
// decoder, the held display frame, the acknowledgement and its time-outs,
// the identification and the search.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "device/protocol.h"
#include "device/serial_decoder.h"
#include "device/serial_link.h"
#include "support/fake_serial.h"
#include "support/link_events.h"

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
// ---------------------------------------------------------------- frames and the decoder

// Random frames encode as the display's own encoder does and decode back, at
// their last byte and only there. One bit flipped in the data or checksum, or
// a frame broken at its start or its ETX: dropped, and the decoder idle.
TEST(SerialFrames, EncodedAndDecodedBackAndBrokenOnesDropped) {
    CSerialDecoder decoder;
    auto expectNothing = [&](const Bytes& bytes) {
        for (uint8_t b : bytes) ASSERT_EQ(nullptr, decoder.Feed(b)) << Hex(bytes);
        ASSERT_EQ(State::Idle, decoder.CurrentState()) << Hex(bytes);
    };
    uint8_t out[protocol::kMaxFrameData + protocol::kFrameOverhead];
    std::mt19937 random(20240611);
    for (int round = 0; round < 400; ++round) {
        Bytes data(round == 0 ? 0 : random() % (protocol::kMaxFrameData + 1));
        for (auto& b : data) b = static_cast<uint8_t>(random());
        const uint8_t command = static_cast<uint8_t>(random());
        Bytes f(out, out + EncodeSerialFrame(command, static_cast<uint8_t>(data.size()), data.data(), out));
        ASSERT_EQ(Hex(Frame(command, data)), Hex(f));
        ASSERT_NO_FATAL_FAILURE(ExpectDecoded(decoder, f));
        f[5 + random() % (f.size() - 5)] ^= static_cast<uint8_t>(1u << (random() % 8));
        ASSERT_NO_FATAL_FAILURE(expectNothing(f));
    }
    // No ETX: the 200 bytes announced are not waited for. SOH where STX belongs.
    for (const Bytes& bad : {Bytes{0x01, 0x02, 0x10, 0xC8, 0x04}, Concat({{0x01}, kKeyF5})}) {
        ASSERT_NO_FATAL_FAILURE(expectNothing(bad));
        ASSERT_NO_FATAL_FAILURE(ExpectDecoded(decoder, kKeyF5));
    }
    // The stream ends after CMD: the decoder waits for LEN.
    for (uint8_t b : {0x01, 0x02, 0x10}) decoder.Feed(b);
    EXPECT_EQ(State::Length, decoder.CurrentState());
}

// ---------------------------------------------------------------- the link on a scripted port

using Log = std::vector<std::string>;

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        link.SetPortMaker(&MakePort, this);
        link.SetPortName("COM12");
        clock.Set(10000);
    }
    // The port's writes from now on in the events' log: "ack", or the frame.
    void LogWrites() {
        port->onWrite = [this](const Bytes& b) { events.log.push_back(b == kAck ? "ack" : Hex(b)); };
    }
    static std::unique_ptr<CSerial> MakePort(void* test, IPlatform&) {
        auto* self = static_cast<SerialLinkTest*>(test);
        ++self->portsMade;
        return std::make_unique<CFakeSerial>(self->port);
    }
    // Opens on a display that answers at once; the log and the writes start empty.
    void OpenRunning() {
        clock.SetAutoAdvance(1);
        port->Deliver(kIdentity40);
        ASSERT_EQ(LinkOpen::Answered, link.Open(0));
        clock.SetAutoAdvance(0);
        port->ClearWrites();
        events.log.clear();
    }
    // The display sends `bytes` and the poll runs `ms` later, as the worker's tick does.
    // After it a running link has a read outstanding, signalled only once ended (no spin).
    void Tick(DWORD ms, const Bytes& bytes = {}) {
        port->Deliver(bytes);
        clock.Advance(ms);
        link.Poll();
        EXPECT_EQ(link.IsOpen(), link.InputEvent() != nullptr);
        EXPECT_EQ(link.IsOpen() && !port->pending, Signalled());
    }
    bool Signalled() const { return link.InputEvent() && WaitForSingleObject(link.InputEvent(), 0) == WAIT_OBJECT_0; }
    std::string Written() const { return HexFrames(port->Writes()); }

    CTestClock clock;
    std::shared_ptr<CSerialRecord> port = std::make_shared<CSerialRecord>();
    CRecordingLinkEvents events;
    CSerialLink link{clock, events};
    int portsMade = 0;
    const Bytes first = Bytes(protocol::kFrameCells, 0x11), second = Bytes(protocol::kFrameCells, 0x22),
                third = Bytes(protocol::kFrameCells, 0x33);
};

// ---------------------------------------------------------------- frames out and in

using SerialLinkFrames = SerialLinkTest;

// A display frame waits for its acknowledgement; frames written meanwhile are
// held, only the newest; other frames go out at once and are not awaited.
TEST_F(SerialLinkFrames, OnlyTheNewestDisplayFrameWaits) {
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    link.SendCells(first.data());
    link.SendCells(second.data());
    link.SendCells(third.data());
    Tick(100, kKeyF5);
    EXPECT_EQ(HexFrames({Frame(0x00, first), kAck}), Written());
    for (const auto& w : port->writes) {
        EXPECT_EQ(1000u, w.timeout);
        EXPECT_FALSE(w.overlapped);
    }
    Tick(100, kAck);
    EXPECT_EQ(HexFrames({Frame(0x00, first), kAck, Frame(0x00, third)}), Written());
    link.SendCells(first.data());  // held: the third is awaited in turn
    EXPECT_EQ(3u, port->writes.size());
    // The display is back after an outage: the newest image goes out at once, nothing held follows it.
    events.image[0] = 0x5A;
    link.ShowImageAgain();
    ASSERT_EQ(4u, port->writes.size());
    Tick(100, kAck);
    EXPECT_EQ(4u, port->writes.size());
    EXPECT_EQ(Hex(Frame(0x00, Bytes(events.image, events.image + protocol::kFrameCells))), Hex(port->writes[3].bytes));
}

// Every valid frame is acknowledged before it is acted on; the display's own
// acknowledgement is not acknowledged, a broken frame not at all.
TEST_F(SerialLinkFrames, EveryValidFrameIsAcknowledgedBeforeItIsActedOn) {
    Bytes badKey = kKeyF5;
    badKey[6] ^= 0x80;
    const struct {
        Bytes bytes;
        Log log;
    } cases[] = {
        {kKeyF5, {"ack", "function 5"}},
        {Frame(0x11, {0x83}), {"ack", "routing 83"}},
        {Frame(0x13, {'a', 0x00}), {"ack", "character 61"}},
        {Frame(0x14, {0x1C, 0x01}), {"ack", "scan 11C"}},  // little-endian
        {Frame(0x30, {}), {"ack"}},                        // unknown, without data
        {kAck, {}},
        {badKey, {}},
        // A character frame one byte short takes the high byte the last one left.
        {Concat({Frame(0x13, {0x29, 0x01}), Frame(0x13, {0x0C})}), {"ack", "character 129", "ack", "character 10C"}},
    };
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    LogWrites();
    for (const auto& c : cases) {
        events.log.clear();
        Tick(100, c.bytes);
        EXPECT_EQ(c.log, events.log) << Hex(c.bytes);
    }
}

TEST_F(SerialLinkFrames, BurstIsConsumedEightyBytesPerTick) {
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    port->reads.clear();
    Bytes burst;
    for (int i = 0; i < 25; ++i) Append(burst, kKeyF5);  // 25 x 8 bytes
    EXPECT_FALSE(Signalled());
    port->input.assign(burst.begin(), burst.end());  // queued as the poll looks at the outstanding read
    link.Poll();
    EXPECT_TRUE(port->reads.empty());  // a read past it would put its byte after the rest
    port->EndRead(0);
    std::vector<size_t> acks;
    for (int tick = 0; tick < 3; ++tick) {
        const size_t before = port->writes.size();
        ASSERT_TRUE(Signalled()) << tick;  // the rest is taken at once, not at the next tick
        Tick(0);
        acks.push_back(port->writes.size() - before);
    }
    ASSERT_EQ(6u, port->reads.size());
    const DWORD sizes[6] = {1, 79, 1, 79, 1, 79}, counts[6] = {1, 79, 1, 79, 1, 39};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(sizes[i], port->reads[i].size) << i;
        EXPECT_EQ(counts[i], port->reads[i].count) << i;
    }
    EXPECT_EQ((std::vector<size_t>{10, 10, 5}), acks);
}

// A driver that ends the outstanding read at once without a byte (not keeping
// to the time-outs) would wake the worker without end: after three such reads
// in a row the link reads on the tick. A read that ends empty after its bound
// breaks the row.
TEST_F(SerialLinkFrames, ReadsEndingEmptyAtOnceLeaveTheInputToTheTick) {
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    LogWrites();
    for (DWORD after : {0, 0, 60000, 0, 0, 0}) {
        ASSERT_TRUE(link.InputEvent() && port->pending) << after;
        clock.Advance(after);
        port->EndRead(0);
        link.Poll();
    }
    EXPECT_EQ(nullptr, link.InputEvent());
    EXPECT_EQ(nullptr, port->pending);
    port->Deliver(kKeyF5);
    link.Poll();  // the tick's
    EXPECT_EQ((Log{"ack", "function 5"}), events.log);
}

TEST_F(SerialLinkFrames, SplitAndGluedFramesDecodeTheSame) {
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    LogWrites();
    const Bytes stream = Concat({Frame(0x13, {'a', 0}), Frame(0x30, {1, 2, 3}), Frame(0x13, {'b', 0}), kAck});
    const Log whole = {"ack", "character 61", "ack", "ack", "character 62"};
    for (size_t split = 0; split <= stream.size(); ++split) {
        events.log.clear();
        Tick(0, Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split)));
        Tick(0, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end()));
        EXPECT_EQ(whole, events.log) << "split at " << split;
    }
}

// ---------------------------------------------------------------- acknowledgement time-outs

using SerialLinkAck = SerialLinkTest;

// The frame held for the one awaited goes out in the tick that ends the wait,
// by the acknowledgement or by a time-out of more than 400 ms (also across the
// clock's wrap), and not before; the time-out runs from the last frame sent.
TEST_F(SerialLinkAck, HeldFrameGoesOutInTheTickThatEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    // The last start puts exactly 400 ms on 0 after the wrap.
    for (DWORD start : {DWORD{5000}, DWORD{0xFFFFFF00}, DWORD{0xFFFFFE70}}) {
        Tick(0, kAck);
        port->ClearWrites();
        clock.Set(start);
        link.SendCells(first.data());
        link.SendCells(second.data());
        for (int i = 0; i < 4; ++i) Tick(100);
        EXPECT_EQ(1u, port->writes.size()) << "start " << start;
        Tick(1);
        ASSERT_EQ(2u, port->writes.size()) << "start " << start;
        EXPECT_EQ(Hex(Frame(0x00, second)), Hex(port->writes[1].bytes));
    }
    // Acknowledged: released in that tick. An acknowledgement the link sends
    // for a key renews the time the wait runs from.
    link.SendCells(third.data());
    Tick(100, kAck);
    EXPECT_EQ(Hex(Frame(0x00, third)), Hex(port->writes.back().bytes));
    link.SendCells(first.data());
    Tick(300, kKeyF5);
    Tick(300);
    EXPECT_EQ(4u, port->writes.size());
    Tick(101);
    EXPECT_EQ(Hex(Frame(0x00, first)), Hex(port->writes.back().bytes));
}

// Three time-outs in a row are tolerated, an acknowledgement starts the count
// again; the fourth gives the display up, and so does a failed read or write at
// once, also on a quiet link: the port is closed, OnLost, nothing sent after.
TEST_F(SerialLinkAck, FourthTimeOutInARowOrAFailedReadOrWriteEndsTheLink) {
    auto timeOut = [&] {
        link.SendCells(first.data());
        Tick(401);
    };
    for (const char* way : {"time-outs", "read", "write"}) {
        ASSERT_NO_FATAL_FAILURE(OpenRunning());
        port->closed = port->destroyed = false;
        if (way[0] == 't') {
            for (int i = 0; i < 3; ++i) timeOut();
            Tick(0, kAck);
            for (int i = 0; i < 3; ++i) timeOut();
            EXPECT_TRUE(events.log.empty());
            timeOut();
        } else if (way[0] == 'r') {
            port->EndRead(static_cast<LONG>(0xC0000185L));  // the adapter pulled under the outstanding read
            Tick(100);
        } else {
            port->failure = ERROR_BAD_COMMAND;
            link.SendCells(first.data());
            port->failure = 0;
            Tick(100);
        }
        EXPECT_EQ(Log{"lost"}, events.log) << way;
        EXPECT_TRUE(port->destroyed) << way;
        EXPECT_FALSE(link.IsOpen()) << way;
        const size_t writes = port->writes.size();
        link.SendCells(first.data());
        link.Poll();
        EXPECT_EQ(writes, port->writes.size()) << way;
        port->failure = 0;
    }
}

// ---------------------------------------------------------------- open and identification

using SerialLinkOpen = SerialLinkTest;

// A slow display answers the second request, with a key before its identity:
// the key is acknowledged and reported, the identity acknowledged, then the
// identification is completed. One byte is read per step.
TEST_F(SerialLinkOpen, DisplayAnsweringDuringTheIdentificationIsOpened) {
    const Bytes identity = Frame(0x25, {40, 0, 0, 0, 5, 7, 0x33, 0x44});  // further data bytes are ignored
    clock.SetAutoAdvance(1);
    int requests = 0;
    port->onWrite = [&](const Bytes& bytes) {
        if (bytes == kIdentifyRequest && ++requests == 2) port->Deliver(Concat({kKeyF5, identity}));
    };
    EXPECT_EQ(LinkOpen::Answered, link.Open(0));
    EXPECT_EQ(HexFrames({kIdentifyRequest, kIdentifyRequest, kAck, kAck, kIdentifyDone}), Written());
    EXPECT_EQ(Log{"function 5"}, events.log);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(40, link.TextCells());
    EXPECT_EQ(2, link.StatusCells());
    EXPECT_EQ(0x05, link.DeviceVersion()[0]);
    EXPECT_EQ(0x07, link.DeviceVersion()[1]);
    EXPECT_EQ(12, link.PortNumber());
    EXPECT_EQ(port->writes[1].readsBefore + kKeyF5.size() + identity.size(), port->reads.size());
    for (const auto& r : port->reads) EXPECT_EQ(1u, r.size);
}

// Requests at the counts 0, 500, 1000 and 1500 of the 2 ms steps, after 0,
// 251, 501 and 751 one-byte reads; each step lasts until the clock has moved
// more than 2 ms. Nothing is left open.
TEST_F(SerialLinkOpen, SilentDisplayGetsFourRequestsAndIsClosed) {
    clock.SetAutoAdvance(1);
    const DWORD start = 0xFFFFFF00;  // the steps' clock wraps
    clock.Set(start);
    EXPECT_EQ(LinkOpen::Silent, link.Open(0));
    ASSERT_EQ(HexFrames(std::vector<Bytes>(4, kIdentifyRequest)), Written());
    const size_t expectedReads[4] = {0, 251, 501, 751};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expectedReads[i], port->writes[i].readsBefore) << "request " << i;
    EXPECT_EQ(1000u, port->reads.size());
    EXPECT_GE(clock.Now() - start, 3000u);
    EXPECT_LT(clock.Now() - start, 5000u);
    EXPECT_TRUE(port->destroyed);
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(SerialLinkOpen, PortNameIsUpperCasedAndItsNumberTaken) {
    const struct {
        const char* name;
        const char* stored;
        int32_t number;
    } cases[] = {
        {"com12", "COM12", 12},
        {"\\\\.\\COM7", "\\\\.\\COM7", 7},
        {"LPT1", "LPT1", 0},
        {"COM", "COM", 0},
        {"COMX", "COMX", 0},
        {"COM 9", "COM 9", 9},
        {"COM-4", "COM-4", -4},
        {"xcom2com8", "XCOM2COM8", 2},
        {"com251x\xE4-z", "COM251X\xE4-Z", 251},
    };
    clock.SetAutoAdvance(1);
    for (const auto& c : cases) {
        EXPECT_TRUE(link.SetPortName(c.name));
        EXPECT_STREQ(c.stored, link.PortName());
        port->Deliver(kIdentity40);
        ASSERT_EQ(LinkOpen::Answered, link.Open(0)) << c.name;
        EXPECT_EQ(c.number, link.PortNumber()) << c.name;
        link.Close();
    }
    // A name that does not fit is refused as a whole: the link then has none and opens nothing.
    EXPECT_TRUE(link.SetPortName(std::string(127, 'q').c_str()));
    EXPECT_EQ(std::string(127, 'Q'), link.PortName());
    EXPECT_FALSE(link.SetPortName(std::string(128, 'q').c_str()));
    EXPECT_STREQ("", link.PortName());
    const int made = portsMade;
    EXPECT_EQ(LinkOpen::Absent, link.Open(0));
    EXPECT_TRUE(link.SetPortName(nullptr));
    EXPECT_STREQ("", link.PortName());
    EXPECT_EQ(made, portsMade);
}

// An open link is not opened twice: the open fails and closes it. A missing
// port leaves nothing open.
TEST_F(SerialLinkOpen, OpenLinkAndMissingPortAreRefused) {
    ASSERT_NO_FATAL_FAILURE(OpenRunning());
    EXPECT_EQ(LinkOpen::Absent, link.Open(0));
    EXPECT_TRUE(port->destroyed);
    EXPECT_TRUE(port->writes.empty());
    EXPECT_FALSE(link.IsOpen());

    CSerialLink system(clock, events);  // the product's port maker
    system.SetPortName("COM251");
    EXPECT_EQ(LinkOpen::Absent, system.Open(INFINITE));
    EXPECT_FALSE(system.IsOpen());
}

// ---------------------------------------------------------------- the search

using SerialLinkSearch = SerialLinkTest;

// Once due, the search opens the port and sends one request; a second later it
// asks again on the same port. A probe port that fails goes, and the next due
// search opens it anew. The display's answers are read every tick and
// acknowledged like any frame; its identity completes the identification and
// the link runs. Nothing else goes out meanwhile; without a port name there is
// nothing to probe.
TEST_F(SerialLinkSearch, ProbeFindsTheDisplayAgain) {
    LogWrites();
    EXPECT_FALSE(link.Search(false));
    EXPECT_EQ(0, portsMade);
    EXPECT_FALSE(link.Search(true));
    EXPECT_FALSE(link.IsOpen());
    link.SendCells(first.data());
    link.ShowImageAgain();
    EXPECT_FALSE(link.Search(true));
    EXPECT_EQ(1, portsMade);
    port->failure = ERROR_BAD_COMMAND;
    EXPECT_FALSE(link.Search(false));
    EXPECT_TRUE(port->destroyed);
    port->failure = 0;
    EXPECT_FALSE(link.Search(true));
    EXPECT_EQ(2, portsMade);

    port->Deliver(Concat({kKeyF5, kIdentity40}));
    EXPECT_TRUE(link.Search(false));
    EXPECT_TRUE(link.IsOpen());
    const std::string request = Hex(kIdentifyRequest);
    EXPECT_EQ((Log{request, request, request, "ack", "function 5", "ack", Hex(kIdentifyDone)}), events.log);
    events.image[0] = 0x5A;
    link.ShowImageAgain();
    EXPECT_EQ(Hex(Frame(0x00, Bytes(events.image, events.image + protocol::kFrameCells))),
              Hex(port->writes.back().bytes));
    link.Close();
    link.SetPortName("");
    EXPECT_FALSE(link.Search(true));
    EXPECT_EQ(2, portsMade);
}

}  // namespace
