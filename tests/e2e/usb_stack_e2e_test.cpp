// The DLL as a host loads it, against the USB display on Wine's own HID stack:
// a virtual HID device made by a kernel-mode minidriver (tools/virtual_hid),
// played by the test through the driver's control device. scripts/test
// registers the driver in the build tree's prefix; the device node is plugged
// in for these tests only, so no other test finds the display.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "display_sim.h"
#include "support/child_process.h"
#include "support/driver_dll.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"
#include "usb_display.h"

namespace {

using testenv::Pattern;

// No serial port of that name: the display can only be found on USB.
constexpr char kNoPort[] = "COM250";

class UsbStack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Under Wine the driver is loaded here if scripts/test has not already
        // (quick once it is registered); elsewhere it cannot be.
        underWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
        if (underWine) installed = vhid::Install(testenv::BesideMe("virtual_hid.sys"), &installError);
    }
    static void TearDownTestSuite() {
        std::string error;
        if (installed) vhid::Unplug(5000, &error);
    }
    void SetUp() override {
        if (!underWine) GTEST_SKIP() << "the virtual HID display is a Wine driver";
        ASSERT_TRUE(installed) << installError;
        std::string error;
        ASSERT_TRUE(vhid::Plug(5000, &error)) << error;
        driver = testenv::LoadDriver();
        ASSERT_NE(nullptr, driver);
        ASSERT_TRUE(display.Start());
        ASSERT_TRUE(display.Control().Release());
        ASSERT_TRUE(display.Control().Reset());
    }
    void TearDown() override {
        if (!installed) return;
        display.Control().Release();
        if (driver) driver->Terminate();
        display.Stop();
    }
    bool Start() { return driver->Initialize(kNoPort, &host, "", "") == 1; }
    // The 42 cells of a frame for these host text cells: the display's dot
    // order, the two cells after the text blank.
    static std::array<uint8_t, 42> Frame(const std::vector<uint8_t>& text) {
        std::array<uint8_t, 42> cells{};
        for (size_t i = 0; i < text.size() && i < 40; ++i) cells[i] = sim::HostToDeviceDots(text[i]);
        return cells;
    }
    bool Shows(const std::vector<uint8_t>& text, DWORD ms = 3000) {
        return testenv::WaitUntil(
            [&] {
                const auto frames = display.Frames();
                return !frames.empty() && frames.back().cells == Frame(text);
            },
            ms);
    }
    bool KeysArrive(size_t n, DWORD ms = 3000) {
        return testenv::WaitUntil([&] { return host.KeyCount() >= n; }, ms);
    }

    static bool underWine, installed;
    static std::string installError;
    IBrailleDriver* driver = nullptr;
    vhid::CUsbDisplay display;
    testenv::CRecordingHost host;
};
bool UsbStack::underWine = false;
bool UsbStack::installed = false;
std::string UsbStack::installError;

TEST_F(UsbStack, HelloFramesAndAcknowledgements) {
    ASSERT_TRUE(Start());
    EXPECT_EQ(40, driver->GetTextCellCount());
    EXPECT_EQ(0, driver->GetStatusCellCount());
    ASSERT_FALSE(display.Reports().empty());
    EXPECT_EQ((vhid::Report{0, 0xFB, 0xAA, 0x55, 0, 0, 0, 0, 0}), display.Reports()[0]);
    EXPECT_EQ(1u, display.HelloCount());

    // One frame, byte for byte: six reports.
    display.Clear();
    const std::vector<uint8_t> text = Pattern(1);
    ASSERT_EQ(1, driver->WriteTextCells(text.data(), 40));
    ASSERT_TRUE(Shows(text));
    const auto c = Frame(text);
    const std::vector<vhid::Report> expected = {{0, 0xFF, 0xAA, 0x55, c[0], c[1], c[2], c[3], c[4]},
                                                {0, c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12]},
                                                {0, c[13], c[14], c[15], c[16], c[17], c[18], c[19], c[20]},
                                                {0, c[21], c[22], c[23], c[24], c[25], c[26], c[27], c[28]},
                                                {0, c[29], c[30], c[31], c[32], c[33], c[34], c[35], c[36]},
                                                {0, c[37], c[38], c[39], 0, 0, 0x55, 0xAA, 0xFF}};
    EXPECT_EQ(expected, display.Reports());

    // Unacknowledged, a frame is the only one out; the acknowledgement lets the
    // next one go, and the newest image comes last.
    display.SetAutoAck(false);
    display.Clear();
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(2).data(), 40));
    ASSERT_TRUE(Shows(Pattern(2)));
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(3).data(), 40));
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(4).data(), 40));
    testenv::Pump(500);
    EXPECT_EQ(6u, display.Reports().size());
    display.SetAutoAck(true);
    ASSERT_TRUE(display.Ack());
    EXPECT_TRUE(Shows(Pattern(4)));
    // A burst: every frame whole, the newest last.
    for (uint32_t i = 10; i < 60; ++i) ASSERT_EQ(1, driver->WriteTextCells(Pattern(i).data(), 40));
    EXPECT_TRUE(Shows(Pattern(59), 5000));
    EXPECT_EQ(0u, display.Reports().size() % 6);
}

TEST_F(UsbStack, KeysOfEveryKindArriveInOrder) {
    ASSERT_TRUE(Start());
    // Function and routing keys in turn; routing 0x85 is out of range: nothing.
    const uint8_t codes[] = {0x01, 0x05, 14, 0x85, 0x12, 0x7F};
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(i % 2 ? display.PressRoutingKey(codes[i]) : display.PressFunctionKey(codes[i])) << i;
    ASSERT_TRUE(KeysArrive(5));
    testenv::Pump(200);
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"F1", 0}, {"Routing", 5}, {"DN", 0}, {"SF2", 0}, {"Routing", 0x7F}};
    EXPECT_EQ(expected, host.KeyPairs());
    // A key wakes the driver: it reaches OnKey well before the 100 ms tick would have taken it.
    std::vector<double> lags;
    for (size_t i = 0; i < 20; ++i) {
        const double pressed = probes::NowMs();
        ASSERT_TRUE(display.PressFunctionKey(0x01));
        ASSERT_TRUE(KeysArrive(6 + i));
        lags.push_back(probes::NowMs() - pressed);
        testenv::Pump(static_cast<double>(7 + 11 * i % 60));  // at every phase of the tick
    }
    EXPECT_LT(probes::Summarize(lags).median, 25.0);
}

TEST_F(UsbStack, PulledDisplayIsFoundAgainWithTheNewestImage) {
    ASSERT_TRUE(Start());
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(5).data(), 40));
    ASSERT_TRUE(Shows(Pattern(5)));
    std::string error;
    ASSERT_TRUE(vhid::Unplug(5000, &error)) << error;
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(6).data(), 40));
    testenv::Pump(1500);  // the driver notices and looks for it
    ASSERT_TRUE(vhid::Plug(5000, &error)) << error;
    const double back = probes::NowMs();
    ASSERT_TRUE(Shows(Pattern(6), 5000));
    EXPECT_LT(display.Frames().back().ms - back, 2000.0);
    ASSERT_TRUE(display.PressFunctionKey(0x02));
    ASSERT_TRUE(KeysArrive(1));
    EXPECT_EQ("F2", host.Keys()[0].name);
}

// The display takes no reports for 6 s: every host call keeps its bound (one
// that waits for the worker is answered within about the write's 1 s bound),
// and the newest image arrives after the release.
TEST_F(UsbStack, StalledDisplayKeepsHostCallsBounded) {
    ASSERT_TRUE(Start());
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(7).data(), 40));
    ASSERT_TRUE(Shows(Pattern(7)));
    ASSERT_TRUE(display.HoldFor(6000));
    const double start = probes::NowMs();
    uint32_t seed = 100;
    double slowest = 0;
    while (probes::NowMs() - start < 6000) {
        if (seed == 110) {  // the worker is in the middle of a held write by now
            EXPECT_LT(probes::Timed([&] { driver->Suspend(1); }), 2500.0);
            EXPECT_LT(probes::Timed([&] { driver->Suspend(0); }), 2500.0);
        }
        slowest = std::max(slowest, probes::Timed([&] { driver->WriteTextCells(Pattern(++seed).data(), 40); }));
        slowest = std::max(slowest, probes::Timed([&] { driver->GetTextCellCount(); }));
        testenv::Pump(100);
    }
    EXPECT_LT(slowest, 1000.0);
    EXPECT_TRUE(Shows(Pattern(seed), 10000));
}

// Held for good: Terminate keeps its bound, and the driver starts again once
// the display takes reports again.
TEST_F(UsbStack, DisplayHeldForGoodDoesNotHoldTerminate) {
    ASSERT_TRUE(Start());
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(12).data(), 40));
    ASSERT_TRUE(Shows(Pattern(12)));
    ASSERT_TRUE(display.Control().Hold());
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(8).data(), 40));
    testenv::Pump(1500);
    EXPECT_LE(probes::Timed([&] { driver->Terminate(); }), 3000.0);
    ASSERT_TRUE(display.Control().Release());
    display.Clear();
    EXPECT_TRUE(Start());
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(9).data(), 40));
    EXPECT_TRUE(Shows(Pattern(9)));
}

// Another program has the display open for reading and writing: the driver
// still finds it, shows text and gets keys.
TEST_F(UsbStack, SecondProgramHoldingTheDisplayOpen) {
    testenv::CChildProcess other;
    ASSERT_TRUE(other.Start(testenv::BesideMe("virtual_hid.exe"), "hold-open 15000", true)) << other.Output();
    ASSERT_TRUE(testenv::WaitUntil([&] { return other.Says("open"); }, 10000)) << other.Output();
    ASSERT_TRUE(Start());
    ASSERT_EQ(1, driver->WriteTextCells(Pattern(11).data(), 40));
    EXPECT_TRUE(Shows(Pattern(11)));
    ASSERT_TRUE(display.PressRoutingKey(0x09));
    ASSERT_TRUE(KeysArrive(1));
    EXPECT_EQ((std::make_pair(std::string("Routing"), 9)), host.KeyPairs()[0]);
    other.Send("\n");
    EXPECT_EQ(0u, other.Wait(5000)) << other.Output();
}

}  // namespace
