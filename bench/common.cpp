#include <cstdarg>
#include <cstdio>

#include "bench.h"
#include "support/driver_dll.h"

namespace bench {

IBrailleDriver* LoadDriver() {
    static IBrailleDriver* const driver = [] {
        IBrailleDriver* d = testenv::LoadDriver();
        if (d && !testenv::AllocationsCounted()) std::printf("# allocation counting not available\n");
        return d;
    }();
    return driver;
}

std::vector<uint8_t> Cells(uint32_t seed) {
    std::vector<uint8_t> cells(40);
    uint32_t x = seed * 2654435761u + 7u;
    for (auto& c : cells) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>(x >> 16);
    }
    cells[0] = static_cast<uint8_t>(seed);  // consecutive seeds differ in cell 0
    cells[1] = static_cast<uint8_t>(seed >> 8);
    return cells;
}

void Pump(double ms) {
    PumpUntil([] { return false; }, ms);
}

void Report(const char* name, const std::string& figures) { std::printf("%-34s %s\n", name, figures.c_str()); }

std::string Printf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace bench
