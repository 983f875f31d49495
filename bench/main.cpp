// brlbench [--quick] [name ...]
// Names: calls flood wire keys throughput hid idle open usb (default: all, in that order).
// The cables come from BRL_CABLES (scripts/cables); the first one is used.
#include <cstdio>
#include <cstring>

#include "bench.h"

namespace {
struct Entry {
    const char* name;
    void (*run)(const bench::Settings&);
    bool needsCable;
};
const Entry kBenchmarks[] = {
    {"calls", bench::HostCallCost, true},
    {"flood", bench::WriteFlood, true},
    {"wire", bench::WriteToWire, true},
    {"keys", bench::KeyLatency, true},
    {"throughput", bench::SerialThroughput, true},
    {"hid", bench::HidThroughput, false},
    {"idle", bench::IdleCost, true},
    {"open", bench::OpenTime, true},
    {"usb", bench::UsbStack, false},
};
}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    bench::Settings settings;
    std::vector<const Entry*> chosen;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            settings.quick = true;
            continue;
        }
        const Entry* found = nullptr;
        for (const Entry& e : kBenchmarks)
            if (std::strcmp(argv[i], e.name) == 0) found = &e;
        if (!found) {
            std::fprintf(stderr, "unknown benchmark %s; known: calls flood wire keys throughput hid idle open usb\n",
                         argv[i]);
            return 2;
        }
        chosen.push_back(found);
    }
    if (chosen.empty())
        for (const Entry& e : kBenchmarks) chosen.push_back(&e);

    const testenv::Cable cable = testenv::CableAt(0);
    settings.driverPort = cable.driverEnd;
    settings.displayPort = cable.displayEnd;
    if (!bench::LoadDriver()) {
        std::fprintf(stderr, "brailledriver.dll not found next to brlbench.exe\n");
        return 1;
    }
    if (!testenv::AllocationsCounted()) std::printf("# allocation counting not available\n");
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::printf("# brlbench%s: QueryPerformanceCounter at %.1f MHz; cable %s (driver) - %s (display)\n",
                settings.quick ? " --quick" : "", static_cast<double>(frequency.QuadPart) / 1e6,
                settings.driverPort.empty() ? "none" : settings.driverPort.c_str(),
                settings.displayPort.empty() ? "none" : settings.displayPort.c_str());
    int skipped = 0;
    for (const Entry* e : chosen) {
        if (e->needsCable && settings.driverPort.empty()) {
            std::printf("%s: skipped, no virtual cable (run through scripts/bench)\n", e->name);
            ++skipped;
            continue;
        }
        e->run(settings);
    }
    return skipped ? 3 : 0;
}
