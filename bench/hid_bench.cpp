// USB throughput: a driver object of the benchmark's own, with its worker thread
// and 100 ms tick, on the simulated HID bus; the display acknowledges every
// complete frame at once.
#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "bench.h"
#include "driver/driver.h"
#include "support/fake_hid.h"

namespace bench {

namespace {
// Pumps for 1.5 s after `stopped` (the display acknowledges at once, so the
// held frames have long gone out by then); returns how long after `stopped` a
// frame from `seen` on first showed the newest image (host cells), or -1.
double NewestSentAfter(CFakeHidPlatform& bus, int device, const std::vector<uint8_t>& newest, double stopped,
                       size_t seen, double timeoutMs) {
    double sentAt = -1;
    WaitUntil(
        [&] {
            const std::vector<FakeFrame> frames = bus.Frames(device);
            for (size_t i = seen; i < frames.size(); ++i)
                if (sentAt < 0 && FrameShows(frames[i], newest)) sentAt = probes::NowMs() - stopped;
            seen = frames.size();
            return probes::NowMs() - stopped > 1500;
        },
        timeoutMs);
    return sentAt;
}
}  // namespace

void HidThroughput(const Settings& s) {
    std::printf("\n## USB throughput (simulated HID bus, display acknowledging at once)\n");
    const double window = s.quick ? 4000 : 10000;
    uint32_t seed = 1;
    for (double interval : {0.0, 10.0, 100.0}) {
        CFakeHidPlatform bus;
        const int device = bus.AddDevice();
        CBrailleSampleDriver d(bus);
        CTimingHost host;
        if (d.Initialize("COM250", &host, "", "") != 1 || bus.HelloCount(device) == 0) {
            Report("usb", "the driver did not open the simulated display");
            return;
        }
        Pump(500);
        bus.ClearOutputs(device);
        uint64_t writes = 0;
        std::vector<uint8_t> last;
        const double start = probes::NowMs();
        double next = start;
        while (probes::NowMs() - start < window) {
            if (interval > 0) {
                WaitUntil([&] { return probes::NowMs() >= next; }, interval + 50);
                next += interval;
            }
            std::vector<uint8_t> cells = Pattern(++seed);
            if (d.WriteTextCells(cells.data(), 40)) last = cells;
            ++writes;
        }
        const double stopped = probes::NowMs();
        const size_t during = bus.Frames(device).size();
        const double arrivedAt = NewestSentAfter(bus, device, last, stopped, during, 15000);
        const std::vector<FakeFrame> frames = bus.Frames(device);
        const bool newestDuring = std::any_of(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(during),
                                              [&](const FakeFrame& f) { return FrameShows(f, last); });
        const bool finalIsNewest = !frames.empty() && FrameShows(frames.back(), last);
        const char* name = interval == 0 ? "flat out" : interval == 10 ? "100 writes/s" : "10 writes/s";
        const std::string newestText = arrivedAt >= 0 ? Printf("sent %.0f ms after the last write", arrivedAt)
                                       : newestDuring ? "sent before the writes stopped"
                                                      : "NEVER sent";
        Report(Printf("usb, %s", name),
               Printf("%.1f frames/s displayed (%zu in %.0f s) from %.0f writes/s; "
                      "newest image %s; %zu frame(s) after the last write; display ends on the newest image: %s",
                      during * 1000.0 / window, during, window / 1000, writes * 1000.0 / window, newestText.c_str(),
                      frames.size() - during, finalIsNewest ? "yes" : "NO (an older frame came last)"));
        d.Terminate();
    }

    // Short bursts, as a screen reader writes when the user moves: 30 writes at
    // 100 a second, then quiet. Which image does the display end up showing?
    const int bursts = s.quick ? 5 : 20;
    CFakeHidPlatform bus;
    const int device = bus.AddDevice();
    CBrailleSampleDriver d(bus);
    CTimingHost host;
    if (d.Initialize("COM250", &host, "", "") != 1) return;
    int endedNewest = 0, newestSent = 0, stale = 0;
    std::vector<double> lag;
    for (int b = 0; b < bursts; ++b) {
        Pump(300);
        bus.ClearOutputs(device);
        std::vector<std::vector<uint8_t>> images;
        double next = probes::NowMs();
        for (int i = 0; i < 30; ++i) {
            WaitUntil([&] { return probes::NowMs() >= next; }, 60);
            next += 10;
            images.push_back(Pattern(++seed));
            d.WriteTextCells(images.back().data(), 40);
        }
        const double stopped = probes::NowMs();
        const size_t atStop = bus.Frames(device).size();
        const std::vector<uint8_t>& newest = images.back();
        const double sentAt = NewestSentAfter(bus, device, newest, stopped, 0, 10000);
        const std::vector<FakeFrame> frames = bus.Frames(device);
        // Stale: an image older than one already shown, or one older than the
        // host's last write shown after that write.
        int shownIndex = -1;
        for (size_t i = 0; i < frames.size(); ++i) {
            int index = -1;
            for (size_t k = 0; k < images.size(); ++k)
                if (FrameShows(frames[i], images[k])) index = static_cast<int>(k);
            if (index < shownIndex || (i >= atStop && index != 29)) ++stale;
            shownIndex = std::max(shownIndex, index);
        }
        if (sentAt >= 0) {
            ++newestSent;
            lag.push_back(sentAt);
        }
        if (!frames.empty() && FrameShows(frames.back(), newest)) ++endedNewest;
    }

    const int presses = s.quick ? 50 : 200;
    const std::vector<double> oneKey =
        KeyLags(host, presses, [&](int i) { bus.QueueKey(device, 0xFE, static_cast<uint8_t>(1 + i % 10)); });
    ReportTimes(Printf("usb, display key -> OnKey (%zu of %d keys)", oneKey.size(), presses).c_str(), oneKey, "ms");

    // Twenty keys queued at once on the display: how long until the last
    // reaches the host's OnKey?
    std::vector<double> keyLag;
    for (int round = 0; round < (s.quick ? 5 : 20); ++round) {
        Pump(150);
        const uint32_t before = host.keys;
        const double queued = probes::NowMs();
        for (int k = 0; k < 20; ++k) bus.QueueKey(device, 0xFD, static_cast<uint8_t>(k + 1));
        if (WaitUntil([&] { return host.keys - before >= 20; }, 3000)) keyLag.push_back(host.lastKeyMs - queued);
    }
    d.Terminate();
    const probes::Summary l = probes::Summarize(lag);
    const probes::Summary k = probes::Summarize(keyLag);
    Report("usb, bursts of 30 writes at 100/s",
           Printf("%d bursts: newest image sent in %d, display ended on it in %d; stale images shown %d; newest "
                  "sent %.0f ms (median) / %.0f ms (max) after the burst",
                  bursts, newestSent, endedNewest, stale, l.median, l.max));
    Report("usb, 20 keys queued at once",
           Printf("%zu rounds: last key at OnKey %.0f ms (median) / %.0f ms (max) after they were queued",
                  keyLag.size(), k.median, k.max));
}

}  // namespace bench
