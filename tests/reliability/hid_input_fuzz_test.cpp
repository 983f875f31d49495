// USB input reports at random: a million reports of any length through the
// decoder, and raw reports through the USB link's poll on the simulated HID
// bus with display frames written in between, against a model of the
// acknowledgement: a frame goes out at once only when none awaits its
// acknowledgement, only an FF payload or the time-out ends the wait, and what
// goes out then is the newest image. The bus must see no misuse of the HID API.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <vector>

#include "device/usb_link.h"
#include "support/fake_hid.h"
#include "support/link_events.h"
#include "support/probes.h"
#include "support/test_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
// The payload kinds the display sends; half of the random reports start with one.
constexpr uint8_t kKinds[] = {0xFF, 0xFD, 0xFE, 0xFB};

Bytes RandomReport(std::mt19937_64& rng) {
    Bytes report(rng() % 4 == 0 ? rng() % 40 : 9);
    for (auto& b : report) b = static_cast<uint8_t>(rng());
    if (report.size() > 1 && rng() % 2) report[1] = kKinds[rng() % 4];
    // Half the hello markers carry the answer's marks.
    if (report.size() > 3 && report[1] == 0xFB && rng() % 2) report[2] = 0xAA, report[3] = 0x55;
    return report;
}

TEST(HidInputFuzz, AMillionReportsDecodeByTheirFirstPayloadByte) {
    const uint64_t seed = testenv::EnvNumber("BRL_FUZZ_SEED", 20240611);
    const uint64_t total = testenv::EnvNumber("BRL_FUZZ_HID_REPORTS", 1000000);
    std::mt19937_64 rng(seed);
    uint64_t kinds[5] = {};
    for (uint64_t n = 0; n < total; ++n) {
        const Bytes report = RandomReport(rng);
        const HidInput in = DecodeHidInput(report.data(), report.size());
        ++kinds[static_cast<int>(in.kind)];
        if (report.size() < 9) {
            ASSERT_EQ(HidInputKind::Nothing, in.kind) << "a short report means nothing";
            continue;
        }
        const uint8_t* p = report.data() + 1;
        const bool hello = p[0] == 0xFB && p[1] == 0xAA && p[2] == 0x55;
        ASSERT_EQ(p[0] == 0xFF, in.kind == HidInputKind::Ack) << "payload " << int(p[0]);
        ASSERT_EQ(p[0] == 0xFD, in.kind == HidInputKind::CellKey);
        ASSERT_EQ(p[0] == 0xFE, in.kind == HidInputKind::FunctionKey);
        ASSERT_EQ(hello, in.kind == HidInputKind::HelloAnswer);
        const bool key = in.kind == HidInputKind::CellKey || in.kind == HidInputKind::FunctionKey;
        ASSERT_TRUE(!key || in.code == p[1]) << "the key's code passes unchanged";
        ASSERT_TRUE(!hello || (in.info[0] == p[3] && in.info[1] == p[4])) << "the hello answer's information";
    }
    EXPECT_EQ(HidInputKind::Nothing, DecodeHidInput(nullptr, 9).kind);
    std::printf("[ fuzz     ] seed %" PRIu64 ": %" PRIu64 " reports: %" PRIu64 " nothing, %" PRIu64 " keys, %" PRIu64
                " acknowledgements, %" PRIu64 " hello answers\n",
                seed, total, kinds[0], kinds[1] + kinds[2], kinds[3], kinds[4]);
}

// Every tick is a real poll: the reads on the overlapped handle (each a few
// wineserver calls), the time-out, the release of the held frame.
TEST(HidInputFuzz, RawReportsThroughThePollKeepTheAcknowledgementStraight) {
    const uint64_t seed = testenv::EnvNumber("BRL_FUZZ_SEED", 20240611) + 1;
    const uint64_t ticks = testenv::EnvNumber("BRL_FUZZ_HID_TICKS", 5000);
    std::mt19937_64 rng(seed);
    CFakeHidPlatform bus;
    FakeHidDeviceConfig config;
    config.ack = FakeAck::Manual;  // acknowledgements come only from the random reports
    const int device = bus.AddDevice(config);
    CRecordingLinkEvents events;
    CUsbLink link(bus, events);
    ASSERT_EQ(LinkOpen::Answered, link.Open(0));
    bus.SetAutoAdvance(0);

    // The model: a frame awaits its acknowledgement since `sentAt`; one is held.
    bool awaiting = false, held = false;
    DWORD sentAt = 0;
    uint64_t reports = 0, written = 0, released = 0, recovered = 0;
    // Whether the write or poll just made sent what the model says: nothing, or
    // one frame with the newest image, which then awaits its acknowledgement.
    auto sentAsModelled = [&](size_t before, bool sent) -> ::testing::AssertionResult {
        const size_t reports = bus.Outputs(device).size() - before;
        if (reports != (sent ? 6u : 0u)) return ::testing::AssertionFailure() << reports << " reports went out";
        if (!sent) return ::testing::AssertionSuccess();
        const FakeFrame last = bus.Frames(device).back();
        if (!std::equal(last.begin(), last.end(), events.image))
            return ::testing::AssertionFailure() << "not the newest image";
        awaiting = true;
        held = false;
        sentAt = bus.Now();
        return ::testing::AssertionSuccess();
    };
    const double start = probes::NowMs();
    for (uint64_t tick = 0; tick < ticks; ++tick) {
        const uint64_t what = rng() % 10;
        bool acked = false;
        CRecordingLinkEvents expected;  // the key the report carries, if any
        if (what < 4) {
            const Bytes report = RandomReport(rng);
            acked = report.size() >= 9 && report[1] == 0xFF;
            if (report.size() >= 9 && report[1] == 0xFD) expected.OnCellKey(report[2]);
            if (report.size() >= 9 && report[1] == 0xFE) expected.OnFunctionKey(report[2]);
            bus.QueueRawInput(device, report);
            ++reports;
        } else if (what < 7) {
            std::generate(std::begin(events.image), std::end(events.image),
                          [&] { return static_cast<uint8_t>(rng()); });
            const size_t before = bus.Outputs(device).size();
            link.SendCells(events.image);
            ++written;
            const bool sent = !awaiting;
            held = held || awaiting;
            ASSERT_TRUE(sentAsModelled(before, sent)) << "write at tick " << tick;
        }
        bus.Advance(static_cast<DWORD>(rng() % 150));
        const size_t before = bus.Outputs(device).size();
        link.Poll();
        if (acked) awaiting = false;
        const bool timedOut = awaiting && bus.Now() - sentAt > 1000;
        recovered += timedOut;
        released += !awaiting && held;
        ASSERT_TRUE(sentAsModelled(before, timedOut || (!awaiting && held))) << "poll at tick " << tick;
        // Only the key sent, if any: the display is never lost.
        ASSERT_EQ(expected.log, events.log) << "poll at tick " << tick;
        events.log.clear();
        ASSERT_EQ(0u, bus.Misuses()) << bus.MisuseLog()[0];
        if (bus.Outputs(device).size() > 600) bus.ClearOutputs(device);
    }
    const double took = probes::NowMs() - start;
    std::printf("[ fuzz     ] seed %" PRIu64 ": %" PRIu64 " ticks, %" PRIu64 " raw reports, %" PRIu64
                " images written, %" PRIu64 " released on an acknowledgement, %" PRIu64
                " after the time-out, %.0f ms (%.2f ms per tick)\n",
                seed, ticks, reports, written, released, recovered, took, took / static_cast<double>(ticks));
    link.Close();
    EXPECT_EQ(0u, bus.OpenHandleCount());
}

}  // namespace
