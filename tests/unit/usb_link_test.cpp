// The USB link on the simulated HID bus, through its interface: finding the
// display, the hello, display frames and the frames held for the
// acknowledgement, its time-out and recovery, input reports, and a display
// that goes away or stops taking reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "device/usb_link.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/link_events.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;

FakeHidDeviceConfig With(void (*change)(FakeHidDeviceConfig&)) {
    FakeHidDeviceConfig config;
    change(config);
    return config;
}
void Manual(FakeHidDeviceConfig& c) { c.ack = FakeAck::Manual; }
void Silent(FakeHidDeviceConfig& c) { c.answersHello = false; }

Bytes Cells(uint32_t seed) { return SeededCells(seed, protocol::kFrameCells); }
Bytes Of(const FakeFrame& frame) { return Bytes(frame.begin(), frame.end()); }

// Opens a link where no display can be used: nothing is found, and no handle,
// device information set or preparsed data is left behind, without a misuse.
::testing::AssertionResult FindsNothing(CUsbLink& link, const CFakeHidPlatform& bus) {
    const LinkOpen result = link.Open(0);
    const size_t left = bus.OpenHandleCount() + bus.OpenSetCount() + bus.PreparsedCount() + bus.Misuses();
    if (result == LinkOpen::Absent && !link.IsOpen() && left == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "open " << static_cast<int>(result) << ", " << bus.OpenHandleCount()
                                         << " open, " << bus.OpenSetCount() << " sets, " << bus.PreparsedCount()
                                         << " preparsed, " << bus.Misuses() << " misuses";
}

class UsbLink : public ::testing::Test {
protected:
    // Every test leaves the bus clean.
    void TearDown() override {
        link.Close();
        EXPECT_EQ(0u, bus.Misuses()) << (bus.MisuseLog().empty() ? "" : bus.MisuseLog().front());
        EXPECT_EQ(0u, bus.OpenHandleCount());
        EXPECT_EQ(0u, bus.OpenSetCount());
        EXPECT_EQ(0u, bus.PreparsedCount());
        EXPECT_EQ(0u, bus.PendingReadCount());
    }
    LinkOpen AddAndOpen(const FakeHidDeviceConfig& config = FakeHidDeviceConfig()) {
        display = bus.AddDevice(config);
        return link.Open(0);
    }
    // A display the test acknowledges for, opened (the hello under a moving
    // clock); then the clock stands still unless the test moves it.
    void OpenManual() {
        ASSERT_EQ(LinkOpen::Answered, AddAndOpen(With(Manual)));
        bus.SetAutoAdvance(0);
        bus.SetNow(500000);
        bus.ClearOutputs(display);
    }
    // The newest image as the owner keeps it, sent.
    void Send(const Bytes& cells) {
        std::copy(cells.begin(), cells.end(), events.image);
        link.SendCells(cells.data());
    }
    // A poll leaves a read outstanding whose event is clear, or none (closed):
    // the worker sleeping on it must not wake for nothing.
    void Tick(DWORD ms = 100) {
        bus.Advance(ms);
        link.Poll();
        const HANDLE input = link.InputEvent();
        EXPECT_EQ(link.IsOpen(), input != nullptr);
        EXPECT_TRUE(!input || WaitForSingleObject(input, 0) == WAIT_TIMEOUT);
    }
    bool LastFrameIs(const Bytes& cells) const {
        const auto frames = bus.Frames(display);
        return !frames.empty() && Of(frames.back()) == cells;
    }

    CFakeHidPlatform bus;
    CRecordingLinkEvents events;
    CUsbLink link{bus, events};
    int display = -1;
};

// ---------------------------------------------------------------- finding the display

TEST_F(UsbLink, SkipsOtherDevicesUsesTheFirstMatchAndReleasesItBeforeAnotherOpen) {
    const int wrongVersion = bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.version = 0xF101; }));
    const int wrongVendor = bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.vendor = 0x04D9; }));
    const int first = bus.AddDevice();
    const int second = bus.AddDevice();
    // Another program holds this one for itself, as Windows holds keyboards.
    const HANDLE other = bus.HidOpen(bus.Path(wrongVendor).c_str(), GENERIC_READ | GENERIC_WRITE, 0, 0);

    ASSERT_EQ(LinkOpen::Answered, link.Open(0));
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(40, link.TextCells());
    EXPECT_EQ(0, link.StatusCells());
    // Non-matching devices were examined with no access, never opened for I/O, and closed again.
    EXPECT_EQ(1u, bus.ExamineCount(wrongVersion));
    EXPECT_EQ(0u, bus.OpenCount(wrongVersion));
    EXPECT_EQ(0u, bus.OpenHandleCount(wrongVersion));
    EXPECT_EQ(1u, bus.ExamineCount(wrongVendor));
    EXPECT_EQ(1u, bus.OpenHandleCount(wrongVendor));
    bus.HidClose(other);
    // The first match holds both handles; the later one is never touched.
    EXPECT_EQ(2u, bus.OpenHandleCount(first));
    EXPECT_EQ(0u, bus.OpenCount(second));
    // Opened again (a restore): the handles held before are let go first.
    ASSERT_EQ(LinkOpen::Answered, link.Open(0));
    EXPECT_EQ(2u, bus.OpenHandleCount(first));
    EXPECT_EQ(4u, bus.OpenCount(first));
}

TEST_F(UsbLink, WithoutMatchLeavesNothingOpen) {
    EXPECT_TRUE(FindsNothing(link, bus));  // empty bus
    bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.product = 0xABD8; }));
    bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.version = 0x0100; }));
    bus.Unplug(bus.AddDevice());
    EXPECT_TRUE(FindsNothing(link, bus));
    bus.SetClassDevsFails(true);
    EXPECT_TRUE(FindsNothing(link, bus));
}

TEST_F(UsbLink, RefusesAMatchThatCannotBeSetUp) {
    struct Case {
        const char* what;
        void (*change)(FakeHidDeviceConfig&);
    };
    const Case cases[] = {
        {"second (overlapped) open fails", [](FakeHidDeviceConfig& c) { c.failOverlappedOpen = true; }},
        {"detail record cannot be fetched", [](FakeHidDeviceConfig& c) { c.failDetail = true; }},
        {"detail size beyond any allocation", [](FakeHidDeviceConfig& c) { c.detailSizeOverride = 0xFFFFFFF0; }},
        {"detail size below the fixed part", [](FakeHidDeviceConfig& c) { c.detailSizeOverride = 4; }},
        {"first open fails", [](FakeHidDeviceConfig& c) { c.failOpen = true; }},
        {"attributes cannot be read", [](FakeHidDeviceConfig& c) { c.failAttributes = true; }},
        {"capabilities cannot be read", [](FakeHidDeviceConfig& c) { c.failCaps = true; }},
        {"input report shorter than a payload", [](FakeHidDeviceConfig& c) { c.inputLength = 8; }},
        {"output report longer than the buffers", [](FakeHidDeviceConfig& c) { c.outputLength = 300; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CFakeHidPlatform alone;
        CRecordingLinkEvents seen;
        CUsbLink l(alone, seen);
        const int broken = alone.AddDevice(With(c.change));
        EXPECT_TRUE(FindsNothing(l, alone));
        // A working display behind the broken one is still found.
        const int good = alone.AddDevice();
        EXPECT_EQ(LinkOpen::Answered, l.Open(0));
        EXPECT_EQ(0u, alone.OpenHandleCount(broken));
        EXPECT_EQ(2u, alone.OpenHandleCount(good));
    }
}

// ---------------------------------------------------------------- hello

TEST_F(UsbLink, HelloAnswerGivesTheDisplaysInformation) {
    ASSERT_EQ(LinkOpen::Answered, AddAndOpen(With([](FakeHidDeviceConfig& c) {
                  c.info[0] = 0x9A;
                  c.info[1] = 0x05;
              })));
    EXPECT_EQ(0x9A, link.DisplayInfo()[0]);
    EXPECT_EQ(0x05, link.DisplayInfo()[1]);
    EXPECT_EQ((std::vector<Bytes>{{0x00, 0xFB, 0xAA, 0x55, 0, 0, 0, 0, 0}}), bus.Outputs(display));
}

TEST_F(UsbLink, HelloTakesOtherReportsUntilTheAnswer) {
    display = bus.AddDevice(With(Silent));
    // Sent while the hello's first read is pending.
    bus.At(bus.Now() + 60, [&] {
        bus.QueueKey(display, 0xFD, 0x05);
        bus.QueueInput(display, {0xFB, 0xAA, 0x56, 0x01, 0x02});  // not an answer
        bus.QueueInput(display, {0xFA, 0xAA, 0x55, 0x03, 0x04});  // not an answer
        bus.QueueKey(display, 0xFE, 0x01);
        bus.QueueHelloReply(display, 0x07, 0x08);
        bus.QueueKey(display, 0xFE, 0x02);  // after the answer: left for the poll
    });
    ASSERT_EQ(LinkOpen::Answered, link.Open(0));
    EXPECT_EQ(7, link.DisplayInfo()[0]);
    EXPECT_EQ(8, link.DisplayInfo()[1]);
    EXPECT_EQ(6u, bus.ReadsIssued(display));  // one per report up to the answer, and the one left outstanding
    EXPECT_TRUE(events.log.empty());
    link.Poll();
    EXPECT_EQ((Events{"function 2"}), events.log);
}

// Silent: found, but no answer in ten polls; nothing is left open.
TEST_F(UsbLink, UnansweredHelloIsSilentAfterTenPolls) {
    display = bus.AddDevice(With(Silent));
    bus.SetNow(0xFFFFFF00);  // the waits cross the wrap of the clock
    const DWORD start = bus.Now();
    EXPECT_EQ(LinkOpen::Silent, link.Open(0));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(0u, bus.OpenHandleCount());
    EXPECT_EQ(1u, bus.ReadsIssued(display));  // pending throughout, never cancelled and issued again
    EXPECT_EQ(1u, bus.HelloCount(display));
    // Ten waits of just over 50 ms each; a generous upper bound only.
    EXPECT_GT(bus.Now() - start, 500u);
    EXPECT_LT(bus.Now() - start, 2000u);
    // A pending read that fails (the display pulled out during the hello) ends it at the next poll.
    const DWORD pulled = bus.Now();
    bus.At(pulled + 20, [&] { bus.Unplug(display); });
    EXPECT_EQ(LinkOpen::Silent, link.Open(0));
    EXPECT_LT(bus.Now() - pulled, 100u);
    EXPECT_TRUE(events.log.empty());
}

// ---------------------------------------------------------------- frames

// A frame is six reports; one written while it awaits its acknowledgement is
// held. Unacknowledged for more than 1000 ms after its last report, also
// across the wrap of the clock: the display is found again without a hello and
// shows the newest image, and the held frame is dropped.
TEST_F(UsbLink, FrameIsSixReportsAndUnacknowledgedIsFollowedByTheImageAfter1000Ms) {
    OpenManual();
    const DWORD start = 0xFFFFFD00;
    bus.SetNow(start);
    const Bytes c = Cells(0x10);
    link.SendCells(c.data());
    const std::vector<Bytes> expected = {
        {0, 0xFF, 0xAA, 0x55, c[0], c[1], c[2], c[3], c[4]},
        {0, c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12]},
        {0, c[13], c[14], c[15], c[16], c[17], c[18], c[19], c[20]},
        {0, c[21], c[22], c[23], c[24], c[25], c[26], c[27], c[28]},
        {0, c[29], c[30], c[31], c[32], c[33], c[34], c[35], c[36]},
        {0, c[37], c[38], c[39], c[40], c[41], 0x55, 0xAA, 0xFF},
    };
    EXPECT_EQ(expected, bus.Outputs(display));
    const Bytes blank(protocol::kFrameCells, 0);
    link.SendCells(blank.data());  // held; the recovery must not show it
    const Bytes newest = Cells(0x20);
    std::copy(newest.begin(), newest.end(), events.image);
    const size_t opens = bus.OpenCount(display);

    bus.SetNow(start + 1000);
    link.Poll();
    EXPECT_EQ(6u, bus.Outputs(display).size());
    EXPECT_EQ(opens, bus.OpenCount(display));

    bus.SetNow(start + 1001);
    // A key that comes as the time-out is seen, after the poll took every
    // report there, is still the user's: it is taken before the display is closed.
    bus.At(start + 1001, [&] { bus.QueueKey(display, 0xFE, 3); });
    link.Poll();
    EXPECT_EQ((Events{"function 3"}), events.log);
    EXPECT_GT(bus.OpenCount(display), opens);  // closed and found again
    EXPECT_EQ(0u, bus.HelloCount(display));
    EXPECT_EQ(2u, bus.OpenHandleCount());
    ASSERT_EQ(2u, bus.Frames(display).size());
    EXPECT_EQ(newest, Of(bus.Frames(display)[1]));
    // The recovered frame awaits its acknowledgement in turn.
    bus.QueueAck(display);
    link.Poll();
    EXPECT_EQ(2u, bus.Frames(display).size());
    EXPECT_EQ(1u, events.log.size());
}

TEST_F(UsbLink, LongerReportsArePaddedAndLongInputReportsRead) {
    ASSERT_EQ(LinkOpen::Answered, AddAndOpen(With([](FakeHidDeviceConfig& c) {
                  c.ack = FakeAck::Manual;
                  c.inputLength = 64;
                  c.outputLength = 33;
              })));
    bus.ClearOutputs(display);
    const Bytes c = Cells(5);
    link.SendCells(c.data());
    const auto outputs = bus.Outputs(display);
    ASSERT_EQ(6u, outputs.size());
    for (const Bytes& report : outputs) {
        ASSERT_EQ(33u, report.size());
        EXPECT_EQ(0, report[0]);
        EXPECT_EQ(Bytes(24, 0), Bytes(report.begin() + 9, report.end()));
    }
    ASSERT_EQ(1u, bus.Frames(display).size());
    EXPECT_EQ(c, Of(bus.Frames(display)[0]));
    // 64-byte reports: the acknowledgement and a key, each one payload.
    bus.QueueAck(display);
    bus.QueueRawInput(display, serialwire::Concat({{0, 0xFE, 0x02}, Bytes(61, 0x33)}));
    link.Poll();
    EXPECT_EQ((Events{"function 2"}), events.log);
    link.SendCells(c.data());
    EXPECT_EQ(12u, bus.Outputs(display).size());
}

// A display that stops taking reports: the write is given up after its bound
// and the display counts as gone, whether the cancel ends the write or (as
// under Wine 8) has no effect. One that goes on keeps its memory until it
// ends, and a display holding every report is not opened again once it holds eight.
TEST_F(UsbLink, HeldWritesAreGivenUpAndKeepTheirMemoryUntilTheyEnd) {
    for (const bool cancels : {true, false}) {
        SCOPED_TRACE(cancels ? "cancel ends the write" : "cancel has no effect");
        CFakeHidPlatform alone;
        CRecordingLinkEvents seen;
        {
            CUsbLink l(alone, seen);
            const int held = alone.AddDevice(With([](FakeHidDeviceConfig& c) { c.stallWrites = true; }));
            alone.Configure(held, [&](FakeHidDeviceConfig& c) { c.ignoresCancel = !cancels; });
            alone.SetAutoAdvance(0);
            int opens = 0;
            for (LinkOpen result; opens < 12 && (result = l.Open(0)) != LinkOpen::Absent; ++opens) {
                EXPECT_EQ(LinkOpen::Silent, result);  // its hello was not taken
                EXPECT_LE(alone.Now(), (opens + 1) * 1100u);
            }
            EXPECT_EQ(cancels ? 12 : 8, opens);
            EXPECT_EQ(0u, alone.OpenHandleCount());
            EXPECT_EQ(cancels ? 0u : 8u, alone.PendingReadCount());
            // The display takes the held reports after all; then it is used again.
            alone.ReleaseWrites(held);
            alone.Configure(held, [](FakeHidDeviceConfig& c) { c.stallWrites = false; });
            EXPECT_EQ(LinkOpen::Answered, l.Open(0));
        }
        EXPECT_TRUE(seen.log.empty());
        EXPECT_EQ(0u, alone.Misuses()) << (alone.MisuseLog().empty() ? "" : alone.MisuseLog()[0]);
    }
}

// For any schedule of frames, acknowledgements and lost acknowledgements, the
// display's images only move forward, and it ends on the newest within two
// polls once the display answers.
TEST_F(UsbLink, DisplayEndsOnTheNewestImageAndNeverGoesBack) {
    OpenManual();
    auto image = [](int n) {
        Bytes cells(protocol::kFrameCells, 0x55);
        cells[0] = static_cast<uint8_t>(n & 0xFF);
        cells[1] = static_cast<uint8_t>(n >> 8);
        return cells;
    };
    int written = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        bus.ClearOutputs(display);
        for (int step = 0; step < 150; ++step) {
            const unsigned r = random() % 10;
            if (r < 5)
                Send(image(++written));
            else if (r < 7)
                bus.QueueAck(display);
            else
                Tick(r == 9 && random() % 4 == 0 ? 1100 : 100);  // now and then the acknowledgement is lost
        }
        for (int ticks = 0; ticks < 2 && !LastFrameIs(image(written)); ++ticks) {
            bus.QueueAck(display);
            Tick();
        }
        EXPECT_TRUE(LastFrameIs(image(written)));
        int last = 0;
        for (const FakeFrame& frame : bus.Frames(display)) {
            const int n = frame[0] + 256 * frame[1];
            ASSERT_GE(n, last) << "an older image followed a newer one";
            ASSERT_LE(n, written);
            ASSERT_EQ(0x55, frame[41]);
            last = n;
        }
        bus.QueueAck(display);
        link.Poll();
    }
    EXPECT_TRUE(events.log.empty());
}

// ---------------------------------------------------------------- input

// Byte 1 of a key passes unchanged (the owner judges it); only FF releases a
// held frame, and an image shown again drops what was held.
TEST_F(UsbLink, InputReportsBecomeKeysAndTheAcknowledgement) {
    OpenManual();
    for (const Bytes& p : std::vector<Bytes>{{0xFD, 0x05, 1, 2, 3, 4, 5, 6},
                                             {0xFE, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                             {0xFD, 0x7F},
                                             {0xFD, 0x85},
                                             {0xFE, 14},
                                             {0xFF}})  // an acknowledgement with nothing outstanding
        bus.QueueInput(display, p);
    link.Poll();
    EXPECT_EQ((Events{"cell 5", "function 1", "cell 7F", "cell 85", "function E"}), events.log);
    EXPECT_TRUE(bus.Outputs(display).empty());

    const Bytes a = Cells(1), b = Cells(2);
    link.SendCells(a.data());
    link.SendCells(b.data());  // held
    // The hello's answer after the hello, and unknown payloads, release nothing.
    for (const Bytes& p : std::vector<Bytes>{{0xFB, 0xAA, 0x55, 0x01, 0x02}, {0x00, 0x05}, {0xFC, 0x05}})
        bus.QueueInput(display, p);
    std::copy(b.begin(), b.end(), events.image);
    link.Poll();
    EXPECT_EQ(1u, bus.Frames(display).size());
    bus.QueueInput(display, {0xFF, 0x12});
    link.Poll();
    ASSERT_EQ(2u, bus.Frames(display).size());
    EXPECT_EQ(b, Of(bus.Frames(display)[1]));

    link.SendCells(a.data());  // held behind b
    const Bytes again = Cells(3);
    std::copy(again.begin(), again.end(), events.image);
    link.ShowImageAgain();
    bus.QueueAck(display);
    link.Poll();
    ASSERT_EQ(3u, bus.Frames(display).size());
    EXPECT_EQ(again, Of(bus.Frames(display)[2]));
    EXPECT_EQ(5u, events.log.size());
}

// Every report queued is read in one poll (the bus keeps 32, as Windows does,
// and the pending read takes one more), and the acknowledgement behind twenty
// keys releases the held frame in the same poll, its last two cells from the image.
TEST_F(UsbLink, QueuedReportsAreAllReadInOnePoll) {
    OpenManual();
    const Bytes a(protocol::kFrameCells, 0x01), b(protocol::kFrameCells, 0x02);
    link.SendCells(a.data());
    link.SendCells(b.data());
    for (int i = 0; i < 40; ++i) bus.QueueKey(display, 0xFE, 1);
    EXPECT_EQ(7u, bus.DroppedInput(display));
    link.Poll();
    EXPECT_EQ(0u, bus.PendingInput(display));
    EXPECT_EQ(32u, events.log.size());
    // The 33rd is in the next read, which says so: the worker polls again at once.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(link.InputEvent(), 0));

    for (int i = 0; i < 20; ++i) bus.QueueKey(display, 0xFD, static_cast<uint8_t>(i + 1));
    bus.QueueAck(display);
    events.image[40] = 0xA4;
    link.Poll();
    EXPECT_EQ(53u, events.log.size());
    const auto frames = bus.Frames(display);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(0x02, frames[1][0]);
    EXPECT_EQ(0xA4, frames[1][40]);
    EXPECT_EQ(0x00, frames[1][41]);
}

// One read stays outstanding: polls with nothing there neither cancel it nor
// issue another. A report completes it and sets its event; the next poll takes
// it and issues the next read, so the event is clear again. Closing with the
// read pending ends it cleanly (the fixture checks), also where cancels do nothing.
TEST_F(UsbLink, InputReadStaysOutstandingAndItsEventMeansAReport) {
    ASSERT_EQ(LinkOpen::Answered, AddAndOpen());
    const HANDLE input = link.InputEvent();
    ASSERT_NE(nullptr, input);
    const size_t reads = bus.ReadsIssued(display);
    for (int i = 0; i < 50; ++i) Tick();
    EXPECT_EQ(reads, bus.ReadsIssued(display));
    EXPECT_EQ(1u, bus.PendingReadCount());
    EXPECT_EQ(0u, bus.CancelCount());
    bus.QueueRawInput(display, {0x00, 0xFD, 0x03, 0x00});  // truncated: not a report
    bus.QueueKey(display, 0xFD, 0x09);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(input, 0));
    Tick();
    EXPECT_EQ((Events{"cell 9"}), events.log);
    EXPECT_EQ(input, link.InputEvent());
    EXPECT_EQ(reads + 2, bus.ReadsIssued(display));
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.ignoresCancel = true; });
    link.Close();
    EXPECT_EQ(nullptr, link.InputEvent());
    // Closed by its owner inside a key's event: the poll stops there, and that is no loss.
    ASSERT_EQ(LinkOpen::Answered, link.Open(0));
    events.onKey = [&] { link.Close(); };
    bus.QueueKey(display, 0xFE, 0x03);
    bus.QueueKey(display, 0xFE, 0x04);
    Tick();
    EXPECT_EQ((Events{"cell 9", "function 3"}), events.log);
}

// Another program with the display open: each handle gets every report sent
// after its open, and each program's reads take only its own. One that shares
// nothing keeps the link out until it lets go.
TEST_F(UsbLink, EveryOpenHandleGetsEveryReportFromItsOpenOn) {
    ASSERT_EQ(LinkOpen::Answered, AddAndOpen());
    bus.QueueKey(display, 0xFD, 1);
    const HANDLE other = bus.HidOpen(bus.Path(display).c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OVERLAPPED);
    bus.QueueKey(display, 0xFD, 2);
    link.Poll();
    EXPECT_EQ((Events{"cell 1", "cell 2"}), events.log);
    EXPECT_EQ(1u, bus.PendingInput(other));
    bus.HidClose(other);
    link.Close();
    const HANDLE mine = bus.HidOpen(bus.Path(display).c_str(), GENERIC_READ, FILE_SHARE_READ, 0);
    EXPECT_EQ(LinkOpen::Absent, link.Open(0));
    EXPECT_EQ(1u, bus.OpenHandleCount(display));
    bus.HidClose(mine);
    EXPECT_EQ(LinkOpen::Answered, link.Open(0));
}

// ---------------------------------------------------------------- a display that goes away

// Pulled out, or no longer taking reports: the failed read or the stalled
// write closes the link and reports it lost, once; a due search finds it again
// with the hello, and it shows the newest image and sends keys again.
TEST_F(UsbLink, LostDisplayIsReportedOnceAndFoundAgainByADueSearch) {
    OpenManual();
    const Bytes before(protocol::kFrameCells, 0x01), away(protocol::kFrameCells, 0x02);
    Send(before);
    bus.QueueAck(display);
    bus.Unplug(display);
    link.Poll();
    EXPECT_EQ((Events{"lost"}), events.log);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(0u, bus.OpenHandleCount());
    EXPECT_EQ(0u, bus.PendingReadCount());
    Send(away);  // closed: nothing goes out
    link.Poll();
    EXPECT_EQ(1u, bus.Frames(display).size());

    const size_t enumerations = bus.Enumerations();
    EXPECT_FALSE(link.Search(false));
    EXPECT_EQ(enumerations, bus.Enumerations());  // not due: not looked for
    EXPECT_FALSE(link.Search(true));
    bus.Plug(display);
    ASSERT_TRUE(link.Search(true));
    EXPECT_EQ(1u, bus.HelloCount(display));
    link.ShowImageAgain();
    EXPECT_TRUE(LastFrameIs(away));
    bus.QueueKey(display, 0xFE, 1);
    bus.QueueAck(display);
    link.Poll();
    EXPECT_EQ(0u, bus.PendingInput(display));

    // A display that stops taking output reports: the write is given up after
    // its bound, collected, and the display counts as gone.
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.stallWrites = true; });
    const DWORD start = bus.Now();
    const Bytes stalled(protocol::kFrameCells, 0x08);
    Send(stalled);
    EXPECT_EQ(1000u, bus.Now() - start);  // the fake clock runs only while the write is waited for
    EXPECT_EQ((Events{"lost", "function 1", "lost"}), events.log);
    EXPECT_EQ(0u, bus.OpenHandleCount());
    EXPECT_EQ(0u, bus.PendingReadCount());
    bus.Configure(display, [](FakeHidDeviceConfig& c) { c.stallWrites = false; });
    ASSERT_TRUE(link.Search(true));
    link.ShowImageAgain();
    EXPECT_TRUE(LastFrameIs(stalled));

    // Replaced by another display.
    link.Close();
    bus.Unplug(display);
    const int second = bus.AddDevice();
    ASSERT_TRUE(link.Search(true));
    EXPECT_EQ(2u, bus.OpenHandleCount(second));
}

}  // namespace
