// Benchmarks of the driver, run as a host runs it: the DLL loaded by name, its
// slot table, a message loop on the host's thread, and the simulated display on
// the other end of a virtual serial cable. The USB figures come from a driver
// object of the benchmark's own on the simulated HID bus.
#ifndef BRL_BENCH_H
#define BRL_BENCH_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "brailledriver.h"
#include "display_sim.h"
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

IBrailleDriver* LoadDriver();  // the DLL's driver; allocation counting installed
using testenv::DrainPort;
std::vector<uint8_t> Cells(uint32_t seed);  // 40 host cells, distinct per seed
// Handles this thread's messages for the given time (keys reach the host).
void Pump(double ms);
// Handles messages until the condition holds or the time is up.
template <typename F>
bool PumpUntil(F&& condition, double ms) {
    const double end = probes::NowMs() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (condition()) return true;
        const double left = end - probes::NowMs();
        if (left <= 0) return condition();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 1 ? 1 : static_cast<DWORD>(left < 5 ? left : 5),
                                  QS_ALLINPUT);
    }
}

// One line of the report: "name: figures".
void Report(const char* name, const std::string& figures);
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
