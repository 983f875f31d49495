// USB input reports at random: a million payloads through HandleHidReport with
// display frames written in between, and raw reports of any length through the
// real poll (ReadHidReport on the simulated HID bus). The ring must always hold
// the newest image queued, and nothing once a frame went out; acknowledgements must
// act exactly on FF payloads, and the bus must see no misuse of the HID API.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "driver/driver.h"
#include "support/fake_hid.h"
#include "support/probes.h"
#include "support/test_env.h"

namespace {

using Image = std::array<uint8_t, 42>;
// The payload kinds the driver knows; half of the random reports start with one.
constexpr uint8_t kKinds[] = {0xFF, 0xFD, 0xFE, 0xFB};

TEST(HidInputFuzz, AMillionPayloadsKeepTheRingAndAcknowledgementsStraight) {
    const uint64_t seed = testenv::EnvNumber("BRL_FUZZ_SEED", 20240611);
    const uint64_t total = testenv::EnvNumber("BRL_FUZZ_HID_REPORTS", 1000000);
    std::mt19937_64 rng(seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

    CFakeHidPlatform bus;
    FakeHidDeviceConfig config;
    config.ack = FakeAck::Manual;  // acknowledgements come only from the random payloads
    const int device = bus.AddDevice(config);
    CBrailleSampleDriver d(bus);
    ASSERT_EQ(1, d.FindHidDevice());

    uint64_t payloads = 0, sent = 0, queued = 0;
    const double start = probes::NowMs();
    for (uint64_t op = 0; payloads < total; ++op) {
        if (below(8) == 0) {
            Image image;
            for (auto& c : image) c = static_cast<uint8_t>(rng());
            const int wasAwaiting = d.awaitingAck;
            bus.ClearOutputs(device);
            d.WriteCellsHid(image.data());
            ASSERT_EQ(1, d.awaitingAck);
            if (!wasAwaiting) {
                ASSERT_EQ(6u, bus.Outputs(device).size()) << "a frame is six reports";
                ASSERT_TRUE(d.hidRing.Empty()) << "a frame sent at once drops the older queued ones";
                ++sent;
            } else {
                ASSERT_NE(nullptr, d.hidRing.Newest());
                ASSERT_EQ(0, std::memcmp(image.data(), d.hidRing.Newest(), 40)) << "at op " << op;
                ASSERT_TRUE(bus.Outputs(device).empty()) << "a queued frame is not sent";
                ++queued;
            }
            continue;
        }
        uint8_t payload[8];
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        if (below(2)) payload[0] = kKinds[below(4)];
        const int wasAwaiting = d.awaitingAck;
        const uint8_t* newest = d.hidRing.Newest();
        d.HandleHidReport(payload);
        ++payloads;
        ASSERT_EQ(payload[0] == 0xFF ? 0 : wasAwaiting, d.awaitingAck) << "payload " << int(payload[0]);
        ASSERT_EQ(newest, d.hidRing.Newest());
        ASSERT_TRUE(d.alternateRouting == 0 || d.alternateRouting == 1);
    }
    const double took = probes::NowMs() - start;
    EXPECT_EQ(0u, bus.Misuses());
    std::printf("[ fuzz     ] seed %" PRIu64 ": %" PRIu64 " payloads, %" PRIu64 " frames sent, %" PRIu64
                " queued, %.0f ms\n",
                seed, payloads, sent, queued, took);
    d.CloseHidHandles();
}

// Every tick of this test is a real poll: the handover check, ReadHidReport on
// the overlapped handle (each a few wineserver calls), the time-out, the drain.
TEST(HidInputFuzz, RawReportsOfAnyLengthThroughThePoll) {
    const uint64_t seed = testenv::EnvNumber("BRL_FUZZ_SEED", 20240611) + 1;
    const uint64_t ticks = testenv::EnvNumber("BRL_FUZZ_HID_TICKS", 5000);
    std::mt19937_64 rng(seed);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

    CFakeHidPlatform bus;
    const int device = bus.AddDevice();  // acknowledges every complete frame
    CBrailleSampleDriver d(bus);
    ASSERT_EQ(1, d.OpenDevice("COM250"));
    ASSERT_EQ(1, d.usingHid);

    std::vector<uint8_t> newest;
    uint64_t reports = 0, written = 0;
    const double start = probes::NowMs();
    for (uint64_t tick = 0; tick < ticks; ++tick) {
        const uint32_t what = below(10);
        if (what < 4) {
            std::vector<uint8_t> report(below(4) == 0 ? below(40) : 9);
            for (auto& b : report) b = static_cast<uint8_t>(rng());
            if (report.size() > 1 && below(2)) report[1] = kKinds[below(4)];
            bus.QueueRawInput(device, report);
            ++reports;
        } else if (what < 7) {
            newest.resize(40);
            for (auto& c : newest) c = static_cast<uint8_t>(rng());
            d.SendTextCells(newest.data(), 40);
            ++written;
        }
        d.PollTick();
        ASSERT_EQ(0u, bus.Misuses()) << bus.MisuseLog()[0];
        if (bus.Outputs(device).size() > 6000) bus.ClearOutputs(device);
    }
    // Quiet now: one last image, and the display only acknowledges. Every queued
    // frame goes out and the last image is among them.
    bus.ClearOutputs(device);
    newest.assign(40, 0);
    for (auto& c : newest) c = static_cast<uint8_t>(rng());
    d.SendTextCells(newest.data(), 40);
    for (int tick = 0; tick < 100 && (d.awaitingAck || !d.hidRing.Empty() || bus.PendingInput(device)); ++tick)
        d.PollTick();
    EXPECT_TRUE(d.hidRing.Empty());
    const std::vector<FakeFrame> frames = bus.Frames(device);
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [&](const FakeFrame& f) { return FrameShows(f, newest); }))
        << "the last image written never reached the display";
    const double took = probes::NowMs() - start;
    EXPECT_EQ(0u, bus.Misuses());
    std::printf("[ fuzz     ] seed %" PRIu64 ": %" PRIu64 " ticks, %" PRIu64 " raw reports, %" PRIu64
                " images written, %.0f ms (%.2f ms per tick)\n",
                seed, ticks, reports, written, took, took / static_cast<double>(ticks));
    d.CloseDevice();
    EXPECT_EQ(0u, bus.OpenHandleCount());
}

}  // namespace
