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

void Report(const char* name, const std::string& figures) { std::printf("%-34s %s\n", name, figures.c_str()); }

probes::Summary ReportTimes(const char* name, const std::vector<double>& times, const char* unit, int decimals) {
    const probes::Summary summary = probes::Summarize(times);
    Report(name, probes::Format(summary, unit, decimals));
    return summary;
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
