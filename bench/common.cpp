#include <cstdarg>
#include <cstdio>

#include "bench.h"

namespace bench {

void Report(const std::string& name, const std::string& figures) {
    std::printf("%-34s %s\n", name.c_str(), figures.c_str());
}

probes::Summary ReportTimes(const char* name, const std::vector<double>& times, const char* unit, int decimals) {
    const probes::Summary summary = probes::Summarize(times);
    Report(name, probes::Format(summary, unit, decimals));
    return summary;
}

std::vector<double> KeyLags(CTimingHost& host, int presses, const std::function<void(int)>& press) {
    std::vector<double> lags;
    for (int i = 0; i < presses; ++i) {
        const uint32_t before = host.keys;
        const double pressed = sim::NowMs();
        press(i);
        if (WaitUntil([&] { return host.keys > before; }, 2000)) lags.push_back(host.lastKeyMs - pressed);
        Pump(static_cast<double>(10 + i % 37));
    }
    return lags;
}

void ReportIdle(DWORD workerId, double windowMs) {
    HANDLE worker = OpenThread(THREAD_QUERY_INFORMATION, FALSE, workerId);
    if (!worker) return Report("idle", "worker thread not found");
    // Processor time (kernel and user) of a thread or process, in ms.
    auto cpuMs = [](BOOL(WINAPI * times)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*), HANDLE of) {
        FILETIME created, exited, kernel, user;
        if (!times(of, &created, &exited, &kernel, &user)) return -1.0;
        auto v = [](FILETIME f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
        return static_cast<double>(v(kernel) + v(user)) / 10000.0;
    };
    probes::WatchThread(workerId);
    const probes::AllocCounts a0 = probes::Allocations();
    const double w0 = cpuMs(GetThreadTimes, worker), p0 = cpuMs(GetProcessTimes, GetCurrentProcess()),
                 t0 = probes::NowMs();
    Pump(windowMs);
    const double w1 = cpuMs(GetThreadTimes, worker), p1 = cpuMs(GetProcessTimes, GetCurrentProcess()),
                 t1 = probes::NowMs();
    const probes::AllocCounts a1 = probes::Allocations();
    const double ticks = (t1 - t0) / 100.0;
    Report("worker processor time",
           Printf("%.0f ms in %.0f s = %.2f%% of one core, %.0f us per tick (GetThreadTimes; Wine counts in "
                  "10 ms steps)",
                  w1 - w0, (t1 - t0) / 1000, 100.0 * (w1 - w0) / (t1 - t0), 1000.0 * (w1 - w0) / ticks));
    Report("whole process", Printf("%.0f ms (GetProcessTimes: host, display and driver)", p1 - p0));
    Report("allocations while idle", Printf("%llu on the worker thread, %llu by the DLL in all",
                                            static_cast<unsigned long long>(a1.watchedAllocs - a0.watchedAllocs),
                                            static_cast<unsigned long long>(a1.allocs - a0.allocs)));
    CloseHandle(worker);
}

std::string Printf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace bench
