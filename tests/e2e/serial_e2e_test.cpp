// The DLL driven exactly as a host drives it (LoadLibrary, GetBrailleInterface,
// the slot table, a message loop on the host's thread) against the simulated
// display on the other end of a virtual serial cable.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "brailledriver.h"
#include "display_sim.h"
#include "support/cable_end.h"
#include "support/dll_on_cable.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace {

using testenv::Pattern;

class SerialEndToEnd : public testenv::DllOnCable {
protected:
    bool PumpUntilKeys(size_t n, DWORD ms) {
        return testenv::WaitUntil([&] { return host.KeyCount() >= n; }, ms);
    }
};

TEST_F(SerialEndToEnd, TextReachesTheDisplayInItsDotOrder) {
    ASSERT_TRUE(Start());
    // The cell image outlives a stop (the driver object is one per process):
    // blank the status cells an earlier run may have left.
    const uint8_t blankStatus[2] = {0, 0};
    ASSERT_EQ(1, driver->WriteAllCells(blankStatus, 2));
    const std::vector<uint8_t> text = Pattern(1);
    ASSERT_EQ(1, driver->WriteTextCells(text.data(), 40));
    ASSERT_TRUE(Shows(text)) << display.RenderLine();
    std::array<uint8_t, 42> device = display.Cells();
    EXPECT_EQ(0, device[0]);
    EXPECT_EQ(0, device[1]);
    // Status cells through the all-cells write; the text stays.
    const uint8_t status[2] = {0x01, 0x80};
    ASSERT_EQ(1, driver->WriteAllCells(status, 2));
    ASSERT_TRUE(display.WaitFor([&] { return display.Cells()[0] == 0x08 && display.Cells()[1] == 0x10; }, 3000));
    EXPECT_EQ(text, display.HostTextCells());
    // Many writes in a burst: the newest image always arrives.
    std::vector<uint8_t> last;
    for (int i = 0; i < 50; ++i) {
        last = Pattern(static_cast<uint32_t>(i));
        ASSERT_EQ(1, driver->WriteTextCells(last.data(), 40));
    }
    EXPECT_TRUE(Shows(last, 5000));
    // A blank display, then a one-cell write shows the old text again around it.
    ASSERT_EQ(1, driver->ClearCells());
    ASSERT_TRUE(Shows(std::vector<uint8_t>(40, 0)));
    const uint8_t one = 0x3F;
    ASSERT_EQ(1, driver->WriteTextCells(&one, 1));
    std::vector<uint8_t> expected = last;
    expected[0] = 0x3F;
    EXPECT_TRUE(Shows(expected));
}

TEST_F(SerialEndToEnd, KeysReachTheHostThreadInOrder) {
    ASSERT_TRUE(Start());
    display.PressFunctionKey(1);    // F1
    display.PressRoutingKey(3);     // first routing key
    display.PressRoutingKey(1);     // STATUS1
    display.PressFunctionKey(30);   // SDN
    display.PressFunctionKey(63);   // alternate routing on, no event
    display.PressRoutingKey(5);     // Routing2 3
    display.PressRoutingKey(0x82);  // STATUS4
    display.PressFunctionKey(64);   // off again
    display.PressRoutingKey(0);     // Routing -2
    ASSERT_TRUE(PumpUntilKeys(7, 5000)) << host.KeyCount();
    testenv::Pump(200);  // nothing more may follow
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"F1", 0}, {"Routing", 1}, {"STATUS1", 0}, {"SDN", 0}, {"Routing2", 3}, {"STATUS4", 0}, {"Routing", -2}};
    EXPECT_EQ(expected, host.KeyPairs());
    for (const auto& key : host.Keys()) EXPECT_EQ(GetCurrentThreadId(), key.thread) << key.name;
    // Every key frame was acknowledged.
    EXPECT_TRUE(display.WaitFor([&] { return !display.KeyAckOutstanding(); }, 2000));
    // A key is taken when it arrives, not at the worker's next tick.
    std::vector<double> took;  // 20 keys at every phase of the tick
    for (size_t i = 0; i < 20; testenv::Pump(static_cast<double>(++i * 37 % 100)))
        took.push_back(probes::Timed([&] { display.PressFunctionKey(1), PumpUntilKeys(8 + i, 3000); }));
    std::nth_element(took.begin(), took.begin() + 10, took.end());
    EXPECT_LT(took[10], 40.0);
}

TEST_F(SerialEndToEnd, SuspendClosesAndResumeReopens) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(display.WaitForIdentifyDone(1, 2000));
    EXPECT_EQ(1, driver->Suspend(1));
    const uint8_t cell = 0xFF;
    EXPECT_EQ(0, driver->WriteTextCells(&cell, 1));
    display.PressFunctionKey(2);  // nobody listens while suspended
    testenv::Pump(300);
    EXPECT_EQ(1, driver->Suspend(0));  // re-opens and identifies again
    EXPECT_TRUE(display.WaitForIdentifyDone(2, 5000));
    EXPECT_TRUE(host.Keys().empty());
    std::vector<uint8_t> text = Pattern(9);
    ASSERT_EQ(1, driver->WriteTextCells(text.data(), 40));
    EXPECT_TRUE(Shows(text));
    display.PressFunctionKey(3);  // F2 from the suspension must not come first
    ASSERT_TRUE(PumpUntilKeys(1, 3000));
    EXPECT_EQ("F3", host.Keys()[0].name);
}

TEST_F(SerialEndToEnd, SilentDisplayIsGivenUpAndComesBackWithTheNewestImage) {
    ASSERT_TRUE(Start());
    const std::vector<uint8_t> shown = Pattern(3);
    ASSERT_EQ(1, driver->WriteTextCells(shown.data(), 40));
    ASSERT_TRUE(Shows(shown));
    display.SetSilent(true);
    // The host keeps writing, and every write is taken; after four missed
    // acknowledgements the driver gives up and asks the display to identify
    // itself once a second.
    const uint32_t requests = display.GetCounters().identifyRequests;
    std::vector<uint8_t> last = shown;
    bool searching = testenv::WaitUntil(
        [&] {
            last = Pattern(GetTickCount());
            EXPECT_EQ(1, driver->WriteTextCells(last.data(), 40));
            return display.GetCounters().identifyRequests > requests;
        },
        10000);
    ASSERT_TRUE(searching) << "the driver never gave the display up";
    // The display answers again: the driver finds it without any host action and
    // shows the newest image it took.
    display.SetSilent(false);
    display.ClearHistory();
    ASSERT_TRUE(display.WaitForIdentifyDone(1, 5000));
    EXPECT_TRUE(Shows(last));
    display.PressRoutingKey(4);
    ASSERT_TRUE(PumpUntilKeys(1, 3000));
    EXPECT_EQ(std::make_pair(std::string("Routing"), 2), host.KeyPairs()[0]);
}

TEST_F(SerialEndToEnd, CablePulledOnAQuietLinkIsLeftAndTheNewOneUnderTheSameNameFound) {
    ASSERT_TRUE(Start());
    const std::vector<uint8_t> text = Pattern(11);
    ASSERT_EQ(1, driver->WriteTextCells(text.data(), 40));
    ASSERT_TRUE(Shows(text));
    // Gone for good, and no host write from here on: only the failing port can
    // tell the driver. Its handle on the old cable stays dead, so the new cable
    // is reached only through a new open.
    display.Close();
    ASSERT_TRUE(testenv::ReplugCable(cable, 500));
    testenv::Pump(1500);  // the search's probe port on the new cable dies the same way
    ASSERT_TRUE(testenv::ReplugCable(cable, 500));
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    ASSERT_TRUE(display.WaitForIdentifyDone(1, 5000)) << "the driver never looked for the display again";
    EXPECT_TRUE(Shows(text));
    display.PressRoutingKey(4);
    ASSERT_TRUE(PumpUntilKeys(1, 3000));
    EXPECT_EQ(std::make_pair(std::string("Routing"), 2), host.KeyPairs()[0]);
}

TEST_F(SerialEndToEnd, TerminateLeavesNoThreadAndFreesThePort) {
    const int before = probes::ThreadCount();
    ASSERT_TRUE(Start());
    EXPECT_GT(probes::ThreadCount(), before);
    driver->Terminate();
    EXPECT_TRUE(testenv::WaitUntil([&] { return probes::ThreadCount() <= before; }, 3000))
        << probes::ThreadCount() << " " << before;
    EXPECT_TRUE(testenv::CCableEnd(cable.driverEnd).IsOpen());
    // And the driver starts again on the same port.
    ASSERT_TRUE(Start());
    EXPECT_EQ(40, driver->GetTextCellCount());
}

TEST_F(SerialEndToEnd, NoDisplayAnsweringFailsInitialize) {
    // Silent from the first byte on (the fixture left the cable empty).
    display.SetSilent(true);
    const double took =
        probes::Timed([&] { EXPECT_EQ(0, driver->Initialize(cable.driverEnd.c_str(), &host, "", "")); });
    EXPECT_GE(took, 1500.0);
    EXPECT_LT(took, 10000.0);  // about 3 s of identification, not 16
    EXPECT_EQ(4u, display.GetCounters().identifyRequests);
    // The counts of the earlier run do not make a missing display look present.
    EXPECT_EQ(0, driver->GetTextCellCount());
}

}  // namespace
