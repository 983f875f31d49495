// Benchmarks of the driver, run as a host runs it: the DLL loaded by name, its
// slot table, a message loop on the host's thread, and the simulated display on
// the other end of a virtual serial cable. The USB figures come from a driver
// object of the benchmark's own on the simulated HID bus.
#ifndef BRL_BENCH_H
#define BRL_BENCH_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "display_sim.h"
#include "support/driver_dll.h"
#include "support/probes.h"
#include "support/recording_host.h"
#include "support/test_env.h"

namespace bench {

struct Settings {
    bool quick = false;       // fewer samples, shorter windows
    std::string driverPort;   // the driver's end of the cable, e.g. COM11
    std::string displayPort;  // the display's end
};

// The kit's host, noting also when the newest key reached it (sim::NowMs, the display's clock).
struct CTimingHost : testenv::CRecordingHost {
    std::atomic<uint32_t> keys{0};
    double lastKeyMs = 0;
    CTimingHost() {
        onKey = [this] {
            lastKeyMs = sim::NowMs();
            ++keys;
        };
    }
};

using testenv::DrainPort;
using testenv::LoadDriver;  // the DLL's driver; allocation counting installed
using testenv::Pattern;     // 40 host cells, distinct per seed
using testenv::Pump;        // pumps this thread's messages for a time (keys reach the host)
using testenv::WaitUntil;   // pumps them until a condition holds

// One line of the report: "name: figures".
void Report(const std::string& name, const std::string& figures);
// A line with the statistics of the times; returns them.
probes::Summary ReportTimes(const char* name, const std::vector<double>& times, const char* unit, int decimals = 1);
std::string Printf(const char* format, ...);
// Presses a display key `presses` times (press(i)), out of step with the 100 ms
// tick, and returns the times from each press to its OnKey.
std::vector<double> KeyLags(CTimingHost& host, int presses, const std::function<void(int)>& press);
// Pumps for `windowMs` with the driver idle and reports its worker's processor
// time (the thread `workerId`), the whole process's, and the DLL's allocations.
void ReportIdle(DWORD workerId, double windowMs);

// The benchmarks; each prints its own figures.
void HostCallCost(const Settings& s);
void WriteFlood(const Settings& s);
void WriteToWire(const Settings& s);
void KeyLatency(const Settings& s);
void SerialThroughput(const Settings& s);
void HidThroughput(const Settings& s);
void IdleCost(const Settings& s);
void OpenTime(const Settings& s);
// The USB display through Wine's HID stack (the virtual display device).
void UsbStack(const Settings& s);

}  // namespace bench

#endif
