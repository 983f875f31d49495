// Faults of the link, driven through the DLL as a host drives it: the cable
// pulled while the host writes, a display that falls silent, a display that
// answers garbage, and a flood of writes. No host call may hang beyond its
// bound, no payload may leak, and the link must come back with the display.
//
// The driver gives up after four missed acknowledgements (400 ms each, seen on
// the 100 ms tick), about 2 s after the display went away; it then looks for
// the display once a second (an identification request each time) and resumes
// by itself. Host writes are taken all along: the display shows the newest
// image when it is back.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "display_sim.h"
#include "support/dll_on_cable.h"
#include "support/probes.h"
#include "support/test_env.h"

namespace {

using testenv::Pattern;

constexpr DWORD kGiveUpWithinMs = 10000;    // four time-outs, on a loaded machine
constexpr DWORD kComeBackWithinMs = 10000;  // a probe a second, then the identification

class LinkFaults : public testenv::DllOnCable {
protected:
    LinkFaults() : DllOnCable(testenv::kReliabilityCable) {}
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(DllOnCable::SetUp());
        ASSERT_TRUE(testenv::AllocationsCounted());
        // The runtime inside the DLL makes a few blocks of its own on first use
        // and keeps them; one start and stop before counting.
        static bool warm = false;
        if (!warm) {
            warm = true;
            ASSERT_TRUE(Start());
            driver->Terminate();
        }
        blocksBefore = probes::LiveBlocks(probes::Allocations());
        Call("Initialize", kWaitingCallBoundMs, [&] { ASSERT_TRUE(Start()); });
    }
    void TearDown() override {
        if (!driver) return;
        Call("Terminate", kWaitingCallBoundMs, [&] { driver->Terminate(); });
        // Every payload and port object the driver made is released once it has stopped.
        EXPECT_EQ(blocksBefore, probes::LiveBlocks(probes::Allocations())) << "heap blocks leaked by the driver";
        DllOnCable::TearDown();  // the driver has stopped: this prints the slowest calls
    }
    // One host write of a fresh image; its result.
    int32_t Write(uint32_t seed) {
        last = Pattern(seed);
        int32_t r = 0;
        Call("WriteTextCells", kWriteCallBoundMs, [&] { r = driver->WriteTextCells(last.data(), 40); });
        if (r) accepted = last;
        return r;
    }
    // Writes every 20 ms, pumping messages, until the condition holds or time is up.
    bool WriteUntil(const std::function<bool(int32_t)>& done, DWORD ms) {
        uint32_t seed = GetTickCount();
        return testenv::WaitUntil([&] { return done(Write(++seed)); }, ms);
    }
    // Writes until the driver has given the display up and looks for it (the
    // display sees a new identification request); every write is taken.
    // `meanwhile` runs after each write.
    bool WriteUntilSearched(DWORD ms, const std::function<void()>& meanwhile = nullptr) {
        const uint32_t requests = display.GetCounters().identifyRequests;
        return WriteUntil(
            [&](int32_t r) {
                EXPECT_EQ(1, r) << "a write was refused while the display was away";
                if (meanwhile) meanwhile();
                return display.GetCounters().identifyRequests > requests;
            },
            ms);
    }
    // An image shown, then the display falls silent until the driver gives up,
    // and the host suspends the driver.
    void SilenceThenSuspend() {
        ASSERT_EQ(1, Write(1));
        ASSERT_TRUE(Shows(last, 5000));
        display.SetSilent(true);
        ASSERT_TRUE(WriteUntilSearched(kGiveUpWithinMs)) << "the driver never gave up";
        Call("Suspend(1)", kWaitingCallBoundMs, [&] { EXPECT_EQ(1, driver->Suspend(1)); });
    }
    // The link is back: a write is accepted and reaches the display, and a key reaches the host.
    void ExpectLinkBack() {
        ASSERT_TRUE(WriteUntil([](int32_t r) { return r == 1; }, kComeBackWithinMs)) << "writes refused";
        EXPECT_TRUE(Shows(accepted, kComeBackWithinMs)) << "the write after the return never arrived";
        host.Clear();
        display.PressRoutingKey(7);
        ASSERT_TRUE(testenv::WaitUntil([&] { return host.KeyCount() > 0; }, 5000)) << "no key after the return";
        EXPECT_EQ(std::make_pair(std::string("Routing"), 5), host.KeyPairs()[0]);
    }

    int64_t blocksBefore = 0;
    std::vector<uint8_t> last, accepted;
};

TEST_F(LinkFaults, CablePulledWhileTheHostWritesAndPluggedBackIn) {
    ASSERT_EQ(1, Write(1));
    ASSERT_TRUE(Shows(last, 5000));
    // Pull the cable in the middle of a stream of writes.
    WriteUntil([](int32_t) { return false; }, 300);
    display.Close();
    // Writes go on being taken while the cable is out and the driver gives the
    // display up and probes for it.
    EXPECT_FALSE(WriteUntil([](int32_t r) { return r == 0; }, 3500)) << "a write was refused";
    // Plugged back in: the driver finds the display by itself.
    testenv::DrainPort(cable.displayEnd);
    ASSERT_TRUE(display.Open(cable.displayEnd.c_str()));
    const double plugged = probes::NowMs();
    ExpectLinkBack();
    std::printf("[ faults   ] plugged back: link back after %.0f ms\n", probes::NowMs() - plugged);
}

TEST_F(LinkFaults, SilentDisplayAndAHostThatSuspendsAndResumesMeanwhile) {
    // The host's own suspension takes over; resuming while the display is still
    // silent runs a whole identification and must end.
    ASSERT_NO_FATAL_FAILURE(SilenceThenSuspend());
    const double resume = Call("Suspend(0)", kWaitingCallBoundMs, [&] { driver->Suspend(0); });
    std::printf("[ faults   ] resume with a silent display took %.0f ms\n", resume);
    EXPECT_GT(resume, 1500) << "the identification runs its 1000 steps";
    display.SetSilent(false);
    ExpectLinkBack();
}

// The display fell silent while the host kept writing, so a frame was left
// waiting for an acknowledgement that never came. Once the display is back the
// host resumes, and a write made while the resume runs (here from a second
// thread, so that it is queued right behind the resume, before any tick) is the
// newest image: the display must end up showing it, not the frame left over.
TEST_F(LinkFaults, ResumeAfterAnOutageEndsOnTheNewestImage) {
    ASSERT_NO_FATAL_FAILURE(SilenceThenSuspend());
    display.SetSilent(false);

    const std::vector<uint8_t> newest = Pattern(777);
    const uint32_t requests = display.GetCounters().identifyRequests;
    int32_t written = -1;
    std::thread writer([&] {
        // The worker is identifying the display for the resume.
        if (display.WaitForIdentifyRequests(requests + 1, 10000)) written = driver->WriteTextCells(newest.data(), 40);
    });
    Call("Suspend(0)", kWaitingCallBoundMs, [&] { EXPECT_EQ(1, driver->Suspend(0)); });
    writer.join();
    ASSERT_EQ(1, written);
    ASSERT_TRUE(Shows(newest, 5000));
    // A few ticks later it is still the newest image that is shown.
    testenv::Pump(1000);
    EXPECT_EQ(newest, display.HostTextCells()) << "an older frame followed the newest one";
}

TEST_F(LinkFaults, DisplayAnsweringGarbage) {
    ASSERT_EQ(1, Write(1));
    ASSERT_TRUE(Shows(last, 5000));
    // Acknowledgements with broken checksums, between random bytes. The noise
    // comes at 640 bytes a second, below the 800 the poll takes in (80 a tick):
    // faster noise piles up in the port's buffer and delays the return by the
    // time the driver needs to read through it.
    display.SetAckPolicy(sim::AckPolicy::CorruptChecksum);
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(64);
    double lastNoise = 0;
    auto sendNoise = [&] {  // 64 random bytes every 100 ms
        if (probes::NowMs() - lastNoise < 100) return;
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        display.SendRaw(noise.data(), noise.size());
        lastNoise = probes::NowMs();
    };
    const double start = probes::NowMs();
    EXPECT_TRUE(WriteUntilSearched(kGiveUpWithinMs, sendNoise)) << "acknowledgements with bad checksums were taken";
    std::printf("[ faults   ] garbage: display given up after %.0f ms\n", probes::NowMs() - start);
    // Noise only, no frames at all, for a while longer: nothing breaks.
    testenv::WaitUntil([&] { return sendNoise(), false; }, 1500);
    display.SetAckPolicy(sim::AckPolicy::Immediate);
    const double clean = probes::NowMs();
    ExpectLinkBack();
    std::printf("[ faults   ] garbage: link back %.0f ms after the noise stopped\n", probes::NowMs() - clean);
}

TEST_F(LinkFaults, AFloodOfWritesLeaksNoPayloadAndEndsWithTheNewestImage) {
    constexpr int kWrites = 20000;
    int queued = 0, refused = 0;
    int64_t peakInFlight = 0;
    const double start = probes::NowMs();
    for (int i = 0; i < kWrites; ++i) {
        ++(Write(static_cast<uint32_t>(i) + 1000) ? queued : refused);
        if (i % 64 == 0)
            peakInFlight = std::max(peakInFlight, probes::LiveBlocks(probes::Allocations()) - blocksBefore);
    }
    const double took = probes::NowMs() - start;
    EXPECT_GT(queued, 0);
    // A host outrunning the worker is held back: its list stays near 1024 writes.
    EXPECT_LT(peakInFlight, 4096) << "the write list grew without bound";
    const std::vector<uint8_t> newest = accepted;
    // The driver holds one display frame back at most: the newest one arrives.
    EXPECT_TRUE(Shows(newest, 10000)) << "the newest image never arrived";
    std::printf(
        "[ faults   ] %d writes in %.0f ms: %d queued, %d refused by the system's queue; at most %lld "
        "payloads in flight\n",
        kWrites, took, queued, refused, static_cast<long long>(peakInFlight));
    // Payloads are released whether or not they were queued: checked in TearDown.
}

}  // namespace
