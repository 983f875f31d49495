// USB HID transport against the simulated HID bus: enumeration, hello, display
// frames and the frame ring, input reports and the overlapped read.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Payload = std::array<uint8_t, 8>;

class HidTest : public ::testing::Test {
protected:
    CFakeHidPlatform bus;
    CBrailleSampleDriver driver{bus};
    testenv::CRecordingHost testHost{1};
    int display = -1;

    ~HidTest() override {
        driver.CloseHidHandles();
        if (driver.keyWindow) DestroyWindow(driver.keyWindow);
    }

    void AttachHost() {
        driver.RegisterKeyWindowClass(GetModuleHandle(nullptr));
        driver.keyWindow = driver.CreateKeyWindow(GetModuleHandle(nullptr));
        ASSERT_NE(nullptr, driver.keyWindow);
        driver.host = &testHost;
    }

    // Adds the device and looks for a display: 1 when it was found.
    int AddAndFind(const FakeHidDeviceConfig& config = FakeHidDeviceConfig()) {
        display = bus.AddDevice(config);
        return driver.FindHidDevice();
    }

    void Handle(const Payload& payload) { driver.HandleHidReport(payload.data()); }

    // Every test leaves the bus clean.
    void TearDown() override { ExpectClean(); }
    void ExpectClean() {
        EXPECT_EQ(0u, bus.Misuses()) << (bus.MisuseLog().empty() ? "" : bus.MisuseLog().front());
        EXPECT_EQ(0u, bus.OpenSetCount());
        EXPECT_EQ(0u, bus.PreparsedCount());
        EXPECT_EQ(0u, bus.PendingReadCount());
        EXPECT_EQ(nullptr, driver.hidDetail);
    }
};

class HidEnumeration : public HidTest {};
class HidHello : public HidTest {};
class HidFrames : public HidTest {};
class HidInput : public HidTest {};

FakeHidDeviceConfig With(void (*change)(FakeHidDeviceConfig&)) {
    FakeHidDeviceConfig config;
    change(config);
    return config;
}

// Looks for a display where none can be used: nothing is found, and no handle,
// device information set or preparsed data is left behind, without a misuse.
::testing::AssertionResult FindsNothing(CBrailleSampleDriver& d, const CFakeHidPlatform& bus) {
    const int found = d.FindHidDevice();
    const size_t left = bus.OpenHandleCount() + bus.OpenSetCount() + bus.PreparsedCount() + bus.Misuses();
    if (found == 0 && !d.hidHandle && !d.hidReadHandle && left == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "found " << found << ", handles " << d.hidHandle << " " << d.hidReadHandle
                                         << " kept, " << bus.OpenHandleCount() << " open, " << bus.OpenSetCount()
                                         << " sets, " << bus.PreparsedCount() << " preparsed, " << bus.Misuses()
                                         << " misuses";
}

Payload Filled(uint8_t value) {
    Payload p;
    p.fill(value);
    return p;
}

// ---------------------------------------------------------------- enumeration

TEST_F(HidEnumeration, SkipsOtherDevicesAndUsesTheFirstMatch) {
    const int wrongVersion = bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.version = 0xF101; }));
    const int wrongVendor = bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.vendor = 0x04D9; }));
    const int first = bus.AddDevice();
    const int second = bus.AddDevice();
    // Another program holds this one for itself, as Windows holds keyboards.
    const HANDLE other = bus.HidOpen(bus.Path(wrongVendor).c_str(), GENERIC_READ | GENERIC_WRITE, 0, 0);

    ASSERT_EQ(1, driver.FindHidDevice());
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
    EXPECT_NE(driver.hidHandle, driver.hidReadHandle);
    EXPECT_EQ(9, driver.hidCaps.InputReportByteLength);
    EXPECT_EQ(9, driver.hidCaps.OutputReportByteLength);
}

TEST_F(HidEnumeration, WithoutMatchLeavesNothingOpen) {
    EXPECT_TRUE(FindsNothing(driver, bus));  // empty bus
    bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.product = 0xABD8; }));
    bus.AddDevice(With([](FakeHidDeviceConfig& c) { c.version = 0x0100; }));
    const int unplugged = bus.AddDevice();
    bus.Unplug(unplugged);

    EXPECT_TRUE(FindsNothing(driver, bus));
    ExpectClean();

    bus.SetClassDevsFails(true);
    EXPECT_TRUE(FindsNothing(driver, bus));
}

TEST_F(HidEnumeration, RefusesAMatchThatCannotBeSetUp) {
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
        CBrailleSampleDriver d(alone);
        const int broken = alone.AddDevice(With(c.change));
        EXPECT_TRUE(FindsNothing(d, alone));
        // A working display behind the broken one is still found.
        const int good = alone.AddDevice();
        EXPECT_EQ(1, d.FindHidDevice());
        EXPECT_EQ(0u, alone.OpenHandleCount(broken));
        EXPECT_EQ(2u, alone.OpenHandleCount(good));
        d.CloseHidHandles();
    }
}

// The read's block is made once and serves every display found after it.
TEST_F(HidEnumeration, ReFindReleasesHeldHandlesAndReusesTheReadBlock) {
    ASSERT_EQ(1, AddAndFind());
    const CHidIo* read = driver.hidReadIo;
    ASSERT_EQ(1, driver.FindHidDevice());
    EXPECT_EQ(2u, bus.OpenHandleCount(display));
    EXPECT_EQ(read, driver.hidReadIo);
    // Pulled out: the re-find fails until the display is plugged back in.
    bus.Unplug(display);
    driver.CloseHidHandles();
    EXPECT_EQ(0, driver.FindHidDevice());
    EXPECT_EQ(0, driver.FindHidDevice());
    bus.Plug(display);
    EXPECT_EQ(1, driver.FindHidDevice());
    EXPECT_EQ(read, driver.hidReadIo);
    // Closed after an empty read and replaced by another display.
    Payload p{};
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    driver.CloseHidHandles();
    bus.Unplug(display);
    const int second = bus.AddDevice();
    ASSERT_EQ(1, driver.FindHidDevice());
    EXPECT_EQ(read, driver.hidReadIo);
    EXPECT_EQ(2u, bus.OpenHandleCount(second));
    bus.QueueAck(second);
    EXPECT_EQ(9, driver.ReadHidReport(p.data()));
    EXPECT_EQ(0xFF, p[0]);
}

// ---------------------------------------------------------------- hello

TEST_F(HidHello, AnsweredStoresInformation) {
    ASSERT_EQ(1, AddAndFind(With([](FakeHidDeviceConfig& c) {
                  c.info[0] = 0x9A;
                  c.info[1] = 0x05;
              })));
    driver.tickCounter = 77;

    EXPECT_EQ(1, driver.HidHandshake());
    EXPECT_EQ(0x9Au, driver.hidInfo[0]);
    EXPECT_EQ(0x05u, driver.hidInfo[1]);
    EXPECT_EQ(0u, driver.tickCounter);
    const auto outputs = bus.Outputs(display);
    ASSERT_EQ(1u, outputs.size());
    EXPECT_EQ((Bytes{0x00, 0xFB, 0xAA, 0x55, 0, 0, 0, 0, 0}), outputs[0]);
}

TEST_F(HidHello, ConsumesOtherReportsUntilTheReply) {
    ASSERT_EQ(1, AddAndFind(With([](FakeHidDeviceConfig& c) { c.answersHello = false; })));
    AttachHost();
    bus.QueueKey(display, 0xFD, 0x05);
    bus.QueueInput(display, {0xFB, 0xAA, 0x56, 0x01, 0x02});  // not a reply
    bus.QueueInput(display, {0xFA, 0xAA, 0x55, 0x03, 0x04});  // not a reply
    bus.QueueKey(display, 0xFE, 0x01);
    bus.QueueHelloReply(display, 0x07, 0x08);
    bus.QueueKey(display, 0xFE, 0x02);  // after the reply: left for the poll

    EXPECT_EQ(1, driver.HidHandshake());
    EXPECT_EQ(7u, driver.hidInfo[0]);
    EXPECT_EQ(8u, driver.hidInfo[1]);
    EXPECT_EQ(5u, bus.ReadsIssued(display));
    EXPECT_EQ(1u, bus.PendingInput(display));
    testenv::Pump(20);  // dispatches the key events already posted
    EXPECT_TRUE(testHost.Keys().empty());
}

TEST_F(HidHello, UnansweredFailsAfterTenPolls) {
    ASSERT_EQ(1, AddAndFind(With([](FakeHidDeviceConfig& c) { c.answersHello = false; })));
    bus.SetNow(0xFFFFFF00);  // the waits cross the wrap of the clock
    const DWORD start = bus.Now();

    EXPECT_EQ(0, driver.HidHandshake());
    EXPECT_EQ(10u, bus.ReadsIssued(display));
    EXPECT_EQ(1u, bus.HelloCount(display));
    // Ten waits of just over 50 ms each; a generous upper bound only.
    const DWORD elapsed = bus.Now() - start;
    EXPECT_GT(elapsed, 500u);
    EXPECT_LT(elapsed, 2000u);
    // A write that fails (the display pulled out) ends the hello at once.
    bus.Unplug(display);
    const DWORD pulled = bus.Now();
    EXPECT_EQ(0, driver.HidHandshake());
    EXPECT_LT(bus.Now() - pulled, 50u);
}

// ---------------------------------------------------------------- frames

TEST_F(HidFrames, FrameIsSixReportsByteExact) {
    ASSERT_EQ(1, AddAndFind(With([](FakeHidDeviceConfig& c) { c.ack = FakeAck::Manual; })));
    const auto c = SeededCells(0x10, kFrameCells);
    bus.SetAutoAdvance(0);
    bus.SetNow(0xFFFFFFFE);

    driver.WriteCellsHid(c.data());

    const std::vector<Bytes> expected = {
        {0, 0xFF, 0xAA, 0x55, c[0], c[1], c[2], c[3], c[4]},
        {0, c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12]},
        {0, c[13], c[14], c[15], c[16], c[17], c[18], c[19], c[20]},
        {0, c[21], c[22], c[23], c[24], c[25], c[26], c[27], c[28]},
        {0, c[29], c[30], c[31], c[32], c[33], c[34], c[35], c[36]},
        {0, c[37], c[38], c[39], c[40], c[41], 0x55, 0xAA, 0xFF},
    };
    EXPECT_EQ(expected, bus.Outputs(display));
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_EQ(0xFFFFFFFEu, driver.lastSendTick);
}

TEST_F(HidFrames, FrameWithoutDisplayStillAwaitsItsAcknowledgement) {
    bus.SetAutoAdvance(0);
    bus.SetNow(1234);
    const auto c = SeededCells(1, kFrameCells);
    driver.WriteCellsHid(c.data());
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_EQ(1234u, driver.lastSendTick);
    EXPECT_EQ(1, driver.WriteHidReport(c.data(), 0));
}

TEST_F(HidFrames, LongerReportsArePaddedAndReadsStillGiveNine) {
    ASSERT_EQ(1, AddAndFind(With([](FakeHidDeviceConfig& c) {
                  c.inputLength = 64;
                  c.outputLength = 33;
              })));
    const auto c = SeededCells(5, kFrameCells);
    driver.WriteCellsHid(c.data());
    const auto outputs = bus.Outputs(display);
    ASSERT_EQ(6u, outputs.size());
    for (const Bytes& report : outputs) {
        ASSERT_EQ(33u, report.size());
        EXPECT_EQ(0, report[0]);
        EXPECT_EQ(Bytes(24, 0), Bytes(report.begin() + 9, report.end()));
    }
    ASSERT_EQ(1u, bus.Frames(display).size());
    EXPECT_TRUE(std::equal(c.begin(), c.end(), bus.Frames(display)[0].begin()));
    // The display's acknowledgement, a 64-byte report, is one payload.
    Payload p{};
    EXPECT_EQ(9, driver.ReadHidReport(p.data()));
    EXPECT_EQ((Payload{0xFF, 0, 0, 0, 0, 0, 0, 0}), p);
    bus.QueueRawInput(display, serialwire::Concat({{0, 0xFE, 0x02}, Bytes(61, 0x33)}));
    EXPECT_EQ(9, driver.ReadHidReport(p.data()));
    EXPECT_EQ((Payload{0xFE, 0x02, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33}), p);
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
}

// A display that stops taking reports: the write is given up after its bound
// and the link closed, whether the cancel ends the write or (as under Wine 8)
// has no effect. One that goes on keeps its memory until it ends, and a display
// holding every report is not opened again once it holds eight.
TEST_F(HidFrames, HeldWriteIsGivenUpAndKeepsItsMemoryUntilItEnds) {
    for (const bool cancels : {true, false}) {
        SCOPED_TRACE(cancels ? "cancel ends the write" : "cancel has no effect");
        CFakeHidPlatform alone;
        CBrailleSampleDriver d(alone);
        const int held = alone.AddDevice(With([](FakeHidDeviceConfig& c) { c.stallWrites = true; }));
        alone.Configure(held, [&](FakeHidDeviceConfig& c) { c.ignoresCancel = !cancels; });
        alone.SetAutoAdvance(0);
        const auto c = SeededCells(3, kFrameCells);
        int opens = 0;
        for (; opens < 12 && d.FindHidDevice(); ++opens) {
            const DWORD start = alone.Now();
            d.WriteCellsHid(c.data());
            d.awaitingAck = 0;
            EXPECT_LE(alone.Now() - start, 1100u);
            EXPECT_EQ(nullptr, d.hidHandle);
        }
        EXPECT_EQ(cancels ? 12 : 8, opens);
        EXPECT_EQ(0u, alone.OpenHandleCount());
        EXPECT_EQ(cancels ? 0u : 8u, alone.PendingReadCount());
        // The display takes the held reports after all; then it is used again.
        alone.ReleaseWrites(held);
        alone.Configure(held, [](FakeHidDeviceConfig& c) { c.stallWrites = false; });
        EXPECT_EQ(1, d.FindHidDevice());
        EXPECT_EQ(0, d.hidAbandonedCount);
        EXPECT_EQ(0u, alone.Misuses()) << (alone.MisuseLog().empty() ? "" : alone.MisuseLog()[0]);
        d.CloseHidHandles();
    }
}

// ---------------------------------------------------------------- input

TEST_F(HidInput, InputReportsReachTheHostOrTheAcknowledgement) {
    ASSERT_EQ(1, AddAndFind());
    AttachHost();
    // Byte 1 passes unchanged; the rest of the payload is ignored.
    Handle({0xFD, 0x05, 1, 2, 3, 4, 5, 6});
    Handle({0xFE, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Handle({0xFD, 0x7F});
    Handle({0xFD, 0x85});  // out of range: nothing
    Handle({0xFE, 14});
    // Through the device: a function key queued by the display.
    bus.QueueKey(display, 0xFE, 0x12);
    Payload p{};
    ASSERT_EQ(9, driver.ReadHidReport(p.data()));
    driver.HandleHidReport(p.data());
    ASSERT_TRUE(testenv::WaitUntil([&] { return testHost.KeyCount() >= 5; }, 2000));
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"Routing", 5}, {"F1", 0}, {"Routing", 0x7F}, {"DN", 0}, {"SF2", 0}};
    EXPECT_EQ(expected, testHost.KeyPairs());
    // FF with nothing outstanding stays idle; FB after the hello and unknown payloads do nothing.
    driver.awaitingAck = 0;
    Handle({0xFF});
    EXPECT_EQ(0, driver.awaitingAck);
    driver.awaitingAck = 1;
    Handle({0xFB, 0xAA, 0x55, 0x01, 0x02});
    Handle({0x00, 0x05});
    Handle({0xFC, 0x05});
    EXPECT_EQ(1, driver.awaitingAck);
    Handle({0xFF, 0x12});
    EXPECT_EQ(0, driver.awaitingAck);
    driver.HandleHidReport(nullptr);
    testenv::Pump(20);  // dispatches the key events already posted
    EXPECT_EQ(5u, testHost.KeyCount());
    EXPECT_TRUE(bus.Outputs(display).empty());
}

TEST_F(HidInput, ReadTakesOnlyWhatIsAlreadyThere) {
    ASSERT_EQ(1, AddAndFind());
    Payload p = Filled(0xEE);
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    EXPECT_EQ(1u, bus.CancelCount());
    p = Filled(0xEE);
    // A truncated report is not a report.
    bus.QueueRawInput(display, {0x00, 0xFD, 0x03, 0x00});
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    EXPECT_EQ(Filled(0xEE), p);
    // Many empty polls leave no read behind, so the handles can be closed at once.
    for (int i = 0; i < 50; ++i) ASSERT_EQ(-1, driver.ReadHidReport(p.data()));
    EXPECT_EQ(0u, bus.PendingReadCount());
    driver.CloseHidHandles();
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));  // no handle: nothing issued
    EXPECT_EQ(52u, bus.ReadsIssued(display));
}

TEST_F(HidInput, RemovedDisplayYieldsNoReportsAndAbsorbsWrites) {
    ASSERT_EQ(1, AddAndFind());
    bus.Unplug(display);
    Payload p = Filled(0xEE);
    // The failed read signals the event too; it still is not a report.
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    EXPECT_EQ(Filled(0xEE), p);

    const auto c = SeededCells(9, kFrameCells);
    driver.WriteCellsHid(c.data());
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_TRUE(bus.Outputs(display).empty());
}

// Another program with the display open: each handle gets every report sent
// after its open, and each program's reads take only its own. One that shares
// nothing keeps the driver out until it lets go.
TEST_F(HidInput, EveryOpenHandleGetsEveryReportFromItsOpenOn) {
    ASSERT_EQ(1, AddAndFind());
    bus.QueueKey(display, 0xFD, 1);
    const HANDLE other = bus.HidOpen(bus.Path(display).c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OVERLAPPED);
    bus.QueueKey(display, 0xFD, 2);
    Payload p{};
    for (uint8_t code : {1, 2}) {
        EXPECT_EQ(9, driver.ReadHidReport(p.data()));
        EXPECT_EQ(code, p[1]);
    }
    EXPECT_EQ(1u, bus.PendingInput(other));
    bus.HidClose(other);
    driver.CloseHidHandles();
    const HANDLE mine = bus.HidOpen(bus.Path(display).c_str(), GENERIC_READ, FILE_SHARE_READ, 0);
    EXPECT_EQ(0, driver.FindHidDevice());
    EXPECT_EQ(1u, bus.OpenHandleCount(display));
    bus.HidClose(mine);
    EXPECT_EQ(1, driver.FindHidDevice());
}

TEST_F(HidInput, ReportCompletingAsTheReadIsCancelledIsKeptWhole) {
    ASSERT_EQ(1, AddAndFind());
    int hookCalls = 0;
    bus.SetBeforeCancelHook([&] {
        if (hookCalls++ == 0) {
            bus.QueueKey(display, 0xFD, 0x09);  // completes the pending read
            bus.QueueKey(display, 0xFE, 0x03);  // stays queued
        }
    });
    Payload p{};
    EXPECT_EQ(9, driver.ReadHidReport(p.data()));
    EXPECT_EQ((Payload{0xFD, 0x09, 0, 0, 0, 0, 0, 0}), p);
    EXPECT_EQ(0u, bus.PendingReadCount());
    EXPECT_EQ(9, driver.ReadHidReport(p.data()));
    EXPECT_EQ((Payload{0xFE, 0x03, 0, 0, 0, 0, 0, 0}), p);
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    bus.SetBeforeCancelHook(nullptr);
    // A read cancelled by a hook that queues nothing is collected before the next starts.
    EXPECT_EQ(-1, driver.ReadHidReport(p.data()));
    bus.QueueKey(display, 0xFD, 0x01);
    EXPECT_EQ(9, driver.ReadHidReport(p.data()));
    EXPECT_EQ(0xFD, p[0]);
}

}  // namespace
