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

#include "brailledriver.h"
#include "display_sim.h"
#include "support/driver_dll.h"
#include "support/probes.h"
#include "support/test_env.h"

namespace bench {

struct Settings {
    bool quick = false;       // fewer samples, shorter windows
    std::string driverPort;   // the driver's end of the cable, e.g. COM11
    std::string displayPort;  // the display's end
};

// A host that notes when each key reached it (sim::NowMs, the display's clock).
class CTimingHost : public IBrailleHost {
public:
    std::atomic<uint32_t> keys{0};
    double lastKeyMs = 0;
    int32_t BRL_CALL OnKey(IBrailleDriver*, const char*, int32_t) override {
        lastKeyMs = sim::NowMs();
        ++keys;
        return 0;
    }
    int32_t BRL_CALL OnData(IBrailleDriver*, const unsigned char*, int32_t) override { return 0; }
};

using testenv::DrainPort;
using testenv::LoadDriver;  // the DLL's driver; allocation counting installed
// 40 host cells, distinct per seed.
inline std::vector<uint8_t> Cells(uint32_t seed) { return testenv::Pattern(seed); }
// Handles this thread's messages for the given time (keys reach the host), or
// until the condition holds.
using testenv::Pump;
inline bool PumpUntil(const std::function<bool()>& condition, double ms) { return testenv::WaitUntil(condition, ms); }

// One line of the report: "name: figures".
void Report(const std::string& name, const std::string& figures);
// A line with the statistics of the times; returns them.
probes::Summary ReportTimes(const char* name, const std::vector<double>& times, const char* unit, int decimals = 1);
std::string Printf(const char* format, ...);

// The benchmarks; each prints its own figures.
void HostCallCost(const Settings& s);
void WriteFlood(const Settings& s);
void WriteToWire(const Settings& s);
void KeyLatency(const Settings& s);
void SerialThroughput(const Settings& s);
void HidThroughput(const Settings& s);
void IdleCost(const Settings& s);
void OpenTime(const Settings& s);

}  // namespace bench

#endif
