// Device connection and poll cycle: dot order, the cell image, acknowledgement
// time-outs and recovery on both links, and opening the display (the serial
// display over a cable is in integration/driver_cable_test.cpp).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/fake_serial.h"
#include "support/recording_host.h"
#include "support/test_env.h"

using Bytes = std::vector<uint8_t>;
using namespace serialwire;  // Frame, Hex and the control frames

namespace {

Bytes DataOf(const Bytes& frame) { return Bytes(frame.begin() + 5, frame.end() - 2); }

// ---------------------------------------------------------------- dot order

TEST(ConnectionDots, EveryByteFollowsTheDotOrder) {
    bool seen[256] = {};
    for (int b = 0; b < 256; ++b) {
        const uint8_t out = CBrailleSampleDriver::TranslateDots(static_cast<uint8_t>(b));
        ASSERT_EQ(DisplayDots({static_cast<uint8_t>(b)})[0], out) << "host byte " << b;
        seen[out] = true;
    }
    for (bool s : seen) EXPECT_TRUE(s);  // a permutation: nothing lost or merged

    const struct {
        uint8_t in, out;
    } known[] = {{0x00, 0x00}, {0x01, 0x08}, {0x02, 0x04}, {0x04, 0x02}, {0x08, 0x80}, {0x10, 0x40},
                 {0x20, 0x20}, {0x40, 0x01}, {0x80, 0x10}, {0x3F, 0xEE}, {0xFF, 0xFF}};
    for (const auto& k : known) EXPECT_EQ(k.out, CBrailleSampleDriver::TranslateDots(k.in)) << int(k.in);
}

// ---------------------------------------------------------------- serial fixture

class ConnectionSerial : public ::testing::Test {
protected:
    void SetUp() override {
        driver.serial = new CFakeSerial(port);
        driver.link = LinkState::Running;
        driver.textCells = 40;
        driver.statusCells = 2;
        clock.Set(10000);
    }
    void TearDown() override {
        delete driver.serial;
        driver.serial = nullptr;
        if (window) DestroyWindow(window);
    }
    void AckDisplayFrame() {
        for (uint8_t b : kAck) driver.FeedByte(b);
    }
    // The clock moves on and the poll runs, as the worker's timer does.
    void Tick(DWORD ms) {
        clock.Advance(ms);
        driver.PollTick();
    }
    // One display frame goes out and is then not acknowledged for 401 ms.
    void TimeOutOnce() {
        driver.SendTextCells(first.data(), 40);
        ASSERT_EQ(1, driver.awaitingAck);
        Tick(401);
    }

    // Two text writes: the first goes out, the second is held back for it.
    void SendFirstAndHoldSecond() {
        driver.SendTextCells(first.data(), 40);
        driver.SendTextCells(second.data(), 40);
        ASSERT_EQ(1u, port->writes.size());
        ASSERT_EQ(1, driver.pendingValid);
    }
    // The held-back frame went out as write number `writes` and is awaited in turn.
    void ExpectReleased(const Bytes& cells, size_t writes) {
        ASSERT_EQ(writes, port->writes.size());
        EXPECT_EQ(Hex(Concat({{0, 0}, DisplayDots(cells)})), Hex(DataOf(port->writes.back().bytes)));
        EXPECT_EQ(0, driver.pendingValid);
        EXPECT_EQ(1, driver.awaitingAck);
    }

    CTestClock clock;
    std::shared_ptr<CSerialRecord> port = std::make_shared<CSerialRecord>();
    CBrailleSampleDriver driver{clock};
    HWND window = nullptr;
    const Bytes first = SeededCells(1), second = SeededCells(2);
};

// ---------------------------------------------------------------- cell image

using ConnectionCells = ConnectionSerial;

TEST_F(ConnectionCells, TextFollowsTheStatusCellsAndStatusWritesKeepTheText) {
    driver.SendTextCells(first.data(), 40);
    ASSERT_EQ(1u, port->writes.size());
    Bytes sent = DataOf(port->writes[0].bytes);
    ASSERT_EQ(Hex(Concat({{0, 0}, DisplayDots(first)})), Hex(sent));
    EXPECT_EQ(0, std::memcmp(driver.cellImage, sent.data(), 42));

    AckDisplayFrame();
    const Bytes status = {0x01, 0x80};
    driver.SendAllCells(status.data(), 2);
    ASSERT_EQ(2u, port->writes.size());
    EXPECT_EQ(Hex(Concat({{0x08, 0x10}, Bytes(sent.begin() + 2, sent.end())})), Hex(DataOf(port->writes[1].bytes)));
}

TEST_F(ConnectionCells, BlankDisplayLeavesTheImage) {
    driver.SendTextCells(first.data(), 40);
    AckDisplayFrame();
    Bytes before(driver.cellImage, driver.cellImage + kCellImageSize);

    driver.SendBlankCells();
    ASSERT_EQ(2u, port->writes.size());
    EXPECT_EQ(Hex(Frame(0x00, Bytes(42, 0))), Hex(port->writes[1].bytes));
    EXPECT_EQ(before, Bytes(driver.cellImage, driver.cellImage + kCellImageSize));

    AckDisplayFrame();
    const uint8_t one = 0xFF;
    driver.SendTextCells(&one, 1);
    Bytes third = DataOf(port->writes[2].bytes);
    Bytes expected(before.begin(), before.begin() + 42);
    expected[2] = 0xFF;
    EXPECT_EQ(Hex(expected), Hex(third));
}

TEST_F(ConnectionCells, CountsPastTheImageStayInsideIt) {
    const Bytes many(300, 0x01);
    CSerial* const portObject = driver.serial;
    driver.SendAllCells(many.data(), 300);
    EXPECT_EQ(Bytes(kCellImageSize, 0x08), Bytes(driver.cellImage, driver.cellImage + kCellImageSize));
    // The fields after the image are intact.
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_EQ(portObject, driver.serial);
    ASSERT_EQ(1u, port->writes.size());
    EXPECT_EQ(49u, port->writes[0].bytes.size());

    const Bytes text(250, 0x02);
    driver.SendTextCells(text.data(), 250);
    EXPECT_EQ(0x08, driver.cellImage[1]);
    EXPECT_EQ(0x04, driver.cellImage[2]);
    EXPECT_EQ(0x04, driver.cellImage[kCellImageSize - 1]);
    EXPECT_EQ(portObject, driver.serial);
    EXPECT_EQ(1, driver.pendingValid);  // held back: the first frame is still awaited
}

// Writes that cannot go out (suspended, no port, the display away) still reach
// the cell image, which the display shows when it is back.
TEST_F(ConnectionCells, WritesWithoutALinkReachOnlyTheImage) {
    const Bytes text = SeededCells(5), other = SeededCells(9, 2);
    driver.suspended = 1;
    driver.SendTextCells(text.data(), 40);
    EXPECT_EQ(Hex(DisplayDots(text)), Hex(Bytes(driver.cellImage + 2, driver.cellImage + 42)));
    EXPECT_TRUE(port->writes.empty());

    driver.suspended = 0;
    driver.SetLink(LinkState::Searching);
    driver.SendAllCells(other.data(), 2);
    EXPECT_EQ(Hex(DisplayDots(other)), Hex(Bytes(driver.cellImage, driver.cellImage + 2)));
    driver.SendBlankCells();
    driver.SendAllCells(text.data(), 0);
    EXPECT_TRUE(port->writes.empty());
    EXPECT_EQ(Hex(DisplayDots(text)), Hex(Bytes(driver.cellImage + 2, driver.cellImage + 42)));
}

// ---------------------------------------------------------------- serial poll

using ConnectionPoll = ConnectionSerial;

TEST_F(ConnectionPoll, TimeOutIsMoreThan400MsAlsoAcrossTheWrap) {
    // The last start puts exactly 400 ms on 0 after the wrap.
    for (DWORD start : {DWORD{5000}, DWORD{0xFFFFFF00}, DWORD{0xFFFFFE70}}) {
        driver.awaitingAck = 0;
        driver.failureCount = 0;
        port->ClearWrites();
        clock.Set(start);
        driver.SendTextCells(second.data(), 40);
        ASSERT_EQ(start, driver.lastSendTick);

        for (DWORD early : {DWORD{1}, DWORD{200}, DWORD{400}}) {
            clock.Set(start + early);
            driver.PollTick();
            EXPECT_EQ(1, driver.awaitingAck) << "start " << start << " after " << early;
            EXPECT_EQ(0, driver.failureCount) << "start " << start << " after " << early;
        }

        clock.Set(start + 401);
        driver.PollTick();
        EXPECT_EQ(0, driver.awaitingAck) << "start " << start;
        EXPECT_EQ(1, driver.failureCount) << "start " << start;
        EXPECT_EQ(0, int(driver.suspended));
    }
}

TEST_F(ConnectionPoll, FourthTimeOutStartsTheSearch) {
    driver.RegisterKeyWindowClass(GetModuleHandleA(nullptr));
    window = driver.CreateKeyWindow(GetModuleHandleA(nullptr));
    driver.keyWindow = window;

    for (int i = 1; i <= 3; ++i) {
        TimeOutOnce();
        EXPECT_EQ(i, driver.failureCount);
    }
    EXPECT_EQ(0, int(driver.suspended));
    EXPECT_NE(nullptr, driver.serial);
    // An acknowledgement in between starts the count again.
    driver.SendTextCells(first.data(), 40);
    port->Deliver(kAck);
    driver.PollTick();
    EXPECT_EQ(0, driver.failureCount);
    EXPECT_EQ(0, driver.awaitingAck);

    for (int i = 1; i <= 3; ++i) TimeOutOnce();
    EXPECT_EQ(3, driver.failureCount);
    EXPECT_EQ(0, int(driver.suspended));
    TimeOutOnce();
    EXPECT_EQ(4, driver.failureCount);
    EXPECT_EQ(0, int(driver.suspended));
    EXPECT_EQ(LinkState::Searching, driver.link);
    EXPECT_EQ(0, driver.awaitingAck);
    EXPECT_EQ(nullptr, driver.serial);
    EXPECT_TRUE(port->closed);
    EXPECT_TRUE(port->destroyed);
    EXPECT_EQ(window, driver.keyWindow);
    EXPECT_TRUE(IsWindow(window));
    // Without a port name there is nothing to probe: ticks stay quiet.
    const size_t writes = port->writes.size();
    Tick(5000);
    EXPECT_EQ(nullptr, driver.serial);
    EXPECT_EQ(LinkState::Searching, driver.link);
    EXPECT_EQ(writes, port->writes.size());
}

TEST_F(ConnectionPoll, BurstIsConsumedEightyBytesPerTick) {
    Bytes burst;
    for (int i = 0; i < 25; ++i) serialwire::Append(burst, Frame(0x10, {5}));  // 25 x 8 bytes
    ASSERT_EQ(200u, burst.size());
    port->Deliver(burst);

    std::vector<size_t> acks;
    for (int tick = 0; tick < 3; ++tick) {
        const size_t before = port->writes.size();
        driver.PollTick();
        acks.push_back(port->writes.size() - before);
    }
    ASSERT_EQ(3u, port->reads.size());
    const DWORD counts[3] = {80, 80, 40};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(80u, port->reads[i].size);
        EXPECT_EQ(counts[i], port->reads[i].count);
    }
    // Ten frames in each of the first two ticks, five in the last.
    EXPECT_EQ((std::vector<size_t>{10, 10, 5}), acks);
}

TEST_F(ConnectionPoll, SplitAndGluedFramesDecodeTheSame) {
    clock.layout = {{'a', 0x41}, {'b', 0x42}};
    const Bytes stream =
        Concat({Frame(0x13, {'a', 0}), Frame(0x30, {1, 2, 3}), Frame(0x13, {'b', 0}), Frame(0x30, {})});

    std::vector<BYTE> wholeKeys;
    size_t wholeAcks = 0;
    for (size_t split = 0; split <= stream.size(); ++split) {
        clock.keystrokes.clear();
        port->ClearWrites();
        port->Deliver(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split)));
        driver.PollTick();
        port->Deliver(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end()));
        driver.PollTick();

        std::vector<BYTE> keysSeen;
        for (const auto& k : clock.keystrokes) keysSeen.push_back(k.vk);
        if (split == 0) {
            wholeKeys = keysSeen;
            wholeAcks = port->writes.size();
            EXPECT_EQ(4u, wholeAcks);
            EXPECT_EQ((std::vector<BYTE>{0x41, 0x41, 0x42, 0x42}), wholeKeys);
        }
        EXPECT_EQ(wholeKeys, keysSeen) << "split at " << split;
        EXPECT_EQ(wholeAcks, port->writes.size()) << "split at " << split;
        EXPECT_EQ(0, driver.rxState);
    }
}

// The frame held back for the one awaited goes out in the tick that ends the
// wait, by the acknowledgement or by the time-out, and not before.
TEST_F(ConnectionPoll, PendingFrameGoesOutInTheTickThatEndsTheWait) {
    SendFirstAndHoldSecond();
    port->Deliver(kAck);
    driver.PollTick();
    ExpectReleased(second, 2);
    EXPECT_EQ(0, driver.failureCount);

    driver.SendTextCells(first.data(), 40);
    for (int i = 0; i < 4; ++i) Tick(100);
    EXPECT_EQ(2u, port->writes.size());
    EXPECT_EQ(1, driver.pendingValid);
    port->Deliver(kAck);
    driver.PollTick();
    ExpectReleased(first, 3);

    driver.SendTextCells(second.data(), 40);
    Tick(401);
    EXPECT_EQ(1, driver.failureCount);
    ExpectReleased(second, 4);
    EXPECT_EQ(clock.Now(), driver.lastSendTick);
}

TEST_F(ConnectionPoll, NoDeviceWorkWhileOpeningOrSuspended) {
    port->Deliver(Frame(0x10, {5}));
    driver.SetLink(LinkState::Opening);
    EXPECT_EQ(1, driver.opening);
    driver.PollTick();
    driver.SetLink(LinkState::Running);
    EXPECT_EQ(0, driver.opening);
    driver.suspended = 1;
    driver.PollTick();
    EXPECT_TRUE(port->reads.empty());
    EXPECT_TRUE(port->writes.empty());

    driver.suspended = 0;
    driver.PollTick();
    EXPECT_EQ(1u, port->writes.size());  // the key frame's acknowledgement
}

// A host that suspends the driver itself while the driver is looking for its
// lost display wants it to stay suspended: the display's return must not
// resume the link behind the host's back.
TEST_F(ConnectionPoll, HostSuspensionDuringTheSearchIsKept) {
    clock.Set(90000);
    std::strcpy(driver.portName, "COM11");
    for (int i = 0; i < 4; ++i) TimeOutOnce();
    ASSERT_EQ(LinkState::Searching, driver.link);
    ASSERT_EQ(nullptr, driver.serial);
    // The port as the search holds it open (a real port needs a cable; the
    // search only reads and writes it).
    auto probe = std::make_shared<CSerialRecord>();
    driver.serial = new CFakeSerial(probe);
    driver.probePortOpen = 1;

    driver.suspended = 1;  // the host's suspension as its Suspend sets it; its command follows

    probe->Deliver(kIdentity40);
    for (int i = 0; i < 3; ++i) Tick(1000);
    EXPECT_EQ(1, int(driver.suspended));
    for (const auto& w : probe->writes) EXPECT_NE(0x00, w.bytes[2]) << "display frame sent: " << Hex(w.bytes);
}

// ---------------------------------------------------------------- open and close

TEST(ConnectionOpen, NameIsUpperCasedAndLongNamesRefused) {
    CTestClock clock;
    CBrailleSampleDriver driver(clock);
    EXPECT_EQ(0, driver.OpenDevice("com251x\xE4-z"));
    EXPECT_STREQ("COM251X\xE4-Z", driver.portName);
    EXPECT_EQ(nullptr, driver.serial);
    EXPECT_EQ(0, driver.usingHid);

    const std::string longest(127, 'q');
    EXPECT_EQ(0, driver.OpenDevice(longest.c_str()));
    EXPECT_EQ(std::string(127, 'Q'), std::string(driver.portName));

    const std::string tooLong(128, 'q');
    EXPECT_EQ(0, driver.OpenDevice(tooLong.c_str()));
    EXPECT_STREQ("", driver.portName);
    EXPECT_EQ(nullptr, driver.serial);

    EXPECT_EQ(0, driver.OpenDevice(nullptr));
    EXPECT_STREQ("", driver.portName);
}

using ConnectionOpenPort = ConnectionSerial;

TEST_F(ConnectionOpenPort, ExistingPortObjectMakesTheOpenFailAndIsClosed) {
    EXPECT_EQ(0, driver.OpenDevice("COM11"));
    EXPECT_EQ(nullptr, driver.serial);
    EXPECT_TRUE(port->closed);
    EXPECT_TRUE(port->destroyed);
    EXPECT_TRUE(port->writes.empty());
}

// The host's suspend command can meet a search that has just found the display
// and resumed the link on the worker: carrying out the command restores the
// host's suspension, unless the host has already asked again.
TEST(ConnectionProbe, HostSuspendCommandOutweighsAResumeByTheSearch) {
    CTestClock clock;
    CBrailleSampleDriver driver(clock);
    driver.portName[0] = 0;
    // The search resumed the link after the host had written its flag.
    driver.suspended = 0;
    driver.link = LinkState::Running;
    EXPECT_TRUE(driver.DispatchCommand(CMD_SUSPEND, nullptr, 1));
    EXPECT_EQ(1, int(driver.suspended));
    EXPECT_EQ(LinkState::Suspended, driver.link);
    // With the host's resume already queued behind it, the suspend command
    // leaves the host's newer word alone.
    driver.suspended = 0;
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_DRIVER_COMMAND + CMD_SUSPEND, 0, 0));
    EXPECT_TRUE(driver.DispatchCommand(CMD_SUSPEND, nullptr, 1));
    EXPECT_EQ(0, int(driver.suspended));
    MSG msg;
    ASSERT_TRUE(
        PeekMessageA(&msg, nullptr, WM_DRIVER_COMMAND + CMD_SUSPEND, WM_DRIVER_COMMAND + CMD_SUSPEND, PM_REMOVE));
}

// ---------------------------------------------------------------- USB link

class ConnectionUsb : public ::testing::Test {
protected:
    void SetUp() override {
        device = bus.AddDevice();
        bus.Configure(device, [](FakeHidDeviceConfig& c) { c.ack = FakeAck::Manual; });
        ASSERT_EQ(1, driver.OpenDevice(""));  // hello under a moving clock
        ASSERT_EQ(1, driver.usingHid);
        bus.SetAutoAdvance(0);
        bus.SetNow(500000);
        bus.ClearOutputs(device);
    }
    void TearDown() override { driver.CloseDevice(); }
    // The bus clock moves on and the poll runs, as the worker's timer does.
    void Tick(DWORD ms = 100) {
        bus.Advance(ms);
        driver.PollTick();
    }

    CFakeHidPlatform bus;
    CBrailleSampleDriver driver{bus};
    int device = 0;
};

// Forty text cells from the first cell on; the image is sent again after the time-out.
TEST_F(ConnectionUsb, TextStartsAtTheFirstCellAndIsResentAfterMoreThan1000Ms) {
    EXPECT_EQ(40, int(driver.textCells));
    EXPECT_EQ(0, int(driver.statusCells));
    const DWORD start = bus.Now();
    const Bytes text = SeededCells(0x3F);
    driver.SendTextCells(text.data(), 40);
    driver.SendBlankCells();  // queued; the recovery must not show it
    const size_t opens = bus.OpenCount(device);

    bus.SetNow(start + 1000);
    driver.PollTick();
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_EQ(opens, bus.OpenCount(device));

    bus.SetNow(start + 1001);
    driver.PollTick();
    EXPECT_GT(bus.OpenCount(device), opens);  // closed and found again
    EXPECT_TRUE(driver.hidRing.Empty());
    auto frames = bus.Frames(device);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(Hex(Bytes(frames[0].begin(), frames[0].end())), Hex(Bytes(frames[1].begin(), frames[1].end())));
    EXPECT_EQ(0xEE, frames[1][0]);
    EXPECT_EQ(Hex(DisplayDots(text)), Hex(Bytes(frames[0].begin(), frames[0].begin() + 40)));
    EXPECT_EQ(2u, bus.OpenHandleCount());
}

// Unplugged, or no longer taking reports: the failed read or the stalled write
// ends the link at once; the display is looked for once a second, and when it
// is back it gets the hello and the newest image, written while it was away,
// and its keys are read again.
TEST_F(ConnectionUsb, UnpluggedDisplayIsFoundAgainWithTheNewestImage) {
    const Bytes before(40, 0x01), away(40, 0x02);
    driver.SendTextCells(before.data(), 40);
    bus.QueueAck(device);
    bus.Unplug(device);
    driver.PollTick();
    EXPECT_EQ(LinkState::Searching, driver.link);
    EXPECT_EQ(0u, bus.OpenHandleCount());
    EXPECT_EQ(0u, bus.PendingReadCount());

    driver.SendTextCells(away.data(), 40);
    const size_t enumerations = bus.Enumerations();
    for (int i = 0; i < 30; ++i) Tick();
    EXPECT_EQ(3u, bus.Enumerations() - enumerations);  // once a second, not every tick

    bus.Plug(device);
    const size_t hellos = bus.HelloCount(device);
    int ticks = 0;
    for (; ticks < 20 && driver.link != LinkState::Running; ++ticks) Tick();
    EXPECT_LE(ticks, 10);
    EXPECT_EQ(hellos + 1, bus.HelloCount(device));
    auto frames = bus.Frames(device);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(Hex(DisplayDots(away)), Hex(Bytes(frames[1].begin(), frames[1].begin() + 40)));

    bus.QueueKey(device, 0xFE, 1);
    bus.QueueAck(device);
    driver.PollTick();
    EXPECT_EQ(0u, bus.PendingInput(device));
    EXPECT_EQ(0, driver.awaitingAck);
    // A display that stops taking output reports: the write is given up after
    // its bound, collected, and the display counts as gone.
    bus.Configure(device, [](FakeHidDeviceConfig& c) { c.stallWrites = true; });
    const DWORD start = bus.Now();
    const Bytes stalled(40, 0x08);
    driver.SendTextCells(stalled.data(), 40);
    EXPECT_EQ(1000u, bus.Now() - start);  // the fake clock runs only while the write is waited for
    EXPECT_EQ(LinkState::Searching, driver.link);
    EXPECT_EQ(0u, bus.OpenHandleCount());
    EXPECT_EQ(0u, bus.PendingReadCount());
    bus.Configure(device, [](FakeHidDeviceConfig& c) { c.stallWrites = false; });
    Tick(1000);
    EXPECT_EQ(LinkState::Running, driver.link);
    EXPECT_EQ(0x80, bus.Frames(device).back()[0]);
    EXPECT_EQ(0u, bus.Misuses()) << (bus.MisuseLog().empty() ? "" : bus.MisuseLog()[0]);
}

// For any schedule of host writes, acknowledgements and lost acknowledgements,
// the display's images only move forward, and it ends on the host's last write
// within two ticks of it.
TEST_F(ConnectionUsb, DisplayEndsOnTheNewestImageAndNeverGoesBack) {
    uint8_t hostOf[256];
    for (int b = 0; b < 256; ++b) hostOf[CBrailleSampleDriver::TranslateDots(static_cast<uint8_t>(b))] = uint8_t(b);
    auto image = [](int n) {
        Bytes cells(40, 0x55);
        cells[0] = static_cast<uint8_t>(n & 0xFF);
        cells[1] = static_cast<uint8_t>(n >> 8);
        return cells;
    };
    int written = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        bus.ClearOutputs(device);
        for (int step = 0; step < 150; ++step) {
            const unsigned r = random() % 10;
            if (r < 5) {
                const Bytes cells = image(++written);
                driver.SendTextCells(cells.data(), 40);
            } else if (r < 7) {
                bus.QueueAck(device);
            } else {
                Tick(r == 9 && random() % 4 == 0 ? 1100 : 100);  // now and then the acknowledgement is lost
            }
        }
        // The display answers at once from now on.
        int ticks = 0;
        for (; ticks < 2 && !bus.LastFrameShows(device, image(written)); ++ticks) {
            bus.QueueAck(device);
            Tick();
        }
        EXPECT_TRUE(bus.LastFrameShows(device, image(written))) << "after " << ticks << " ticks";
        int last = 0;
        for (const FakeFrame& frame : bus.Frames(device)) {
            const int n = hostOf[frame[0]] + 256 * hostOf[frame[1]];
            ASSERT_GE(n, last) << "an older image followed a newer one";
            ASSERT_LE(n, written);
            ASSERT_EQ(0x55, hostOf[frame[39]]);
            last = n;
        }
        bus.QueueAck(device);
        driver.PollTick();
    }
    EXPECT_EQ(0u, bus.Misuses());
}

// Every report queued is read in one tick (the bus keeps 32, as Windows does):
// twenty keys pressed together reach the host at once, and the acknowledgement
// behind them releases the frame waiting for it in the same tick.
TEST_F(ConnectionUsb, QueuedReportsAreAllReadInOneTick) {
    testenv::CRecordingHost keys;
    driver.RegisterKeyWindowClass(GetModuleHandleA(nullptr));
    driver.keyWindow = driver.CreateKeyWindow(GetModuleHandleA(nullptr));
    driver.host = &keys;
    const Bytes a(40, 0x01), b(40, 0x02);
    driver.SendTextCells(a.data(), 40);
    driver.SendTextCells(b.data(), 40);  // waits for the acknowledgement

    for (int i = 0; i < 40; ++i) bus.QueueKey(device, 0xFE, 1);
    EXPECT_EQ(8u, bus.DroppedInput(device));  // the bus itself keeps 32
    driver.PollTick();
    EXPECT_EQ(0u, bus.PendingInput(device));
    EXPECT_TRUE(testenv::WaitUntil([&] { return keys.KeyCount() == 32; }, 2000)) << keys.KeyCount() << " keys";

    for (int i = 0; i < 20; ++i) bus.QueueKey(device, 0xFD, static_cast<uint8_t>(i + 1));
    bus.QueueAck(device);
    driver.cellImage[40] = 0xA4;  // a slot keeps 40 cells: the others come from the image
    driver.PollTick();
    EXPECT_TRUE(testenv::WaitUntil([&] { return keys.KeyCount() == 52; }, 2000)) << keys.KeyCount() << " keys";
    auto frames = bus.Frames(device);
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(0x04, frames[1][0]);
    EXPECT_EQ(0xA4, frames[1][40]);
    DestroyWindow(driver.keyWindow);
    driver.keyWindow = nullptr;
}

TEST(ConnectionUsbOpen, UnansweredHelloFailsWithoutTryingTheSerialPort) {
    CFakeHidPlatform bus;
    bus.Configure(bus.AddDevice(), [](FakeHidDeviceConfig& c) { c.answersHello = false; });
    CBrailleSampleDriver driver(bus);
    EXPECT_EQ(0, driver.OpenDevice("COM11"));
    EXPECT_EQ(0, driver.usingHid);
    EXPECT_EQ(nullptr, driver.serial);
    EXPECT_EQ(nullptr, driver.hidHandle);
    EXPECT_EQ(0u, bus.OpenHandleCount());
}

}  // namespace
