// The serial-link benchmarks, through the DLL over a virtual cable.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench.h"

namespace bench {

namespace {

// The display and a started driver for one benchmark; stopped at the end.
class CSession {
public:
    explicit CSession(const Settings& s) : driver(LoadDriver()) {
        DrainPort(s.driverPort);
        const bool opened = display.Open(s.displayPort.c_str());
        const std::vector<DWORD> before = probes::ThreadIds();
        started = opened && driver->Initialize(s.driverPort.c_str(), &host, "", "") == 1;
        if (!started) std::printf("  (could not start the driver on %s)\n", s.driverPort.c_str());
        for (DWORD id : probes::ThreadIds())  // the one thread that Initialize adds
            if (std::find(before.begin(), before.end(), id) == before.end()) workerId = id;
    }
    ~CSession() {
        if (started) driver->Terminate();
        display.Close();
    }
    IBrailleDriver* driver;
    sim::CSimDisplay display;
    CTimingHost host;
    bool started = false;
    DWORD workerId = 0;
};

double Us(double ms) { return ms * 1000.0; }

int64_t LiveBlocks() { return probes::LiveBlocks(probes::Allocations()); }

// A plain thread with a message queue that frees what it receives: the baseline
// for the driver's command channel.
struct CConsumer {
    HANDLE thread = nullptr;
    DWORD id = 0;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    static DWORD WINAPI Loop(void* self) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(static_cast<CConsumer*>(self)->ready);
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) std::free(reinterpret_cast<void*>(msg.wParam));
        return 0;
    }
    CConsumer() {
        thread = CreateThread(nullptr, 0, &Loop, this, 0, &id);
        SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);  // as the driver's worker
        WaitForSingleObject(ready, 5000);
    }
    ~CConsumer() {
        PostThreadMessageA(id, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        CloseHandle(ready);
    }
};

}  // namespace

void HostCallCost(const Settings& s) {
    std::printf("\n## Host call cost (the caller's time per call, microseconds)\n");
    CSession session(s);
    if (!session.started) return;
    IBrailleDriver* d = session.driver;
    const int n = s.quick ? 2000 : 10000;
    std::vector<std::vector<uint8_t>> images;
    for (uint32_t i = 0; i < 64; ++i) images.push_back(Pattern(i));

    for (int i = 0; i < 200; ++i) d->WriteTextCells(images[i & 63].data(), 40);
    Pump(300);

    // Makes `count` calls, each of which times itself (microseconds): back to
    // back (pumping after every 100), or spaced so that the worker has taken the
    // previous write and each posts.
    int64_t peak = 0;
    const int64_t base = LiveBlocks();
    auto timed = [&](std::vector<double>& times, int count, bool spaced, bool trackPeak, auto call) {
        for (int i = 0; i < count; ++i) {
            times.push_back(call(i));
            if (trackPeak && i % 100 == 99) peak = std::max(peak, LiveBlocks() - base);
            if (spaced || i % 100 == 99) Pump(2);
        }
        Pump(300);
    };
    auto writeOne = [&](int i) { return Us(probes::Timed([&] { d->WriteTextCells(images[i & 63].data(), 40); })); };
    std::vector<double> write, spaced, clear;
    timed(write, n, false, true, writeOne);
    timed(spaced, n / 10, true, false, writeOne);
    timed(clear, n, false, false, [&](int) { return Us(probes::Timed([&] { d->ClearCells(); })); });
    // A plain read of a field: too short for one clock reading, so per call in batches of 1000.
    std::vector<double> count;
    volatile int32_t sink = 0;
    for (int b = 0; b < n / 10; ++b) {
        const double t = probes::NowMs();
        for (int i = 0; i < 1000; ++i) sink = sink + d->GetTextCellCount();
        count.push_back(Us(probes::NowMs() - t) / 1000.0);
    }

    // Baseline: the same 40-byte payload posted to a thread of our own. Each
    // run times the post alone or with the copy (and the terminating zero), with
    // the reset of a completion event before the post as the driver's channel
    // does, back to back or 2 ms apart as the spaced writes.
    std::vector<double> barePost, copyPost, resetPost, spacedPost;
    {
        CConsumer consumer;
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        auto post = [&](bool timeCopy, bool terminate, bool reset) {
            return [&, timeCopy, terminate, reset](int i) {
                double t = probes::NowMs();
                void* payload = std::malloc(41);
                std::memcpy(payload, images[i & 63].data(), 40);
                if (terminate) static_cast<char*>(payload)[40] = 0;
                if (!timeCopy) t = probes::NowMs();
                if (reset) ResetEvent(event);
                PostThreadMessageA(consumer.id, WM_APP + 5, reinterpret_cast<WPARAM>(payload), 40);
                return Us(probes::NowMs() - t);
            };
        };
        timed(barePost, n, false, false, post(false, false, false));
        timed(copyPost, n, false, false, post(true, true, false));
        timed(resetPost, n, false, false, post(true, true, true));
        timed(spacedPost, n / 10, true, false, post(true, false, false));
        CloseHandle(event);
    }
    const probes::Summary w = ReportTimes("WriteTextCells (40 cells)", write, "us");
    const probes::Summary sp = ReportTimes("WriteTextCells, 2 ms apart", spaced, "us");
    ReportTimes("ClearCells", clear, "us");
    ReportTimes("GetTextCellCount", count, "us", 4);
    const probes::Summary b = ReportTimes("baseline PostThreadMessageA", barePost, "us");
    const probes::Summary p = ReportTimes("baseline malloc+copy+post", copyPost, "us");
    ReportTimes("baseline with ResetEvent", resetPost, "us");
    Report("WriteTextCells over baseline", Printf("median +%.1f us (+%.0f%%), p99 +%.1f us", w.median - b.median,
                                                  100.0 * (w.median - b.median) / b.median, w.p99 - b.p99));
    const probes::Summary bs = ReportTimes("baseline malloc+copy+post, 2 ms apart", spacedPost, "us");
    Report("WriteTextCells / malloc+copy+post",
           Printf("%.2f x back to back, %.2f x 2 ms apart (medians; goal <= 1.2 x)", w.median / p.median,
                  sp.median / bs.median));
    Report("payloads in flight (peak)", Printf("%lld", static_cast<long long>(peak)));
    (void)sink;
}

void WriteFlood(const Settings& s) {
    std::printf("\n## Write flood (writes as fast as the host can, a key every 250 ms; key delay in ms)\n");
    CSession session(s);
    if (!session.started) return;
    IBrailleDriver* d = session.driver;
    sim::CSimDisplay& display = session.display;
    const double seconds = s.quick ? 3 : 8;
    std::vector<double> sent, delay;
    const uint32_t framesBefore = display.GetCounters().displayFrames;
    const double start = probes::NowMs();
    double nextKey = start + 250;
    uint32_t writes = 0, seen = session.host.keys;
    std::vector<uint8_t> cells(40);
    while (probes::NowMs() - start < seconds * 1000) {
        cells[writes % 40] = static_cast<uint8_t>(writes);
        d->WriteTextCells(cells.data(), 40);
        ++writes;
        Pump(0);  // the messages waiting now
        if (session.host.keys != seen) {
            seen = session.host.keys;
            if (delay.size() < sent.size()) delay.push_back(session.host.lastKeyMs - sent[delay.size()]);
        }
        if (probes::NowMs() >= nextKey) {
            nextKey += 250;
            sent.push_back(sim::NowMs());
            display.PressFunctionKey(1);
        }
    }
    const double elapsed = (probes::NowMs() - start) / 1000.0;
    WaitUntil([&] { return session.host.keys != seen; }, 1000);
    if (session.host.keys != seen && delay.size() < sent.size())
        delay.push_back(session.host.lastKeyMs - sent[delay.size()]);
    const uint32_t frames = display.GetCounters().displayFrames - framesBefore;
    const bool shown = display.WaitFor([&] { return display.HostTextCells() == cells; }, 3000);
    ReportTimes("key delay", delay, "ms");
    Report("keys", Printf("%zu of %zu arrived", delay.size(), sent.size()));
    Report("host writes", Printf("%.0f per second", writes / elapsed));
    Report("display frames",
           Printf("%.1f per second; newest image shown after the flood: %s", frames / elapsed, shown ? "yes" : "no"));
}

void WriteToWire(const Settings& s) {
    std::printf("\n## Write to wire (WriteTextCells returning -> display frame decoded at the display, ms)\n");
    CSession session(s);
    if (!session.started) return;
    IBrailleDriver* d = session.driver;
    sim::CSimDisplay& display = session.display;
    const int n = s.quick ? 200 : 1000;
    std::mt19937 rng(1);
    std::vector<double> latency;
    int held = 0, missing = 0;
    Pump(300);
    for (int i = 0; i < n; ++i) {
        display.ClearHistory();
        const std::vector<uint8_t> cells = Pattern(static_cast<uint32_t>(i) + 1);
        d->WriteTextCells(cells.data(), 40);
        const double returned = sim::NowMs();
        if (!display.WaitFor([&] { return display.GetCounters().displayFrames >= 1; }, 3000)) {
            ++missing;
            continue;
        }
        const std::vector<sim::ReceivedFrame> log = display.Log();
        auto frame = std::find_if(log.begin(), log.end(), [](auto& f) { return f.frame.command == sim::kCmdDisplay; });
        const double arrived = frame == log.end() ? -1 : frame->receivedMs;
        if (display.HostTextCells() != cells) ++missing;
        const double ms = arrived - returned;
        latency.push_back(ms);
        // More than a few ms means the frame waited for a tick: the acknowledgement
        // of the previous one had not been read yet.
        if (ms > 50) ++held;
        // Idle link: the display has acknowledged and a tick (100 ms) has read it.
        display.WaitFor([&] { return display.GetCounters().acksSent >= 1; }, 3000);
        Sleep(110 + rng() % 40);
    }
    ReportTimes("write to wire", latency, "ms", 2);
    Report("frames held for a tick (> 50 ms)", Printf("%d of %d", held, n));
    if (missing) Report("frames missing or wrong", Printf("%d", missing));
}

void KeyLatency(const Settings& s) {
    std::printf("\n## Key latency (display writes a key frame -> OnKey on the host's thread, ms)\n");
    CSession session(s);
    if (!session.started) return;
    sim::CSimDisplay& display = session.display;
    CTimingHost& host = session.host;
    const int n = s.quick ? 100 : 500;
    std::mt19937 rng(2);
    std::vector<double> latency;
    int lost = 0;
    Pump(300);
    for (int i = 0; i < n; ++i) {
        const uint32_t before = host.keys;
        const double sent = sim::NowMs();
        display.PressFunctionKey(static_cast<uint8_t>(1 + i % 10));
        if (!WaitUntil([&] { return host.keys > before; }, 3000)) {
            ++lost;
            continue;
        }
        latency.push_back(host.lastKeyMs - sent);
        // A random pause, so that keys fall at every phase of the 100 ms tick.
        Pump(static_cast<double>(rng() % 100));
    }
    ReportTimes("key to OnKey", latency, "ms");
    auto within = [&](double ms) {
        const auto n = std::count_if(latency.begin(), latency.end(), [&](double v) { return v <= ms; });
        return 100.0 * static_cast<double>(n) / static_cast<double>(std::max<size_t>(1, latency.size()));
    };
    Report("within one tick (100 ms / 110 ms)", Printf("%.1f%% / %.1f%%", within(100.0), within(110.0)));
    std::string histogram;
    for (int bucket = 0; bucket < 13; ++bucket) {
        int c = 0;
        for (double v : latency) c += (v >= bucket * 10 && (v < bucket * 10 + 10 || (bucket == 12 && v >= 120)));
        histogram += Printf("%s%d%s:%d", bucket ? " " : "", bucket * 10, bucket == 12 ? "+" : "", c);
    }
    Report("histogram (10 ms buckets)", histogram);
    if (lost) Report("keys lost", Printf("%d", lost));
}

void SerialThroughput(const Settings& s) {
    std::printf("\n## Serial throughput (display acknowledging at once)\n");
    CSession session(s);
    if (!session.started) return;
    IBrailleDriver* d = session.driver;
    sim::CSimDisplay& display = session.display;
    const double window = s.quick ? 4000 : 10000;
    uint32_t seed = 1;
    // Flat out, then at 100 writes a second (a fast reader), then at 10.
    for (double interval : {0.0, 10.0, 100.0}) {
        Pump(1000);
        display.ClearHistory();
        const int64_t base = LiveBlocks();
        int64_t peak = 0;
        uint64_t writes = 0, accepted = 0;
        std::vector<uint8_t> last;
        const double start = probes::NowMs();
        double next = start;
        while (probes::NowMs() - start < window) {
            if (interval > 0) {
                WaitUntil([&] { return probes::NowMs() >= next; }, interval + 50);
                next += interval;
            }
            std::vector<uint8_t> cells = Pattern(++seed);
            ++writes;
            if (d->WriteTextCells(cells.data(), 40)) {
                ++accepted;
                last = cells;
            }
            if (writes % 64 == 0) peak = std::max(peak, LiveBlocks() - base);
        }
        const double stopped = probes::NowMs();
        const uint32_t during = display.GetCounters().displayFrames;
        const bool arrived = display.WaitFor([&] { return display.HostTextCells() == last; }, 10000);
        const double settle = probes::NowMs() - stopped;
        Pump(500);
        const uint32_t after = display.GetCounters().displayFrames - during;
        const char* name = interval == 0 ? "flat out" : interval == 10 ? "100 writes/s" : "10 writes/s";
        Report(Printf("serial, %s", name),
               Printf("%.1f frames/s displayed (%u in %.0f s) from %.0f writes/s; after the last write %u more "
                      "frame(s); newest image %s %.0f ms after the last write; payloads in flight at most %lld",
                      during * 1000.0 / window, during, window / 1000, accepted * 1000.0 / window, after,
                      arrived ? "shown" : "NOT shown", settle, static_cast<long long>(peak)));
    }

    // Short bursts, as a screen reader writes when the user moves: 30 writes at
    // 100 a second, then quiet. Which image does the display end up showing?
    const int bursts = s.quick ? 5 : 20;
    int endedNewest = 0;
    std::vector<double> lag;
    for (int b = 0; b < bursts; ++b) {
        Pump(300);
        std::vector<uint8_t> last;
        double next = probes::NowMs();
        for (int i = 0; i < 30; ++i) {
            WaitUntil([&] { return probes::NowMs() >= next; }, 60);
            next += 10;
            last = Pattern(++seed);
            d->WriteTextCells(last.data(), 40);
        }
        const double stopped = probes::NowMs();
        if (display.WaitFor([&] { return display.HostTextCells() == last; }, 5000))
            lag.push_back(probes::NowMs() - stopped);
        Pump(1000);
        if (display.HostTextCells() == last) ++endedNewest;
    }
    const probes::Summary l = probes::Summarize(lag);
    Report("serial, bursts of 30 writes at 100/s",
           Printf("%d bursts: newest image shown in %zu, display ended on it in %d; shown %.0f ms (median) / %.0f ms "
                  "(max) after the burst",
                  bursts, lag.size(), endedNewest, l.median, l.max));
}

void IdleCost(const Settings& s) {
    std::printf("\n## Idle cost (display attached, nothing to do)\n");
    const double window = s.quick ? 5000 : 30000;
    CSession session(s);
    if (!session.started) return;
    IBrailleDriver* const d = session.driver;
    Pump(1000);
    ReportIdle(session.workerId, window);
    probes::WatchThread(session.workerId);
    // The counter itself works: a write's payload is one block on the host's
    // thread, and a resume makes the port object on the worker.
    const probes::AllocCounts b0 = probes::Allocations();
    const std::vector<uint8_t> cells = Pattern(9);
    d->WriteTextCells(cells.data(), 40);
    const probes::AllocCounts b1 = probes::Allocations();
    d->Suspend(1);
    d->Suspend(0);
    const probes::AllocCounts b2 = probes::Allocations();
    Report("counter check", Printf("one write: %llu block(s); suspend and resume: %llu block(s) on the worker",
                                   static_cast<unsigned long long>(b1.allocs - b0.allocs),
                                   static_cast<unsigned long long>(b2.watchedAllocs - b1.watchedAllocs)));
    probes::WatchThread(0);
}

void OpenTime(const Settings& s) {
    std::printf("\n## Open time (Initialize, ms)\n");
    IBrailleDriver* d = LoadDriver();
    CTimingHost host;
    auto measure = [&](const char* name, const std::string& port, int n) {
        std::vector<double> open, stop;
        int ok = 0;
        for (int i = 0; i < n; ++i) {
            double t = probes::NowMs();
            ok += d->Initialize(port.c_str(), &host, "", "") == 1;
            open.push_back(probes::NowMs() - t);
            t = probes::NowMs();
            d->Terminate();
            stop.push_back(probes::NowMs() - t);
        }
        Report(name,
               Printf("%s; %d of %d started; Terminate median %.1f ms",
                      probes::Format(probes::Summarize(open), "ms", 1).c_str(), ok, n, probes::Summarize(stop).median));
    };
    auto withDisplay = [&](const char* name, bool answering, int n) {
        DrainPort(s.driverPort);
        sim::CSimDisplay display;
        display.Open(s.displayPort.c_str());
        display.SetSilent(!answering);
        measure(name, s.driverPort, n);
        display.Close();
    };
    withDisplay("display present", true, s.quick ? 5 : 20);
    measure("no such port", "COM239", s.quick ? 5 : 20);
    withDisplay("silent display (identification)", false, s.quick ? 1 : 3);
}

}  // namespace bench
