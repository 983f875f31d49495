// Serial frame protocol against a scripted port: the bytes on the wire, the
// receiver, the held-back display frame and the identification.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "support/fake_serial.h"
#include "support/recording_host.h"
#include "support/test_env.h"

using Bytes = std::vector<uint8_t>;
using namespace serialwire;  // Frame, Hex and the control frames

namespace {

const Bytes kKeyF5 = {0x01, 0x02, 0x10, 0x01, 0x03, 0x05, 0x4E, 0xAA};
const Bytes kCells(kFrameCells, 0x44);  // a display frame's cells

class SerialProtocolTest : public ::testing::Test {
protected:
    void SetUp() override { driver.serial = new CFakeSerial(port); }
    void TearDown() override {
        DropPort();
        if (driver.keyWindow) DestroyWindow(driver.keyWindow);
        driver.keyWindow = nullptr;
    }
    void DropPort() {
        delete driver.serial;
        driver.serial = nullptr;
    }
    void Feed(const Bytes& bytes) {
        for (uint8_t b : bytes) driver.FeedByte(b);
    }
    // Key events reach `keys` once this thread pumps its messages.
    void AttachKeyWindow() {
        driver.RegisterKeyWindowClass(GetModuleHandleA(nullptr));
        driver.keyWindow = driver.CreateKeyWindow(GetModuleHandleA(nullptr));
        ASSERT_NE(nullptr, driver.keyWindow);
        driver.host = &keys;
    }
    bool KeyQueued() {
        MSG msg;
        return PeekMessageA(&msg, driver.keyWindow, WM_BRAILLE_KEY, WM_BRAILLE_KEY, PM_NOREMOVE) != 0;
    }
    std::string Written() const { return HexFrames(port->Writes()); }
    // What an identity sets: the text cells, always two status cells, the version.
    void ExpectIdentity(int textCells, uint8_t version0, uint8_t version1) {
        EXPECT_EQ(textCells, int(driver.textCells));
        EXPECT_EQ(2, int(driver.statusCells));
        EXPECT_EQ(version0, driver.deviceVersion[0]);
        EXPECT_EQ(version1, driver.deviceVersion[1]);
    }

    CTestClock clock;
    std::shared_ptr<CSerialRecord> port = std::make_shared<CSerialRecord>();
    CBrailleSampleDriver driver{clock};
    testenv::CRecordingHost keys;
};

// ---------------------------------------------------------------- frames on the wire

using SerialProtocolFrames = SerialProtocolTest;

TEST_F(SerialProtocolFrames, ControlFramesAreByteExact) {
    const uint8_t zero = 0;
    driver.SendFrame(0x24, 0, nullptr);
    driver.SendFrame(0x7F, 0, nullptr);
    driver.SendFrame(0x26, 1, &zero);
    EXPECT_EQ(HexFrames({kIdentifyRequest, kAck, kIdentifyDone}), Written());
    for (const auto& w : port->writes) {
        EXPECT_EQ(1000u, w.timeout);
        EXPECT_FALSE(w.overlapped);
    }
    // Only display frames are awaited.
    EXPECT_EQ(0, driver.awaitingAck);
}

TEST_F(SerialProtocolFrames, BlankDisplayFrameAndLastFrameLayout) {
    clock.Set(123456);
    const uint8_t cells[kFrameCells] = {};
    driver.SendFrame(0x00, kFrameCells, cells);

    ASSERT_EQ(1u, port->writes.size());
    const Bytes& w = port->writes[0].bytes;
    ASSERT_EQ(Hex(Concat({{0x01, 0x02, 0x00, 0x2A, 0x03}, Bytes(42, 0x00), {0x7A, 0xAA}})), Hex(w));

    EXPECT_EQ(49, driver.lastFrame[0]);
    EXPECT_EQ(0x00, driver.lastFrame[1]);
    EXPECT_EQ(0, std::memcmp(driver.lastFrame + 2, w.data(), w.size()));
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_EQ(123456u, driver.lastSendTick);
}

TEST_F(SerialProtocolFrames, FramesLongerThanTheBufferAreRefused) {
    Bytes data(120, 0x55);
    driver.SendFrame(0x30, 120, data.data());
    driver.SendFrame(0x00, 120, data.data());
    EXPECT_TRUE(port->writes.empty());
    EXPECT_EQ(0, driver.awaitingAck);
    EXPECT_EQ(0, driver.pendingValid);

    driver.SendFrame(0x30, 119, data.data());
    ASSERT_EQ(1u, port->writes.size());
    EXPECT_EQ(126u, port->writes[0].bytes.size());
}

// ---------------------------------------------------------------- receiver

using SerialProtocolReceiver = SerialProtocolTest;

TEST_F(SerialProtocolReceiver, KeyFrameIsAcknowledgedBeforeTheKeyIsPosted) {
    AttachKeyWindow();
    bool keyQueuedAtAck = true;
    port->onWrite = [&](const Bytes&) { keyQueuedAtAck = KeyQueued(); };

    Feed(kKeyF5);

    EXPECT_EQ(Hex(kAck), Written());
    EXPECT_FALSE(keyQueuedAtAck);
    ASSERT_TRUE(testenv::WaitUntil([&] { return keys.KeyCount() > 0; }, 2000));
    EXPECT_EQ(std::make_pair(std::string("F5"), 0), keys.KeyPairs()[0]);
    EXPECT_EQ(0, driver.rxState);
}

TEST_F(SerialProtocolReceiver, TypedCharacterFollowsItsAcknowledgement) {
    clock.layout = {{'a', 0x41}};
    std::vector<std::string> order;
    port->onWrite = [&](const Bytes&) { order.push_back("ack"); };
    clock.onKeystroke = [&](const CTestClock::Keystroke&) { order.push_back("key"); };

    Feed(Frame(0x13, {'a', 0x00}));

    EXPECT_EQ((std::vector<std::string>{"ack", "key", "key"}), order);
}

TEST_F(SerialProtocolReceiver, RoutingAndScanCodeFramesReachTheirHandlers) {
    AttachKeyWindow();
    Feed(Frame(0x11, {5}));
    ASSERT_TRUE(testenv::WaitUntil([&] { return keys.KeyCount() > 0; }, 2000));
    EXPECT_EQ(std::make_pair(std::string("Routing"), 3), keys.KeyPairs()[0]);
    // The 16-bit value is little-endian: 0x001C is a key, 0x011C is out of range.
    Feed(Frame(0x14, {0x1C, 0x00}));
    Feed(Frame(0x14, {0x1C, 0x01}));
    ASSERT_EQ(1u, clock.injectedScans.size());
    EXPECT_EQ(0x1E, clock.injectedScans[0]);
    EXPECT_EQ(3u, port->writes.size());  // every valid frame is acknowledged
}

TEST_F(SerialProtocolReceiver, WrongChecksumGivesNoAcknowledgementAndNoKey) {
    AttachKeyWindow();
    // A bit of the high or the low checksum byte, or the data (05 -> 06).
    for (auto [at, flip] : {std::pair<size_t, uint8_t>{7, 0x01}, {6, 0x80}, {5, 0x03}}) {
        Bytes bad = kKeyF5;
        bad[at] ^= flip;
        Feed(bad);
        EXPECT_EQ(0, driver.rxState) << Hex(bad);
    }
    EXPECT_TRUE(port->writes.empty());
    EXPECT_FALSE(KeyQueued());
    // The receiver is ready for the next frame.
    Feed(kKeyF5);
    EXPECT_EQ(1u, port->writes.size());
    EXPECT_TRUE(KeyQueued());
}

TEST_F(SerialProtocolReceiver, FrameWithoutDataEndsAfterItsChecksum) {
    const Bytes f = Frame(0x30, {});
    ASSERT_EQ(7u, f.size());
    Feed(Bytes(f.begin(), f.end() - 1));
    EXPECT_TRUE(port->writes.empty());
    Feed({f.back()});
    EXPECT_EQ(Hex(kAck), Written());  // an unknown command is still acknowledged
    EXPECT_EQ(0, driver.rxState);
    // The display's acknowledgement is itself a frame without data.
    driver.awaitingAck = 1;
    Feed(kAck);
    EXPECT_EQ(0, driver.awaitingAck);
    EXPECT_EQ(1u, port->writes.size());  // acknowledgements are not acknowledged
}

TEST_F(SerialProtocolReceiver, IdentityReplySetsCellsAndVersion) {
    Feed(kIdentity40);
    ExpectIdentity(40, 0x05, 0x07);  // kIdentity40
    EXPECT_EQ(1, driver.identified);
    EXPECT_EQ(Hex(kAck), Written());
    // Further data bytes are ignored.
    Feed(Frame(0x25, {0x50, 1, 2, 3, 0x11, 0x22, 0x33, 0x44}));
    ExpectIdentity(80, 0x11, 0x22);
}

TEST_F(SerialProtocolReceiver, ShortCharacterFrameTakesTheStaleHighByte) {
    Feed(Frame(0x13, {0x29, 0x01}));  // 297: Alt+F4
    ASSERT_EQ(4u, clock.keystrokes.size());
    EXPECT_EQ(VK_MENU, clock.keystrokes[0].vk);
    EXPECT_EQ(VK_F4, clock.keystrokes[1].vk);
    clock.keystrokes.clear();

    Feed(Frame(0x13, {0x0C}));  // 0x0C plus the 0x01 left behind: 0x10C, Tab
    ASSERT_EQ(2u, clock.keystrokes.size());
    EXPECT_EQ(VK_TAB, clock.keystrokes[0].vk);
    EXPECT_EQ(0u, clock.keystrokes[0].flags);
    EXPECT_EQ(VK_TAB, clock.keystrokes[1].vk);
    EXPECT_EQ(static_cast<DWORD>(KEYEVENTF_KEYUP), clock.keystrokes[1].flags);
    EXPECT_TRUE(clock.scanned.empty());  // never treated as the character 0x0C
}

// ---------------------------------------------------------------- held-back display frame

using SerialProtocolPending = SerialProtocolTest;

TEST_F(SerialProtocolPending, OnlyTheNewestDisplayFrameWaits) {
    const Bytes first(kFrameCells, 0x11), second(kFrameCells, 0x22), third(kFrameCells, 0x33);
    driver.SendFrame(0x00, kFrameCells, first.data());
    ASSERT_EQ(1u, port->writes.size());
    ASSERT_EQ(1, driver.awaitingAck);

    driver.SendFrame(0x00, kFrameCells, second.data());
    driver.SendFrame(0x00, kFrameCells, third.data());
    EXPECT_EQ(1u, port->writes.size());
    EXPECT_EQ(1, driver.pendingValid);
    EXPECT_EQ(0x00, driver.pendingCommand);
    EXPECT_EQ(kFrameCells, driver.pendingLength);
    EXPECT_EQ(0, std::memcmp(driver.pendingData, third.data(), third.size()));
    // Other frames are not held back and are not awaited.
    const uint8_t zero = 0;
    driver.SendFrame(0x26, 1, &zero);
    EXPECT_EQ(HexFrames({Frame(0x00, first), kIdentifyDone}), Written());
    EXPECT_EQ(1, driver.awaitingAck);
    EXPECT_EQ(0, std::memcmp(driver.pendingData, third.data(), third.size()));
}

TEST_F(SerialProtocolPending, NothingIsSentOrStoredAfterFourFailures) {
    clock.layout = {{'a', 0x41}};
    driver.failureCount = 4;

    driver.SendFrame(0x00, kFrameCells, kCells.data());
    EXPECT_EQ(0, driver.awaitingAck);
    driver.awaitingAck = 1;
    driver.SendFrame(0x00, kFrameCells, kCells.data());
    EXPECT_EQ(0, driver.pendingValid);
    // Received frames are still acted on, but not acknowledged.
    Feed(Frame(0x13, {'a', 0x00}));
    EXPECT_EQ(2u, clock.keystrokes.size());
    EXPECT_TRUE(port->writes.empty());
}

TEST_F(SerialProtocolPending, NothingIsSentWhileSuspendedOrWithoutAPort) {
    driver.suspended = 1;
    driver.SendFrame(0x00, kFrameCells, kCells.data());
    driver.SendFrame(0x24, 0, nullptr);
    EXPECT_TRUE(port->writes.empty());
    EXPECT_EQ(0, driver.awaitingAck);

    driver.suspended = 0;
    DropPort();
    driver.SendFrame(0x00, kFrameCells, kCells.data());  // must not crash
    EXPECT_EQ(0, driver.awaitingAck);
    EXPECT_EQ(0, driver.pendingValid);
}

TEST_F(SerialProtocolPending, AcknowledgingAKeyRenewsTheSendTime) {
    clock.Set(1000);
    driver.SendFrame(0x00, kFrameCells, kCells.data());
    EXPECT_EQ(1000u, driver.lastSendTick);

    clock.Set(1300);
    Feed(Frame(0x30, {}));
    EXPECT_EQ(2u, port->writes.size());
    EXPECT_EQ(1300u, driver.lastSendTick);
    EXPECT_EQ(1, driver.awaitingAck);  // the display frame is still awaited
}

TEST_F(SerialProtocolPending, AcknowledgementClearsTheFailureCount) {
    driver.failureCount = 3;
    Feed(kAck);
    EXPECT_EQ(0, driver.failureCount);
    EXPECT_EQ(0, driver.awaitingAck);
    EXPECT_TRUE(port->writes.empty());
    // Even at 4 an acknowledgement opens the link for frames again.
    driver.failureCount = 4;
    driver.awaitingAck = 1;
    Feed(kAck);
    EXPECT_EQ(0, driver.failureCount);
    EXPECT_EQ(0, driver.awaitingAck);
}

// ---------------------------------------------------------------- identification

using SerialProtocolIdentify = SerialProtocolTest;

TEST_F(SerialProtocolIdentify, ReplyDuringIdentificationCompletesIt) {
    clock.SetAutoAdvance(1);
    std::strcpy(driver.portName, "COM12");
    int requests = 0;
    port->onWrite = [&](const Bytes& bytes) {
        // A slow display: it answers the second request only.
        if (bytes == kIdentifyRequest && ++requests == 2) port->Deliver(kIdentity40);
    };

    EXPECT_EQ(1, driver.IdentifySerialDevice());

    EXPECT_EQ(HexFrames({kIdentifyRequest, kIdentifyRequest, kAck, kIdentifyDone}), Written());
    ExpectIdentity(40, 0x05, 0x07);  // kIdentity40
    EXPECT_EQ(12, driver.comPortNumber);
    // One byte is read per step: the reply takes 13 steps after the request.
    EXPECT_EQ(port->writes[1].readsBefore + 13, port->reads.size());
    for (const auto& r : port->reads) EXPECT_EQ(1u, r.size);
}

TEST_F(SerialProtocolIdentify, SilentDisplayGetsFourRequests) {
    clock.SetAutoAdvance(1);
    const DWORD start = clock.Now();
    EXPECT_EQ(0, driver.IdentifySerialDevice());

    ASSERT_EQ(HexFrames(std::vector<Bytes>(4, kIdentifyRequest)), Written());
    // Requests at the counts 0, 500, 1000 and 1500 of the 2 ms steps: after
    // 0, 251, 501 and 751 one-byte reads.
    const size_t expectedReads[4] = {0, 251, 501, 751};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expectedReads[i], port->writes[i].readsBefore) << "request " << i;
    EXPECT_EQ(1000u, port->reads.size());
    // Every step waits until the clock has moved more than 2 ms.
    EXPECT_GE(clock.Now() - start, 3000u);
    EXPECT_FALSE(port->closed);  // closing is the caller's business
    EXPECT_EQ(0, driver.identified);
}

TEST_F(SerialProtocolIdentify, OtherFramesDuringIdentificationAreHandled) {
    clock.SetAutoAdvance(1);
    clock.layout = {{'q', 0x51}};
    port->onWrite = [&](const Bytes& bytes) {
        if (bytes == kIdentifyRequest && port->writes.size() == 1) {
            port->Deliver(Frame(0x13, {'q', 0}));
            port->Deliver(kIdentity40);
        }
    };
    EXPECT_EQ(1, driver.IdentifySerialDevice());
    EXPECT_EQ(HexFrames({kIdentifyRequest, kAck, kAck, kIdentifyDone}), Written());
    EXPECT_EQ(2u, clock.keystrokes.size());
}

TEST_F(SerialProtocolIdentify, PortNumberFollowsCom) {
    clock.SetAutoAdvance(1);
    const struct {
        const char* name;
        int32_t number;
    } cases[] = {
        {"COM12", 12}, {"COM3", 3}, {"\\\\.\\COM7", 7}, {"LPT1", 0},   {"COM", 0},
        {"COMX", 0},   {"com5", 0}, {"COM 9", 9},       {"COM-4", -4}, {"XCOM2COM8", 2},
    };
    for (const auto& c : cases) {
        std::strcpy(driver.portName, c.name);
        driver.comPortNumber = 12345;
        driver.IdentifySerialDevice();
        EXPECT_EQ(c.number, driver.comPortNumber) << c.name;
    }
}

TEST_F(SerialProtocolIdentify, NoPortNoIdentification) {
    DropPort();
    driver.identified = 1;
    EXPECT_EQ(0, driver.IdentifySerialDevice());
    EXPECT_EQ(0u, clock.NowReads());
}

// ---------------------------------------------------------------- helpers of the link

using SerialProtocolOpen = SerialProtocolTest;

TEST(SerialProtocolBusyWait, WaitsUntilTheClockHasMovedPastTheTime) {
    for (DWORD start : {DWORD{100}, DWORD{0xFFFFFFFE}, DWORD{0xFFFFFFFF}}) {
        CTestClock clock;
        clock.SetAutoAdvance(1);
        clock.Set(start);
        CBrailleSampleDriver driver(clock);
        driver.BusyWait(2);
        // Readings start, +1, +2, +3: the wait ends at the first difference above 2.
        EXPECT_EQ(4u, clock.NowReads()) << "start " << start;
        EXPECT_EQ(static_cast<DWORD>(start + 4), clock.Now());
    }
}

TEST_F(SerialProtocolOpen, RefusesWhilePortObjectExistsAndOnMissingPort) {
    CSerial* existing = driver.serial;
    std::strcpy(driver.portName, "COM11");
    EXPECT_EQ(0, driver.OpenSerialPort(INFINITE));
    EXPECT_EQ(existing, driver.serial);
    EXPECT_FALSE(port->destroyed);
    EXPECT_FALSE(port->closed);
    DropPort();

    std::strcpy(driver.portName, "COM251");
    EXPECT_EQ(0, driver.OpenSerialPort(INFINITE));
    EXPECT_EQ(nullptr, driver.serial);
}

}  // namespace
